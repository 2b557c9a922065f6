// compact_test.cc: compaction: the layout and size of the compacted file,
// the order of its records, the temporary names it picks beside the store,
// names with no room for them, and failures part way or at the final replace,
// which must leave the old store whole, open and with no temporary file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "store/store.h"
#include "store/os/store_file.h"
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
    if (mode == kvs::OpenMode::kCreateNew && std::string(name).find("-journal") == std::string::npos) {
      exclusiveCreates.emplace_back(name);
    }
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

using FaultSetter = std::function<void(kvs::testing::FaultInjectingFileSystem&)>;

// The used store (below) once compacted: c, e and b in allocated-list order
// after the header and, in a sorted store, a fresh Index record. With no
// live records it is a fresh store.
Bytes CompactedImage(int32_t flags, bool live) {
  const bool sorted = (flags & STORE_SORTED) != 0;
  Bytes file = sorted ? FreshSortedImage(flags) : FreshHeaderImage(flags);
  if (!live) return file;
  const auto c = static_cast<int32_t>(file.size());
  const int32_t e = c + kRecordHeaderSize + 1 + 3, b = e + kRecordHeaderSize + 1;
  AppendRecordImage(file, 3, 3, 0, e, "c", "333");
  AppendRecordImage(file, 0, 0, c, b, "e", "");
  AppendRecordImage(file, 7, 7, e, 0, "b", "2222222");
  SetListHead(file, kAllocatedHead, {c, b, 3});
  if (sorted) {
    SetLe32(file, kFirstIndexEntry, b);
    SetLe32(file, kFirstIndexEntry + 4, c);
    SetLe32(file, kFirstIndexEntry + 8, e);
  }
  return file;
}

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
    StoreHandle store = CreateWith(name, flags, {{"a", "1111"}, {"b", "22"}, {"c", "333"}, {"e", ""}, {"b", "2222222"}});
    EXPECT_EQ(1, BdbDelete(store, "a"));
    return store;
  }
  static void ExpectUsedStoreContent(StoreHandle store) {
    EXPECT_EQ("<absent>", Get(store, "a"));
    EXPECT_EQ("2222222", Get(store, "b"));
    EXPECT_EQ("333", Get(store, "c"));
    EXPECT_EQ("", Get(store, "e"));
  }
  // Opens the used store under name, lets the fault (if any) act, and checks
  // that a compaction that fails leaves the old store whole, open and alone
  // in the directory. A linked store has a second name, other.kvs.
  void ExpectCompactFailsUntouched(const std::string& name, int32_t flags, const FaultSetter& fault,
                                   bool linked = false) {
    ASSERT_EQ(1, BdbClose(UsedStore(name, flags)));
    std::filesystem::remove(Path("other.kvs"));
    if (linked) std::filesystem::create_hard_link(name, Path("other.kvs"));
    const Bytes before = ReadFileBytes(name);
    const std::vector<std::string> listing = Listing();
    kvs::testing::FaultInjectingFileSystem fs;
    kvs::testing::ScopedFileSystem scope(fs);
    StoreHandle store = Open(name);
    ASSERT_NE(nullptr, store);
    if (fault) fault(fs);
    EXPECT_EQ(0, BdbCompact(store));
    fs.Heal();
    ExpectUsedStoreContent(store);
    EXPECT_EQ(2, Stats(store).lFreeCount);
    EXPECT_EQ(listing, Listing());
    EXPECT_TRUE(SameBytes(CloseAndRead(store, name), before));
    if (linked) {
      EXPECT_TRUE(std::filesystem::equivalent(name, Path("other.kvs")));
    }
  }
};

