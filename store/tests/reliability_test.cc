// reliability_test.cc: the cause every failing call reports, the one-writer
// lock, the rollback journal, and compaction of stores reached by links,
// other directories and several names.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "store/tests/fault_injecting_file_system.h"
#include "store/tests/store_test_util.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kvs_test {
namespace {

class ReliabilityTest : public StoreTest {
 protected:
  // A sorted store with three keys, closed: its bytes.
  Bytes ThreeKeys(const std::string& name) {
    return MakeStore(name, STORE_SORTED | STORE_NOCASE, {{"a", "1"}, {"b", "22"}, {"c", "333"}});
  }
};

TEST_F(ReliabilityTest, EveryFailureReportsItsCause) {
  const std::string name = Path("s.kvs");
  StoreHandle big = CreateWith(name, STORE_SORTED | STORE_NOCASE, {{"a", "1"}, {"b", "22"}, {"c", "333"}});
  ASSERT_EQ(1, Put(big, "big", std::string(200000, 'v')));  // past the pages an open reads
  ASSERT_EQ(1, BdbClose(big));
  WriteFileBytes(Path("text.kvs"), ToBytes("not a store at all"));
  Bytes cut = ReadFileBytes(name);
  SetListHead(cut, kFreeHead, {1 << 30, 1 << 30, 1});  // a free list far past the end
  WriteFileBytes(Path("cut.kvs"), cut);
  // Every file is opened through a file system that fails on demand.
  kvs::testing::FaultInjectingFileSystem fs;
  kvs::testing::ScopedFileSystem scope(fs);
  StoreHandle store = Open(name);
  ASSERT_NE(nullptr, store);
  std::vector<char> buffer(200000);
  struct Row {
    const char* what;
    std::function<int()> call;
    int code;
  };
  const std::vector<Row> rows = {
      {"present key", [&] { return BdbGetSize(store, "A", nullptr); }, BDB_OK},
      {"absent key", [&] { return BdbGetSize(store, "zz", nullptr); }, BDB_ABSENT},
      {"absent delete", [&] { return BdbDelete(store, "zz"); }, BDB_ABSENT},
      {"null key", [&] { return BdbPut(store, nullptr, "", 0); }, BDB_INVALID_ARGUMENT},
      {"negative length", [&] { return BdbPut(store, "k", "", -1); }, BDB_INVALID_ARGUMENT},
      {"null buffer", [&] { return BdbRead(store, "a", nullptr, 4); }, BDB_INVALID_ARGUMENT},
      {"bad handle", [&] { return BdbPut(reinterpret_cast<StoreHandle>(buffer.data()), "k", "", 0); },
       BDB_INVALID_HANDLE},
      {"missing file", [&] { return BdbOpen(Path("none.kvs").c_str()) != nullptr; }, BDB_IO},
      {"not a store", [&] { return BdbOpen(Path("text.kvs").c_str()) != nullptr; },
       BDB_NOT_A_STORE},
      {"damaged", [&] { return Track(BdbOpen(Path("cut.kvs").c_str())) != nullptr; }, BDB_DAMAGED},
      {"second open", [&] { return Track(BdbOpen(name.c_str())) != nullptr; }, BDB_LOCKED},
      {"create over an open store",
       [&] { return Track(BdbCreate(name.c_str(), 0)) != nullptr; }, BDB_LOCKED},
      {"full disk",
       [&] {
         fs.FailEveryGrowth();
         const int result = Put(store, "new key", "value");
         fs.Heal();
         return result;
       },
       BDB_NO_SPACE},
      {"read fails",
       [&] {
         // The value is read from the file: reopen so nothing is in memory.
         BdbClose(store);
         store = Open(name);
         fs.FailReadAfter(0);
         const int result = BdbRead(store, "big", buffer.data(), 200000);
         fs.Heal();
         return result;
       },
       BDB_IO},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const int result = row.call();
    EXPECT_EQ(row.code == BDB_OK ? 1 : 0, result);
    EXPECT_EQ(row.code, BdbLastError());
    EXPECT_STRNE("unknown error", BdbErrorText(row.code));
  }
  // The locked store is untouched, and opens once its writer is gone.
  EXPECT_EQ("333", Get(store, "c"));
  ASSERT_EQ(1, BdbClose(store));
  ASSERT_NE(nullptr, store = Open(name));
  EXPECT_EQ((std::vector<std::string>{"a", "b", "big", "c"}), List(store, ""));

  // A close whose writes fail says so, and the file keeps what it had.
  ASSERT_EQ(1, BdbHoldWrites(store));
  ASSERT_EQ(1, Put(store, "held", "h"));
  fs.FailWriteAfter(0);
  EXPECT_EQ(0, BdbClose(store));
  EXPECT_EQ(BDB_IO, BdbLastError());
  fs.Heal();
  ASSERT_NE(nullptr, store = Open(name));
  EXPECT_EQ((std::vector<std::string>{"a", "b", "big", "c"}), List(store, ""));
}

// A commit cut short in the middle of its store writes (the writes fail and
// so does putting the old bytes back, as when the process dies there)
// leaves the journal beside the store. The next open puts the store back,
// byte for byte, and removes the journal.
TEST_F(ReliabilityTest, AnInterruptedCommitIsRolledBackByTheNextOpen) {
  const std::string name = Path("s.kvs");
  for (int writes = 1;; ++writes) {
    SCOPED_TRACE(writes);
    const Bytes before = ThreeKeys(name);
    kvs::testing::FaultInjectingFileSystem fs;
    Bytes during, journal;
    StoreHandle store = nullptr;
    {
      kvs::testing::ScopedFileSystem scope(fs);
      ASSERT_NE(nullptr, store = Open(name));
      fs.FailWriteAfter(writes);  // the journal is written whole, the store only in part
      if (Put(store, "b", std::string(300, 'x')) == 1) {
        EXPECT_GE(writes, 2);  // the journal, then the store
        return;
      }
      during = ReadFileBytes(name);
      journal = ReadFileBytes(name + "-journal");
      fs.Heal();
      ASSERT_EQ(1, BdbClose(store));  // the handle's own retry puts the store back too
    }
    EXPECT_TRUE(SameBytes(ReadFileBytes(name), before));
    EXPECT_FALSE(FileExists(name + "-journal"));
    // What a dead process leaves: the half-written store and its journal.
    const std::string copy = Path("copy.kvs");
    WriteFileBytes(copy, during);
    WriteFileBytes(copy + "-journal", journal);
    ASSERT_NE(nullptr, store = Open(copy));
    EXPECT_EQ("22", Get(store, "b"));
    EXPECT_FALSE(FileExists(copy + "-journal"));
    ASSERT_EQ(1, BdbClose(store));
    EXPECT_TRUE(SameBytes(ReadFileBytes(copy), before));
  }
}

// With synced commits, the folder is forced once the journal is written and
// again once it is removed, so that a loss of power can neither lose the
// journal of a half-written store nor bring back the journal of a finished
// commit. A folder that cannot be forced before the store changes fails the
// put, which leaves the store as it was; without synced commits nothing is
// forced.
TEST_F(ReliabilityTest, SyncedCommitsForceTheJournalsFolder) {
  const std::string name = Path("s.kvs");
  const Bytes before = ThreeKeys(name);
  struct Case {
    bool synced;
    bool failFolderSync;
    int put;          // the put's result
    int folderSyncs;  // at the put
  };
  for (const Case& c : {Case{false, false, 1, 0}, Case{true, false, 1, 2}, Case{true, true, 0, 1}}) {
    SCOPED_TRACE(testing::Message() << c.synced << c.failFolderSync);
    WriteFileBytes(name, before);
    kvs::testing::FaultInjectingFileSystem fs;
    kvs::testing::ScopedFileSystem scope(fs);
    StoreHandle store = Open(name);
    ASSERT_NE(nullptr, store);
    ASSERT_EQ(1, BdbSyncCommits(store, c.synced ? 1 : 0));
    if (c.failFolderSync) fs.FailFolderSync();
    const int syncsBefore = fs.folderSyncs();
    EXPECT_EQ(c.put, Put(store, "b", "new"));
    EXPECT_EQ(c.folderSyncs, fs.folderSyncs() - syncsBefore);
    EXPECT_FALSE(FileExists(name + "-journal"));
    EXPECT_EQ(c.put == 1 ? "new" : "22", Get(store, "b"));
    fs.Heal();
    ASSERT_EQ(1, BdbClose(store));
    if (c.put == 0) {
      EXPECT_TRUE(SameBytes(ReadFileBytes(name), before));
    }
  }
}

// A journal cut short was written before the store changed: it is removed
// and the store opens as it is. So is a compaction's, which also takes its
// temporary file (and no other) with it.
TEST_F(ReliabilityTest, LeftoversOfACrashAreRemovedByTheNextOpen) {
  const std::string name = Path("s.kvs");
  const Bytes before = ThreeKeys(name);
  StoreHandle store = Open(name);
  ASSERT_NE(nullptr, store);
  EXPECT_EQ(1, Put(store, "d", "4444"));  // leaves no journal behind
  EXPECT_FALSE(FileExists(name + "-journal"));
  ASSERT_EQ(1, BdbClose(store));
  const Bytes after = ReadFileBytes(name);

  WriteFileBytes(name + "-journal", ToBytes("KVSJRNL1 torn"));
  WriteFileBytes(Path("s.000"), ToBytes("someone else's file"));
  ASSERT_NE(nullptr, store = Open(name));
  ASSERT_EQ(1, BdbClose(store));
  EXPECT_TRUE(SameBytes(ReadFileBytes(name), after));
  EXPECT_FALSE(FileExists(name + "-journal"));
  EXPECT_TRUE(FileExists(Path("s.000")));
  static_cast<void>(before);
}

#ifndef _WIN32
// Compaction works on the real file behind the name: through a symbolic
// link, after the working directory moved, with the file's permissions,
// and without parting the names of a file that has several.
TEST_F(ReliabilityTest, CompactionKeepsTheRealFileAndItsNames) {
  const std::string real = Path("real.kvs");
  ThreeKeys(real);
  ::chmod(real.c_str(), 0600);
  std::filesystem::create_symlink(real, Path("link.kvs"));
  std::filesystem::create_hard_link(real, Path("other.kvs"));
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir_.path());
  StoreHandle store = Open("link.kvs");
  std::filesystem::current_path(cwd);  // the relative name no longer leads there
  ASSERT_NE(nullptr, store);
  EXPECT_EQ(1, BdbDelete(store, "a"));
  EXPECT_EQ(1, BdbCompact(store));
  EXPECT_EQ(0, Stats(store).lFreeCount);
  ASSERT_EQ(1, BdbClose(store));
  EXPECT_TRUE(std::filesystem::is_symlink(Path("link.kvs")));
  EXPECT_EQ(2u, std::filesystem::hard_link_count(real));
  EXPECT_TRUE(SameBytes(ReadFileBytes(Path("other.kvs")), ReadFileBytes(real)));
  struct stat info;
  ASSERT_EQ(0, ::stat(real.c_str(), &info));
  EXPECT_EQ(0600u, info.st_mode & 07777);

