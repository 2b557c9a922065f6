// records_test.cc: the keyed operations: where a put places its value (in
// place, relocated, first fit on the free list, appended), the bytes it
// leaves behind, reads and sizes, deletes, arguments that are refused, long
// and empty keys, and puts that cannot make room.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "store/slots.h"
#include "store/store.h"
#include "store/tests/fault_injecting_file_system.h"
#include "store/tests/store_test_util.h"

namespace kvs_test {
namespace {

using RecordsTest = StoreTest;

TEST_F(RecordsTest, RewriteInPlaceThenRelocate) {
  const std::string name = Path("s.kvs");
  StoreHandle store = Create(name, 0);
  ASSERT_NE(nullptr, store);
  ASSERT_EQ(1, Put(store, "k", "0123456789"));
  ASSERT_EQ(1, Put(store, "k", "abc"));
  EXPECT_EQ("abc", Get(store, "k"));
  ASSERT_EQ(1, BdbClose(store));
  // Same record, lBytesAllocated kept, the old value's tail left behind.
  Bytes expected = FreshHeaderImage(0);
  AppendRecordImage(expected, 10, 3, 0, 0, "k", "abc3456789");
  SetListHead(expected, kAllocatedHead, {128, 128, 1});
  EXPECT_TRUE(SameBytes(ReadFileBytes(name), expected));

  store = Open(name);
  ASSERT_NE(nullptr, store);
  ASSERT_EQ(1, Put(store, "k", "ABCDEFGHIJ"));  // exactly the room left for the value
  EXPECT_EQ(0, Stats(store).lFreeCount);
  ASSERT_EQ(1, Put(store, "k", "ABCDEFGHIJK"));  // one byte more: relocated
  EXPECT_EQ("ABCDEFGHIJK", Get(store, "k"));
  const StoreStats stats = Stats(store);
  EXPECT_EQ(1, stats.lAllocatedCount);
  EXPECT_EQ(1, stats.lFreeCount);
  ASSERT_EQ(1, BdbClose(store));
  expected = FreshHeaderImage(0);
  AppendRecordImage(expected, 10, 10, 0, 0, "k", "ABCDEFGHIJ");
  EXPECT_EQ(171, AppendRecordImage(expected, 11, 11, 0, 0, "k", "ABCDEFGHIJK"));
  SetListHead(expected, kAllocatedHead, {171, 171, 1});
  SetListHead(expected, kFreeHead, {128, 128, 1});
  EXPECT_TRUE(SameBytes(ReadFileBytes(name), expected));
}

TEST_F(RecordsTest, RelocationInSortedStoreMovesTheIndexEntry) {
  const std::string name = Path("s.kvs");
  StoreHandle store = Create(name, STORE_SORTED);
  ASSERT_NE(nullptr, store);
  for (const char* key : {"c", "a", "b"}) ASSERT_EQ(1, Put(store, key, key));
  ASSERT_EQ(1, Put(store, "b", "bigger"));
  EXPECT_EQ((std::vector<std::string>{"a", "b", "c"}), List(store, ""));
  ASSERT_EQ(1, BdbClose(store));
  const Bytes file = ReadFileBytes(name);
  // c at 1189, a at 1223, b at 1257, the relocated b at 1291.
  EXPECT_EQ(1223, Le32(file, kFirstIndexEntry));
  EXPECT_EQ(1291, Le32(file, kFirstIndexEntry + 4));
  EXPECT_EQ(1189, Le32(file, kFirstIndexEntry + 8));
  EXPECT_EQ(0, Le32(file, kFirstIndexEntry + 12));
  EXPECT_EQ("bigger", RecordAt(file, 1291).value);
  EXPECT_EQ((ListHeadValues{1257, 1257, 1}), ListHeadAt(file, kFreeHead));
  EXPECT_EQ((std::vector<std::string>{"c", "a", "b"}), ChainKeys(file, kAllocatedHead));
}

// Records: abc at 128 (room 13), x at 173 (room 2), big at 207 (room 23).
TEST_F(RecordsTest, FirstFitTakesTheFirstFreeRecordWithEnoughRoom) {
  const std::string name = Path("s.kvs");
  StoreHandle store = Create(name, 0);
  ASSERT_NE(nullptr, store);
  ASSERT_EQ(1, Put(store, "abc", "0123456789"));
  ASSERT_EQ(1, Put(store, "x", "1"));
  ASSERT_EQ(1, Put(store, "big", "ABCDEFGHIJKLMNOPQRST"));
  ASSERT_EQ(1, BdbDelete(store, "x"));
  ASSERT_EQ(1, BdbDelete(store, "abc"));
  ASSERT_EQ(1, Put(store, "xy", "01234567890"));  // need 13: x's record is too small
  ASSERT_EQ(1, BdbClose(store));

  Bytes expected = FreshHeaderImage(0);
  AppendRecordImage(expected, 11, 11, 207, 0, "xy", "01234567890");
  AppendRecordImage(expected, 1, 1, 0, 0, "x", "1");
  AppendRecordImage(expected, 20, 20, 0, 128, "big", "ABCDEFGHIJKLMNOPQRST");
  SetListHead(expected, kAllocatedHead, {207, 128, 2});
  SetListHead(expected, kFreeHead, {173, 173, 1});
  EXPECT_TRUE(SameBytes(ReadFileBytes(name), expected));

  // The reused record takes in place values up to room minus the new key.
  store = Open(name);
  ASSERT_NE(nullptr, store);
  ASSERT_EQ(1, Put(store, "xy", "abcdefghijk"));
  EXPECT_EQ(1, Stats(store).lFreeCount);
  ASSERT_EQ(1, Put(store, "xy", "abcdefghijkl"));
  EXPECT_EQ(2, Stats(store).lFreeCount);
  // A free record whose room falls one byte short is passed over.
  ASSERT_EQ(1, Put(store, "k", "123456789012"));  // need 13, free rooms 2 and 13
  EXPECT_EQ(1, Stats(store).lFreeCount);
  ASSERT_EQ(1, Put(store, "n", "1234567890123"));  // need 14: appended
  EXPECT_EQ(1, Stats(store).lFreeCount);
  EXPECT_EQ("1234567890123", Get(store, "n"));
}

TEST_F(RecordsTest, FirstFitIsNotBestFit) {
  StoreHandle store = Create(Path("s.kvs"), 0);
  ASSERT_NE(nullptr, store);
  ASSERT_EQ(1, Put(store, "large", std::string(50, 'L')));  // 128, room 55
  ASSERT_EQ(1, Put(store, "exact", "12345"));                // 215, room 10
  ASSERT_EQ(1, Put(store, "keep", "k"));
  ASSERT_EQ(1, BdbDelete(store, "large"));
  ASSERT_EQ(1, BdbDelete(store, "exact"));
  ASSERT_EQ(1, Put(store, "new", "1234567"));  // need 10
  ASSERT_EQ(1, BdbClose(store));
  const Bytes file = ReadFileBytes(Path("s.kvs"));
  EXPECT_EQ("new", RecordAt(file, 128).key);
  EXPECT_EQ(52, RecordAt(file, 128).allocated);
  EXPECT_EQ("exact", RecordAt(file, 215).key);
  EXPECT_EQ((ListHeadValues{215, 215, 1}), ListHeadAt(file, kFreeHead));
}

TEST_F(RecordsTest, ReusedRecordKeepsLeftoverBytes) {
  const std::string name = Path("s.kvs");
  StoreHandle store = Create(name, 0);
  ASSERT_NE(nullptr, store);
  ASSERT_EQ(1, Put(store, "abc", "0123456789"));
  ASSERT_EQ(1, BdbDelete(store, "abc"));
  ASSERT_EQ(1, Put(store, "q", "AB"));
  ASSERT_EQ(1, BdbClose(store));
  Bytes expected = FreshHeaderImage(0);
  AppendRecordImage(expected, 12, 2, 0, 0, "q", "AB0123456789");
  SetListHead(expected, kAllocatedHead, {128, 128, 1});
  EXPECT_TRUE(SameBytes(ReadFileBytes(name), expected));
}

TEST_F(RecordsTest, NoCaseKeySpellingFollowsTheLatestPut) {
  const std::string name = Path("s.kvs");
  StoreHandle store = Create(name, STORE_SORTED | STORE_NOCASE);
  ASSERT_NE(nullptr, store);
  ASSERT_EQ(1, Put(store, "key", "value"));
  ASSERT_EQ(1, Put(store, "KEY", "VALUE"));  // in place
  EXPECT_EQ((std::vector<std::string>{"KEY"}), List(store, "k"));
  ASSERT_EQ(1, Put(store, "Key", "a longer value"));  // relocated
  EXPECT_EQ((std::vector<std::string>{"Key"}), List(store, ""));
  ASSERT_EQ(1, BdbClose(store));
  const Bytes file = ReadFileBytes(name);
  EXPECT_EQ("KEY", RecordAt(file, 1189).key);
  EXPECT_EQ("Key", RecordAt(file, Le32(file, kAllocatedHead)).key);
  EXPECT_EQ(1, ListHeadAt(file, kAllocatedHead).count);
}

TEST_F(RecordsTest, EmptyKeyAndEmptyValue) {
  for (const int32_t flags : {0, STORE_SORTED}) {
    SCOPED_TRACE(flags);
    const std::string name = Path(Numbered("s", flags));
    StoreHandle store = Create(name, flags);
    ASSERT_NE(nullptr, store);
    const int32_t first = flags == 0 ? 128 : 1189;
    ASSERT_EQ(1, BdbPut(store, "", nullptr, 0));
    ASSERT_EQ(1, BdbPut(store, "e", nullptr, 0));
    int32_t size = -1;
    EXPECT_EQ(1, BdbGetSize(store, "", &size));
    EXPECT_EQ(0, size);
    char buffer[2] = {'x', 'x'};
    EXPECT_EQ(1, BdbRead(store, "e", buffer, 2));
    EXPECT_EQ('x', buffer[0]);
    ASSERT_EQ(1, Put(store, "", "now a value"));
    EXPECT_EQ("now a value", Get(store, ""));
    if (flags != 0) {
      EXPECT_EQ((std::vector<std::string>{"", "e"}), List(store, ""));
    }
    ASSERT_EQ(1, BdbClose(store));
    const Bytes file = ReadFileBytes(name);
    const RecordView emptyKey = RecordAt(file, first);
    EXPECT_EQ(0, emptyKey.allocated);
    EXPECT_EQ(0, emptyKey.used);
    EXPECT_EQ(0, emptyKey.nameLength);
    const RecordView emptyValue = RecordAt(file, first + 32);
    EXPECT_EQ("e", emptyValue.key);
    EXPECT_EQ(0, emptyValue.allocated);
    EXPECT_EQ(size_t(first + 32 + 33 + 32 + 11), file.size());
    store = Open(name);
    ASSERT_NE(nullptr, store);
    EXPECT_EQ(1, BdbDelete(store, ""));
    EXPECT_EQ("<absent>", Get(store, ""));
    EXPECT_EQ("", Get(store, "e"));
  }
}

TEST_F(RecordsTest, ReadCopiesAtMostTheBufferAndNoTerminator) {
  StoreHandle store = Create(Path("s.kvs"), 0);
  ASSERT_NE(nullptr, store);
  const std::string value("a\0b\0c", 5);
  ASSERT_EQ(1, Put(store, "k", value));
  int32_t size = -1;
  EXPECT_EQ(1, BdbGetSize(store, "k", nullptr));
  EXPECT_EQ(1, BdbGetSize(store, "k", &size));
  EXPECT_EQ(5, size);
  EXPECT_EQ(0, BdbGetSize(store, "absent", nullptr));

  std::string buffer(8, '#');
  EXPECT_EQ(1, BdbRead(store, "k", buffer.data(), 8));
  EXPECT_EQ(value + "###", buffer);
  buffer.assign(8, '#');
  EXPECT_EQ(1, BdbRead(store, "k", buffer.data(), 3));
  EXPECT_EQ(std::string("a\0b#####", 8), buffer);
  buffer.assign(8, '#');
  EXPECT_EQ(1, BdbRead(store, "k", buffer.data(), 0));
  EXPECT_EQ(1, BdbRead(store, "k", buffer.data(), -1));
  EXPECT_EQ(1, BdbRead(store, "k", nullptr, 0));
  EXPECT_EQ(std::string(8, '#'), buffer);
}

TEST_F(RecordsTest, DeleteReleasesTheRecordAndAbsentKeysTouchNothing) {
  const std::string name = Path("s.kvs");
  StoreHandle store = Create(name, STORE_SORTED);
  ASSERT_NE(nullptr, store);
  ASSERT_EQ(1, Put(store, "a", "1"));
  ASSERT_EQ(1, Put(store, "b", "22"));
  ASSERT_EQ(1, BdbClose(store));
  const Bytes before = ReadFileBytes(name);

  store = Open(name);
  ASSERT_NE(nullptr, store);
  EXPECT_EQ(0, BdbDelete(store, "c"));
  int32_t size = 77;
  char buffer[2] = {'#', '#'};
  EXPECT_EQ(0, BdbGetSize(store, "c", &size));
  EXPECT_EQ(0, BdbRead(store, "c", buffer, 2));
  ASSERT_EQ(1, BdbClose(store));
  EXPECT_TRUE(SameBytes(ReadFileBytes(name), before));

  store = Open(name);
  ASSERT_NE(nullptr, store);
  EXPECT_EQ(1, BdbDelete(store, "a"));
  EXPECT_EQ(0, BdbDelete(store, "a"));
  EXPECT_EQ(0, BdbGetSize(store, "a", &size));
  EXPECT_EQ(0, BdbRead(store, "a", buffer, 2));
  EXPECT_EQ(77, size);
  EXPECT_EQ('#', buffer[0]);
  EXPECT_EQ(1, Stats(store).lFreeCount);
  ASSERT_EQ(1, BdbClose(store));
  const Bytes file = ReadFileBytes(name);
  ASSERT_EQ(before.size(), file.size());
  // Only the links of the record and its neighbour, the chain heads and the
  // index changed; key, lengths and value stay.
  const RecordView released = RecordAt(file, 1189);
  EXPECT_EQ("a", released.key);
  EXPECT_EQ("1", released.value);
  EXPECT_EQ(1, released.allocated);
  EXPECT_EQ((ListHeadValues{1189, 1189, 1}), ListHeadAt(file, kFreeHead));
  EXPECT_EQ((ListHeadValues{1223, 1223, 1}), ListHeadAt(file, kAllocatedHead));
  EXPECT_EQ(0, RecordAt(file, 1223).prev);
  EXPECT_EQ(1223, Le32(file, kFirstIndexEntry));
  EXPECT_EQ(0, Le32(file, kFirstIndexEntry + 4));
}

TEST_F(RecordsTest, RefusedArgumentsTouchNothing) {
  const std::string name = Path("s.kvs");
  StoreHandle store = Create(name, STORE_SORTED);
  ASSERT_NE(nullptr, store);
  ASSERT_EQ(1, Put(store, "k", "v"));
  ASSERT_EQ(1, BdbClose(store));
  const Bytes before = ReadFileBytes(name);
  store = Open(name);
  ASSERT_NE(nullptr, store);
  EXPECT_EQ(0, BdbPut(store, "k", "v", -1));
  EXPECT_EQ(0, BdbPut(store, "n", "v", -5));
  EXPECT_EQ(0, BdbPut(store, nullptr, "v", 1));
  EXPECT_EQ(0, BdbPut(store, "n", nullptr, 1));
  EXPECT_EQ(0, BdbPut(store, "k", nullptr, 3));
  int32_t size = 5;
  char buffer[1] = {'#'};
  EXPECT_EQ(0, BdbGetSize(store, nullptr, &size));
  EXPECT_EQ(0, BdbRead(store, nullptr, buffer, 1));
  EXPECT_EQ(0, BdbDelete(store, nullptr));
  EXPECT_EQ(nullptr, BdbListPrefix(store, nullptr, &size));
  EXPECT_EQ(5, size);
  EXPECT_EQ('#', buffer[0]);
  EXPECT_EQ("v", Get(store, "k"));
  ASSERT_EQ(1, BdbClose(store));
  EXPECT_TRUE(SameBytes(ReadFileBytes(name), before));
}

// A key longer than MAX_KEY_LENGTH is its first 16384 bytes for every
// operation, so it always agrees with its stored form.
TEST_F(RecordsTest, LongKeysActAsTheirFirst16384Bytes) {
  for (const int32_t flags : {0, STORE_SORTED, STORE_SORTED | STORE_NOCASE}) {
    SCOPED_TRACE(flags);
    const std::string name = Path(Numbered("s", flags));
    StoreHandle store = Create(name, flags);
    ASSERT_NE(nullptr, store);
    const std::string stored(MAX_KEY_LENGTH, 'a');
    const std::string longKey = stored + std::string(3616, 'b');
    const std::string otherTail = stored + "zzz";
    ASSERT_EQ(1, Put(store, "m", "middle"));
    ASSERT_EQ(1, Put(store, longKey, "first"));
    EXPECT_EQ("first", Get(store, longKey));
    EXPECT_EQ("first", Get(store, stored));
    EXPECT_EQ("first", Get(store, otherTail));
    ASSERT_EQ(1, Put(store, otherTail, "fifth"));  // same stored key: in place
    ASSERT_EQ(1, Put(store, longKey, "a longer value"));  // relocated
    EXPECT_EQ(2, Stats(store).lAllocatedCount);
    EXPECT_EQ("a longer value", Get(store, stored));
    if (flags != 0) {
      EXPECT_EQ((std::vector<std::string>{stored, "m"}), List(store, ""));
    }
    ASSERT_EQ(1, BdbClose(store));
    const Bytes file = ReadFileBytes(name);
    const RecordView record = RecordAt(file, ListHeadAt(file, kAllocatedHead).last);
    EXPECT_EQ(MAX_KEY_LENGTH, record.nameLength);
    EXPECT_EQ(stored, record.key);
    EXPECT_EQ("a longer value", record.value);
    store = Open(name);
    ASSERT_NE(nullptr, store);
    EXPECT_EQ(1, BdbDelete(store, longKey.c_str()));
    EXPECT_EQ("<absent>", Get(store, stored));
    EXPECT_EQ(1, Stats(store).lAllocatedCount);
  }
}

TEST_F(RecordsTest, KeyOfExactlyMaxLengthIsStoredWhole) {
  const std::string name = Path("s.kvs");
  StoreHandle store = Create(name, 0);
  ASSERT_NE(nullptr, store);
  const std::string key(MAX_KEY_LENGTH, 'x');
  ASSERT_EQ(1, Put(store, key, "v"));
  ASSERT_EQ(1, BdbClose(store));
  const Bytes file = ReadFileBytes(name);
  EXPECT_EQ(size_t{128 + 32 + 16384 + 1}, file.size());
  EXPECT_EQ(key, RecordAt(file, 128).key);
  EXPECT_EQ("v", RecordAt(file, 128).value);
}

// A store file is limited to 2^31 - 1 bytes: a value that cannot fit is
// refused before any of it is read or written.
TEST_F(RecordsTest, ValueBeyondTheFileLimitIsRefused) {
  const std::string name = Path("s.kvs");
  StoreHandle store = Create(name, STORE_SORTED);
  ASSERT_NE(nullptr, store);
  ASSERT_EQ(1, Put(store, "k", "v"));
  ASSERT_EQ(1, BdbClose(store));
  const Bytes before = ReadFileBytes(name);
  store = Open(name);
  ASSERT_NE(nullptr, store);
  const char small[4] = {};
  EXPECT_EQ(0, BdbPut(store, "new", small, INT32_MAX));
  EXPECT_EQ(0, BdbPut(store, "new", small, INT32_MAX - 100));
  EXPECT_EQ(0, BdbPut(store, "k", small, INT32_MAX - 100));
  EXPECT_EQ("v", Get(store, "k"));
  ASSERT_EQ(1, BdbClose(store));
  EXPECT_TRUE(SameBytes(ReadFileBytes(name), before));
}

// Puts that need the file to grow while the disk is full.
class RecordsFaultTest : public StoreTest {
 protected:
  kvs::testing::FaultInjectingFileSystem fs_;
};

TEST_F(RecordsFaultTest, NewKeyOnFullDiskFailsAndChangesNothing) {
  const std::string name = Path("s.kvs");
  kvs::testing::ScopedFileSystem scope(fs_);
  StoreHandle store = Create(name, STORE_SORTED);
  ASSERT_NE(nullptr, store);
  ASSERT_EQ(1, Put(store, "a", "1"));
  ASSERT_EQ(1, BdbClose(store));
  const Bytes before = ReadFileBytes(name);
  store = Open(name);
  ASSERT_NE(nullptr, store);
  fs_.FailEveryGrowth();
  EXPECT_EQ(0, Put(store, "b", "2"));
  EXPECT_EQ("<absent>", Get(store, "b"));
  EXPECT_EQ(1, Put(store, "a", "9"));  // in place needs no growth
  EXPECT_EQ(0, Put(store, "a", "too long to stay in place"));
  EXPECT_EQ("9", Get(store, "a"));
  EXPECT_EQ((std::vector<std::string>{"a"}), List(store, ""));
  const StoreStats stats = Stats(store);
  EXPECT_EQ(1, stats.lAllocatedCount);
  EXPECT_EQ(0, stats.lFreeCount);
  ASSERT_EQ(1, BdbClose(store));
  ASSERT_EQ(size_t{1189 + 34}, before.size());
  Bytes expected = before;
  expected.at(1189 + 33) = '9';
  EXPECT_TRUE(SameBytes(ReadFileBytes(name), expected));
}

TEST_F(RecordsFaultTest, RelocationThatCannotGrowKeepsTheOldValue) {
  for (const int32_t flags : {0, STORE_SORTED | STORE_NOCASE}) {
    SCOPED_TRACE(flags);
    kvs::testing::ScopedFileSystem scope(fs_);
    fs_.Heal();
    StoreHandle store = Create(Path(Numbered("s", flags)), flags);
    ASSERT_NE(nullptr, store);
    for (const char* key : {"b", "a", "c"}) ASSERT_EQ(1, Put(store, key, key));
    fs_.FailEveryGrowth();
    EXPECT_EQ(0, Put(store, "b", "does not fit in place"));
    EXPECT_EQ("b", Get(store, "b"));
    EXPECT_EQ(3, Stats(store).lAllocatedCount);
    EXPECT_EQ(0, Stats(store).lFreeCount);
    if (flags != 0) {
      EXPECT_EQ((std::vector<std::string>{"a", "b", "c"}), List(store, ""));
    }
    fs_.Heal();
    ASSERT_EQ(1, Put(store, "b", "does not fit in place"));
    EXPECT_EQ("does not fit in place", Get(store, "b"));
    ASSERT_EQ(1, BdbClose(store));
  }
}

// The 256th key needs a larger Index record; when the file cannot grow for
// it, the put fails, its record goes back to the free list and the index
// keeps its old record, capacity and every earlier key.
TEST_F(RecordsFaultTest, IndexGrowthOnFullDiskFailsThePutAndKeepsTheIndex) {
  const std::string name = Path("s.kvs");
  kvs::testing::ScopedFileSystem scope(fs_);
  StoreHandle store = Create(name, STORE_SORTED);
  ASSERT_NE(nullptr, store);
  std::vector<std::string> keys;
  for (int i = 0; i < 255; ++i) {
    keys.push_back(Numbered("key", 1000 + i));
    ASSERT_EQ(1, Put(store, keys.back(), "v"));
  }
  fs_.FailGrowthAfter(1);  // the record may be appended, the index may not grow
  EXPECT_EQ(0, Put(store, "key0999", "new"));
  EXPECT_EQ("<absent>", Get(store, "key0999"));
  EXPECT_EQ(256, store->lIndexCapacity);
  EXPECT_EQ(128, store->lIndexOffset);
  StoreStats stats = Stats(store);
  EXPECT_EQ(255, stats.lAllocatedCount);
  EXPECT_EQ(1, stats.lFreeCount);
  EXPECT_EQ(1, stats.lIndexCount);
  EXPECT_EQ(keys, List(store, ""));
  for (const std::string& key : {keys.front(), keys[128], keys.back()}) EXPECT_EQ("v", Get(store, key));
  fs_.Heal();
  ASSERT_EQ(1, BdbClose(store));
  // On disk: the old Index record is the index list again, and the failed
  // key's record is the one free record.
  const Bytes file = ReadFileBytes(name);
  EXPECT_EQ((ListHeadValues{128, 128, 1}), ListHeadAt(file, kIndexHead));
  EXPECT_EQ(1024, RecordAt(file, 128).allocated);
  const ListHeadValues freeList = ListHeadAt(file, kFreeHead);
  EXPECT_EQ(1, freeList.count);
  EXPECT_EQ("key0999", RecordAt(file, freeList.first).key);
  EXPECT_EQ(keys, IndexedKeys(file));
  store = Open(name);
  ASSERT_NE(nullptr, store);

  ASSERT_EQ(1, Put(store, "key0999", "new"));
  keys.insert(keys.begin(), "key0999");
  EXPECT_EQ(512, store->lIndexCapacity);
  ASSERT_EQ(1, BdbClose(store));
  store = Open(name);
  ASSERT_NE(nullptr, store);
  EXPECT_EQ(keys, List(store, ""));
  stats = Stats(store);
  EXPECT_EQ(256, stats.lAllocatedCount);
  EXPECT_EQ(1, stats.lIndexCount);
  EXPECT_EQ("new", Get(store, "key0999"));
}

TEST_F(RecordsFaultTest, SortedCreateOnFullDiskLeavesNoStore) {
  const std::string name = Path("s.kvs");
  kvs::testing::ScopedFileSystem scope(fs_);
  fs_.FailEveryGrowth();
  EXPECT_EQ(nullptr, Create(name, STORE_SORTED));
  fs_.Heal();
  EXPECT_EQ(nullptr, Open(name));
  // The slot was not kept: all sixteen are still free.
  std::vector<StoreHandle> stores;
  for (int i = 0; i < MAX_STORES; ++i) {
    stores.push_back(Create(Path(Numbered("t", i)), 0));
    ASSERT_NE(nullptr, stores.back()) << i;
  }
}

}  // namespace
}  // namespace kvs_test