// Compaction writes a fresh file: the header with zero reserved bytes and
// flag bits 0 and 1 only, a fresh Index record in a sorted store, then the
// live records in allocated-list order. It works in a private slot, so it
// succeeds with every table slot in use.
TEST_F(CompactTest, LiveRecordsGoToAFreshFileInListOrder) {
  for (int i = 1; i < MAX_STORES; ++i) ASSERT_NE(nullptr, Create(Path(Numbered("o", i)), 0));
  struct Case {
    int32_t flags;
    bool live;
  };
  for (const Case c : {Case{STORE_NOCASE, true}, Case{STORE_SORTED, true}, Case{0, false},
                       Case{STORE_SORTED | STORE_NOCASE, false}}) {
    SCOPED_TRACE(::testing::Message() << "flags " << c.flags << (c.live ? ", live records" : ", none live"));
    const std::string name = Path(Numbered(c.live ? "live" : "none", c.flags, ".kvs"));
    StoreHandle store = UsedStore(name, c.flags);
    if (!c.live) {
      for (const char* key : {"b", "c", "e"}) ASSERT_EQ(1, BdbDelete(store, key));
    }
    Bytes file = CloseAndRead(store, name);
    SetLe32(file, kFlagsOffset, 0x0F00 | c.flags);
    std::fill(file.begin() + kReservedOffset, file.begin() + kStoreHeaderSize, 0x5A);
    WriteFileBytes(name, file);
    ASSERT_NE(nullptr, store = Open(name));
    const std::vector<std::string> listing = Listing();
    ASSERT_EQ(1, BdbCompact(store));
    EXPECT_EQ(listing, Listing());
    EXPECT_EQ((std::vector<int32_t>{c.live ? 3 : 0, 0, c.flags & STORE_SORTED, c.flags}), Counts(store));
    if (c.live) ExpectUsedStoreContent(store);
    EXPECT_EQ(c.live && (c.flags & STORE_NOCASE) != 0 ? "333" : "<absent>", Get(store, "C"));
    const bool listed = c.live && (c.flags & STORE_SORTED) != 0;
    EXPECT_EQ((listed ? std::vector<std::string>{"b", "c", "e"} : std::vector<std::string>{"<none>"}), List(store, ""));
    EXPECT_TRUE(SameBytes(CloseAndRead(store, name), CompactedImage(c.flags, c.live)));
  }
}

// The temporary file is the store's path up to its first dot (or all of it)
// with ".000", ".001", ... : the first name that does not exist yet. It is
// put in place of the store, and nothing else in the directory changes.
TEST_F(CompactTest, TemporaryNameIsTheFirstFreeNumberAfterTheFirstDot) {
  std::filesystem::create_directory(dir_.path() / "store.002");
  std::filesystem::create_directory(dir_.path() / "x.d");
  struct Case {
    std::string store;
    std::vector<std::string> siblings, creates;
  };
  const std::vector<Case> cases = {
      {"store.kvs", {"store.000", "store.001"}, {"store.000", "store.001", "store.002", "store.003"}},
      {"data", {}, {"data.000"}},
      {"a.b.kvs", {}, {"a.000"}},
      {"x.d/s.kvs", {"x.d/s.000"}, {"x.d/s.000", "x.d/s.001"}},  // beside the store, whatever dots its directory has
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.store);
    for (const std::string& sibling : c.siblings) WriteFileBytes(Path(sibling), ToBytes(sibling));
    const std::string name = Path(c.store);
    StoreHandle store = UsedStore(name, STORE_SORTED);
    const std::vector<std::string> listing = Listing();
    RecordingFileSystem recorder;
    {
      kvs::testing::ScopedFileSystem scope(recorder);
      ASSERT_EQ(1, BdbCompact(store));
    }
    // Names already taken are passed over without an attempt to create them.
    // The store's full name is used (Windows writes it with backslashes).
    const auto same = [](std::string path) {
      std::replace(path.begin(), path.end(), '\\', '/');
      return path;
    };
    ASSERT_EQ(size_t{1}, recorder.exclusiveCreates.size());
    EXPECT_EQ(same(Path(c.creates.back())), same(recorder.exclusiveCreates[0]));
    ASSERT_EQ(size_t{1}, recorder.replaces.size());
    EXPECT_EQ(same(Path(c.creates.back())), same(recorder.replaces[0].first));
    EXPECT_EQ(same(name), same(recorder.replaces[0].second));
    for (const std::string& sibling : c.siblings) EXPECT_EQ(ToBytes(sibling), ReadFileBytes(Path(sibling)));
    EXPECT_EQ(listing, Listing());
    ExpectUsedStoreContent(store);
    EXPECT_EQ(0, Stats(store).lFreeCount);
    EXPECT_TRUE(SameBytes(CloseAndRead(store, name), CompactedImage(STORE_SORTED, true)));
  }
}

