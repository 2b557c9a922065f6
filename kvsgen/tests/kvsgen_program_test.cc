// kvsgen_program_test.cc: the kvsgen program run as a process in a
// temporary directory: usage line, silence, exit status and the store file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

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
    const std::string command = "\"cd /d \"" + dir_.path().string() + "\" && \"" + program +
                                "\" " + arguments + " > out\"";
    const int status = std::system(command.c_str());
#else
    const std::string command =
        "cd \"" + dir_.path().string() + "\" && \"" + program + "\" " + arguments + " > out";
    const int raw = std::system(command.c_str());
    const int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
#endif
    const std::string output = ReadFile(dir_.File("out"));
    std::filesystem::remove(dir_.File("out"));
    EXPECT_EQ(output, expectedOutput) << arguments;
    return status == 0 && output == expectedOutput;
  }

  std::set<std::string> Files() const {
    std::set<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(dir_.path())) {
      names.insert(entry.path().filename().string());
    }
    return names;
  }

  kvsgen_test::TempDir dir_;
  std::string store_ = dir_.File("s.kvs"), template_ = dir_.File("t.tmpl");
};

TEST_F(KvsgenProgram, WrongArgumentCountsPrintOnlyTheUsageLine) {
  WriteFile(template_, kvsgen_test::WorkedExampleTemplate("\n"));
  for (const char *arguments : {"", "t.tmpl", "t.tmpl s.kvs extra"}) {
    EXPECT_TRUE(Kvsgen(arguments, "Usage:   kvsgen <template-file> <DB-file(.kvs)> "));
    EXPECT_EQ(Files(), std::set<std::string>{"t.tmpl"});
  }
}

TEST_F(KvsgenProgram, CompilesIntoANewStoreOrInPlaceOfAFileThatIsNoStore) {
  WriteFile(template_, kvsgen_test::WorkedExampleTemplate("\r\n"));
  for (const char *previous : {static_cast<const char *>(nullptr), "", "plain text\n"}) {
    std::filesystem::remove(store_);
    if (previous != nullptr) WriteFile(store_, previous);
    EXPECT_TRUE(Kvsgen("t.tmpl s.kvs"));
    EXPECT_EQ(ReadFile(store_), kvsgen_test::WorkedExampleStoreBytes());
    EXPECT_EQ(Files(), (std::set<std::string>{"s.kvs", "t.tmpl"}));
  }
  EXPECT_TRUE(Kvsgen("missing.tmpl new.kvs"));  // the store is created before the template is read
  EXPECT_EQ(ReadFile(dir_.File("new.kvs")), kvsgen_test::FreshSortedStoreBytes());
}

TEST_F(KvsgenProgram, AnExistingStoreKeepsItsFlags) {
  StoreHandle store = BdbCreate(store_.c_str(), 0);
  ASSERT_EQ(BdbPut(store, "old", "x", 1), 1);
  BdbClose(store);
  WriteFile(template_, "new\n2\nab\nOLD\n1\ny\n");
  EXPECT_TRUE(Kvsgen("t.tmpl s.kvs"));
  // Compacted, still unsorted and case-sensitive: the header and three records.
  EXPECT_EQ(ReadFile(store_).size(), 128u + (32 + 3 + 1) + (32 + 3 + 3) + (32 + 3 + 2));
  store = BdbOpen(store_.c_str());
  StoreStats stats{};
  ASSERT_EQ(BdbGetStats(store, &stats), 1);
  EXPECT_EQ(stats.lFlags, 0);
  EXPECT_EQ(kvsgen_test::StoreContents(store).size(), 3u);
  BdbClose(store);
}

TEST_F(KvsgenProgram, AStoreThatCannotBeOpenedIsLeftUntouched) {
  WriteFile(store_, kvsgen_test::DamagedStoreBytes());
  WriteFile(template_, kvsgen_test::WorkedExampleTemplate("\n"));
  EXPECT_TRUE(Kvsgen("t.tmpl s.kvs"));
  EXPECT_EQ(ReadFile(store_), kvsgen_test::DamagedStoreBytes());
  EXPECT_EQ(Files(), (std::set<std::string>{"s.kvs", "t.tmpl"}));
}

}  // namespace
