// template_loader_test.cc: what KvsLoadTemplate puts into a store for the
// template forms met in practice and at the edges of the format, and the
// exact store file it leaves behind.
#include "kvsgen/template_loader.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "kvsgen/kvs_facade.h"
#include "kvsgen/tests/test_support.h"

namespace {

using Contents = std::map<std::string, std::string>;
using kvsgen_test::ReadFile;

std::string Nul(std::size_t count = 1) { return std::string(count, '\0'); }

class TemplateLoader : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(store_ = KvsOpen(storePath_.c_str()), nullptr); }
  void TearDown() override { KvsClose(store_); }

  int32_t Load(const std::string &templateBytes) {
    kvsgen_test::WriteFile(templatePath_, templateBytes);
    return KvsLoadTemplate(store_, templatePath_.c_str());
  }

  kvsgen_test::TempDir dir_;
  std::string storePath_ = dir_.File("store.kvs");
  std::string templatePath_ = dir_.File("template.txt");
  StoreHandle store_ = nullptr;
};

TEST_F(TemplateLoader, WorkedExampleGivesTheSameStoreWithLfAndCrLf) {
  for (const std::string lineEnd : {"\n", "\r\n"}) {
    KvsClose(store_);
    std::filesystem::remove(storePath_);
    ASSERT_NE(store_ = KvsOpen(storePath_.c_str()), nullptr);

    EXPECT_EQ(Load(kvsgen_test::WorkedExampleTemplate(lineEnd)), 1);
    EXPECT_EQ(kvsgen_test::StoreContents(store_),
              (Contents{{"alpha", "hello" + Nul()}, {"beta", "one\ntwo" + Nul()}, {"gamma", Nul()}}));
    KvsClose(store_);
    const std::string bytes = ReadFile(storePath_);
    EXPECT_EQ(bytes.size(), 1314u);
    EXPECT_EQ(bytes, kvsgen_test::WorkedExampleStoreBytes());
    store_ = KvsOpen(storePath_.c_str());
  }
}

struct LoadCase {
  const char *name;
  std::string templateBytes;
  Contents expected;
};

const std::string kLongKey(1279, 'k');

const LoadCase kLoadCases[] = {
    {"last block without a line end", "k\n3\nabc", {{"k", "abc" + Nul()}}},
    {"word as length reads one byte", "k\nword\nZrest\n", {{"k", Nul()}}},
    {"zero length with its empty line missing", "a\n0\nbcd\n1\nx\n",
     {{"a", Nul()}, {"cd", "x" + Nul()}}},
    {"blank line as key", "\n2\nhi\n", {{"\n", "hi" + Nul()}}},
    {"length line forms", "k1\n  +3 bytes\nabc\nk2\n\t-0\n\n",
     {{"k1", "abc" + Nul()}, {"k2", Nul()}}},
    {"trailing blanks trimmed, leading kept", "  key \t\r \n1\nx\n", {{"  key", "x" + Nul()}}},
    {"NUL ends a key line", std::string("ab \0cd\n1\nx\n", 11), {{"ab", "x" + Nul()}}},
    {"CR LF is one byte, a lone CR is data", "k\r\n3\r\na\r\nb\r\nm\n3\na\rb\n",
     {{"k", "a\nb" + Nul()}, {"m", "a\rb" + Nul()}}},
    {"byte 1A ends the file inside a block", "k\n10\nabc\x1A" "def\nz\n1\nq\n",
     {{"k", "abc" + Nul(8)}}},
    {"a block cut short is zero-filled", "a\n8\nXXXXXXXX\nb\n8\nyz",
     {{"a", "XXXXXXXX" + Nul()}, {"b", "yz" + Nul(7)}}},
    {"keys differing in case are one key", "Key\n1\na\nKEY\n2\nbc\n", {{"KEY", "bc" + Nul()}}},
    {"length -1 puts nothing", "a\n-1\nb\n1\nx\n", {{"b", "x" + Nul()}}},
    {"length below -1 consumes nothing more", "a\n-5\nb\n1\nx\n", {{"b", "x" + Nul()}}},
    {"length 2147483647 consumes nothing more", "a\n2147483647\nb\n1\nx\n",
     {{"b", "x" + Nul()}}},
    {"lengths wrap modulo 2^32", "a\n4294967295\nb\n4294967297\nxy\n", {{"b", "x" + Nul()}}},
    {"key line of 1279 bytes, rest is the length line", kLongKey + "12\nhello world!\n",
     {{kLongKey, "hello world!" + Nul()}}},
    {"oversized block is cut, its rest read as groups",
     "big\n40000\n" + std::string(31744, 'x') + "tail\n3\nabc\n",
     {{"big", std::string(31743, 'x') + Nul()}, {"tail", "abc" + Nul()}}},
};

TEST_F(TemplateLoader, PutsWhatEachTemplateFormDescribes) {
  for (const LoadCase &loadCase : kLoadCases) {
    SCOPED_TRACE(loadCase.name);
    KvsClose(store_);
    std::filesystem::remove(storePath_);
    ASSERT_NE(store_ = KvsOpen(storePath_.c_str()), nullptr);
    EXPECT_EQ(Load(loadCase.templateBytes), 1);
    EXPECT_EQ(kvsgen_test::StoreContents(store_), loadCase.expected);
  }
}

TEST_F(TemplateLoader, NothingToPutMeansNoCompaction) {
  // A released record shows whether the store was compacted.
  ASSERT_EQ(KvsPut(store_, "old", 3, "abc"), 1);
  ASSERT_EQ(BdbDelete(store_, "old"), 1);
  StoreStats stats{};
  for (const std::string templateBytes : {"", "a\n-1\nb\n-7\n", "k\n"}) {
    EXPECT_EQ(Load(templateBytes), 0);
    ASSERT_EQ(BdbGetStats(store_, &stats), 1);
    EXPECT_EQ(stats.lFreeCount, 1);
    EXPECT_EQ(stats.lAllocatedCount, 0);
  }
  EXPECT_EQ(KvsLoadTemplate(store_, dir_.File("missing.txt").c_str()), 0);
  EXPECT_EQ(KvsLoadTemplate(store_, nullptr), 0);
}

TEST_F(TemplateLoader, EveryPutFailingGivesZero) {
  kvsgen_test::WriteFile(templatePath_, "a\n1\nx\nb\n2\nyz\n");
  KvsClose(store_);
  EXPECT_EQ(KvsLoadTemplate(store_, templatePath_.c_str()), 0);  // a closed store takes no put
  EXPECT_EQ(KvsLoadTemplate(nullptr, templatePath_.c_str()), 0);
  EXPECT_EQ(ReadFile(storePath_), kvsgen_test::FreshSortedStoreBytes());
  store_ = nullptr;
}

TEST(TrimLineEnd, RemovesTrailingLineEndBytesButNeverTheFirst) {
  const std::pair<std::string, std::string> cases[] = {
      {"key \t\r\n", "key"}, {" \tkey", " \tkey"}, {"\n", "\n"}, {" \r\n", " "}, {"", ""}};
  for (const auto &[line, trimmed] : cases) {
    std::string buffer = line;
    TrimLineEnd(buffer.data());
    EXPECT_STREQ(buffer.c_str(), trimmed.c_str()) << '"' << line << '"';
  }
  TrimLineEnd(nullptr);
}

}  // namespace