// No temporary name can be had: the first dot is at position 256 or later,
// or there is no dot and 256 or more bytes (no room for ".nnn" in a 260-byte
// name), or all of .000 to .999 exist.
TEST_F(CompactTest, NoFreeTemporaryNameFailsUntouched) {
  const std::string dir = dir_.path().string() + "/";
  ASSERT_LT(dir.size(), size_t{200});
  ExpectCompactFailsUntouched(dir + std::string(256 - dir.size(), 'n'), STORE_SORTED, nullptr);
  ExpectCompactFailsUntouched(dir + std::string(256 - dir.size(), 'd') + ".k", STORE_SORTED, nullptr);
  for (int n = 1000; n < 2000; ++n) WriteFileBytes(Path(Numbered("store.", n).erase(6, 1)), {});
  ExpectCompactFailsUntouched(Path("store.kvs"), 0, nullptr);
}

TEST_F(CompactTest, ThreeHundredSortedKeysKeepListOrderAndAFullIndex) {
  StoreHandle store = Create(Path("big.kvs"), STORE_SORTED | STORE_NOCASE);
  ASSERT_NE(nullptr, store);
  std::vector<std::string> sorted;
  for (int i = 0; i < 300; ++i) sorted.push_back(Numbered("key", 1000 + i));
  for (int i = 0; i < 300; ++i) ASSERT_EQ(1, Put(store, sorted[At(i * 7 % 300)], sorted[At(i * 7 % 300)]));
  for (int i = 0; i < 300; i += 3) ASSERT_EQ(1, Put(store, sorted[At(i)], "relocated"));
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
  for (int i = 0; i < 300; ++i) EXPECT_EQ(i % 3 == 0 ? "relocated" : sorted[At(i)], Get(store, sorted[At(i)]));
  EXPECT_EQ(300, Stats(store).lAllocatedCount);
  EXPECT_LE(Stats(store).lFreeCount, 1);
}

// A failure at any step of the copy, the sync or the replace, or when the
// temporary file cannot be created, leaves the old store whole and open,
// also when it has two names.
TEST_F(CompactTest, FailuresLeaveTheOldStoreWholeAndOpen) {
  using kvs::testing::FaultInjectingFileSystem;
  std::vector<std::pair<std::string, FaultSetter>> faults = {
      {"replace", [](FaultInjectingFileSystem& fs) { fs.FailReplace(); }},
      {"sync", [](FaultInjectingFileSystem& fs) { fs.FailSyncAfter(0); }},
      {"exclusive create", [](FaultInjectingFileSystem& fs) { fs.FailOpen(kvs::OpenMode::kCreateNew); }},
      {"journal", [](FaultInjectingFileSystem& fs) { fs.FailOpenOf("-journal"); }},
  };
  // Three records to copy, plus the Index record of a sorted store.
  for (int growths = 0; growths < 4; ++growths)
    faults.emplace_back(Numbered("growth ", growths), [growths](FaultInjectingFileSystem& fs) { fs.FailGrowthAfter(growths); });
  // A store with two names is rewritten in place, with no replace.
  for (const bool linked : {false, true}) {
    for (const int32_t flags : {0, STORE_SORTED | STORE_NOCASE}) {
      for (const auto& [label, fault] : faults) {
        if ((flags == 0 && label == "growth 3") || (linked && label == "replace")) continue;
        SCOPED_TRACE(::testing::Message() << "flags " << flags << ", " << label << (linked ? ", linked" : ""));
        ExpectCompactFailsUntouched(Path("store.kvs"), flags, fault, linked);
      }
    }
  }
}

