// format_lifecycle_test.cc: the bytes of fresh stores, the flags word, the
// table of 16 slots and its handles, recognition of store files, and the
// header bytes that opening and closing must carry unchanged.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "store/slots.h"
#include "store/store.h"
#include "store/tests/fault_injecting_file_system.h"
#include "store/tests/store_test_util.h"

namespace kvs_test {
namespace {

using FormatLifecycleTest = StoreTest;

TEST_F(FormatLifecycleTest, FreshSortedStoreIsHeaderAndEmptyIndexRecord) {
  const std::string name = Path("sorted.kvs");
  StoreHandle store = Create(name, STORE_SORTED | STORE_NOCASE);
  ASSERT_NE(nullptr, store);
  const StoreStats stats = Stats(store);
  EXPECT_EQ(0, stats.lAllocatedCount);
  EXPECT_EQ(0, stats.lFreeCount);
  EXPECT_EQ(1, stats.lIndexCount);
  EXPECT_EQ(3, stats.lFlags);
  ASSERT_EQ(1, BdbClose(store));
  const Bytes file = ReadFileBytes(name);
  EXPECT_EQ(size_t{1189}, file.size());
  EXPECT_TRUE(SameBytes(file, FreshSortedImage(3)));
}

// The first records of a fresh sorted case-insensitive store: abc with a
// 10-byte value, then ab with a 2-byte value.
TEST_F(FormatLifecycleTest, FirstPutsIntoSortedStoreLayOutByteForByte) {
  const std::string name = Path("first.kvs");
  StoreHandle store = Create(name, 3);
  ASSERT_NE(nullptr, store);
  ASSERT_EQ(1, Put(store, "abc", "0123456789"));
  ASSERT_EQ(1, BdbClose(store));

  Bytes expected = FreshSortedImage(3);
  EXPECT_EQ(1189, AppendRecordImage(expected, 10, 10, 0, 0, "abc", "0123456789"));
  SetListHead(expected, kAllocatedHead, {1189, 1189, 1});
  SetLe32(expected, kFirstIndexEntry, 1189);
  EXPECT_EQ(size_t{1234}, expected.size());
  EXPECT_TRUE(SameBytes(ReadFileBytes(name), expected));

  store = Open(name);
  ASSERT_NE(nullptr, store);
  ASSERT_EQ(1, Put(store, "ab", "xy"));
  ASSERT_EQ(1, BdbClose(store));
  EXPECT_EQ(1234, AppendRecordImage(expected, 2, 2, 1189, 0, "ab", "xy"));
  SetLe32(expected, 1189 + 16, 1234);
  SetListHead(expected, kAllocatedHead, {1189, 1234, 2});
  SetLe32(expected, kFirstIndexEntry, 1234);
  SetLe32(expected, kFirstIndexEntry + 4, 1189);
  EXPECT_EQ(size_t{1270}, expected.size());
  EXPECT_TRUE(SameBytes(ReadFileBytes(name), expected));
}

// Only bits 0 and 1 of the flags are kept; a store without STORE_SORTED is
// the bare 128-byte header.
TEST_F(FormatLifecycleTest, CreateMasksFlagsToTheTwoKnownBits) {
  const std::vector<std::pair<int32_t, int32_t>> cases = {
      {0, 0}, {STORE_NOCASE, 2}, {4, 0}, {0xFF, 3}, {-1, 3}, {0x106, 2}};
  for (const auto& [flags, kept] : cases) {
    SCOPED_TRACE(flags);
    const std::string name = Path(Numbered("f", flags & 0xFFFF, ".kvs"));
    StoreHandle store = Create(name, flags);
    ASSERT_NE(nullptr, store);
    const StoreStats stats = Stats(store);
    EXPECT_EQ(kept, stats.lFlags);
    EXPECT_EQ(kept & STORE_SORTED, stats.lIndexCount);
    ASSERT_EQ(1, BdbClose(store));
    const Bytes expected = (kept & STORE_SORTED) != 0 ? FreshSortedImage(kept) : FreshHeaderImage(kept);
    EXPECT_TRUE(SameBytes(ReadFileBytes(name), expected));
  }
}

TEST_F(FormatLifecycleTest, CreateTruncatesAnExistingFile) {
  const std::string name = Path("old.kvs");
  WriteFileBytes(name, Bytes(5000, 0xAB));
  ASSERT_EQ(1, BdbClose(Create(name, 0)));
  EXPECT_TRUE(SameBytes(ReadFileBytes(name), FreshHeaderImage(0)));

  StoreHandle store = Create(name, STORE_SORTED);
  ASSERT_NE(nullptr, store);
  ASSERT_EQ(1, Put(store, "k", "v"));
  BdbClose(store);
  ASSERT_EQ(1, BdbClose(Create(name, STORE_SORTED)));
  EXPECT_TRUE(SameBytes(ReadFileBytes(name), FreshSortedImage(STORE_SORTED)));
}

TEST_F(FormatLifecycleTest, SixteenSlotsAndTheFreedSlotIsReusedFirst) {
  std::vector<StoreHandle> stores;
  for (int i = 0; i < MAX_STORES; ++i) {
    stores.push_back(Create(Path(Numbered("s", i, ".kvs")), 0));
    ASSERT_NE(nullptr, stores.back()) << "store " << i;
  }
  const std::string extra = Path("extra.kvs");
  EXPECT_EQ(nullptr, Create(extra, 0));
  EXPECT_FALSE(FileExists(extra)) << "a create without a free slot must not touch the file";
  WriteFileBytes(extra, Bytes{'k', 'e', 'e', 'p'});
  EXPECT_EQ(nullptr, Create(extra, 0));
  EXPECT_EQ(ToBytes("keep"), ReadFileBytes(extra));
  EXPECT_EQ(nullptr, Open(Path("s0.kvs")));

  ASSERT_EQ(1, Put(stores[5], "k", "five"));
  EXPECT_EQ(1, BdbClose(stores[5]));
  EXPECT_EQ(0, BdbClose(stores[5]));
  EXPECT_EQ(0, Put(stores[5], "k", "late"));
  EXPECT_EQ(stores[5], Create(Path("again.kvs"), 0));
  EXPECT_EQ("<absent>", Get(stores[5], "k"));
  EXPECT_EQ(1, BdbClose(stores[9]));
  EXPECT_EQ(stores[9], Open(Path("s5.kvs")));
  EXPECT_EQ("five", Get(stores[9], "k"));
}

int NeverCalled(StoreHandle, const char*, int32_t) {
  ADD_FAILURE() << "callback called through an invalid handle";
  return 0;
}

// Every operation refuses a handle that is not exactly the start of an open
// slot, without touching the store it is near.
void ExpectRefused(StoreHandle bad) {
  char buffer[4] = {'x', 'x', 'x', 'x'};
  int32_t size = 99;
  int32_t count = 99;
  StoreStats stats{7, 7, 7, 7};
  EXPECT_EQ(0, BdbPut(bad, "k", "v", 1));
  EXPECT_EQ(0, BdbGetSize(bad, "k", &size));
  EXPECT_EQ(0, BdbRead(bad, "k", buffer, 4));
  EXPECT_EQ(0, BdbDelete(bad, "k"));
  EXPECT_EQ(nullptr, BdbListPrefix(bad, "", &count));
  EXPECT_EQ(0, BdbCompact(bad));
  EXPECT_EQ(0, BdbGetStats(bad, &stats));
  EXPECT_EQ(0, BdbWalk(bad, 0, NeverCalled));
  EXPECT_EQ(0, BdbClose(bad));
  EXPECT_EQ(99, size);
  EXPECT_EQ(99, count);
  EXPECT_EQ('x', buffer[0]);
  EXPECT_EQ(7, stats.lAllocatedCount);
}

TEST_F(FormatLifecycleTest, InvalidHandlesAreRefusedEverywhere) {
  const std::string name = Path("store.kvs");
  StoreHandle store = Create(name, STORE_SORTED);
  ASSERT_NE(nullptr, store);
  ASSERT_EQ(1, Put(store, "k", "v"));
  const Bytes before = [&] {
    BdbClose(store);
    return ReadFileBytes(name);
  }();
  store = Open(name);
  ASSERT_NE(nullptr, store);

  SCOPED_TRACE("one byte past the start of an open slot");
  ExpectRefused(reinterpret_cast<StoreHandle>(reinterpret_cast<char*>(store) + 1));
  SCOPED_TRACE("a null handle");
  ExpectRefused(nullptr);
  SCOPED_TRACE("a free slot");
  ExpectRefused(store + 1);
  SCOPED_TRACE("a slot-sized step below the table");
  ExpectRefused(reinterpret_cast<StoreHandle>(reinterpret_cast<std::uintptr_t>(store) -
                                              sizeof(StoreSlot)));

  EXPECT_EQ("v", Get(store, "k"));
  EXPECT_EQ(1, BdbClose(store));
  EXPECT_TRUE(SameBytes(ReadFileBytes(name), before));
}

TEST_F(FormatLifecycleTest, HandlePastTheLastSlotIsRefused) {
  std::vector<StoreHandle> stores;
  for (int i = 0; i < MAX_STORES; ++i) {
    stores.push_back(Create(Path(Numbered("s", i, ".kvs")), 0));
    ASSERT_NE(nullptr, stores.back());
  }
  // Slots are handed out in table order, so the first handle is slot 0.
  for (int i = 1; i < MAX_STORES; ++i) ASSERT_EQ(stores[0] + i, stores[static_cast<size_t>(i)]);
  ExpectRefused(stores[0] + MAX_STORES);
}

TEST_F(FormatLifecycleTest, StoreFilesAreRecognisedByTheirMagicOnly) {
  EXPECT_EQ(0, BdbIsStoreFile(Path("missing.kvs").c_str()));
  EXPECT_EQ(0, BdbIsStoreFile(nullptr));
  const std::vector<std::pair<std::string, Bytes>> notStores = {
      {"empty", {}},
      {"three", ToBytes("BDB")},
      {"fourth", ToBytes("BDB1")},
      {"lower", ToBytes("bdb0xxxxxxxx")},
  };
  for (const auto& [label, content] : notStores) {
    const std::string name = Path(label);
    WriteFileBytes(name, content);
    EXPECT_EQ(0, BdbIsStoreFile(name.c_str())) << label;
    EXPECT_EQ(nullptr, Open(name)) << label;
    EXPECT_EQ(content, ReadFileBytes(name)) << label;
  }
  EXPECT_EQ(nullptr, Open(Path("missing.kvs")));
  EXPECT_FALSE(FileExists(Path("missing.kvs")));
  EXPECT_EQ(nullptr, BdbOpen(nullptr));
  EXPECT_EQ(nullptr, BdbCreate(nullptr, 0));

  const std::string magic = Path("magic");
  WriteFileBytes(magic, ToBytes("BDB0"));
  EXPECT_EQ(1, BdbIsStoreFile(magic.c_str()));

  // A directory is no store and cannot become one.
  const std::string directory = Path("dir");
  std::filesystem::create_directory(directory);
  EXPECT_EQ(0, BdbIsStoreFile(directory.c_str()));
  EXPECT_EQ(nullptr, Open(directory));
  EXPECT_EQ(nullptr, Create(directory, STORE_SORTED));
  EXPECT_TRUE(std::filesystem::is_directory(directory));
}

// A short file that begins with the magic opens as an empty unsorted store;
// the header write after the first chain change must not land on the record.
TEST_F(FormatLifecycleTest, ShortFileWithMagicOpensAndKeepsRecordsPastTheHeader) {
  for (const size_t length : {size_t{4}, size_t{40}, size_t{127}}) {
    SCOPED_TRACE(length);
    const std::string name = Path(Numbered("short", static_cast<long long>(length)));
    Bytes content(length, 0);
    content[0] = 'B';
    content[1] = 'D';
    content[2] = 'B';
    content[3] = '0';
    WriteFileBytes(name, content);
    StoreHandle store = Open(name);
    ASSERT_NE(nullptr, store);
    const StoreStats stats = Stats(store);
    EXPECT_EQ(0, stats.lAllocatedCount);
    EXPECT_EQ(0, stats.lFreeCount);
    EXPECT_EQ(0, stats.lIndexCount);
    EXPECT_EQ(0, stats.lFlags);
    ASSERT_EQ(1, Put(store, "key", "value"));
    ASSERT_EQ(1, Put(store, "k2", "second"));
    EXPECT_EQ("value", Get(store, "key"));
    ASSERT_EQ(1, BdbClose(store));

    const Bytes file = ReadFileBytes(name);
    const ListHeadValues allocated = ListHeadAt(file, kAllocatedHead);
    EXPECT_GE(allocated.first, 128);
    EXPECT_EQ(2, allocated.count);
    EXPECT_EQ("key", RecordAt(file, allocated.first).key);
    EXPECT_EQ("value", RecordAt(file, allocated.first).value);
    store = Open(name);
    ASSERT_NE(nullptr, store);
    EXPECT_EQ("value", Get(store, "key"));
    EXPECT_EQ("second", Get(store, "k2"));
  }
}

// A header that claims a sorted store but has no Index record cannot be
// used as one: the open fails and the file stays as it was.
TEST_F(FormatLifecycleTest, SortedStoreWithoutIndexRecordDoesNotOpen) {
  const std::string name = Path("noindex.kvs");
  Bytes content = FreshHeaderImage(STORE_SORTED);
  WriteFileBytes(name, content);
  EXPECT_EQ(nullptr, Open(name));
  EXPECT_EQ(content, ReadFileBytes(name));

  // The Index record present but named otherwise.
  content = FreshSortedImage(STORE_SORTED);
  content[160] = 'X';
  WriteFileBytes(name, content);
  EXPECT_EQ(nullptr, Open(name));
  EXPECT_EQ(content, ReadFileBytes(name));
}

TEST_F(FormatLifecycleTest, OpenAndUseKeepReservedBytesAndUnknownFlagBits) {
  for (const int32_t flags : {0, STORE_SORTED | STORE_NOCASE}) {
    SCOPED_TRACE(flags);
    const std::string name = Path(Numbered("reserved", flags));
    ASSERT_EQ(1, BdbClose(Create(name, flags)));
    Bytes file = ReadFileBytes(name);
    SetLe32(file, kFlagsOffset, flags | 0x7A5A0000);
    for (size_t i = kReservedOffset; i < 128; ++i) file[i] = static_cast<unsigned char>(i * 7 + 1);
    const Bytes patched = file;
    WriteFileBytes(name, file);

    StoreHandle store = Open(name);
    ASSERT_NE(nullptr, store);
    EXPECT_EQ(flags | 0x7A5A0000, Stats(store).lFlags);
    ASSERT_EQ(1, Put(store, "a", "1"));
    ASSERT_EQ(1, Put(store, "b", "2"));
    ASSERT_EQ(1, Put(store, "a", "longer value"));
    ASSERT_EQ(1, BdbDelete(store, "b"));
    ASSERT_EQ(1, BdbClose(store));
    file = ReadFileBytes(name);
    ASSERT_GE(file.size(), size_t{128});
    EXPECT_TRUE(std::equal(patched.begin() + kFlagsOffset, patched.begin() + 128,
                           file.begin() + kFlagsOffset));
  }
}

// Names that do not fit the slot's 260-byte buffer are refused before any
// file is opened, so an existing file of that name is not truncated.
TEST_F(FormatLifecycleTest, OverlongFileNamesAreRefusedUntouched) {
  const std::string dir = dir_.path().string() + "/";
  ASSERT_LT(dir.size(), size_t{200});
  for (const size_t length : {size_t{260}, size_t{300}}) {
    const std::string name = dir + std::string(length - dir.size(), 'n');
    EXPECT_EQ(nullptr, Create(name, 0)) << length;
    EXPECT_EQ(nullptr, Create(name, STORE_SORTED)) << length;
    EXPECT_EQ(nullptr, Open(name)) << length;
    EXPECT_FALSE(FileExists(name)) << length;
  }
}

// Reads that fail while a store is being opened: either the open fails, or
// the store it hands out is the real one; a later put must never write a
// header that was not read from the file over the real one.
TEST_F(FormatLifecycleTest, ReadErrorsWhileOpeningNeverDamageTheStore) {
  for (const int32_t flags : {0, STORE_SORTED}) {
    for (int reads = 0; reads < 6; ++reads) {
      SCOPED_TRACE(::testing::Message() << "flags " << flags << ", reads " << reads);
      const std::string name = Path("s.kvs");
      StoreHandle store = Create(name, flags);
      ASSERT_NE(nullptr, store);
      ASSERT_EQ(1, Put(store, "a", "1"));
      ASSERT_EQ(1, BdbClose(store));
      {
        kvs::testing::FaultInjectingFileSystem fs;
        kvs::testing::ScopedFileSystem scope(fs);
        fs.FailReadAfter(reads);
        store = Open(name);
        fs.Heal();
        if (store != nullptr) {
          Put(store, "b", "2");
          BdbClose(store);
        }
      }
      store = Open(name);
      ASSERT_NE(nullptr, store) << "the store no longer opens";
      EXPECT_EQ("1", Get(store, "a"));
      EXPECT_EQ(1, BdbClose(store));
      if (HasFailure()) return;
    }
  }
}

}  // namespace
}  // namespace kvs_test
