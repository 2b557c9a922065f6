// key_index_test.cc: key comparison in both case modes, the binary search
// and insertion position of the sorted index, and the growth of the Index
// record at 256 and 512 live keys, byte for byte, and across a reopen.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "store/index/key_index.h"
#include "store/ops/slots.h"
#include "store/store.h"
#include "store/tests/store_test_util.h"

namespace kvs_test {
namespace {

using KeyIndexTest = StoreTest;

// Four-byte keys k000, k001, ... that sort in their numeric order.
std::string NumberedKey(int i) {
  std::string key = Numbered("k", 1000 + i);
  key.erase(1, 1);
  return key;
}

// Search and insertion position from the empty index on; removing every
// key leaves every entry of the persisted index zero again.
TEST_F(KeyIndexTest, SearchInsertPositionAndRemoval) {
  const std::string name = Path("s.kvs");
  StoreHandle store = Create(name, STORE_SORTED);
  ASSERT_NE(nullptr, store);
  int32_t probe = 12345;
  EXPECT_EQ(-1, kvs::IndexSearch(store, "any", &probe));
  EXPECT_EQ(12345, probe);
  EXPECT_EQ(0, kvs::IndexInsertPosition(store, "any"));
  EXPECT_EQ("<absent>", Get(store, "any"));
  for (const char* key : {"f", "b", "d"}) ASSERT_EQ(1, Put(store, key, key));
  // b's record follows f's: a header, a 1-byte key and a 1-byte value.
  EXPECT_EQ(kFreshSortedSize + kRecordHeaderSize + 1 + 1, store->plKeyIndex.at(0));
  const std::vector<std::pair<const char*, int32_t>> found = {{"b", 0}, {"d", 1}, {"f", 2}, {"c", -1}};
  for (const auto& [key, position] : found) EXPECT_EQ(position, kvs::IndexSearch(store, key, nullptr)) << key;
  const std::vector<std::pair<const char*, int32_t>> positions = {
      {"a", 0}, {"b", 0}, {"c", 1}, {"d", 1}, {"e", 2}, {"f", 2}, {"g", 3}, {"ff", 3}};
  for (const auto& [key, position] : positions)
    EXPECT_EQ(position, kvs::IndexInsertPosition(store, key)) << key;
  kvs::IndexRemove(store, 4242);  // not in the index: nothing changes
  for (const char* key : {"d", "f", "b"}) ASSERT_EQ(1, BdbDelete(store, key));
  const Bytes file = CloseAndRead(store, name);
  EXPECT_TRUE(std::all_of(file.begin() + kFirstIndexEntry, file.begin() + kFreshSortedSize,
                          [](unsigned char b) { return b == 0; }));
}

// Bytes compare unsigned; only A..Z fold. In a folded store a key in another
// letter case is the same key, sorted or not: A replaces the value and the
// spelling of a, and gONE deletes Gone. A sorted store lists and persists
// its keys in the order of its mode.
TEST_F(KeyIndexTest, CaseModesDecideKeyEqualityAndIndexOrder) {
  const std::vector<std::string> keys = {"a", "Z", "abc", "_", "ab", "`", "B", "\xE9", "", "A", "\xC9", "Gone"};
  const std::vector<std::string> exactOrder = {"", "A", "B", "Gone", "Z", "_", "`", "a", "ab", "abc", "\xC9", "\xE9"};
  const std::vector<std::string> foldedOrder = {"", "_", "`", "A", "ab", "abc", "B", "Z", "\xC9", "\xE9"};
  for (const int32_t sorted : {0, STORE_SORTED}) {
    SCOPED_TRACE(sorted);
    const std::string exactName = Path(Numbered("exact", sorted));
    const std::string foldedName = Path(Numbered("folded", sorted));
    StoreHandle exact = Create(exactName, sorted);
    StoreHandle folded = Create(foldedName, sorted | STORE_NOCASE);
    ASSERT_TRUE(exact && folded);
    for (const std::string& key : keys) {
      ASSERT_EQ(1, Put(exact, key, key));
      ASSERT_EQ(1, Put(folded, key, key));
    }
    EXPECT_EQ("a", Get(exact, "a"));
    EXPECT_EQ("<absent>", Get(exact, "aBC"));
    EXPECT_EQ("A", Get(folded, "a"));
    EXPECT_EQ("abc", Get(folded, "aBC"));
    EXPECT_EQ(0, BdbDelete(exact, "gONE"));
    EXPECT_EQ(1, BdbDelete(folded, "gONE"));
    EXPECT_EQ(12, Stats(exact).lAllocatedCount);
    EXPECT_EQ(10, Stats(folded).lAllocatedCount);
    if (sorted == 0) continue;
    EXPECT_EQ(exactOrder, List(exact, ""));
    EXPECT_EQ(foldedOrder, List(folded, ""));
    BdbClose(exact);
    BdbClose(folded);
    EXPECT_EQ(exactOrder, IndexedKeys(ReadFileBytes(exactName)));
    EXPECT_EQ(foldedOrder, IndexedKeys(ReadFileBytes(foldedName)));
  }
}

// Lookups find a record through a table of key hashes and take the record
// found last again for the next call while nothing has changed. Keys that
// differ only in bit 0x20 of a byte other than a letter share a hash in a
// folded store, yet stay apart; a read after a size of another key of the
// same length, or after a put, gets what the file holds now.
TEST_F(KeyIndexTest, LookupsTellApartKeysThatShareAHashOrALength) {
  const std::vector<std::pair<std::string, std::string>> twins = {
      {"k@1", "`"}, {"k`1", "@"}, {"k[2", "{"}, {"k{2", "["}, {"k_3", "\x7F"}, {"k\x7F" "3", "_"},
      {"k14", "\x11"}, {"k\x11" "4", "1"}, {"K5", "upper"}, {"k6", "lower"}};
  for (const int32_t flags : {STORE_SORTED, STORE_SORTED | STORE_NOCASE}) {
    SCOPED_TRACE(flags);
    StoreHandle store = Create(Path(Numbered("twins", flags)), flags);
    ASSERT_NE(nullptr, store);
    for (const auto& [key, value] : twins) ASSERT_EQ(1, Put(store, key, value));
    for (const auto& [key, value] : twins) EXPECT_EQ(value, Get(store, key)) << key;
    const bool folded = (flags & STORE_NOCASE) != 0;
    EXPECT_EQ(folded ? "upper" : "<absent>", Get(store, "k5"));
    EXPECT_EQ(folded ? "lower" : "<absent>", Get(store, "K6"));
    // A size of one key, then a read of another of the same length.
    int32_t size = 0;
    char buffer[8] = {};
    ASSERT_EQ(1, BdbGetSize(store, "k@1", &size));
    ASSERT_EQ(1, BdbRead(store, "k`1", buffer, sizeof buffer));
    EXPECT_EQ("@", std::string(buffer));
    // A size, then a read of a key that is the first one's beginning, or
    // begins with it, or differs from it in letter case only.
    const std::vector<std::array<std::string, 3>> afterSize = {
        {"k14", "k1", ""}, {"k6", "k6x", ""}, {"K5", "k5", folded ? "upper" : ""}};
    for (const auto& [sized, read, expected] : afterSize) {
      ASSERT_EQ(1, BdbGetSize(store, sized.c_str(), &size)) << sized;
      std::fill(std::begin(buffer), std::end(buffer), '\0');
      EXPECT_EQ(expected.empty() ? 0 : 1, BdbRead(store, read.c_str(), buffer, sizeof buffer - 1))
          << read;
      EXPECT_EQ(expected, std::string(buffer)) << read;
    }
    // A size, a put that moves the record, then a read.
    ASSERT_EQ(1, BdbGetSize(store, "k[2", &size));
    ASSERT_EQ(1, Put(store, "k[2", std::string(500, 'x')));
    ASSERT_EQ(1, BdbRead(store, "k[2", buffer, sizeof buffer - 1));
    EXPECT_EQ("xxxxxxx", std::string(buffer));
    BdbClose(store);
  }
}

// The growth images below: keyed records k<i> with empty values, 36 bytes
// each, from the end of a fresh sorted store; the first Index record at the
// start of the records, the second (2048 bytes) after the first 256 keys,
// and the third (3072 bytes) after 255 more keys that follow the second.
constexpr int32_t kKeyRecordSize = kRecordHeaderSize + 4;
constexpr int32_t kFirstIndexRecord = kStoreHeaderSize;
constexpr int32_t kSecondIndexRecord = kFreshSortedSize + 256 * kKeyRecordSize;
constexpr int32_t kAfterSecondIndexRecord = kSecondIndexRecord + kIndexArray + 2048;
constexpr int32_t kThirdIndexRecord = kAfterSecondIndexRecord + 255 * kKeyRecordSize;

// The record of k<i>, i < 256, in the order the keys were put.
constexpr int32_t FirstKeysRecord(int i) { return kFreshSortedSize + kKeyRecordSize * i; }
// The offset of entry i of the Index record at index.
std::size_t EntryOf(int32_t index, int i) { return At(index + kIndexArray + 4 * i); }

// 255 live keys fill a 256-entry index; the 256th moves the index into a
// 2048-byte record at the end of the file and frees the old one.
Bytes ImageAfterFirstGrowth(int32_t flags) {
  Bytes file = FreshHeaderImage(flags);
  AppendRecordImage(file, 1024, 0, 0, 0, "Index", "");
  for (int i = 0; i < 255; ++i) SetLe32(file, EntryOf(kFirstIndexRecord, i), FirstKeysRecord(i));
  for (int i = 0; i < 256; ++i) {
    const int32_t prev = i == 0 ? 0 : FirstKeysRecord(i - 1);
    const int32_t next = i == 255 ? 0 : FirstKeysRecord(i + 1);
    EXPECT_EQ(FirstKeysRecord(i), AppendRecordImage(file, 0, 0, prev, next, NumberedKey(i), ""));
  }
  EXPECT_EQ(kSecondIndexRecord, AppendRecordImage(file, 2048, 0, 0, 0, "Index", ""));
  for (int i = 0; i < 256; ++i) SetLe32(file, EntryOf(kSecondIndexRecord, i), FirstKeysRecord(i));
  SetListHead(file, kAllocatedHead, {FirstKeysRecord(0), FirstKeysRecord(255), 256});
  SetListHead(file, kFreeHead, {kFirstIndexRecord, kFirstIndexRecord, 1});
  SetListHead(file, kIndexHead, {kSecondIndexRecord, kSecondIndexRecord, 1});
  EXPECT_EQ(size_t{12490}, file.size());
  return file;
}

TEST_F(KeyIndexTest, GrowthAtThe256thKeyAndExactFitReuseOfTheOldIndex) {
  const std::string name = Path("grow.kvs");
  StoreHandle store = Create(name, STORE_SORTED);
  ASSERT_NE(nullptr, store);
  for (int i = 0; i < 255; ++i) ASSERT_EQ(1, Put(store, NumberedKey(i), "")) << i;
  EXPECT_EQ(256, store->lIndexCapacity);
  EXPECT_EQ(0, Stats(store).lFreeCount);
  ASSERT_EQ(1, Put(store, NumberedKey(255), ""));
  EXPECT_EQ(512, store->lIndexCapacity);
  EXPECT_EQ(kSecondIndexRecord, store->lIndexOffset);
  ASSERT_EQ(1, BdbClose(store));
  Bytes expected = ImageAfterFirstGrowth(STORE_SORTED);
  ASSERT_TRUE(SameBytes(ReadFileBytes(name), expected));

  // The old Index record has room 1029; a put that needs exactly that takes
  // it over, keeping the earlier index entries beyond the new value.
  store = Open(name);
  ASSERT_NE(nullptr, store);
  const std::string value(1028, 'v');
  ASSERT_EQ(1, Put(store, "r", value));
  ASSERT_EQ(1, BdbClose(store));
  const std::size_t r = At(kFirstIndexRecord), k255 = At(FirstKeysRecord(255));
  SetLe32(expected, r + kRecordAllocated, 1028);
  SetLe32(expected, r + kRecordUsed, 1028);
  SetLe32(expected, r + kRecordNameLength, 1);
  SetLe32(expected, r + kRecordPrev, FirstKeysRecord(255));
  const auto key = expected.begin() + kFirstIndexRecord + kRecordHeaderSize;
  *key = 'r';
  std::copy(value.begin(), value.end(), key + 1);
  SetLe32(expected, k255 + kRecordNext, kFirstIndexRecord);
  SetListHead(expected, kAllocatedHead, {FirstKeysRecord(0), kFirstIndexRecord, 257});
  SetListHead(expected, kFreeHead, {0, 0, 0});
  SetLe32(expected, EntryOf(kSecondIndexRecord, 256), kFirstIndexRecord);
  EXPECT_TRUE(SameBytes(ReadFileBytes(name), expected));
}

// Where key k<i> lies once k511 down to k256 have joined the 256-key image:
// k511 takes over the old Index record at 128, the others are appended after
// the 2048-byte Index record, k510 first.
int32_t OffsetOfKey(int i) {
  if (i < 256) return FirstKeysRecord(i);
  return i == 511 ? kFirstIndexRecord : kAfterSecondIndexRecord + kKeyRecordSize * (510 - i);
}

// The 256-key image after k511 down to k256. k511 needs 4 of the old Index
// record's 1029 bytes of room, so it keeps lBytesAllocated 1025 and the rest
// of "Index" and of the old entries as slack. The 512th key grows the index
// again: the 2048-byte record goes to the free list still holding the 511
// entries it had last, and a 3072-byte one (768 entries) is appended.
Bytes ImageAfterSecondGrowth(int32_t flags) {
  Bytes file = ImageAfterFirstGrowth(flags);
  const std::size_t r = At(kFirstIndexRecord), k255 = At(FirstKeysRecord(255));
  SetLe32(file, r + kRecordAllocated, 1025);
  SetLe32(file, r + kRecordNameLength, 4);
  SetLe32(file, r + kRecordPrev, FirstKeysRecord(255));
  SetLe32(file, r + kRecordNext, OffsetOfKey(510));
  const std::string reuser = NumberedKey(511);
  std::copy(reuser.begin(), reuser.end(), file.begin() + kFirstIndexRecord + kRecordHeaderSize);
  SetLe32(file, k255 + kRecordNext, kFirstIndexRecord);
  for (int i = 510; i >= 256; --i) {
    const int32_t next = i == 256 ? 0 : OffsetOfKey(i - 1);
    EXPECT_EQ(OffsetOfKey(i), AppendRecordImage(file, 0, 0, OffsetOfKey(i + 1), next, NumberedKey(i), ""));
  }
  for (int i = 257; i < 512; ++i) SetLe32(file, EntryOf(kSecondIndexRecord, i - 1), OffsetOfKey(i));
  EXPECT_EQ(kThirdIndexRecord, AppendRecordImage(file, 3072, 0, 0, 0, "Index", ""));
  for (int i = 0; i < 512; ++i) SetLe32(file, EntryOf(kThirdIndexRecord, i), OffsetOfKey(i));
  SetListHead(file, kAllocatedHead, {FirstKeysRecord(0), OffsetOfKey(256), 512});
  SetListHead(file, kFreeHead, {kSecondIndexRecord, kSecondIndexRecord, 1});
  SetListHead(file, kIndexHead, {kThirdIndexRecord, kThirdIndexRecord, 1});
  EXPECT_EQ(size_t{24779}, file.size());
  return file;
}

// The second half goes in in falling order, so every insertion, the one
// right after the growth too, shifts the entries above position 256.
TEST_F(KeyIndexTest, GrowthAt512ByteForByteAndReopenWithCapacity768) {
  const std::string name = Path("grow2.kvs");
  StoreHandle store = Create(name, STORE_SORTED | STORE_NOCASE);
  ASSERT_NE(nullptr, store);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(1, Put(store, NumberedKey(i), "")) << i;
  for (int i = 511; i >= 256; --i) ASSERT_EQ(1, Put(store, NumberedKey(i), "")) << i;
  EXPECT_EQ(768, store->lIndexCapacity);
  ASSERT_EQ(1, BdbClose(store));
  ASSERT_TRUE(SameBytes(ReadFileBytes(name), ImageAfterSecondGrowth(STORE_SORTED | STORE_NOCASE)));

  store = Open(name);
  ASSERT_NE(nullptr, store);
  EXPECT_EQ(768, store->lIndexCapacity);
  EXPECT_EQ(kThirdIndexRecord, store->lIndexOffset);
  std::vector<std::string> sortedKeys;
  for (int i = 0; i < 512; ++i) sortedKeys.push_back(NumberedKey(i));
  EXPECT_EQ(sortedKeys, List(store, ""));
  for (int i : {0, 255, 256, 511}) EXPECT_EQ("", Get(store, NumberedKey(i))) << i;
  ASSERT_EQ(1, Put(store, "zzz", "last"));
  EXPECT_EQ("last", Get(store, "ZZZ"));
}

// A keyed record may be named Index: it lives on the allocated list, and
// only the index list holds the store's own Index record.
TEST_F(KeyIndexTest, KeyNamedIndexIsAnOrdinaryKey) {
  const std::string name = Path("s.kvs");
  MakeStore(name, STORE_SORTED | STORE_NOCASE, {{"Index", "not the index"}, {"a", "1"}});
  StoreHandle store = Open(name);
  ASSERT_NE(nullptr, store);
  EXPECT_EQ(kStoreHeaderSize, store->lIndexOffset);
  EXPECT_EQ(256, store->lIndexCapacity);
  EXPECT_EQ("not the index", Get(store, "INDEX"));
  EXPECT_EQ((std::vector<std::string>{"a", "Index"}), List(store, ""));
}

// Keys of a store too large to load its index at open: key00000, ...
std::string LargeStoreKey(int i) { return Numbered("key", 100000 + i).erase(3, 1); }

// A large store searched and changed in its Index record, switching to its
// loaded entries part way (a long run of lookups), agrees call for call with
// the same store whose entries were loaded first (a held run loads them),
// and leaves the same bytes: new keys (the second grows the index), a rewrite in
// place, a relocation, deletes and a reused record.
TEST_F(KeyIndexTest, AnIndexInTheFileAgreesWithItsLoadedEntries) {
  constexpr int kKeys = 1534;  // capacity 1536: the second new key grows it
  const std::string base = Path("base.kvs"), inFile = Path("in-file.kvs");
  const std::string loaded = Path("loaded.kvs");
  StoreHandle store = Create(base, STORE_SORTED | STORE_NOCASE);
  ASSERT_NE(nullptr, store);
  ASSERT_EQ(1, BdbHoldWrites(store));
  for (int i = 0; i < kKeys; ++i) ASSERT_EQ(1, Put(store, LargeStoreKey(i), Numbered("value", i)));
  const Bytes image = CloseAndRead(store, base);
  WriteFileBytes(inFile, image);
  WriteFileBytes(loaded, image);

  const auto run = [](StoreHandle s) {
    std::vector<std::string> results;
    const auto note = [&](int result) { results.push_back(std::to_string(result)); };
    const auto changes = [&](const std::string& stem, int at) {
      note(Put(s, stem + "-new", "n"));
      note(Put(s, stem + "-grows", "g"));
      note(Put(s, LargeStoreKey(at), "in"));                     // fits: in place
      note(Put(s, LargeStoreKey(at + 1), std::string(64, 'r')));  // relocates
      note(BdbDelete(s, LargeStoreKey(at + 2).c_str()));
      note(BdbDelete(s, "absent"));
      note(Put(s, stem + "-reuses", "x"));
      const std::vector<std::string> keys = {LargeStoreKey(at), LargeStoreKey(at + 1),
                                             LargeStoreKey(at + 2), "KEY" + LargeStoreKey(at).substr(3),
                                             stem + "-NEW", "absent"};
      for (const std::string& key : keys) results.push_back(Get(s, key));
    };
    for (const std::string& key : List(s, "key0001")) results.push_back(key);
    changes("a", 10);
    changes("A", kKeys - 3);  // the same keys again, and the last records
    for (int i = 0; i < kKeys; i += 7) results.push_back(Get(s, LargeStoreKey(i)));
    changes("b", 500);
    for (const std::string& key : List(s, "b-")) results.push_back(key);
    return results;
  };
  StoreHandle first = Open(inFile), second = Open(loaded);
  ASSERT_NE(nullptr, first);
  ASSERT_NE(nullptr, second);
  EXPECT_TRUE(first->bIndexInFile);
  ASSERT_EQ(1, BdbHoldWrites(second));  // a held run loads the entries
  ASSERT_EQ(1, BdbFlush(second));
  EXPECT_FALSE(second->bIndexInFile);
  EXPECT_EQ(run(second), run(first));
  EXPECT_FALSE(first->bIndexInFile) << "the lookups never paid for loading the entries";
  EXPECT_EQ(1, BdbCheck(first, nullptr));
  EXPECT_TRUE(SameBytes(CloseAndRead(first, inFile), CloseAndRead(second, loaded)));
}

}  // namespace
}  // namespace kvs_test