// Writes into the new file that fail (an I/O error rather than a full disk)
// must not let a partial copy take the place of the old store: whatever the
// result, the store under the name holds every key with its value.
TEST_F(CompactTest, WriteFailuresNeverReplaceTheStoreWithAPartialCopy) {
  for (const int32_t flags : {0, STORE_SORTED}) {
    for (int writes = 0; writes < 24; ++writes) {
      SCOPED_TRACE(::testing::Message() << "flags " << flags << ", writes " << writes);
      const std::string name = Path("store.kvs");
      ASSERT_EQ(1, BdbClose(UsedStore(name, flags)));
      const Bytes before = ReadFileBytes(name);
      kvs::testing::FaultInjectingFileSystem fs;
      kvs::testing::ScopedFileSystem scope(fs);
      StoreHandle store = Open(name);
      ASSERT_NE(nullptr, store);
      fs.FailWriteAfter(writes);
      const int result = BdbCompact(store);
      fs.Heal();
      BdbClose(store);
      const Bytes after = ReadFileBytes(name);
      EXPECT_EQ((std::vector<std::string>{"store.kvs"}), Listing());
      EXPECT_TRUE(result == 1 || SameBytes(after, before));
      ASSERT_NE(nullptr, store = Open(name)) << "the store does not open";
      EXPECT_EQ(result == 0 ? 2 : 0, Stats(store).lFreeCount);
      ExpectUsedStoreContent(store);
      ASSERT_EQ(1, BdbClose(store));
      if (HasFailure()) return;  // one failing case tells the story
    }
  }
}

// Reads that fail at any point of a compaction, the reading back of the new
// file included: a result of 1 means the handle designates the compacted
// store; a result of 0 comes with a cause, and the handle designates the old
// store or none. Either way the name holds the whole store.
TEST_F(CompactTest, ReadFailuresLeaveAWholeStoreAndATruthfulResult) {
  const std::string name = Path("store.kvs");
  for (int reads = 0; reads < 12; ++reads) {
    SCOPED_TRACE(reads);
    StoreHandle store = UsedStore(name, STORE_SORTED);
    kvs::testing::FaultInjectingFileSystem fs;
    kvs::testing::ScopedFileSystem scope(fs);
    fs.FailReadAfter(reads);
    const int result = BdbCompact(store);
    EXPECT_TRUE(result == 1 || BdbLastError() != BDB_OK);
    fs.Heal();
    StoreStats stats{};
    if (BdbGetStats(store, &stats) == 1) {
      EXPECT_EQ(result == 1 ? 0 : 2, stats.lFreeCount);
      ExpectUsedStoreContent(store);
      EXPECT_EQ(1, BdbClose(store));
    } else {
      EXPECT_EQ(0, result);
    }
    EXPECT_EQ((std::vector<std::string>{"store.kvs"}), Listing());
    ASSERT_NE(nullptr, store = Open(name));
    ExpectUsedStoreContent(store);
    ASSERT_EQ(1, BdbClose(store));
  }
}

// Keys in a scattered order, with values of scattered lengths.
void PutNewKeys(StoreHandle store, int count) {
  for (int i = 0; i < count; ++i) {
    const int n = i * 7919 % count;
    const std::string key = Numbered("key", n), value(static_cast<std::size_t>(n % 37), 'v');
    ASSERT_EQ(1, BdbPut(store, key.c_str(), value.data(), static_cast<int32_t>(value.size())));
  }
}

