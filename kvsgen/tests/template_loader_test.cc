// template_loader_test.cc: the template reader's translation, and what
// KvsLoadTemplate puts into a store made by KvsOpen, for ordinary templates
// and for the edges of the format, and the exact store file it leaves; and
// the groups PutTemplate names as not stored.
#include "kvsgen/template_loader.h"

#include <gtest/gtest.h>

#include "kvsgen/kvs_facade.h"
#include "kvsgen/template_load.h"
#include "kvsgen/template_reader.h"
#include "kvsgen/tests/test_support.h"

namespace {

using kvsgen::TemplateReader;

// The reader's own translation, also of a CR LF pair split by a refill,
// and its count of lines.
TEST(TemplateReader, TranslatesTheSameWhateverTheBufferSize) {
  kvsgen_test::TempDir dir;
  const std::string path = dir.File("t.txt");
  kvsgen_test::WriteFile(path, "k\r\n\r\rx\r\n\n\r\r\nend\r\x1A" "after the end");
  for (std::size_t bufferSize = 1; bufferSize <= 9; ++bufferSize) {
    TemplateReader reader(bufferSize);
    ASSERT_TRUE(reader.Open(path.c_str()));
    std::string text;
    for (int byte; (byte = reader.Get()) != TemplateReader::kEnd;) text += static_cast<char>(byte);
    EXPECT_EQ(text, "k\n\r\rx\n\n\r\nend\r") << "buffer size " << bufferSize;
    EXPECT_EQ(reader.Line(), 5u) << "buffer size " << bufferSize;  // after four LFs
    EXPECT_EQ(reader.Get(), TemplateReader::kEnd);
  }
}

using Contents = std::map<std::string, std::string>;

std::string Nul(std::size_t count = 1) { return std::string(count, '\0'); }

class TemplateLoader : public ::testing::Test {
 protected:
  void TearDown() override { KvsClose(store_); }

  // Loads templateBytes into a new store holding one free record, which
  // stays until a compaction; the result of KvsLoadTemplate. With reported,
  // through PutTemplate and BdbCompact instead, each group PutTemplate
  // names appended to *reported as "LINE cut KEY;" or "LINE put KEY;".
  int32_t LoadIntoNewStore(const std::string &templateBytes, std::string *reported = nullptr) {
    KvsClose(store_);
    std::filesystem::remove(storePath_);
    store_ = KvsOpen(storePath_.c_str());
    EXPECT_EQ(KvsPut(store_, "old", 3, "abc") + BdbDelete(store_, "old"), 2);
    kvsgen_test::WriteFile(templatePath_, templateBytes);
    if (reported == nullptr) return KvsLoadTemplate(store_, templatePath_.c_str());
    TemplateReader reader;
    EXPECT_TRUE(reader.Open(templatePath_.c_str()));
    const auto outcome = kvsgen::PutTemplate(store_, reader, [&](const kvsgen::GroupFailure &f) {
      *reported += std::to_string(f.line) + (f.cutShort ? " cut " : " put ") + f.key + ";";
    });
    return outcome.stored > 0 ? BdbCompact(store_) : 0;
  }

