// compact_test.cc: compaction: the layout and size of the compacted file,
// the order of its records, the temporary names it picks beside the store,
// names with no room for them, and failures part way or at the final replace,
// which must leave the old store whole, open and with no temporary file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "store/store.h"
#include "store/store_file.h"
#include "store/tests/fault_injecting_file_system.h"
#include "store/tests/store_test_util.h"

namespace kvs_test {
namespace {

// Forwards to the platform's file system and records the names compaction
// tries to create and the replace it asks for.
class RecordingFileSystem final : public kvs::FileSystem {
 public:
  std::unique_ptr<kvs::StoreFile> Open(const char* name, kvs::OpenMode mode,
                                       kvs::OpenError* error = nullptr) override {
    if (mode == kvs::OpenMode::kCreateExclusive) exclusiveCreates.emplace_back(name);
    return kvs::PlatformFileSystem().Open(name, mode, error);
  }
  bool Delete(const char* name) override { return kvs::PlatformFileSystem().Delete(name); }
  bool Replace(const char* from, const char* to) override {
    replaces.emplace_back(from, to);
    return kvs::PlatformFileSystem().Replace(from, to);
  }

  std::vector<std::string> exclusiveCreates;
  std::vector<std::pair<std::string, std::string>> replaces;
};

class CompactTest : public StoreTest {
 protected:
  void SetUp() override {
    if (dir_.PathHasDot()) GTEST_SKIP() << "temporary directory path holds a dot";
  }
  // The names in the test's directory (one level), sorted.
  std::vector<std::string> Listing() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path()))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  // a=1111, b=22, c=333 and an empty e; b then outgrows its record and a is
  // deleted, so the allocated list is c, e, b and the free list a, b.
  StoreHandle UsedStore(const std::string& name, int32_t flags) {
    StoreHandle store = Create(name, flags);
    EXPECT_NE(nullptr, store);
    if (store == nullptr) return nullptr;
    EXPECT_EQ(1, Put(store, "a", "1111"));
    EXPECT_EQ(1, Put(store, "b", "22"));
    EXPECT_EQ(1, Put(store, "c", "333"));
    EXPECT_EQ(1, Put(store, "e", ""));
    EXPECT_EQ(1, Put(store, "b", "2222222"));
    EXPECT_EQ(1, BdbDelete(store, "a"));
    EXPECT_EQ(2, Stats(store).lFreeCount);
    return store;
  }
  static void ExpectUsedStoreContent(StoreHandle store) {
    EXPECT_EQ("<absent>", Get(store, "a"));
    EXPECT_EQ("2222222", Get(store, "b"));
    EXPECT_EQ("333", Get(store, "c"));
    EXPECT_EQ("", Get(store, "e"));
  }
};

TEST_F(CompactTest, UnsortedStoreIsRewrittenEndToEndInListOrder) {
  const std::string name = Path("store.kvs");
  StoreHandle store = UsedStore(name, STORE_NOCASE);
  ASSERT_NE(nullptr, store);
  // Unknown flag bits and reserved bytes do not survive compaction.
  ASSERT_EQ(1, BdbClose(store));
  Bytes file = ReadFileBytes(name);
  SetLe32(file, kFlagsOffset, 0x0F00 | STORE_NOCASE);
  std::fill(file.begin() + kReservedOffset, file.begin() + 128, 0x5A);
  WriteFileBytes(name, file);
  store = Open(name);
  ASSERT_NE(nullptr, store);

  ASSERT_EQ(1, BdbCompact(store));
  ExpectUsedStoreContent(store);
  EXPECT_EQ("333", Get(store, "C"));
  const StoreStats stats = Stats(store);
  EXPECT_EQ(3, stats.lAllocatedCount);
  EXPECT_EQ(0, stats.lFreeCount);
  EXPECT_EQ(STORE_NOCASE, stats.lFlags);
  ASSERT_EQ(1, BdbClose(store));

  Bytes expected = FreshHeaderImage(STORE_NOCASE);
  AppendRecordImage(expected, 3, 3, 0, 164, "c", "333");
  AppendRecordImage(expected, 0, 0, 128, 197, "e", "");
  AppendRecordImage(expected, 7, 7, 164, 0, "b", "2222222");
  SetListHead(expected, kAllocatedHead, {128, 197, 3});
  EXPECT_EQ(size_t{128 + 36 + 33 + 40}, expected.size());
  EXPECT_TRUE(SameBytes(ReadFileBytes(name), expected));
  EXPECT_EQ((std::vector<std::string>{"store.kvs"}), Listing());
}