// A store created by this handle that has only gained new keys is written
// out as it stands instead of being copied record by record: the file must
// be the one a copy makes (the same store compacted after a reopen), for
// every kind of store, held or not, across index growths.
TEST_F(CompactTest, AStoreOfNewKeysIsWrittenOutAsTheCopyWouldWriteIt) {
  for (const int32_t flags : {0, STORE_SORTED, STORE_SORTED | STORE_NOCASE}) {
    for (const bool held : {false, true}) {
      for (const int count : {0, 3, 700}) {
        SCOPED_TRACE(::testing::Message() << "flags " << flags << ", held " << held << ", keys " << count);
        const std::string asItStands = Path("stands.kvs"), copied = Path("copied.kvs");
        StoreHandle store = Create(asItStands, flags);
        ASSERT_NE(nullptr, store);
        if (held) {
          ASSERT_EQ(1, BdbHoldWrites(store));
        }
        PutNewKeys(store, count);
        ASSERT_EQ(1, BdbCompact(store));
        EXPECT_EQ(count, Stats(store).lAllocatedCount);
        const Bytes written = CloseAndRead(store, asItStands);

        store = Create(copied, flags);
        PutNewKeys(store, count);
        ASSERT_EQ(1, BdbClose(store));
        ASSERT_NE(nullptr, store = Open(copied));
        if (held) {
          ASSERT_EQ(1, BdbHoldWrites(store));
        }
        ASSERT_EQ(1, BdbCompact(store));
        EXPECT_TRUE(SameBytes(written, CloseAndRead(store, copied)));
        if (HasFailure()) return;
      }
    }
  }
}

// Faults while such a store is written out leave it whole and usable: the
// compaction succeeds or fails, and either way every key stays readable
// through the handle and from the file afterwards, with nothing left beside.
TEST_F(CompactTest, FaultsWhileWritingAStoreOutAsItStandsLoseNothing) {
  using kvs::testing::FaultInjectingFileSystem;
  std::vector<std::pair<std::string, FaultSetter>> faults = {
      {"replace", [](FaultInjectingFileSystem& fs) { fs.FailReplace(); }},
      {"sync", [](FaultInjectingFileSystem& fs) { fs.FailSyncAfter(0); }},
      {"read", [](FaultInjectingFileSystem& fs) { fs.FailReadAfter(0); }},
  };
  for (int writes = 0; writes < 6; ++writes)
    faults.emplace_back(Numbered("write ", writes), [writes](FaultInjectingFileSystem& fs) { fs.FailWriteAfter(writes); });
  const std::string name = Path("store.kvs");
  for (const auto& [label, fault] : faults) {
    SCOPED_TRACE(label);
    kvs::testing::FaultInjectingFileSystem fs;
    kvs::testing::ScopedFileSystem scope(fs);
    StoreHandle store = Create(name, STORE_SORTED | STORE_NOCASE);
    ASSERT_NE(nullptr, store);
    PutNewKeys(store, 300);
    fault(fs);
    const int result = BdbCompact(store);
    fs.Heal();
    EXPECT_TRUE(result == 1 || BdbLastError() != BDB_OK);
    // A new file that cannot be read back leaves the handle designating none.
    StoreStats stats{};
    if (BdbGetStats(store, &stats) == 1) {
      EXPECT_EQ(300, stats.lAllocatedCount);
      EXPECT_EQ("", Get(store, "key0"));
      ASSERT_EQ(1, BdbClose(store));
    } else {
      EXPECT_EQ(0, result);
    }
    EXPECT_EQ((std::vector<std::string>{"store.kvs"}), Listing());
    ASSERT_NE(nullptr, store = Open(name));
    EXPECT_EQ(300, Stats(store).lAllocatedCount);
    EXPECT_EQ(std::string(299 % 37, 'v'), Get(store, "key299"));
    ASSERT_EQ(1, BdbClose(store));
    if (HasFailure()) return;
  }
}

}  // namespace
}  // namespace kvs_test
