// damaged_files_test.cc: stores whose bytes were damaged. Real stores are
// built, then damaged one field or byte at a time (links out of the file or
// into the header, loops, lengths out of range, counts that disagree with
// their chains); every damaged file that still opens goes through every
// operation. Nothing may crash or hang (the sanitizer build checks memory),
// the file may not grow without bound, and compaction may leave no
// temporary file behind.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "store/store.h"
#include "store/os/store_file.h"
#include "store/tests/fault_injecting_file_system.h"
#include "store/tests/store_test_util.h"

namespace kvs_test {
namespace {

// Growth a handful of small puts, an index growth and a compaction can
// cause; a damaged file that grows more than this is being written wildly.
constexpr std::size_t kGrowthBound = 64 * 1024;

// The platform's files without forcing data to stable storage: compaction
// syncs its new file, and thousands of syncs would only make the test slow.
class UnsyncedFile final : public kvs::StoreFile {
 public:
  explicit UnsyncedFile(std::unique_ptr<kvs::StoreFile> file) : file_(std::move(file)) {}
  std::size_t Read(void* buffer, std::size_t n) override { return file_->Read(buffer, n); }
  std::size_t Write(const void* data, std::size_t n) override { return file_->Write(data, n); }
  bool Seek(int64_t offset) override { return file_->Seek(offset); }
  int64_t Tell() override { return file_->Tell(); }
  bool Flush() override { return file_->Flush(); }
  int64_t Length() override { return file_->Length(); }
  bool SetLength(int64_t length) override { return file_->SetLength(length); }
  bool Sync() override { return true; }

 private:
  std::unique_ptr<kvs::StoreFile> file_;
};

class UnsyncedFileSystem final : public kvs::FileSystem {
 public:
  std::unique_ptr<kvs::StoreFile> Open(const char* name, kvs::OpenMode mode,
                                       kvs::OpenError* error = nullptr) override {
    auto file = kvs::PlatformFileSystem().Open(name, mode, error);
    if (!file) return nullptr;
    return std::make_unique<UnsyncedFile>(std::move(file));
  }
  bool Delete(const char* name) override { return kvs::PlatformFileSystem().Delete(name); }
  bool Replace(const char* from, const char* to) override {
    return kvs::PlatformFileSystem().Replace(from, to);
  }
};

std::size_t g_visits = 0;

// Counts the visit and reads from the walked store, as a callback may.
int VisitAndRead(StoreHandle store, const char* key, int32_t) {
  ++g_visits;
  BdbGetSize(store, key, nullptr);
  return 0;
}

class DamagedFilesTest : public StoreTest {
 protected:
  void SetUp() override {
    dump_ = std::fopen(Path("dump.txt").c_str(), "w+b");
    ASSERT_NE(nullptr, dump_);
  }
  void TearDown() override {
    StoreTest::TearDown();
    if (dump_ != nullptr) std::fclose(dump_);
  }

  // A sorted case-insensitive store of 40 keys, or an unsorted case-
  // sensitive one of 16, with values of varied length and every chain in
  // use: keys deleted (four or two, as the case mode decides), one
  // relocated, and a released record reused.
  Bytes BuildStore(bool sorted) {
    const int keys = sorted ? 40 : 16;
    StoreHandle store = Create(name_, sorted ? STORE_SORTED | STORE_NOCASE : 0);
    EXPECT_NE(nullptr, store);
    for (int i = 0; i < keys; ++i) {
      const std::string key = Numbered(i < 10 ? "Key0" : "Key", i);
      EXPECT_EQ(1, Put(store, key, std::string(At(sorted ? i * 7 % 23 : i % 5), 'v')));
    }
    for (const char* key : {"Key03", "Key09", "KEY14", "key15"}) BdbDelete(store, key);
    EXPECT_EQ(1, Put(store, sorted ? "key10" : "Key12", std::string(40, 'r')));
    EXPECT_EQ(1, Put(store, "re", "used"));
    EXPECT_EQ(1, BdbClose(store));
    return ReadFileBytes(name_);
  }

  // Offsets of the records of a well-formed file, in file order.
  static std::vector<int32_t> RecordOffsets(const Bytes& file) {
    std::vector<int32_t> offsets;
    const auto size = [&](std::size_t r) {  // header, key and data area
      return kRecordHeaderSize + At(Le32(file, r + kRecordNameLength)) + At(Le32(file, r));
    };
    for (std::size_t r = kStoreHeaderSize; r + kRecordHeaderSize <= file.size(); r += size(r))
      offsets.push_back(static_cast<int32_t>(r));
    return offsets;
  }

