// two_writers_test.cc: processes writing one store at once. Each open is
// either the store's one writer or refused as locked; nothing is lost.
#ifndef _WIN32
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "store/tests/store_test_util.h"

namespace kvs_test {
namespace {

class TwoWritersTest : public StoreTest {};

// A writer: opens the store for each of its keys (waiting while the other
// has it), puts the key and closes. Exit status 0 when every call did what
// it should, 1 when a call failed for any reason but the lock.
int Writer(const std::string& name, int writer, int keys) {
  for (int i = 0; i < keys; ++i) {
    StoreHandle store = nullptr;
    for (int tries = 0; store == nullptr; ++tries) {
      store = BdbOpen(name.c_str());
      if (store != nullptr) break;
      if (BdbLastError() != BDB_LOCKED || tries > 20000) {
        std::fprintf(stderr, "open: %s\n", BdbErrorText(BdbLastError()));
        return 1;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    const std::string key = Numbered(writer == 0 ? "left" : "right", i);
    const bool done = BdbPut(store, key.c_str(), key.c_str(), static_cast<int32_t>(key.size())) == 1 &&
                      (i % 16 != 15 || BdbCompact(store) == 1) && BdbClose(store) == 1;
    if (!done) {
      std::fprintf(stderr, "%s: %s\n", key.c_str(), BdbErrorText(BdbLastError()));
      return 1;
    }
  }
  return 0;
}

TEST_F(TwoWritersTest, NothingIsLostAndEachOpenIsTheWriterOrLocked) {
  constexpr int kKeys = 150;
  for (const int32_t flags : {0, STORE_SORTED | STORE_NOCASE}) {
    SCOPED_TRACE(flags);
    const std::string name = Path(Numbered("s", flags, ".kvs"));
    ASSERT_EQ(1, BdbClose(Create(name, flags)));
    pid_t pids[2];
    for (int writer = 0; writer < 2; ++writer) {
      pids[writer] = fork();
      ASSERT_GE(pids[writer], 0);
      if (pids[writer] == 0) std::_Exit(Writer(name, writer, kKeys));
    }
    for (const pid_t pid : pids) {
      int status = 0;
      ASSERT_EQ(pid, waitpid(pid, &status, 0));
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a writer failed";
    }
    StoreHandle store = Open(name);
    ASSERT_NE(nullptr, store);
    EXPECT_EQ(1, BdbCheck(store, stderr));
    EXPECT_EQ(2 * kKeys, Stats(store).lAllocatedCount);
    for (int i = 0; i < kKeys; ++i) {
      EXPECT_EQ(Numbered("left", i), Get(store, Numbered("left", i)));
      EXPECT_EQ(Numbered("right", i), Get(store, Numbered("right", i)));
    }
    ASSERT_EQ(1, BdbClose(store));
  }
}

}  // namespace
}  // namespace kvs_test
#endif
