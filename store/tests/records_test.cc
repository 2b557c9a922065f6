// records_test.cc: the keyed operations: where a put places its value (in
// place, relocated, first fit on the free list, appended), the bytes it
// leaves behind, reads and sizes, deletes, arguments that are refused, long
// and empty keys, and puts that cannot make room.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "store/ops/slots.h"
#include "store/store.h"
#include "store/tests/fault_injecting_file_system.h"
#include "store/tests/store_test_util.h"

namespace kvs_test {
namespace {

using RecordsTest = StoreTest;

TEST_F(RecordsTest, RewriteInPlaceThenRelocate) {
  const std::string name = Path("s.kvs");
  // Same record, lBytesAllocated kept, the old value's tail left behind.
  Bytes expected = FreshHeaderImage(0);
  AppendRecordImage(expected, 10, 3, 0, 0, "k", "abc3456789");
  SetListHead(expected, kAllocatedHead, {128, 128, 1});
  EXPECT_TRUE(SameBytes(MakeStore(name, 0, {{"k", "0123456789"}, {"k", "abc"}}), expected));

  StoreHandle store = Open(name);
  ASSERT_NE(nullptr, store);
  ASSERT_EQ(1, Put(store, "k", "ABCDEFGHIJ"));  // exactly the room left for the value
  EXPECT_EQ(0, Stats(store).lFreeCount);
  ASSERT_EQ(1, Put(store, "k", "ABCDEFGHIJK"));  // one byte more: relocated
  EXPECT_EQ("ABCDEFGHIJK", Get(store, "k"));
  expected = FreshHeaderImage(0);
  AppendRecordImage(expected, 10, 10, 0, 0, "k", "ABCDEFGHIJ");
  EXPECT_EQ(171, AppendRecordImage(expected, 11, 11, 0, 0, "k", "ABCDEFGHIJK"));
  SetListHead(expected, kAllocatedHead, {171, 171, 1});
  SetListHead(expected, kFreeHead, {128, 128, 1});
  EXPECT_TRUE(SameBytes(CloseAndRead(store, name), expected));
}

TEST_F(RecordsTest, RelocationInSortedStoreMovesTheIndexEntry) {
  const std::string name = Path("s.kvs");
  StoreHandle store = CreateWith(name, STORE_SORTED, {{"c", "c"}, {"a", "a"}, {"b", "b"}, {"b", "bigger"}});
  EXPECT_EQ((std::vector<std::string>{"a", "b", "c"}), List(store, ""));
  const Bytes file = CloseAndRead(store, name);
  // c at 1189, a at 1223, b at 1257, the relocated b at 1291.
  const std::vector<int32_t> entries = {1223, 1291, 1189, 0};
  for (size_t i = 0; i < entries.size(); ++i)
    EXPECT_EQ(entries[i], Le32(file, At(kFirstIndexEntry) + 4 * i)) << i;
  EXPECT_EQ("bigger", RecordAt(file, 1291).value);
  EXPECT_EQ((ListHeadValues{1257, 1257, 1}), ListHeadAt(file, kFreeHead));
  EXPECT_EQ((std::vector<std::string>{"c", "a", "b"}), ChainKeys(file, kAllocatedHead));
}

// A reused record keeps its room: lBytesAllocated becomes the room less the
// new key, and the bytes beyond the new value stay as they were.
TEST_F(RecordsTest, ReusedRecordKeepsItsRoomAndLeftoverBytes) {
  const std::string name = Path("s.kvs");
  StoreHandle store = CreateWith(name, 0, {{"abc", "0123456789"}});
  ASSERT_EQ(1, BdbDelete(store, "abc"));
  ASSERT_EQ(1, Put(store, "q", "AB"));
  Bytes expected = FreshHeaderImage(0);
  AppendRecordImage(expected, 12, 2, 0, 0, "q", "AB0123456789");
  SetListHead(expected, kAllocatedHead, {128, 128, 1});
  EXPECT_TRUE(SameBytes(CloseAndRead(store, name), expected));
}

// Records: abc at 128 (room 13), x at 173 (room 2), big at 207 (room 23).
TEST_F(RecordsTest, FirstFitTakesTheFirstFreeRecordWithEnoughRoom) {
  const std::string name = Path("s.kvs");
  StoreHandle store =
      CreateWith(name, 0, {{"abc", "0123456789"}, {"x", "1"}, {"big", "ABCDEFGHIJKLMNOPQRST"}});
  ASSERT_EQ(1, BdbDelete(store, "x"));
  ASSERT_EQ(1, BdbDelete(store, "abc"));
  ASSERT_EQ(1, Put(store, "xy", "01234567890"));  // need 13: x's record is too small
  Bytes expected = FreshHeaderImage(0);
  AppendRecordImage(expected, 11, 11, 207, 0, "xy", "01234567890");
  AppendRecordImage(expected, 1, 1, 0, 0, "x", "1");
  AppendRecordImage(expected, 20, 20, 0, 128, "big", "ABCDEFGHIJKLMNOPQRST");
  SetListHead(expected, kAllocatedHead, {207, 128, 2});
  SetListHead(expected, kFreeHead, {173, 173, 1});
  EXPECT_TRUE(SameBytes(CloseAndRead(store, name), expected));

  // The reused record takes in place values up to room minus the new key.
  ASSERT_NE(nullptr, store = Open(name));
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
  const std::string name = Path("s.kvs");
  // large at 128 (room 55), exact at 215 (room 10).
  StoreHandle store =
      CreateWith(name, 0, {{"large", std::string(50, 'L')}, {"exact", "12345"}, {"keep", "k"}});
  ASSERT_EQ(1, BdbDelete(store, "large"));
  ASSERT_EQ(1, BdbDelete(store, "exact"));
  ASSERT_EQ(1, Put(store, "new", "1234567"));  // need 10
  const Bytes file = CloseAndRead(store, name);
  EXPECT_EQ("new", RecordAt(file, 128).key);
  EXPECT_EQ(52, RecordAt(file, 128).allocated);
  EXPECT_EQ((ListHeadValues{215, 215, 1}), ListHeadAt(file, kFreeHead));
}

TEST_F(RecordsTest, NoCaseKeySpellingFollowsTheLatestPut) {
  const std::string name = Path("s.kvs");
  StoreHandle store = CreateWith(name, STORE_SORTED | STORE_NOCASE, {{"key", "value"}, {"KEY", "VALUE"}});
  EXPECT_EQ((std::vector<std::string>{"KEY"}), List(store, "k"));  // rewritten in place
  ASSERT_EQ(1, Put(store, "Key", "a longer value"));                // relocated
  EXPECT_EQ((std::vector<std::string>{"Key"}), List(store, ""));
  const Bytes file = CloseAndRead(store, name);
  EXPECT_EQ("KEY", RecordAt(file, kFreshSortedSize).key);
  EXPECT_EQ((std::vector<std::string>{"Key"}), ChainKeys(file, kAllocatedHead));
}

TEST_F(RecordsTest, EmptyKeyAndEmptyValue) {
  for (const int32_t flags : {0, STORE_SORTED}) {
    SCOPED_TRACE(flags);
    const std::string name = Path(Numbered("s", flags));
    StoreHandle store = Create(name, flags);
    ASSERT_NE(nullptr, store);
    const int32_t first = flags == 0 ? kStoreHeaderSize : kFreshSortedSize;
    ASSERT_EQ(1, BdbPut(store, "", nullptr, 0));
    ASSERT_EQ(1, BdbPut(store, "e", nullptr, 0));
    int32_t size = -1;
    EXPECT_EQ(1, BdbGetSize(store, "", &size));
    EXPECT_EQ(0, size);
    char buffer[2] = {'x', 'x'};
    EXPECT_EQ(1, BdbRead(store, "e", buffer, 2));
    EXPECT_EQ('x', buffer[0]);
    ASSERT_EQ(1, Put(store, "", "now a value"));  // relocated past "e"
    EXPECT_EQ("now a value", Get(store, ""));
    EXPECT_EQ((flags != 0 ? std::vector<std::string>{"", "e"} : std::vector<std::string>{"<none>"}),
              List(store, ""));
    const Bytes file = CloseAndRead(store, name);
    const RecordView emptyKey = RecordAt(file, first);
    EXPECT_EQ(0, emptyKey.allocated);
    EXPECT_EQ(0, emptyKey.nameLength);
    const int32_t e = first + kRecordHeaderSize, relocated = e + kRecordHeaderSize + 1;
    EXPECT_EQ("e", RecordAt(file, e).key);
    EXPECT_EQ(0, RecordAt(file, e).allocated);
    EXPECT_EQ(At(relocated + kRecordHeaderSize + 11), file.size());
    ASSERT_NE(nullptr, store = Open(name));
    EXPECT_EQ(1, BdbDelete(store, ""));
    EXPECT_EQ("<absent>", Get(store, ""));
    EXPECT_EQ("", Get(store, "e"));
  }
}

TEST_F(RecordsTest, ReadCopiesAtMostTheBufferAndNoTerminator) {
  const std::string value("a\0b\0c", 5);
  StoreHandle store = CreateWith(Path("s.kvs"), 0, {{"k", value}});
  int32_t size = -1;
  EXPECT_EQ(1, BdbGetSize(store, "k", nullptr));
  EXPECT_EQ(1, BdbGetSize(store, "k", &size));
  EXPECT_EQ(5, size);
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

// Absent keys, refused arguments and values past the 2^31 - 1 byte file
// limit: each call fails, leaves the caller's outputs and the file alone.
TEST_F(RecordsTest, AbsentKeysAndRefusedArgumentsTouchNothing) {
  const std::string name = Path("s.kvs");
  const Bytes before = MakeStore(name, STORE_SORTED, {{"k", "v"}});
  StoreHandle store = Open(name);
  ASSERT_NE(nullptr, store);
  int32_t size = 77;
  char buffer[2] = {'#', '#'};
  const char small[4] = {};
  EXPECT_EQ(0, BdbDelete(store, "c"));
  EXPECT_EQ(0, BdbGetSize(store, "c", &size));
  EXPECT_EQ(0, BdbGetSize(store, "c", nullptr));
  EXPECT_EQ(0, BdbRead(store, "c", buffer, 2));
  EXPECT_EQ(0, BdbPut(store, "k", "v", -1));
  EXPECT_EQ(0, BdbPut(store, "n", "v", -5));
  EXPECT_EQ(0, BdbPut(store, nullptr, "v", 1));
  EXPECT_EQ(0, BdbPut(store, "n", nullptr, 1));
  EXPECT_EQ(0, BdbPut(store, "k", nullptr, 3));
  EXPECT_EQ(0, BdbPut(store, "new", small, INT32_MAX));
  EXPECT_EQ(0, BdbPut(store, "new", small, INT32_MAX - 100));
  EXPECT_EQ(0, BdbPut(store, "k", small, INT32_MAX - 100));
  EXPECT_EQ(0, BdbGetSize(store, nullptr, &size));
  EXPECT_EQ(0, BdbRead(store, nullptr, buffer, 1));
  EXPECT_EQ(0, BdbDelete(store, nullptr));
  EXPECT_EQ(nullptr, BdbListPrefix(store, nullptr, &size));
  EXPECT_EQ(77, size);
  EXPECT_EQ('#', buffer[0]);
  EXPECT_EQ("v", Get(store, "k"));
  EXPECT_TRUE(SameBytes(CloseAndRead(store, name), before));
}

TEST_F(RecordsTest, DeleteReleasesTheRecordToTheFreeList) {
  const std::string name = Path("s.kvs");
  const Bytes before = MakeStore(name, STORE_SORTED, {{"a", "1"}, {"b", "22"}});
  StoreHandle store = Open(name);
  ASSERT_NE(nullptr, store);
  EXPECT_EQ(1, BdbDelete(store, "a"));
  EXPECT_EQ(0, BdbDelete(store, "a"));
  EXPECT_EQ("<absent>", Get(store, "a"));
  const Bytes file = CloseAndRead(store, name);
  ASSERT_EQ(before.size(), file.size());
  // Only links, chain heads and the index change; key, lengths and value stay.
  const int32_t a = kFreshSortedSize, b = a + kRecordHeaderSize + 1 + 1;
  const RecordView released = RecordAt(file, a);
  EXPECT_EQ("1", released.value);
  EXPECT_EQ(1, released.allocated);
  EXPECT_EQ((ListHeadValues{a, a, 1}), ListHeadAt(file, kFreeHead));
  EXPECT_EQ((ListHeadValues{b, b, 1}), ListHeadAt(file, kAllocatedHead));
  EXPECT_EQ(0, RecordAt(file, b).prev);
  EXPECT_EQ(b, Le32(file, kFirstIndexEntry));
  EXPECT_EQ(0, Le32(file, kFirstIndexEntry + 4));
}

// A key longer than MAX_KEY_LENGTH is its first 16384 bytes for every
// operation, so it always agrees with its stored form.
TEST_F(RecordsTest, LongKeysActAsTheirFirst16384Bytes) {
  for (const int32_t flags : {0, STORE_SORTED, STORE_SORTED | STORE_NOCASE}) {
    SCOPED_TRACE(flags);
    const std::string name = Path(Numbered("s", flags));
    const std::string stored(MAX_KEY_LENGTH, 'a');
    const std::string longKey = stored + std::string(3616, 'b');
    const std::string otherTail = stored + "zzz";
    StoreHandle store = CreateWith(name, flags, {{"m", "middle"}, {longKey, "first"}});
    EXPECT_EQ("first", Get(store, stored));
    EXPECT_EQ("first", Get(store, otherTail));
    ASSERT_EQ(1, Put(store, otherTail, "fifth"));         // same stored key: in place
    ASSERT_EQ(1, Put(store, longKey, "a longer value"));  // relocated
    EXPECT_EQ(2, Stats(store).lAllocatedCount);
    EXPECT_EQ("a longer value", Get(store, stored));
    EXPECT_EQ((flags != 0 ? std::vector<std::string>{stored, "m"} : std::vector<std::string>{"<none>"}),
              List(store, ""));
    const Bytes file = CloseAndRead(store, name);
    const RecordView record = RecordAt(file, Le32(file, kAllocatedHead + kHeadLast));
    EXPECT_EQ(MAX_KEY_LENGTH, record.nameLength);
    EXPECT_EQ(stored, record.key);
    EXPECT_EQ("a longer value", record.value);
    ASSERT_NE(nullptr, store = Open(name));
    EXPECT_EQ(1, BdbDelete(store, longKey.c_str()));
    EXPECT_EQ("<absent>", Get(store, stored));
  }
}

// Puts on a full disk: a new key and a relocation fail and leave the store
// as it was (the relocated key's old record and value restored), while a
// value that fits in place is still written.
TEST_F(RecordsTest, FullDiskFailsPutsThatNeedGrowth) {
  kvs::testing::FaultInjectingFileSystem fs;
  kvs::testing::ScopedFileSystem scope(fs);
  for (const int32_t flags : {0, STORE_SORTED | STORE_NOCASE}) {
    SCOPED_TRACE(flags);
    fs.Heal();
    const std::string name = Path(Numbered("s", flags));
    const Bytes before = MakeStore(name, flags, {{"b", "b"}, {"a", "a"}, {"c", "c"}});
    StoreHandle store = Open(name);
    ASSERT_NE(nullptr, store);
    fs.FailEveryGrowth();
    EXPECT_EQ(0, Put(store, "d", "new"));
    EXPECT_EQ(1, Put(store, "a", "A"));
    // Only a's value byte changed (b at the first record, a after it).
    Bytes expected = before;
    const int32_t b = flags == 0 ? kStoreHeaderSize : kFreshSortedSize;
    const int32_t a = b + kRecordHeaderSize + 1 + 1;
    expected.at(At(a + kRecordHeaderSize + 1)) = 'A';
    EXPECT_TRUE(SameBytes(CloseAndRead(store, name), expected));
    ASSERT_NE(nullptr, store = Open(name));
    EXPECT_EQ(0, Put(store, "b", "does not fit in place"));
    EXPECT_EQ((std::vector<int32_t>{3, 0, flags & 1, flags}), Counts(store));
    fs.Heal();
    EXPECT_EQ(before.size(), CloseAndRead(store, name).size());
    ASSERT_NE(nullptr, store = Open(name));
    EXPECT_EQ("<absent>", Get(store, "d"));
    EXPECT_EQ("b", Get(store, "b"));
    EXPECT_EQ("A", Get(store, "a"));
    EXPECT_EQ((flags != 0 ? std::vector<std::string>{"a", "b", "c"} : std::vector<std::string>{"<none>"}),
              List(store, ""));
    ASSERT_EQ(1, Put(store, "b", "does not fit in place"));
    EXPECT_EQ("does not fit in place", Get(store, "b"));
  }
}

// The 256th key needs a larger Index record; when the file cannot grow for
// it, the put fails and the store, in the file and through the handle, is
// as it was before: the index keeps its record, capacity and every key.
TEST_F(RecordsTest, IndexGrowthOnFullDiskFailsThePutAndKeepsTheIndex) {
  const std::string name = Path("s.kvs");
  kvs::testing::FaultInjectingFileSystem fs;
  kvs::testing::ScopedFileSystem scope(fs);
  StoreHandle store = Create(name, STORE_SORTED);
  ASSERT_NE(nullptr, store);
  std::vector<std::string> keys;
  for (int i = 0; i < 255; ++i) {
    keys.push_back(Numbered("key", 1000 + i));
    ASSERT_EQ(1, Put(store, keys.back(), "v"));
  }
  const Bytes before = ReadFileBytes(name);
  fs.FailEveryGrowth();
  EXPECT_EQ(0, Put(store, "key0999", "new"));
  EXPECT_EQ(BDB_NO_SPACE, BdbLastError());
  EXPECT_EQ("<absent>", Get(store, "key0999"));
  EXPECT_EQ(256, store->lIndexCapacity);
  EXPECT_EQ((std::vector<int32_t>{255, 0, 1, STORE_SORTED}), Counts(store));
  EXPECT_EQ(keys, List(store, ""));
  fs.Heal();
  EXPECT_TRUE(SameBytes(CloseAndRead(store, name), before));

  ASSERT_NE(nullptr, store = Open(name));
  ASSERT_EQ(1, Put(store, "key0999", "new"));
  keys.insert(keys.begin(), "key0999");
  EXPECT_EQ(512, store->lIndexCapacity);
  ASSERT_EQ(1, BdbClose(store));
  ASSERT_NE(nullptr, store = Open(name));
  EXPECT_EQ(keys, List(store, ""));
  EXPECT_EQ("new", Get(store, "key0999"));
}

// A size and a read of the same key with a change between them: the read
// sees the change (a sorted store remembers the record its last lookup
// found, for the read that mostly follows), in either letter case.
TEST_F(RecordsTest, AReadAfterASizeSeesEveryChangeBetweenThem) {
  const std::string name = Path("s.kvs");
  StoreHandle store = CreateWith(name, STORE_SORTED | STORE_NOCASE, {{"Key", "one"}, {"kez", "x"}});
  int32_t size = 0;
  ASSERT_EQ(1, BdbGetSize(store, "key", &size));
  EXPECT_EQ(3, size);
  ASSERT_EQ(1, Put(store, "KEY", "two"));  // in place
  EXPECT_EQ("two", Get(store, "kEy"));
  ASSERT_EQ(1, BdbGetSize(store, "key", &size));
  ASSERT_EQ(1, Put(store, "key", "a longer value"));  // relocated
  EXPECT_EQ("a longer value", Get(store, "KEY"));
  ASSERT_EQ(1, BdbGetSize(store, "key", &size));
  EXPECT_EQ(0, BdbGetSize(store, "ke", &size));    // a prefix of the key found last
  EXPECT_EQ(0, BdbGetSize(store, "keyy", &size));  // and a longer key
  EXPECT_EQ("x", Get(store, "KEZ"));
  ASSERT_EQ(1, BdbGetSize(store, "key", &size));
  ASSERT_EQ(1, BdbDelete(store, "key"));
  EXPECT_EQ(0, BdbGetSize(store, "key", &size));
  EXPECT_EQ("<absent>", Get(store, "key"));
  EXPECT_EQ(1, BdbClose(store));
}

#ifndef _WIN32
// Offsets are signed 32-bit: a put whose record would end past 2 GiB - 1
// fails with the store unchanged, held or not, while one that still fits
// is stored. The file is sparse up to just below the limit.
TEST_F(RecordsTest, PutsPastTheTwoGibibyteLimitFailCleanly) {
  for (const bool held : {false, true}) {
    SCOPED_TRACE(held ? "held" : "written through");
    const std::string name = Path(held ? "held.kvs" : "through.kvs");
    MakeStore(name, STORE_SORTED, {{"a", "1"}});
    constexpr std::uintmax_t kLength = INT32_MAX - 100;
    std::filesystem::resize_file(name, kLength);
    StoreHandle store = Open(name);
    ASSERT_NE(nullptr, store);
    if (held) {
      ASSERT_EQ(1, BdbHoldWrites(store));
    }
    EXPECT_EQ(0, Put(store, "b", std::string(100, 'x')));
    EXPECT_EQ(1, Put(store, "a", "2"));  // in place: no growth
    EXPECT_EQ(1, Put(store, "c", std::string(10, 'y')));  // 43 bytes still fit
    EXPECT_EQ("<absent>", Get(store, "b"));
    EXPECT_EQ((std::vector<std::string>{"a", "c"}), List(store, ""));
    EXPECT_EQ(1, BdbClose(store));
    EXPECT_EQ(kLength + 43, std::filesystem::file_size(name));
    ASSERT_NE(nullptr, store = Open(name));
    EXPECT_EQ("2", Get(store, "a"));
    EXPECT_EQ(std::string(10, 'y'), Get(store, "c"));
    EXPECT_EQ(1, BdbClose(store));
    std::filesystem::remove(name);
  }
}
#endif

// A read that fails part way through a relocation or a delete (a page of
// the file that cannot be loaded) fails the call and leaves every record on
// a chain: the key keeps its old value, and the store stays sound.
TEST_F(RecordsTest, FailedReadsNeverLeaveARecordOffTheChains) {
  kvs::testing::FaultInjectingFileSystem fs;
  kvs::testing::ScopedFileSystem scope(fs);
  const std::string name = Path("s.kvs");
  // Records over many pages of the file, free ones among them; unsorted, so
  // an open reads no more than the header.
  StoreHandle store = Create(name, 0);
  ASSERT_NE(nullptr, store);
  for (int i = 0; i < 2000; ++i) Put(store, Numbered("k", i), std::string(300, 'v'));
  for (int i = 0; i < 2000; i += 10) BdbDelete(store, Numbered("k", i).c_str());
  const Bytes base = CloseAndRead(store, name);
  const std::string old(300, 'v'), relocated(6000, 'w');
  for (const bool relocate : {true, false}) {
    for (int reads = 0; reads < 12; ++reads) {
      SCOPED_TRACE(::testing::Message() << (relocate ? "relocate" : "delete") << ", reads " << reads);
      WriteFileBytes(name, base);
      store = Open(name);
      ASSERT_NE(nullptr, store);
      fs.FailReadAfter(reads);
      const int done = relocate ? Put(store, "k1001", relocated) : BdbDelete(store, "k1001");
      fs.Heal();
      EXPECT_EQ(done ? (relocate ? relocated : "<absent>") : old, Get(store, "k1001"));
      EXPECT_EQ(1, BdbCheck(store, stdout));
      EXPECT_EQ(1, BdbClose(store));
    }
  }
}

}  // namespace
}  // namespace kvs_test