  // Writes the damaged image, and when it opens, runs every operation.
  void Exercise(const Bytes& image) {
    WriteFileBytes(name_, image);
    StoreHandle store = BdbOpen(name_.c_str());
    ++attempts_;
    if (store == nullptr) {
      EXPECT_TRUE(SameBytes(ReadFileBytes(name_), image)) << "a refused open changed the file";
      return;
    }
    ++opened_;
    RunOperations(store);
    // A failed compaction reopens the store just exercised; a successful
    // one gives a new file to exercise.
    if (BdbCompact(store) == 1) {
      ++compacted_;
      RunOperations(store);
    }
    BdbClose(store);  // 0 when the reopen after compaction failed
    EXPECT_LE(ReadFileBytes(name_).size(), image.size() + kGrowthBound);
    EXPECT_EQ(2, std::distance(std::filesystem::directory_iterator(dir_.path()), {}))
        << "a temporary file was left behind";
  }

  void RunOperations(StoreHandle store) {
    StoreStats stats{};
    BdbGetStats(store, &stats);
    char buffer[64];
    int32_t size = 0;
    for (const char* key : {"key11", "Key05", "Key39", "absent"}) BdbGetSize(store, key, &size);
    BdbRead(store, "Key00", buffer, sizeof buffer);
    BdbRead(store, "re", buffer, sizeof buffer);
    int32_t count = 0;
    BdbFree(BdbListPrefix(store, "", &count));
    BdbFree(BdbListPrefix(store, "key1", nullptr));
    BdbFree(BdbListPrefix(store, "Q", &count));
    for (int list : {0, 1, 2}) BdbWalk(store, list, VisitAndRead);
    std::rewind(dump_);
    BdbDumpAllocated(store, dump_);
    BdbDumpFree(store, dump_);
    BdbCheck(store, dump_);
    BdbPut(store, "Key00", "x", 1);
    BdbPut(store, "key11", "a value longer than any before it", 33);
    BdbPut(store, "brand new", "fresh", 5);
    BdbPut(store, "Key05", "", 0);
    BdbDelete(store, "Key20");
    BdbDelete(store, "absent");
    BdbRead(store, "brand new", buffer, sizeof buffer);
  }

  // Values a damaged 32-bit field gets: pointing outside the file, into the
  // header, into the middle of a record, back to the first record or to the
  // field's own record (loops), or out of range as a length or a count.
  static std::vector<int32_t> FieldValues(const Bytes& base, int32_t ownRecord, int32_t first) {
    const auto length = static_cast<int32_t>(base.size());
    return {kStoreHeaderSize - 1, kStoreHeaderSize + 16, length, ownRecord,
            ownRecord + kRecordHeaderSize, first, 16385, -1, INT32_MIN, INT32_MAX};
  }

  void DamageByte(const Bytes& base, std::size_t at) {
    for (const unsigned char value : {static_cast<unsigned char>(0x00), static_cast<unsigned char>(0xFF)}) {
      Bytes image = base;
      image[at] = value;
      if (value != base[at]) Exercise(image);
    }
  }

  void DamageField(const Bytes& base, std::size_t at, int32_t value) {
    Bytes image = base;
    SetLe32(image, at, value);
    Exercise(image);
  }

  // The store header is damaged in every byte with 0x00 and 0xFF and in
  // every field with every value; so are the records at the ends of every
  // chain (and of the file), in every field and in the low and high byte of
  // each. The other records, which are many and alike, get a rotating share
  // of the same damage, so every kind of damage still meets records in the
  // middle of chains. For a sorted store the index entries at its ends and
  // middle are damaged too. Data areas are sampled every 127th byte.
  void DamageEverywhere(const Bytes& base) {
    ASSERT_FALSE(base.empty());
    const std::vector<int32_t> records = RecordOffsets(base);
    const int32_t first = records.front();
    std::set<int32_t> chainEnds = {records.front(), records.back()};
    for (std::size_t head : {kAllocatedHead, kFreeHead, kIndexHead}) {
      chainEnds.insert(Le32(base, head));
      chainEnds.insert(Le32(base, head + kHeadLast));
    }
    chainEnds.erase(0);

    for (std::size_t i = 0; i < kStoreHeaderSize; ++i) DamageByte(base, i);
    for (std::size_t f = 4; f < 44; f += 4)
      for (int32_t value : FieldValues(base, first, first)) DamageField(base, f, value);

    std::size_t turn = 0;
    for (int32_t r : records) {
      const std::vector<int32_t> values = FieldValues(base, r, first);
      const bool full = chainEnds.count(r) != 0;
      // The low and the high byte of each field: small shifts of a link or
      // length, and values made negative or huge.
      for (std::size_t i = 0; i < 20; ++i)
        if ((full && (i % 4 == 0 || i % 4 == 3)) || (turn + i) % 8 == 0) DamageByte(base, At(r) + i);
      for (std::size_t f = 0; f < 20; f += 4)
        for (std::size_t v = 0; v < values.size(); ++v)
          if (full || (turn + f + v) % 8 == 0) DamageField(base, At(r) + f, values[v]);
      ++turn;
    }

    const int32_t indexRecord = Le32(base, kIndexHead);
    if (indexRecord != 0) {
      const int32_t count = Le32(base, kAllocatedHead + kHeadCount);
      for (int32_t entry : {0, 1, count / 2, count - 1, count})
        for (int32_t value : FieldValues(base, first, first))
          DamageField(base, IndexEntryAt(base, entry), value);
    }

    for (std::size_t i = kStoreHeaderSize; i < base.size(); i += 127) DamageByte(base, i);
  }

