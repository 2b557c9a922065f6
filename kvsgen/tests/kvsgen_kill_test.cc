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
#include <thread>

#include "kvsgen/tests/test_support.h"

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

}  // namespace
