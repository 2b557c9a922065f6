// kvsgen_kill_test.cc: kvsgen compiling a template over an existing store,
// killed outright at moments spread over its run. Whenever it dies, the
// file under the store's name is the old store or the new one, byte for
// byte: the puts are held in memory and the compacted file takes the name
// in one step.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <thread>

#include "kvsgen/kvs_facade.h"
#include "kvsgen/template_loader.h"
#include "kvsgen/tests/test_support.h"
#include "store/tests/fault_injecting_file_system.h"

namespace {

using kvsgen_test::ReadFile;
using kvsgen_test::WriteFile;

// A template of count keys from first on, each value longer by round.
std::string Template(int first, int count, int round) {
  std::string text;
  for (int i = first; i < first + count; ++i) {
    const std::string value(static_cast<std::size_t>(20 + (i * 7 + round * 13) % 90), 'a' + static_cast<char>(i % 26));
    text += "key" + std::to_string(i) + "\n" + std::to_string(value.size()) + "\n" + value + "\n";
  }
  return text;
}

// Starts kvsgen in dir; kills it after delay unless it ends first.
void RunKvsgen(const kvsgen_test::TempDir &dir, std::chrono::microseconds delay, bool kill) {
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (chdir(dir.path().c_str()) == 0) execl(KVSGEN_PATH, "kvsgen", "new.tmpl", "s.kvs", nullptr);
    _exit(127);
  }
  if (kill) {
    std::this_thread::sleep_for(delay);
    ::kill(pid, SIGKILL);
  }
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
}

TEST(KvsgenKillTest, AKilledRunLeavesTheOldStoreOrTheNewOne) {
  kvsgen_test::TempDir dir;
  const std::string store = dir.File("s.kvs");
  // The old store: 400 keys. The new template rewrites half of them (many
  // relocated) and adds 6000.
  WriteFile(dir.File("new.tmpl"), Template(0, 400, 0));
  RunKvsgen(dir, {}, false);
  const std::string before = ReadFile(store);
  WriteFile(dir.File("new.tmpl"), Template(200, 6200, 1));
  const auto start = std::chrono::steady_clock::now();
  RunKvsgen(dir, {}, false);
  const auto whole = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - start);
  const std::string after = ReadFile(store);
  ASSERT_NE(before, after);

  for (int i = 0; i <= 12; ++i) {
    WriteFile(store, before);
    std::filesystem::remove(dir.File("s.000"));
    RunKvsgen(dir, whole * i / 10, true);
    const std::string left = ReadFile(store);
    EXPECT_TRUE(left == before || left == after) << "killed at " << i << "/10 of a run";
    if (i == 0) {
      EXPECT_EQ(left, before) << "killed at once";
    }
    // Either way, a store that passes the consistency check.
    StoreHandle opened = BdbOpen(store.c_str());
    ASSERT_NE(nullptr, opened) << "killed at " << i << "/10 of a run";
    EXPECT_EQ(1, BdbCheck(opened, stderr)) << "killed at " << i << "/10 of a run";
    BdbClose(opened);
  }
}

// The store under name after an open (which finishes any interrupted
// work) and a close, as bytes.
std::string RecoveredBytes(const std::string &name) {
  StoreHandle opened = BdbOpen(name.c_str());
  EXPECT_NE(nullptr, opened);
  if (opened == nullptr) return "<does not open>";
  EXPECT_EQ(1, BdbCheck(opened, stderr));
  BdbClose(opened);
  return ReadFile(name);
}

// A whole kvsgen run over an existing store, ended at its k-th change of a
// file for every k until it completes: each time the store is the old one
// or the new one, byte for byte, and nothing else is left beside it.
TEST(KvsgenKillTest, ARunEndedAtAnyChangeOfAFileLeavesTheOldStoreOrTheNewOne) {
  kvsgen_test::TempDir dir;
  const std::string store = dir.File("s.kvs");
  const std::string tmpl = dir.File("new.tmpl");
  WriteFile(tmpl, Template(0, 120, 0));
  RunKvsgen(dir, {}, false);
  const std::string before = ReadFile(store);
  WriteFile(tmpl, Template(60, 300, 1));
  RunKvsgen(dir, {}, false);
  const std::string after = ReadFile(store);
  int k = 0;
  for (;; ++k) {
    WriteFile(store, before);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      kvs::testing::FaultInjectingFileSystem fs;
      kvs::testing::ScopedFileSystem scope(fs);
      fs.CrashAfter(k);
      StoreHandle handle = KvsOpen(store.c_str());
      if (handle != nullptr) KvsLoadTemplate(handle, tmpl.c_str());
      KvsClose(handle);
      std::_Exit(0);
    }
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    const bool completed = WEXITSTATUS(status) != kvs::testing::kCrashedExit;
    const std::string left = RecoveredBytes(store);
    EXPECT_TRUE(left == before || left == after) << "ended at change " << k;
    if (completed) {
      EXPECT_TRUE(left == after) << "the completed run left another store";
    }
    if (completed || HasFailure() || k > 10000) break;
    EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(dir.path()), {}) - 1)
        << "something beside the store and the template after change " << k;
  }
  std::printf("kvsgen run: %d crash points\n", k + 1);
}

// Two kvsgen runs with disjoint templates started together on one store:
// the second waits for the first, and the store ends up with both.
TEST(KvsgenKillTest, TwoRunsAtOnceLoseNothing) {
  for (int round = 0; round < 3; ++round) {
    kvsgen_test::TempDir dir;
    WriteFile(dir.File("a.tmpl"), Template(0, 1500, round));
    WriteFile(dir.File("b.tmpl"), Template(5000, 1500, round));
    pid_t pids[2];
    for (int run = 0; run < 2; ++run) {
      pids[run] = fork();
      ASSERT_GE(pids[run], 0);
      if (pids[run] == 0) {
        if (chdir(dir.path().c_str()) == 0) {
          execl(KVSGEN_PATH, "kvsgen", run == 0 ? "a.tmpl" : "b.tmpl", "s.kvs", nullptr);
        }
        _exit(127);
      }
    }
    for (const pid_t pid : pids) {
      int status = 0;
      ASSERT_EQ(pid, waitpid(pid, &status, 0));
    }
    StoreHandle store = BdbOpen(dir.File("s.kvs").c_str());
    ASSERT_NE(nullptr, store);
    EXPECT_EQ(1, BdbCheck(store, stderr));
    StoreStats stats{};
    BdbGetStats(store, &stats);
    EXPECT_EQ(3000, stats.lAllocatedCount) << "round " << round;
    for (const int key : {0, 1499, 5000, 6499}) {
      EXPECT_EQ(1, BdbGetSize(store, ("key" + std::to_string(key)).c_str(), nullptr)) << key;
    }
    BdbClose(store);
  }
}

}  // namespace
