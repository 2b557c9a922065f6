// format_lifecycle_test.cc: the bytes of fresh stores, the flags word, the
// table of 16 slots and its handles, recognition of store files, and the
// header bytes that opening and closing must carry unchanged.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "store/ops/slots.h"
#include "store/store.h"
#include "store/tests/fault_injecting_file_system.h"
#include "store/tests/store_test_util.h"

namespace kvs_test {
namespace {

using FormatLifecycleTest = StoreTest;

// Only bits 0 and 1 of the flags are kept; a store without STORE_SORTED is
// the bare 128-byte header, a sorted one adds the empty Index record. An
// existing file is truncated first.
TEST_F(FormatLifecycleTest, CreateMasksFlagsAndWritesAFreshStore) {
  const std::vector<std::pair<int32_t, int32_t>> cases = {
      {0, 0}, {STORE_NOCASE, 2}, {4, 0}, {3, 3}, {0xFF, 3}, {-1, 3}, {0x106, 2}, {0x105, 1}};
  for (const auto& [flags, kept] : cases) {
    SCOPED_TRACE(flags);
    const std::string name = Path(Numbered("f", flags & 0xFFFF, ".kvs"));
    WriteFileBytes(name, Bytes(5000, 0xAB));
    StoreHandle store = Create(name, flags);
    ASSERT_NE(nullptr, store);
    EXPECT_EQ((std::vector<int32_t>{0, 0, kept & STORE_SORTED, kept}), Counts(store));
    const Bytes expected = (kept & STORE_SORTED) != 0 ? FreshSortedImage(kept) : FreshHeaderImage(kept);
    EXPECT_TRUE(SameBytes(CloseAndRead(store, name), expected));
  }
}

// BdbOpenOrCreate makes a store only where nothing is, opens one that is
// there with its own flags, and never truncates: a file that is no store and
// a store another handle holds stay as they are.
TEST_F(FormatLifecycleTest, OpenOrCreateMakesOnlyNewStoresAndTruncatesNothing) {
  const std::string name = Path("s.kvs");
  StoreHandle store = Track(BdbOpenOrCreate(name.c_str(), STORE_SORTED | 0x104));
  ASSERT_NE(nullptr, store);
  EXPECT_TRUE(SameBytes(CloseAndRead(store, name), FreshSortedImage(STORE_SORTED)));
  ASSERT_EQ(1, BdbClose(CreateWith(name, 0, {{"k", "v"}})));
  ASSERT_NE(nullptr, store = Track(BdbOpenOrCreate(name.c_str(), STORE_SORTED)));
  EXPECT_EQ((std::vector<int32_t>{1, 0, 0, 0}), Counts(store));
  EXPECT_EQ("v", Get(store, "k"));
  const Bytes held = ReadFileBytes(name);
  EXPECT_EQ(nullptr, BdbOpenOrCreate(name.c_str(), 0));
  EXPECT_EQ(BDB_LOCKED, BdbLastError());
  EXPECT_TRUE(SameBytes(CloseAndRead(store, name), held));

  const struct {
    const char* file;
    Bytes bytes;
  } others[] = {{"empty", {}}, {"text", Bytes(300, 'x')}, {"short", Bytes(3, 0x42)}};
  for (const auto& other : others) {
    SCOPED_TRACE(other.file);
    WriteFileBytes(Path(other.file), other.bytes);
    EXPECT_EQ(nullptr, BdbOpenOrCreate(Path(other.file).c_str(), 0));
    EXPECT_EQ(BDB_NOT_A_STORE, BdbLastError());
    EXPECT_TRUE(SameBytes(ReadFileBytes(Path(other.file)), other.bytes));
  }
  EXPECT_EQ(nullptr, BdbOpenOrCreate(Path("missing/s.kvs").c_str(), 0));
  EXPECT_EQ(BDB_IO, BdbLastError());
}

// The first records of a fresh sorted case-insensitive store: abc with a
// 10-byte value, then ab with a 2-byte value.
TEST_F(FormatLifecycleTest, FirstPutsIntoSortedStoreLayOutByteForByte) {
  const std::string name = Path("first.kvs");
  Bytes expected = FreshSortedImage(3);
  const int32_t abc = kFreshSortedSize, ab = abc + kRecordHeaderSize + 3 + 10;
  EXPECT_EQ(abc, AppendRecordImage(expected, 10, 10, 0, 0, "abc", "0123456789"));
  SetListHead(expected, kAllocatedHead, {abc, abc, 1});
  SetLe32(expected, kFirstIndexEntry, abc);
  EXPECT_TRUE(SameBytes(MakeStore(name, 3, {{"abc", "0123456789"}}), expected));

  StoreHandle store = Open(name);
  ASSERT_NE(nullptr, store);
  ASSERT_EQ(1, Put(store, "ab", "xy"));
  EXPECT_EQ(ab, AppendRecordImage(expected, 2, 2, abc, 0, "ab", "xy"));
  SetLe32(expected, At(abc) + kRecordNext, ab);
  SetListHead(expected, kAllocatedHead, {abc, ab, 2});
  SetLe32(expected, kFirstIndexEntry, ab);
  SetLe32(expected, kFirstIndexEntry + 4, abc);
  EXPECT_TRUE(SameBytes(CloseAndRead(store, name), expected));
}

int NeverCalled(StoreHandle, const char*, int32_t) {
  ADD_FAILURE() << "callback called through an invalid handle";
  return 0;
}

// Every operation refuses a handle that is not exactly the start of an open
// slot, without touching the store it is near or the caller's outputs.
void ExpectRefused(StoreHandle bad) {
  char buffer[4] = {'x', 'x', 'x', 'x'};
  int32_t size = 99, count = 99;
  StoreStats stats{7, 7, 7, 7};
  EXPECT_EQ(nullptr, BdbListPrefix(bad, "", &count));
  // In call order: put, size, read, delete, compact, stats, walk, close.
  EXPECT_EQ(std::vector<int>(8, 0),
            (std::vector<int>{BdbPut(bad, "k", "v", 1), BdbGetSize(bad, "k", &size), BdbRead(bad, "k", buffer, 4),
                              BdbDelete(bad, "k"), BdbCompact(bad), BdbGetStats(bad, &stats),
                              BdbWalk(bad, 0, NeverCalled), BdbClose(bad)}));
  EXPECT_EQ((std::vector<int32_t>{99, 99, 7, 7, 7, 7}),
            (std::vector<int32_t>{size, count, stats.lAllocatedCount, stats.lFreeCount, stats.lIndexCount, stats.lFlags}));
  EXPECT_EQ("xxxx", std::string(buffer, 4));
}

TEST_F(FormatLifecycleTest, SixteenSlotsTheirHandlesAndReuse) {
  std::vector<StoreHandle> stores;
  for (int i = 0; i < MAX_STORES; ++i) {
    stores.push_back(CreateWith(Path(Numbered("s", i, ".kvs")), STORE_SORTED, {{"k", Numbered("v", i)}}));
    ASSERT_EQ(stores[0] + i, stores.back()) << "slots are handed out in table order";
  }
  // With no slot free, create and open fail before touching any file.
  const std::string extra = Path("extra.kvs");
  EXPECT_EQ(nullptr, Create(extra, 0));
  EXPECT_FALSE(FileExists(extra));
  WriteFileBytes(extra, ToBytes("keep"));
  EXPECT_EQ(nullptr, Create(extra, 0));
  EXPECT_EQ(ToBytes("keep"), ReadFileBytes(extra));
  EXPECT_EQ(nullptr, Open(Path("s0.kvs")));

  const auto below = reinterpret_cast<std::uintptr_t>(stores[0]) - sizeof(StoreSlot);
  for (StoreHandle bad : {StoreHandle{nullptr}, stores[0] + MAX_STORES,
                          reinterpret_cast<StoreHandle>(below),
                          reinterpret_cast<StoreHandle>(reinterpret_cast<char*>(stores[3]) + 1)}) {
    SCOPED_TRACE(reinterpret_cast<std::uintptr_t>(bad));
    ExpectRefused(bad);
  }
  EXPECT_EQ("v0", Get(stores[0], "k"));
  EXPECT_EQ("v3", Get(stores[3], "k"));

  // A closed slot is refused, then is the first one handed out again.
  EXPECT_EQ(1, BdbClose(stores[5]));
  ExpectRefused(stores[5]);
  EXPECT_EQ(stores[5], Create(Path("again.kvs"), 0));
  EXPECT_EQ("<absent>", Get(stores[5], "k"));
  EXPECT_EQ(1, BdbClose(stores[9]));
  EXPECT_EQ(stores[9], Open(Path("s5.kvs")));
  EXPECT_EQ("v5", Get(stores[9], "k"));
}

TEST_F(FormatLifecycleTest, StoreFilesAreRecognisedByTheirMagicOnly) {
  EXPECT_EQ(0, BdbIsStoreFile(Path("missing.kvs").c_str()));
  EXPECT_EQ(nullptr, Open(Path("missing.kvs")));
  EXPECT_FALSE(FileExists(Path("missing.kvs")));
  EXPECT_EQ(0, BdbIsStoreFile(nullptr));
  EXPECT_EQ(nullptr, BdbOpen(nullptr));
  EXPECT_EQ(nullptr, BdbCreate(nullptr, 0));
  for (const char* content : {"", "BDB", "BDB1", "bdb0xxxxxxxx"}) {
    SCOPED_TRACE(content);
    const std::string name = Path("notastore");
    WriteFileBytes(name, ToBytes(content));
    EXPECT_EQ(0, BdbIsStoreFile(name.c_str()));
    EXPECT_EQ(nullptr, Open(name));
    EXPECT_EQ(ToBytes(content), ReadFileBytes(name));
  }
  // A directory is no store and cannot become one.
  const std::string directory = Path("dir");
  std::filesystem::create_directory(directory);
  EXPECT_EQ(0, BdbIsStoreFile(directory.c_str()));
  EXPECT_EQ(nullptr, Open(directory));
  EXPECT_EQ(nullptr, Create(directory, STORE_SORTED));
  EXPECT_TRUE(std::filesystem::is_directory(directory));
}

// A short file that begins with the magic is a store file and opens as an
// empty unsorted store; the header write after the first chain change must
// not land on the records appended past the short header.
TEST_F(FormatLifecycleTest, ShortFileWithMagicOpensAndKeepsRecordsPastTheHeader) {
  for (const size_t length : {size_t{4}, size_t{40}, size_t{127}}) {
    SCOPED_TRACE(length);
    const std::string name = Path(Numbered("short", static_cast<long long>(length)));
    Bytes content = ToBytes("BDB0");
    content.resize(length, 0);
    WriteFileBytes(name, content);
    EXPECT_EQ(1, BdbIsStoreFile(name.c_str()));
    StoreHandle store = Open(name);
    ASSERT_NE(nullptr, store);
    EXPECT_EQ((std::vector<int32_t>{0, 0, 0, 0}), Counts(store));
    ASSERT_EQ(1, Put(store, "key", "value"));
    ASSERT_EQ(1, Put(store, "k2", "second"));
    const Bytes file = CloseAndRead(store, name);
    const int32_t first = Le32(file, kAllocatedHead);
    EXPECT_GE(first, kStoreHeaderSize);
    EXPECT_EQ(2, Le32(file, kAllocatedHead + kHeadCount));
    EXPECT_EQ("value", RecordAt(file, first).value);
    ASSERT_NE(nullptr, store = Open(name));
    EXPECT_EQ("value", Get(store, "key"));
    EXPECT_EQ("second", Get(store, "k2"));
  }
}

// The header is rewritten whole after each chain change, from what was read
// at open: the reserved bytes and the flag bits above bit 1 stay as found.
TEST_F(FormatLifecycleTest, OpenAndUseKeepReservedBytesAndUnknownFlagBits) {
  for (const int32_t flags : {0, STORE_SORTED | STORE_NOCASE}) {
    SCOPED_TRACE(flags);
    const std::string name = Path(Numbered("reserved", flags));
    const bool sorted = (flags & STORE_SORTED) != 0;
    Bytes expected = sorted ? FreshSortedImage(flags | 0x7A5A0000) : FreshHeaderImage(flags | 0x7A5A0000);
    for (size_t i = kReservedOffset; i < kStoreHeaderSize; ++i) expected[i] = static_cast<unsigned char>(i * 7 + 1);
    WriteFileBytes(name, expected);

    StoreHandle store = Open(name);
    ASSERT_NE(nullptr, store);
    EXPECT_EQ(flags | 0x7A5A0000, Stats(store).lFlags);
    ASSERT_EQ(1, Put(store, "a", "1"));
    ASSERT_EQ(1, Put(store, "b", "2"));
    ASSERT_EQ(1, Put(store, "a", "longer value"));  // outgrows its record: appended anew
    ASSERT_EQ(1, BdbDelete(store, "b"));
    const auto a = static_cast<int32_t>(expected.size());
    const int32_t b = a + kRecordHeaderSize + 1 + 1, moved = b + kRecordHeaderSize + 1 + 1;
    AppendRecordImage(expected, 1, 1, 0, b, "a", "1");
    AppendRecordImage(expected, 1, 1, a, 0, "b", "2");
    AppendRecordImage(expected, 12, 12, 0, 0, "a", "longer value");
    SetListHead(expected, kAllocatedHead, {moved, moved, 1});
    SetListHead(expected, kFreeHead, {a, b, 2});
    if (sorted) SetLe32(expected, kFirstIndexEntry, moved);
    EXPECT_TRUE(SameBytes(CloseAndRead(store, name), expected));
  }
}

// Names that do not fit the slot's 260-byte buffer are refused before any
// file is opened, so an existing file of that name is not truncated.
TEST_F(FormatLifecycleTest, OverlongFileNamesAreRefusedUntouched) {
  const std::string dir = dir_.path().string() + "/";
  ASSERT_LT(dir.size(), size_t{200});
  for (const size_t length : {size_t{260}, size_t{300}}) {
    SCOPED_TRACE(length);
    const std::string name = dir + std::string(length - dir.size(), 'n');
    EXPECT_EQ(nullptr, Create(name, 0));
    EXPECT_EQ(nullptr, Create(name, STORE_SORTED));
    EXPECT_EQ(nullptr, Open(name));
    EXPECT_FALSE(FileExists(name));
  }
}

// Creating a sorted store whose Index record cannot be written fails and
// leaves neither a store that opens nor a slot in use.
TEST_F(FormatLifecycleTest, FailedIndexCreationLeavesNoStore) {
  kvs::testing::FaultInjectingFileSystem fs;
  {
    kvs::testing::ScopedFileSystem scope(fs);
    fs.FailEveryGrowth();
    EXPECT_EQ(nullptr, Create(Path("s.kvs"), STORE_SORTED));
  }
  EXPECT_EQ(nullptr, Open(Path("s.kvs")));
  for (int i = 0; i < MAX_STORES; ++i) ASSERT_NE(nullptr, Create(Path(Numbered("t", i)), 0)) << i;
}

// Reads that fail while a store is being opened: either the open fails, or
// the store it hands out is the real one; a later put must never write a
// header that was not read from the file over the real one.
TEST_F(FormatLifecycleTest, ReadErrorsWhileOpeningNeverDamageTheStore) {
  for (const int32_t flags : {0, STORE_SORTED}) {
    for (int reads = 0; reads < 6; ++reads) {
      SCOPED_TRACE(::testing::Message() << "flags " << flags << ", reads " << reads);
      const std::string name = Path("s.kvs");
      MakeStore(name, flags, {{"a", "1"}});
      {
        kvs::testing::FaultInjectingFileSystem fs;
        kvs::testing::ScopedFileSystem scope(fs);
        fs.FailReadAfter(reads);
        StoreHandle store = Open(name);
        fs.Heal();
        if (store != nullptr) {
          Put(store, "b", "2");
          BdbClose(store);
        }
      }
      StoreHandle store = Open(name);
      ASSERT_NE(nullptr, store) << "the store no longer opens";
      EXPECT_EQ("1", Get(store, "a"));
      EXPECT_EQ(1, BdbClose(store));
      if (HasFailure()) return;
    }
  }
}

}  // namespace
}  // namespace kvs_test