TEST_F(CompactTest, SortedStoreGetsAFreshIndexAfterTheHeader) {
  const std::string name = Path("store.kvs");
  StoreHandle store = UsedStore(name, STORE_SORTED);
  ASSERT_NE(nullptr, store);
  ASSERT_EQ(1, BdbCompact(store));
  ExpectUsedStoreContent(store);
  EXPECT_EQ((std::vector<std::string>{"b", "c", "e"}), List(store, ""));
  ASSERT_EQ(1, BdbClose(store));

  Bytes expected = FreshSortedImage(STORE_SORTED);
  AppendRecordImage(expected, 3, 3, 0, 1225, "c", "333");
  AppendRecordImage(expected, 0, 0, 1189, 1258, "e", "");
  AppendRecordImage(expected, 7, 7, 1225, 0, "b", "2222222");
  SetListHead(expected, kAllocatedHead, {1189, 1258, 3});
  SetLe32(expected, kFirstIndexEntry, 1258);
  SetLe32(expected, kFirstIndexEntry + 4, 1189);
  SetLe32(expected, kFirstIndexEntry + 8, 1225);
  EXPECT_EQ(size_t{128 + 1061 + 36 + 33 + 40}, expected.size());
  EXPECT_TRUE(SameBytes(ReadFileBytes(name), expected));
}

TEST_F(CompactTest, StoreWithNoLiveRecordsBecomesAFreshStore) {
  for (const int32_t flags : {0, STORE_SORTED | STORE_NOCASE}) {
    SCOPED_TRACE(flags);
    const std::string name = Path(Numbered("empty", flags, ".kvs"));
    StoreHandle store = Create(name, flags);
    ASSERT_NE(nullptr, store);
    ASSERT_EQ(1, Put(store, "gone", "soon"));
    ASSERT_EQ(1, BdbDelete(store, "gone"));
    ASSERT_EQ(1, BdbCompact(store));
    const StoreStats stats = Stats(store);
    EXPECT_EQ(0, stats.lAllocatedCount);
    EXPECT_EQ(0, stats.lFreeCount);
    ASSERT_EQ(1, BdbClose(store));
    const Bytes expected = flags == 0 ? FreshHeaderImage(0) : FreshSortedImage(flags);
    EXPECT_TRUE(SameBytes(ReadFileBytes(name), expected));
  }
}

TEST_F(CompactTest, TemporaryNameSkipsExistingSiblings) {
  const std::string name = Path("store.kvs");
  WriteFileBytes(Path("store.000"), ToBytes("zero"));
  WriteFileBytes(Path("store.001"), ToBytes("one"));
  std::filesystem::create_directory(dir_.path() / "store.002");
  StoreHandle store = UsedStore(name, 0);
  ASSERT_NE(nullptr, store);
  RecordingFileSystem recorder;
  {
    kvs::testing::ScopedFileSystem scope(recorder);
    ASSERT_EQ(1, BdbCompact(store));
  }
  EXPECT_EQ((std::vector<std::string>{Path("store.000"), Path("store.001"), Path("store.002"),
                                      Path("store.003")}),
            recorder.exclusiveCreates);
  ASSERT_EQ(size_t{1}, recorder.replaces.size());
  EXPECT_EQ(Path("store.003"), recorder.replaces[0].first);
  EXPECT_EQ(name, recorder.replaces[0].second);
  EXPECT_EQ(ToBytes("zero"), ReadFileBytes(Path("store.000")));
  EXPECT_EQ(ToBytes("one"), ReadFileBytes(Path("store.001")));
  EXPECT_EQ((std::vector<std::string>{"store.000", "store.001", "store.002", "store.kvs"}),
            Listing());
  ExpectUsedStoreContent(store);
}