  // With one name again, the compacted file is renamed in, and keeps the
  // permissions too.
  std::filesystem::remove(Path("other.kvs"));
  ASSERT_NE(nullptr, store = Open(Path("link.kvs")));
  EXPECT_EQ(1, BdbDelete(store, "b"));
  EXPECT_EQ(1, BdbCompact(store));
  ASSERT_EQ(1, BdbClose(store));
  EXPECT_TRUE(std::filesystem::is_symlink(Path("link.kvs")));
  ASSERT_EQ(0, ::stat(real.c_str(), &info));
  EXPECT_EQ(0600u, info.st_mode & 07777);
  ASSERT_NE(nullptr, store = Open(real));
  EXPECT_EQ((std::vector<std::string>{"c"}), List(store, ""));
  EXPECT_EQ((std::vector<std::string>{"link.kvs", "real.kvs"}),
            [&] {
              std::vector<std::string> names;
              for (const auto& entry : std::filesystem::directory_iterator(dir_.path()))
                names.push_back(entry.path().filename().string());
              std::sort(names.begin(), names.end());
              return names;
            }());
}
#endif

// A chain that reaches fewer records than the store counts or indexes is
// damage: compaction refuses it instead of making the unreached records lost.
TEST_F(ReliabilityTest, CompactionRefusesAChainThatDisagreesWithTheCounts) {
  for (const int32_t flags : {0, STORE_SORTED}) {
    SCOPED_TRACE(flags);
    const std::string name = Path(Numbered("s", flags, ".kvs"));
    StoreHandle store = Create(name, flags);
    for (int i = 0; i < 20; ++i) ASSERT_EQ(1, Put(store, Numbered("key", i), "value"));
    ASSERT_EQ(1, BdbClose(store));
    // Cut the allocated chain after its sixth record.
    Bytes file = ReadFileBytes(name);
    int32_t at = ListHeadAt(file, kAllocatedHead)[0];
    for (int i = 1; i < 6; ++i) at = RecordAt(file, at).next;
    SetLe32(file, At(at) + kRecordNext, 0);
    WriteFileBytes(name, file);
    ASSERT_NE(nullptr, store = Open(name));
    EXPECT_EQ(0, BdbCompact(store));
    EXPECT_EQ(BDB_DAMAGED, BdbLastError());
    ASSERT_EQ(1, BdbClose(store));
    EXPECT_TRUE(SameBytes(ReadFileBytes(name), file));
  }
}

}  // namespace
}  // namespace kvs_test
