// crash_points_test.cc: a process that dies at any moment of a change. A
// child process runs one operation on a copy of a store and ends itself at
// the k-th call that changes a file, for every k until the operation
// completes; after each, the store must open, be sound (BdbCheck), and hold
// every key with its value from before the operation or every key with its
// value from after it. Every operation is tried on a store with one name and
// on one with two (a hard link, which compaction rewrites in place), and on
// its own and at the end of a held run.
#ifndef _WIN32
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>

#include "store/tests/fault_injecting_file_system.h"
#include "store/tests/store_test_util.h"

namespace kvs_test {
namespace {

using Content = std::map<std::string, std::string>;
using Operation = std::function<bool(StoreHandle)>;

// How a store is reached and changed: by its only name or by one of two,
// and by a call of its own or inside a held run.
struct Way {
  const char* what;
  bool linked;
  bool held;
};
constexpr Way kWays[] = {
    {"one name", false, false},
    {"hard-linked", true, false},
    {"in a held run", false, true},
    {"hard-linked, in a held run", true, true},
};

// The operation at the end of a held run that has a change of its own.
Operation InHeldRun(Operation operation) {
  return [operation](StoreHandle s) {
    return BdbHoldWrites(s) == 1 && BdbPut(s, "held first", "h", 1) == 1 && operation(s) &&
           BdbFlush(s) == 1;
  };
}

std::vector<std::string>* g_walkedKeys = nullptr;

int CollectKey(StoreHandle, const char* key, int32_t) {
  g_walkedKeys->push_back(key);
  return 0;
}

class CrashPointsTest : public StoreTest {
 protected:
  // Every key of an open store with its value; the store must be sound.
  static Content ContentOf(StoreHandle store) {
    EXPECT_EQ(1, BdbCheck(store, stderr));
    std::vector<std::string> keys;
    g_walkedKeys = &keys;
    BdbWalk(store, 0, CollectKey);
    Content content;
    for (const std::string& key : keys) content[key] = Get(store, key);
    return content;
  }
  // The same for the store at name.
  Content ContentOf(const std::string& name) {
    StoreHandle store = Open(name);
    EXPECT_NE(nullptr, store) << "the store does not open";
    if (store == nullptr) return {{"<no store>", ""}};
    Content content = ContentOf(store);
    EXPECT_EQ(1, BdbClose(store));
    return content;
  }
  // The store a process that died now would leave: the file and any journal.
  Content ContentLeftAt(const std::string& name) {
    const std::string copy = Path("left.kvs");
    WriteFileBytes(copy, ReadFileBytes(name));
    std::filesystem::remove(copy + "-journal");
    if (FileExists(name + "-journal")) WriteFileBytes(copy + "-journal", ReadFileBytes(name + "-journal"));
    return ContentOf(copy);
  }

  // Runs operation on a copy of base in a child that ends at its k-th
  // change of a file; true when the operation completed before that.
  bool RunUntilCrash(const std::string& name, const Bytes& base, const Operation& operation, int k) {
    WriteFileBytes(name, base);
    const pid_t pid = fork();
    if (pid == 0) {
      kvs::testing::FaultInjectingFileSystem fs;
      kvs::testing::ScopedFileSystem scope(fs);
      StoreHandle store = BdbOpen(name.c_str());
      fs.CrashAfter(k);
      const bool done = store != nullptr && operation(store) && BdbClose(store) == 1;
      std::_Exit(done ? 0 : 1);
    }
    int status = 0;
    EXPECT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status));
    const int code = WEXITSTATUS(status);
    EXPECT_TRUE(code == 0 || code == kvs::testing::kCrashedExit) << "the operation failed: " << code;
    return code != kvs::testing::kCrashedExit;
  }

  // Gives the store at name a second name when the way asks for one (files
  // are rewritten in place from then on, so the two names stay one file).
  void Link(const std::string& name, const Way& way) {
    std::filesystem::remove(Path("link.kvs"));
    if (way.linked) std::filesystem::create_hard_link(name, Path("link.kvs"));
  }
  // Both names still lead to the same file.
  void ExpectLinked(const std::string& name, const Way& way) {
    if (way.linked) {
      EXPECT_TRUE(std::filesystem::equivalent(name, Path("link.kvs")));
    }
  }

  // Every crash point of operation on base: the store is the one before or
  // the one after. Returns how many points were tried.
  int SweepCrashPoints(const Bytes& base, const Operation& operation, const Way& way) {
    const std::string name = Path("s.kvs");
    WriteFileBytes(name, base);
    Link(name, way);
    const Content before = ContentOf(name);
    int k = 0;
    for (;; ++k) {
      SCOPED_TRACE(::testing::Message() << "crash at change " << k);
      const bool completed = RunUntilCrash(name, base, operation, k);
      const Content now = ContentOf(name);
      ExpectLinked(name, way);
      if (completed) break;
      if (now != before) {
        // Not the old store: then it must be the whole new one.
        WriteFileBytes(Path("after.kvs"), base);
        StoreHandle store = Open(Path("after.kvs"));
        EXPECT_TRUE(store != nullptr && operation(store) && BdbClose(store) == 1);
        EXPECT_EQ(ContentOf(Path("after.kvs")), now);
      }
      if (HasFailure() || k > 10000) break;
      // Nothing but the store may be left: no journal, no temporary file.
      EXPECT_FALSE(FileExists(name + "-journal"));
      EXPECT_FALSE(FileExists(Path("s.000")));
    }
    return k + 1;
  }

  std::vector<struct Case> Cases();