TEST_F(CompactTest, NameWithoutDotGetsOneAppended) {
  const std::string name = Path("data");
  StoreHandle store = UsedStore(name, STORE_SORTED);
  ASSERT_NE(nullptr, store);
  RecordingFileSystem recorder;
  {
    kvs::testing::ScopedFileSystem scope(recorder);
    ASSERT_EQ(1, BdbCompact(store));
  }
  EXPECT_EQ((std::vector<std::string>{Path("data.000")}), recorder.exclusiveCreates);
  EXPECT_EQ((std::vector<std::string>{"data"}), Listing());
  ExpectUsedStoreContent(store);
  EXPECT_EQ(0, Stats(store).lFreeCount);
}

TEST_F(CompactTest, NameIsCutAtItsFirstDot) {
  const std::string name = Path("a.b.kvs");
  StoreHandle store = UsedStore(name, 0);
  ASSERT_NE(nullptr, store);
  RecordingFileSystem recorder;
  {
    kvs::testing::ScopedFileSystem scope(recorder);
    ASSERT_EQ(1, BdbCompact(store));
  }
  EXPECT_EQ((std::vector<std::string>{Path("a.000")}), recorder.exclusiveCreates);
  EXPECT_EQ((std::vector<std::string>{"a.b.kvs"}), Listing());
}

// The first dot lies in a directory name: the temporary file goes beside
// that directory, and the replace moves it back in under the store's name.
TEST_F(CompactTest, DotInDirectoryPartPutsTheTemporaryFileBesideIt) {
  std::filesystem::create_directory(dir_.path() / "x.d");
  const std::string name = (dir_.path() / "x.d" / "s.kvs").string();
  WriteFileBytes(Path("x.000"), ToBytes("neighbour"));
  StoreHandle store = UsedStore(name, 0);
  ASSERT_NE(nullptr, store);
  RecordingFileSystem recorder;
  {
    kvs::testing::ScopedFileSystem scope(recorder);
    ASSERT_EQ(1, BdbCompact(store));
  }
  EXPECT_EQ((std::vector<std::string>{Path("x.000"), Path("x.001")}), recorder.exclusiveCreates);
  EXPECT_EQ((std::vector<std::string>{"x.000", "x.d"}), Listing());
  EXPECT_EQ(ToBytes("neighbour"), ReadFileBytes(Path("x.000")));
  ASSERT_EQ(1, BdbClose(store));
  EXPECT_EQ(size_t{128 + 36 + 33 + 40}, ReadFileBytes(name).size());
}

// A name whose first dot is at position 256 or later, or that has no dot
// and 256 or more bytes, leaves no room for ".nnn" in a 260-byte name.
TEST_F(CompactTest, NameWithoutRoomForTheSuffixFailsUntouched) {
  const std::string dir = dir_.path().string() + "/";
  ASSERT_LT(dir.size(), size_t{200});
  const std::vector<std::string> names = {dir + std::string(256 - dir.size(), 'n'),
                                          dir + std::string(256 - dir.size(), 'd') + ".k"};
  for (const std::string& name : names) {
    SCOPED_TRACE(name.size());
    StoreHandle store = UsedStore(name, STORE_SORTED);
    ASSERT_NE(nullptr, store);
    ASSERT_EQ(1, BdbClose(store));
    const Bytes before = ReadFileBytes(name);
    const std::vector<std::string> listing = Listing();
    store = Open(name);
    ASSERT_NE(nullptr, store);
    EXPECT_EQ(0, BdbCompact(store));
    ExpectUsedStoreContent(store);
    EXPECT_EQ(2, Stats(store).lFreeCount);
    ASSERT_EQ(1, BdbClose(store));
    EXPECT_TRUE(SameBytes(ReadFileBytes(name), before));
    EXPECT_EQ(listing, Listing());
  }
}