  UnsyncedFileSystem fileSystem_;
  kvs::testing::ScopedFileSystem scope_{fileSystem_};
  std::string name_ = Path("damaged.kvs");
  FILE* dump_ = nullptr;
  int attempts_ = 0, opened_ = 0, compacted_ = 0;
};

TEST_F(DamagedFilesTest, EveryDamagedFileGoesThroughEveryOperation) {
  for (const bool sorted : {true, false}) {
    SCOPED_TRACE(sorted ? "sorted" : "unsorted");
    attempts_ = opened_ = compacted_ = 0;
    DamageEverywhere(BuildStore(sorted));
    // Most single-byte damage lies in places that a store can still open with.
    EXPECT_GT(opened_, attempts_ / 4);
    EXPECT_GT(compacted_, 0);
    std::printf("%d damaged files, %d opened, %d compacted\n", attempts_, opened_, compacted_);
  }
}

// Damage that lies deeper than what an open checks must still be caught by
// the operations: a chain that loops back on itself, and a key length that
// runs past the end of the file.
TEST_F(DamagedFilesTest, LoopingChainAndOverlongKeyFailCleanly) {
  Bytes base = BuildStore(false);
  ASSERT_FALSE(base.empty());
  const int32_t first = Le32(base, kAllocatedHead);
  const int32_t second = RecordAt(base, first).next;
  Bytes loop = base;
  SetLe32(loop, At(second) + kRecordNext, first);  // second -> first -> second ...
  WriteFileBytes(name_, loop);
  StoreHandle store = Open(name_);
  ASSERT_NE(nullptr, store);
  EXPECT_EQ("<absent>", Get(store, "no such key"));
  EXPECT_EQ(0, Put(store, "no such key", "v"));
  g_visits = 0;
  EXPECT_EQ(1, BdbWalk(store, 0, VisitAndRead));
  EXPECT_LE(g_visits, (loop.size() - kStoreHeaderSize) / kRecordHeaderSize + 1)
      << "the walk must end";
  EXPECT_EQ(0, BdbCompact(store));
  EXPECT_EQ(1, BdbClose(store));

  Bytes longKey = base;
  SetLe32(longKey, At(first) + kRecordNameLength, 16384);
  WriteFileBytes(name_, longKey);
  store = Open(name_);
  ASSERT_NE(nullptr, store);
  EXPECT_EQ("<absent>", Get(store, "Key15"));
  EXPECT_EQ(0, BdbDelete(store, "Key15"));
  EXPECT_EQ(1, BdbClose(store));
  EXPECT_TRUE(SameBytes(ReadFileBytes(name_), longKey));
}

// What an open checks before it hands out a handle: each chain head either
// all zero or with both ends inside the file past the header and a positive
// count; for a sorted store an Index record (named so) with room for more
// entries than are in use, whose entries in use lie inside the file. A
// refused open leaves the file as it was.
TEST_F(DamagedFilesTest, OpenRefusesImplausibleHeadsAndIndex) {
  const Bytes base = BuildStore(true);
  ASSERT_FALSE(base.empty());
  const auto length = static_cast<int32_t>(base.size());
  const std::size_t index = At(Le32(base, kIndexHead));
  const std::size_t allocatedLast = kAllocatedHead + kHeadLast;
  const std::size_t allocatedCount = kAllocatedHead + kHeadCount;
  const std::size_t lastEntry = IndexEntryAt(base, Le32(base, allocatedCount) - 1);
  const std::size_t indexKey = index + kRecordHeaderSize, firstEntry = IndexEntryAt(base, 0);
  const std::vector<std::pair<std::size_t, int32_t>> damage = {
      {kAllocatedHead, 0}, {kAllocatedHead, 127}, {kAllocatedHead, length},
      {allocatedLast, 64}, {allocatedLast, -1},
      {allocatedCount, 0}, {allocatedCount, -3}, {allocatedCount, 257},
      {kFreeHead, length - 31}, {kFreeHead + kHeadCount, 0},
      {kIndexHead, 0}, {kIndexHead + kHeadLast, 1},
      {index + kRecordNameLength, 4}, {indexKey, 0},
      {firstEntry, 12}, {firstEntry, length}, {lastEntry, -128},
  };
  std::vector<Bytes> images(damage.size(), base);
  for (std::size_t i = 0; i < damage.size(); ++i) SetLe32(images[i], damage[i].first, damage[i].second);
  images.push_back(FreshHeaderImage(STORE_SORTED));  // sorted, but no Index record at all
  for (const Bytes& image : images) {
    SCOPED_TRACE(&image - images.data());
    WriteFileBytes(name_, image);
    EXPECT_EQ(nullptr, Open(name_));
    EXPECT_TRUE(SameBytes(ReadFileBytes(name_), image));
  }
  WriteFileBytes(name_, base);
  EXPECT_NE(nullptr, Open(name_));
}

// The index of a store too large to load at open is searched in the file,
// so the open checks only its ends: the first and last entries in use name
// records, and the entry after them is 0. Damage deeper in it is met by the
// calls whose search reads it: they report BDB_DAMAGED and change nothing.
// The middle entry is the first probe of every search; the check reports
// the damage, and the store is never compacted with it.
TEST_F(DamagedFilesTest, AnIndexSearchedInTheFileMeetsItsDamage) {
  constexpr int kKeys = 1100;  // more than an open loads
  StoreHandle store = Create(name_, STORE_SORTED | STORE_NOCASE);
  ASSERT_NE(nullptr, store);
  ASSERT_EQ(1, BdbHoldWrites(store));
  for (int i = 0; i < kKeys; ++i) ASSERT_EQ(1, Put(store, Numbered("key", 10000 + i), "value"));
  const Bytes base = CloseAndRead(store, name_);
  const auto length = static_cast<int32_t>(base.size());
  const int32_t count = Le32(base, kAllocatedHead + kHeadCount);
  const auto entry = [&](int32_t i) { return IndexEntryAt(base, i); };
  const int32_t middle = Le32(base, entry(count / 2));
  struct Damage {
    const char* what;
    std::size_t at;
    int32_t value;
    bool opens;
  };
  const std::vector<Damage> rows = {
      {"first entry in the header", entry(0), 12, false},
      {"last entry past the end", entry(count - 1), length, false},
      {"no 0 after the entries", entry(count), middle, false},
      {"middle entry in the header", entry(count / 2), 12, true},
      {"middle entry past the end", entry(count / 2), length, true},
      {"middle entry negative", entry(count / 2), -1, true},
      {"middle record's key too long", At(middle) + kRecordNameLength, 16385, true},
      {"middle record past the end", At(middle), length, true},
  };
  for (const Damage& row : rows) {
    SCOPED_TRACE(row.what);
    Bytes image = base;
    SetLe32(image, row.at, row.value);
    WriteFileBytes(name_, image);
    store = Open(name_);
    if (!row.opens) {
      EXPECT_EQ(nullptr, store);
      EXPECT_EQ(BDB_DAMAGED, BdbLastError());
      continue;
    }
    ASSERT_NE(nullptr, store);
    EXPECT_EQ("<absent>", Get(store, "key10000"));
    EXPECT_EQ(BDB_DAMAGED, BdbLastError());
    EXPECT_EQ(0, Put(store, "new", "v"));
    EXPECT_EQ(BDB_DAMAGED, BdbLastError());
    EXPECT_EQ(0, BdbDelete(store, "key10500"));
    EXPECT_EQ(BDB_DAMAGED, BdbLastError());
    EXPECT_EQ(nullptr, BdbListPrefix(store, "key1", nullptr));
    EXPECT_EQ(BDB_DAMAGED, BdbLastError());
    EXPECT_EQ(0, BdbCheck(store, nullptr));
    EXPECT_EQ(0, BdbCompact(store));
    EXPECT_EQ(BDB_DAMAGED, BdbLastError());
    EXPECT_EQ(1, BdbClose(store));
    handles_.erase(store);
    EXPECT_TRUE(SameBytes(ReadFileBytes(name_), image));
    Exercise(image);
  }
}

}  // namespace
}  // namespace kvs_test