  // A sorted, case-folding store of count keys, one more deleted so that a
  // free record waits for reuse.
  Bytes Base(int count) {
    const std::string name = Path("base.kvs");
    StoreHandle store = Create(name, STORE_SORTED | STORE_NOCASE);
    for (int i = 0; i <= count; ++i) Put(store, Numbered("key", i), std::string(At(20 + i % 50), 'v'));
    BdbDelete(store, Numbered("key", count).c_str());
    return CloseAndRead(store, name);
  }
};

// The operations tried, each on the store it starts from.
struct Case {
  const char* what;
  Bytes base;
  Operation operation;
  bool held = false;  // a held run: its changes stay in memory when its flush fails
};

}  // namespace

std::vector<Case> CrashPointsTest::Cases() {
  const Bytes full = Base(255);  // the next new key grows the index past 256
  const Bytes small = Base(40);
  return {
      {"new key, index growth past 256", full,
       [](StoreHandle s) { return BdbPut(s, "new", "value", 5) == 1; }},
      {"new key, index growth past 512", Base(511),
       [](StoreHandle s) { return BdbPut(s, "new", "value", 5) == 1; }},
      {"first-fit reuse", small, [](StoreHandle s) { return BdbPut(s, "reuse", "v", 1) == 1; }},
      {"in place", small, [](StoreHandle s) { return BdbPut(s, "key7", "in place!!", 10) == 1; }},
      {"relocation", small,
       [](StoreHandle s) { return BdbPut(s, "key7", std::string(500, 'r').c_str(), 500) == 1; }},
      {"delete", small, [](StoreHandle s) { return BdbDelete(s, "key3") == 1; }},
      {"compaction", small, [](StoreHandle s) { return BdbCompact(s) == 1; }},
      {"held run", full,
       [](StoreHandle s) {
         BdbHoldWrites(s);
         for (int i = 0; i < 300; ++i) {
           const std::string key = Numbered("held", i);
           std::string value = key;
           value.resize(7);  // NUL-padded: the put reads seven bytes
           if (BdbPut(s, key.c_str(), value.data(), 7) != 1) return false;
         }
         return BdbFlush(s) == 1;
       },
       true},
  };
}

namespace {

TEST_F(CrashPointsTest, EveryChangeIsWholeOrAbsentWhereverTheProcessDies) {
  int total = 0;
  for (const Way& way : kWays) {
    for (const Case& c : Cases()) {
      if (c.held && way.held) continue;
      SCOPED_TRACE(::testing::Message() << c.what << ", " << way.what);
      const int points = SweepCrashPoints(c.base, way.held ? InHeldRun(c.operation) : c.operation, way);
      EXPECT_GT(points, 2);
      std::printf("%s, %s: %d crash points\n", c.what, way.what, points);
      total += points;
      if (HasFailure()) return;
    }
  }
  std::printf("%d crash points in all\n", total);
}

// The k-th write, growth, sync or replace fails, for every k until the
// operation succeeds: a call that fails leaves the file as before (and the
// handle too, but for a held run, which keeps its changes for a later try).
TEST_F(CrashPointsTest, AFailedCallLeavesTheStoreAsBefore) {
  using Fs = kvs::testing::FaultInjectingFileSystem;
  const std::vector<std::pair<const char*, std::function<void(Fs&, int)>>> faults = {
      {"write", [](Fs& fs, int k) { fs.FailWriteAfter(k); }},
      {"growth", [](Fs& fs, int k) { fs.FailGrowthAfter(k); }},
      {"sync", [](Fs& fs, int k) { fs.FailSyncAfter(k); }},
      {"replace", [](Fs& fs, int k) {
         if (k == 0) fs.FailReplace();
       }},
  };
  const std::string name = Path("s.kvs");
  int tried = 0;
  for (const Way& way : kWays) {
    for (const Case& c : Cases()) {
      if (c.held && way.held) continue;
      const Operation operation = way.held ? InHeldRun(c.operation) : c.operation;
      const bool held = c.held || way.held;
      WriteFileBytes(name, c.base);
      Link(name, way);
      const Content before = ContentOf(name);
      StoreHandle store = Open(name);
      ASSERT_TRUE(store != nullptr && operation(store) && BdbClose(store) == 1);
      const Content after = ContentOf(name);
      for (const auto& [fault, inject] : faults) {
        for (int k = 0;; ++k) {
          SCOPED_TRACE(::testing::Message() << c.what << ", " << way.what << ", " << fault << " " << k);
          WriteFileBytes(name, c.base);
          Fs fs;
          kvs::testing::ScopedFileSystem scope(fs);
          ASSERT_NE(nullptr, store = Open(name));
          inject(fs, k);
          const bool done = operation(store);
          fs.Heal();
          ++tried;
          if (!done) {
            EXPECT_NE(BDB_OK, BdbLastError());
            // A compaction that fails at the end of a held run may have
            // written the run's changes first (what the run's flush does).
            const Content left = ContentLeftAt(name);
            if (!(held && left == after)) {
              EXPECT_EQ(before, left);
            }
            if (!held) {
              EXPECT_EQ(before, ContentOf(store));
            }
          }
          BdbClose(store);
          EXPECT_EQ(done || held ? after : before, ContentOf(name));
          ExpectLinked(name, way);
          EXPECT_FALSE(FileExists(name + "-journal"));
          EXPECT_FALSE(FileExists(Path("s.000")));
          if (done || HasFailure() || k > 10000) break;
        }
        if (HasFailure()) return;
      }
    }
  }
  std::printf("%d failing calls tried\n", tried);
}

}  // namespace
}  // namespace kvs_test
#endif