TEST_F(CompactTest, ThreeHundredSortedKeysKeepListOrderAndAFullIndex) {
  StoreHandle store = Create(Path("big.kvs"), STORE_SORTED | STORE_NOCASE);
  ASSERT_NE(nullptr, store);
  std::vector<std::string> sorted;
  for (int i = 0; i < 300; ++i) sorted.push_back(Numbered("key", 1000 + i));
  for (int i = 0; i < 300; ++i) {
    const std::string& key = sorted[static_cast<size_t>(i * 7 % 300)];
    ASSERT_EQ(1, Put(store, key, key + key));
  }
  for (int i = 0; i < 300; i += 3) ASSERT_EQ(1, Put(store, sorted[static_cast<size_t>(i)], "x"));
  static std::vector<std::string> walked;
  auto collect = [](StoreHandle, const char* key, int32_t) {
    walked.emplace_back(key);
    return 0;
  };
  walked.clear();
  ASSERT_EQ(1, BdbWalk(store, 0, collect));
  const std::vector<std::string> order = walked;

  ASSERT_EQ(1, BdbCompact(store));
  walked.clear();
  ASSERT_EQ(1, BdbWalk(store, 0, collect));
  EXPECT_EQ(order, walked);
  EXPECT_EQ(sorted, List(store, ""));
  for (int i = 0; i < 300; ++i) {
    const std::string& key = sorted[static_cast<size_t>(i)];
    EXPECT_EQ(i % 3 == 0 ? "x" : key + key, Get(store, key)) << key;
  }
  const StoreStats stats = Stats(store);
  EXPECT_EQ(300, stats.lAllocatedCount);
  EXPECT_EQ(1, stats.lIndexCount);
  EXPECT_LE(stats.lFreeCount, 1);
}

TEST_F(CompactTest, AllThousandTemporaryNamesTakenFailsUntouched) {
  const std::string name = Path("store.kvs");
  StoreHandle store = UsedStore(name, 0);
  ASSERT_NE(nullptr, store);
  for (int n = 0; n < 1000; ++n) {
    std::string sibling = Numbered("store.", 1000 + n);
    sibling.erase(6, 1);  // store.1000 -> store.000
    WriteFileBytes(Path(sibling), {});
  }
  ASSERT_EQ(1, BdbClose(store));
  const Bytes before = ReadFileBytes(name);
  const std::vector<std::string> listing = Listing();
  ASSERT_EQ(size_t{1001}, listing.size());
  store = Open(name);
  ASSERT_NE(nullptr, store);
  EXPECT_EQ(0, BdbCompact(store));
  ExpectUsedStoreContent(store);
  ASSERT_EQ(1, BdbClose(store));
  EXPECT_TRUE(SameBytes(ReadFileBytes(name), before));
  EXPECT_EQ(listing, Listing());
}

TEST_F(CompactTest, NeedsNoFreeSlot) {
  StoreHandle store = UsedStore(Path("store.kvs"), STORE_SORTED);
  ASSERT_NE(nullptr, store);
  for (int i = 1; i < MAX_STORES; ++i) ASSERT_NE(nullptr, Create(Path(Numbered("o", i)), 0));
  EXPECT_EQ(1, BdbCompact(store));
  ExpectUsedStoreContent(store);
  EXPECT_EQ(0, Stats(store).lFreeCount);
}

class CompactFaultTest : public CompactTest {
 protected:
  // The store, its bytes, and the directory listing before a compaction that
  // is to fail; afterwards everything must be as it was.
  void PrepareStore(int32_t flags) {
    name_ = Path("store.kvs");
    StoreHandle store = UsedStore(name_, flags);
    ASSERT_NE(nullptr, store);
    ASSERT_EQ(1, BdbClose(store));
    before_ = ReadFileBytes(name_);
    listing_ = Listing();
  }
  void ExpectOldStoreWholeAndOpen(StoreHandle store) {
    ExpectUsedStoreContent(store);
    EXPECT_EQ(2, Stats(store).lFreeCount);
    EXPECT_EQ(listing_, Listing());
    ASSERT_EQ(1, BdbClose(store));
    EXPECT_TRUE(SameBytes(ReadFileBytes(name_), before_));
  }

  kvs::testing::FaultInjectingFileSystem fs_;
  std::string name_;
  Bytes before_;
  std::vector<std::string> listing_;
};

TEST_F(CompactFaultTest, CopyFailingPartWayLeavesTheOldStore) {
  for (const int32_t flags : {0, STORE_SORTED}) {
    // Three records to copy, plus the Index record of a sorted store.
    const int growthsNeeded = flags == 0 ? 3 : 4;
    for (int growths = 0; growths < growthsNeeded; ++growths) {
      SCOPED_TRACE(::testing::Message() << "flags " << flags << ", growths " << growths);
      PrepareStore(flags);
      kvs::testing::ScopedFileSystem scope(fs_);
      fs_.Heal();
      StoreHandle store = Open(name_);
      ASSERT_NE(nullptr, store);
      fs_.FailGrowthAfter(growths);
      EXPECT_EQ(0, BdbCompact(store));
      fs_.Heal();
      ExpectOldStoreWholeAndOpen(store);
    }
  }
}

