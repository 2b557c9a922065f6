// kvsgen_program_test.cc: the kvsgen program run as a process in a
// temporary directory: usage line, silence, exit status and the store file.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <iterator>

#include "kvsgen/tests/test_support.h"

#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace {

using kvsgen_test::ReadFile;
using kvsgen_test::WriteFile;

class KvsgenProgram : public ::testing::Test {
 protected:
  // Runs kvsgen with arguments in the temporary directory; true when it
  // ended with status 0 and printed exactly expectedOutput.
  bool Kvsgen(const std::string &arguments, const std::string &expectedOutput = "") {
    std::string program = KVSGEN_PATH;
#ifdef _WIN32
    if (program[0] == '/') program = "Z:" + program;  // a Unix build tree, seen from Windows
    const std::string cd = "\"cd /d \"", end = "\"";  // cmd drops the outer quotes
#else
    const std::string cd = "cd \"", end = "";
#endif
    int status = std::system((cd + dir_.path().string() + "\" && \"" + program + "\" " +
                              arguments + " > out" + end).c_str());
#ifndef _WIN32
    status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
    const std::string output = ReadFile(dir_.File("out"));
    std::filesystem::remove(dir_.File("out"));
    EXPECT_EQ(output, expectedOutput) << arguments;
    return status == 0 && output == expectedOutput;
  }

  // Files in the directory: the template and the store, and no other.
  std::ptrdiff_t FileCount() const {
    const std::filesystem::directory_iterator files(dir_.path());
    return std::distance(begin(files), end(files));
  }

  kvsgen_test::TempDir dir_;
  std::string store_ = dir_.File("s.kvs"), template_ = dir_.File("t.tmpl");
};

TEST_F(KvsgenProgram, WrongArgumentCountsPrintOnlyTheUsageLine) {
  WriteFile(template_, "");
  for (const char *arguments : {"", "t.tmpl", "t.tmpl s.kvs extra"}) {
    EXPECT_TRUE(Kvsgen(arguments, "Usage:   kvsgen <template-file> <DB-file(.kvs)> "));
    EXPECT_EQ(FileCount(), 1);
  }
}

// The worked example with either line end, into a new store or in place of
// a file that is no store.
TEST_F(KvsgenProgram, CompilesTheExampleIntoANewStoreOrInPlaceOfAFileThatIsNoStore) {
  const struct {
    const char *previous, *lineEnd;
  } cases[] = {{nullptr, "\n"}, {nullptr, "\r\n"}, {"", "\n"}, {"plain text\n", "\r\n"}};
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.previous ? "in place of a file, " : "new, ") +
                 (c.lineEnd[0] == '\r' ? "CR LF" : "LF"));
    std::filesystem::remove(store_);
    if (c.previous != nullptr) WriteFile(store_, c.previous);
    WriteFile(template_, kvsgen_test::WorkedExampleTemplate(c.lineEnd));
    EXPECT_TRUE(Kvsgen("t.tmpl s.kvs"));
    EXPECT_EQ(ReadFile(store_), kvsgen_test::WorkedExampleStoreBytes());
    EXPECT_EQ(FileCount(), 2);
  }
  EXPECT_TRUE(Kvsgen("missing.tmpl new.kvs"));  // the store is created before the template is read
  EXPECT_EQ(ReadFile(dir_.File("new.kvs")), kvsgen_test::FreshSortedStoreBytes());
}

TEST_F(KvsgenProgram, AnExistingStoreKeepsItsFlagsAndADamagedOneIsLeftUntouched) {
  StoreHandle store = BdbCreate(store_.c_str(), 0);
  ASSERT_EQ(BdbPut(store, "old", "x", 1), 1);
  BdbClose(store);
  WriteFile(template_, "new\n2\nab\nOLD\n1\ny\n");
  EXPECT_TRUE(Kvsgen("t.tmpl s.kvs"));
  // Compacted, still unsorted and case-sensitive: the header and three
  // records, no Index record.
  EXPECT_EQ(ReadFile(store_).size(), 128u + (32 + 3 + 1) + (32 + 3 + 3) + (32 + 3 + 2));
  EXPECT_EQ(ReadFile(store_).substr(40, 4), kvsgen_test::Le32(0));  // its flags

  WriteFile(store_, kvsgen_test::DamagedStoreBytes());
  EXPECT_TRUE(Kvsgen("t.tmpl s.kvs"));
  EXPECT_EQ(ReadFile(store_), kvsgen_test::DamagedStoreBytes());
  EXPECT_EQ(FileCount(), 2);
}

}  // namespace