  kvsgen_test::TempDir dir_;
  std::string storePath_ = dir_.File("store.kvs"), templatePath_ = dir_.File("t.txt");
  StoreHandle store_ = nullptr;
};

const std::string kLongKey(1279, 'k');

// A block of n bytes of byte, and the LF after it.
std::string Block(std::size_t n, char byte) { return std::string(n, byte) + "\n"; }

const struct {
  const char *name;
  std::string templateBytes;
  Contents expected;
  std::string reported = "";  // the groups PutTemplate names
} kLoadCases[] = {
    // Nothing put: 0 and no compaction.
    {"empty template", "", {}},
    {"key line only", "k\n", {}, "1 cut k;"},
    {"negative lengths only", "a\n-1\nb\n-7\n", {}},
    {"last block without a line end", "k\n3\nabc", {{"k", "abc" + Nul()}}},
    {"word as length", "k\nword\nZrest\n", {{"k", Nul()}}, "3 cut rest;"},
    {"zero length, empty line missing", "a\n0\nbcd\n1\nx\n", {{"a", Nul()}, {"cd", "x" + Nul()}}},
    {"blank line as key", "\n2\nhi\n", {{"\n", "hi" + Nul()}}},
    {"length line forms", "k1\n  +3 bytes\nabc\nk2\n\t-0\n\n",
     {{"k1", "abc" + Nul()}, {"k2", Nul()}}},
    {"key trimmed at the end only", "  key \t\r \n1\nx\n", {{"  key", "x" + Nul()}}},
    {"NUL ends a key", std::string("ab \0cd\n1\nx\n", 11), {{"ab", "x" + Nul()}}},
    {"CR LF one byte, lone CR kept", "k\r\n3\r\na\r\nb\r\nm\n3\na\rb\n",
     {{"k", "a\nb" + Nul()}, {"m", "a\rb" + Nul()}}},
    {"1A ends the file in a block", "k\n10\nabc\x1A" "def\nz\n1\nq\n", {}, "1 cut k;"},
    {"short last block not stored", "a\n8\nXXXXXXXX\nb\n8\nyz", {{"a", "XXXXXXXX" + Nul()}},
     "4 cut b;"},
    {"keys differing in case", "Key\n1\na\nKEY\n2\nbc\n", {{"KEY", "bc" + Nul()}}},
    {"length -1", "a\n-1\nb\n1\nx\n", {{"b", "x" + Nul()}}},
    {"length below -1", "a\n-5\nb\n1\nx\n", {{"b", "x" + Nul()}}},
    {"length 2147483647", "a\n2147483647\nb\n1\nx\n", {{"b", "x" + Nul()}}},
    {"lengths wrap modulo 2^32", "a\n4294967295\nb\n4294967297\nxy\n", {{"b", "x" + Nul()}},
     "5 cut \n;"},
    // Lines and blocks past their buffers: cut, and the rest skipped.
    {"key line of 1279 bytes with its LF", kLongKey.substr(1) + "\n1\nx\n",
     {{kLongKey.substr(1), "x" + Nul()}}},
    {"key line over 1279 bytes", kLongKey + "\n5\nhello\n" + kLongKey + "12\n2\nhi\n",
     {{kLongKey, "hi" + Nul()}}},
    {"length line over 31 bytes", "k\n5" + std::string(40, ' ') + "\nhello\n",
     {{"k", "hello" + Nul()}}},
    {"block of 31743 bytes", "max\n31743\n" + Block(31743, 'y') + "next\n1\nz\n",
     {{"max", std::string(31743, 'y') + Nul()}, {"next", "z" + Nul()}}},
    {"blocks of 31744 bytes or more", "big\n31744\n" + Block(31744, 'x') + "bigger\n40000\n" +
                                         Block(40000, 'x') + "after\n3\nabc\n",
     {{"big", std::string(31743, 'x') + Nul()},
      {"bigger", std::string(31743, 'x') + Nul()},
      {"after", "abc" + Nul()}}},
    {"long block cut short", "a\n1\nx\nbig\n40000\n" + std::string(39999, 'x'),
     {{"a", "x" + Nul()}}, "4 cut big;"},
};

// Each case through KvsLoadTemplate and through PutTemplate, which also
// names the groups that are not stored.
TEST_F(TemplateLoader, PutsWhatEachTemplateFormDescribesAndCompactsAfterAPut) {
  for (const auto &loadCase : kLoadCases) {
    for (const bool named : {false, true}) {
      SCOPED_TRACE(std::string(loadCase.name) + (named ? ", named" : ""));
      const bool put = !loadCase.expected.empty();
      std::string reported;
      EXPECT_EQ(LoadIntoNewStore(loadCase.templateBytes, named ? &reported : nullptr), put ? 1 : 0);
      EXPECT_EQ(kvsgen_test::StoreContents(store_), loadCase.expected);
      StoreStats stats{};
      ASSERT_EQ(BdbGetStats(store_, &stats), 1);
      EXPECT_EQ(stats.lFreeCount, put ? 0 : 1);
      EXPECT_EQ(reported, named ? loadCase.reported : "");
    }
  }
}

TEST_F(TemplateLoader, AMissingTemplateOrFailingPutsGiveZero) {
  LoadIntoNewStore("");
  EXPECT_EQ(KvsLoadTemplate(store_, dir_.File("missing").c_str()), 0);
  KvsClose(store_);
  kvsgen_test::WriteFile(templatePath_, "a\n1\nx\n");
  EXPECT_EQ(KvsLoadTemplate(store_, templatePath_.c_str()), 0);  // every put fails
  store_ = nullptr;
}

}  // namespace