TEST_F(CompactFaultTest, FailedReplaceLeavesTheOldStore) {
  PrepareStore(STORE_SORTED | STORE_NOCASE);
  kvs::testing::ScopedFileSystem scope(fs_);
  StoreHandle store = Open(name_);
  ASSERT_NE(nullptr, store);
  fs_.FailReplace();
  EXPECT_EQ(0, BdbCompact(store));
  fs_.Heal();
  ExpectOldStoreWholeAndOpen(store);

  store = Open(name_);
  ASSERT_NE(nullptr, store);
  EXPECT_EQ(1, BdbCompact(store));
  EXPECT_EQ(0, Stats(store).lFreeCount);
  ExpectUsedStoreContent(store);
}

TEST_F(CompactFaultTest, FailedSyncOrTemporaryCreateLeavesTheOldStore) {
  PrepareStore(0);
  kvs::testing::ScopedFileSystem scope(fs_);
  StoreHandle store = Open(name_);
  ASSERT_NE(nullptr, store);
  fs_.FailSyncAfter(0);
  EXPECT_EQ(0, BdbCompact(store));
  fs_.Heal();
  ExpectOldStoreWholeAndOpen(store);

  for (const kvs::OpenMode mode : {kvs::OpenMode::kCreateExclusive, kvs::OpenMode::kCreate}) {
    store = Open(name_);
    ASSERT_NE(nullptr, store);
    fs_.FailOpen(mode);
    EXPECT_EQ(0, BdbCompact(store));
    fs_.Heal();
    ExpectOldStoreWholeAndOpen(store);
  }
}

// Writes into the new file that fail (an I/O error rather than a full disk)
// must not let a partial copy take the place of the old store: whatever the
// result, the store under the name holds every key with its value.
TEST_F(CompactFaultTest, WriteFailuresNeverReplaceTheStoreWithAPartialCopy) {
  for (const int32_t flags : {0, STORE_SORTED}) {
    for (int writes = 0; writes < 24; ++writes) {
      SCOPED_TRACE(::testing::Message() << "flags " << flags << ", writes " << writes);
      PrepareStore(flags);
      kvs::testing::ScopedFileSystem scope(fs_);
      fs_.Heal();
      StoreHandle store = Open(name_);
      ASSERT_NE(nullptr, store);
      fs_.FailWriteAfter(writes);
      const int result = BdbCompact(store);
      fs_.Heal();
      if (result == 0) {
        ExpectOldStoreWholeAndOpen(store);
      } else {
        BdbClose(store);
        store = Open(name_);
        ASSERT_NE(nullptr, store) << "compaction reported success but the store does not open";
        EXPECT_EQ(0, Stats(store).lFreeCount);
        ExpectUsedStoreContent(store);
        ASSERT_EQ(1, BdbClose(store));
      }
      if (HasFailure()) return;  // one failing case tells the story
    }
  }
}

// The compacted file is in place but cannot be opened again: the result is
// that of the copy, and the handle no longer designates a store.
TEST_F(CompactFaultTest, FailedReopenAfterSuccessLeavesTheHandleInvalid) {
  PrepareStore(STORE_SORTED);
  kvs::testing::ScopedFileSystem scope(fs_);
  StoreHandle store = Open(name_);
  ASSERT_NE(nullptr, store);
  fs_.FailOpen(kvs::OpenMode::kUpdate);
  EXPECT_EQ(1, BdbCompact(store));
  fs_.Heal();
  StoreStats stats{};
  EXPECT_EQ(0, BdbGetStats(store, &stats));
  EXPECT_EQ(0, BdbClose(store));
  EXPECT_EQ((std::vector<std::string>{"store.kvs"}), Listing());
  EXPECT_EQ(size_t{128 + 1061 + 36 + 33 + 40}, ReadFileBytes(name_).size());
  store = Open(name_);
  ASSERT_NE(nullptr, store);
  ExpectUsedStoreContent(store);
}

}  // namespace
}  // namespace kvs_test
