// kvsgen_program_test.cc: the kvsgen program run as a process in a
// temporary directory: its usage line, its silence, its exit status and the
// store file it leaves.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "kvsgen/tests/test_support.h"
#include "store/store.h"

#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace {

using kvsgen_test::ReadFile;
using kvsgen_test::WriteFile;

const char kUsage[] = "Usage:   kvsgen <template-file> <DB-file(.kvs)> ";

// The program's path as the build gave it. A Windows build run from a Unix
// build tree sees that tree through drive Z:.
std::string KvsgenPath() {
  std::string path = KVSGEN_PATH;
#ifdef _WIN32
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
  for (char &c : path) c = c == '/' ? '\\' : c;
#endif
  return path;
}

struct ProgramRun {
  int status;
  std::string output;
};

class KvsgenProgram : public ::testing::Test {
 protected:
  // Runs kvsgen with arguments (relative to the temporary directory, which
  // is the working directory) and collects its standard output.
  ProgramRun Kvsgen(const std::string &arguments) {
    const std::string directory = dir_.path().string();
#ifdef _WIN32
    const std::string command = "\"cd /d \"" + directory + "\" && \"" + KvsgenPath() + "\" " +
                                arguments + " > " + kOutput + "\"";
    const int status = std::system(command.c_str());
#else
    const std::string command =
        "cd \"" + directory + "\" && \"" + KvsgenPath() + "\" " + arguments + " > " + kOutput;
    const int raw = std::system(command.c_str());
    const int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
#endif
    ProgramRun run{status, ReadFile(dir_.File(kOutput))};
    std::filesystem::remove(dir_.File(kOutput));
    return run;
  }

  std::set<std::string> Files() const {
    std::set<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(dir_.path())) {
      names.insert(entry.path().filename().string());
    }
    return names;
  }

  static constexpr const char *kOutput = "stdout.txt";
  kvsgen_test::TempDir dir_;
  std::string store_ = dir_.File("s.kvs");
  std::string template_ = dir_.File("t.tmpl");
};

TEST_F(KvsgenProgram, WrongArgumentCountsPrintTheUsageLineOnly) {
  WriteFile(template_, kvsgen_test::WorkedExampleTemplate("\n"));
  for (const char *arguments : {"", "t.tmpl", "t.tmpl s.kvs extra"}) {
    const ProgramRun run = Kvsgen(arguments);
    EXPECT_EQ(run.status, 0) << arguments;
    EXPECT_EQ(run.output, kUsage) << arguments;
    EXPECT_EQ(Files(), std::set<std::string>{"t.tmpl"}) << arguments;
  }
}

TEST_F(KvsgenProgram, CompilesIntoANewStoreOrInPlaceOfAFileThatIsNoStore) {
  WriteFile(template_, kvsgen_test::WorkedExampleTemplate("\r\n"));
  for (const char *previous : {static_cast<const char *>(nullptr), "", "plain text\n"}) {
    std::filesystem::remove(store_);
    if (previous != nullptr) WriteFile(store_, previous);
    const ProgramRun run = Kvsgen("t.tmpl s.kvs");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(ReadFile(store_), kvsgen_test::WorkedExampleStoreBytes());
    EXPECT_EQ(Files(), (std::set<std::string>{"s.kvs", "t.tmpl"}));
  }
}

TEST_F(KvsgenProgram, AnExistingUnsortedStoreStaysUnsorted) {
  StoreHandle store = BdbCreate(store_.c_str(), 0);
  ASSERT_NE(store, nullptr);
  ASSERT_EQ(BdbPut(store, "old", "x", 1), 1);
  BdbClose(store);
  WriteFile(template_, "new\n2\nab\nOLD\n1\ny\n");

  const ProgramRun run = Kvsgen("t.tmpl s.kvs");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, "");
  // Compacted, unsorted and case-sensitive: header and three records.
  EXPECT_EQ(ReadFile(store_).size(), 128u + (32 + 3 + 1) + (32 + 3 + 3) + (32 + 3 + 2));
  ASSERT_NE(store = BdbOpen(store_.c_str()), nullptr);
  StoreStats stats{};
  ASSERT_EQ(BdbGetStats(store, &stats), 1);
  EXPECT_EQ(stats.lFlags, 0);
  EXPECT_EQ(stats.lIndexCount, 0);
  EXPECT_EQ(kvsgen_test::StoreContents(store),
            (std::map<std::string, std::string>{
                {"old", "x"}, {"new", std::string("ab\0", 3)}, {"OLD", std::string("y\0", 2)}}));
  BdbClose(store);
}

TEST_F(KvsgenProgram, AnUnreadableTemplateStillLeavesANewEmptyStore) {
  const ProgramRun run = Kvsgen("missing.tmpl s.kvs");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, "");
  EXPECT_EQ(ReadFile(store_), kvsgen_test::FreshSortedStoreBytes());
}

TEST_F(KvsgenProgram, AStoreThatCannotBeOpenedIsLeftUntouched) {
  const std::string damaged =
      kvsgen_test::StoreHeaderBytes({0, 0, 0}, {0, 0, 0}, {0, 0, 0}, STORE_SORTED);
  WriteFile(store_, damaged);
  WriteFile(template_, kvsgen_test::WorkedExampleTemplate("\n"));
  const ProgramRun run = Kvsgen("t.tmpl s.kvs");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, "");
  EXPECT_EQ(ReadFile(store_), damaged);
  EXPECT_EQ(Files(), (std::set<std::string>{"s.kvs", "t.tmpl"}));
}

}  // namespace
