// prefix_list_test.cc: the key lists of BdbListPrefix, compared byte for
// byte: matching runs in the middle and at the end of the index, prefixes
// that match nothing, the empty prefix, case-insensitive stores, and stores
// that have no listing.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "store/store.h"
#include "store/tests/store_test_util.h"

namespace kvs_test {
namespace {

class PrefixListTest : public StoreTest {
 protected:
  // A sorted store holding b1, a2, a1 (put in that order).
  StoreHandle ThreeKeyStore() {
    return CreateWith(Path("three.kvs"), STORE_SORTED, {{"b1", "v"}, {"a2", "v"}, {"a1", "v"}});
  }
  // The block for prefix, compared whole with expected (its terminators and
  // the final extra NUL included), and the count it reports.
  static void ExpectBlock(StoreHandle store, const char* prefix, const std::string& expected,
                          int32_t expectedCount) {
    int32_t count = -1;
    char* block = BdbListPrefix(store, prefix, &count);
    ASSERT_NE(nullptr, block) << prefix;
    EXPECT_EQ(expectedCount, count) << prefix;
    // The block's length, found from its count: the keys and the extra NUL.
    std::size_t length = 0;
    for (int32_t i = 0; i < count; ++i) length += std::strlen(block + length) + 1;
    ++length;
    EXPECT_EQ(expected.size(), length) << prefix;
    if (expected.size() == length) {
      EXPECT_EQ(expected, std::string(block, length)) << prefix;
    }
    BdbFree(block);
  }
};

TEST_F(PrefixListTest, MatchingRunsAreListedInIndexOrder) {
  StoreHandle store = ThreeKeyStore();
  ASSERT_NE(nullptr, store);
  ExpectBlock(store, "a", std::string("a1\0a2\0\0", 7), 2);
  ExpectBlock(store, "b", std::string("b1\0\0", 4), 1);
  ExpectBlock(store, "", std::string("a1\0a2\0b1\0\0", 10), 3);
  ExpectBlock(store, "a2", std::string("a2\0\0", 4), 1);
  char* block = BdbListPrefix(store, "b", nullptr);  // no count wanted
  ASSERT_NE(nullptr, block);
  EXPECT_EQ(0, std::memcmp(block, "b1\0\0", 4));
  BdbFree(block);
  BdbFree(nullptr);
  // The listing follows deletes and survives a reopen.
  ASSERT_EQ(1, BdbDelete(store, "a1"));
  ASSERT_EQ(1, Put(store, "a0", "v"));
  ASSERT_EQ(1, BdbClose(store));
  ASSERT_NE(nullptr, store = Open(Path("three.kvs")));
  ExpectBlock(store, "a", std::string("a0\0a2\0\0", 7), 2);
}

TEST_F(PrefixListTest, KeyEqualToThePrefixComesFirst) {
  StoreHandle store = Create(Path("s.kvs"), STORE_SORTED);
  ASSERT_NE(nullptr, store);
  for (const char* key : {"abd", "b", "ab", "aa", "abc", "ac"}) ASSERT_EQ(1, Put(store, key, ""));
  ExpectBlock(store, "ab", std::string("ab\0abc\0abd\0\0", 12), 3);
  ExpectBlock(store, "abc", std::string("abc\0\0", 5), 1);
  ExpectBlock(store, "a", std::string("aa\0ab\0abc\0abd\0ac\0\0", 18), 5);
}

TEST_F(PrefixListTest, NoCaseStoreMatchesAnySpellingAndListsKeysAsStored) {
  StoreHandle store = Create(Path("s.kvs"), STORE_SORTED | STORE_NOCASE);
  ASSERT_NE(nullptr, store);
  for (const char* key : {"aB2", "Ab1", "B", "_x"}) ASSERT_EQ(1, Put(store, key, "v"));
  ExpectBlock(store, "AB", std::string("Ab1\0aB2\0\0", 9), 2);
  ExpectBlock(store, "ab", std::string("Ab1\0aB2\0\0", 9), 2);
  ExpectBlock(store, "", std::string("_x\0Ab1\0aB2\0B\0\0", 14), 4);
  ExpectBlock(store, "b", std::string("B\0\0", 3), 1);
}

TEST_F(PrefixListTest, CaseSensitiveStoreTellsSpellingsApart) {
  StoreHandle store = Create(Path("s.kvs"), STORE_SORTED);
  ASSERT_NE(nullptr, store);
  for (const char* key : {"aB2", "Ab1", "_x", "Z"}) ASSERT_EQ(1, Put(store, key, "v"));
  ExpectBlock(store, "A", std::string("Ab1\0\0", 5), 1);
  ExpectBlock(store, "", std::string("Ab1\0Z\0_x\0aB2\0\0", 14), 4);
  EXPECT_EQ((std::vector<std::string>{"<none>"}), List(store, "AB"));
}

// No block and the count untouched: no key matches, the store is empty or
// emptied, or it is not sorted.
TEST_F(PrefixListTest, NoMatchOrNoIndexGivesNoneAndLeavesTheCount) {
  StoreHandle three = ThreeKeyStore();
  StoreHandle unsorted = CreateWith(Path("u.kvs"), STORE_NOCASE, {{"a1", "v"}});
  StoreHandle empty = Create(Path("e.kvs"), STORE_SORTED);
  ASSERT_TRUE(three && unsorted && empty);
  const std::vector<std::pair<StoreHandle, const char*>> cases = {
      {three, "c"}, {three, "a12"}, {three, "0"}, {three, "A"}, {three, "b10"}, {three, "a1x"},
      {unsorted, ""}, {unsorted, "a"}, {empty, ""}};
  for (const auto& [store, prefix] : cases) {
    int32_t count = 42;
    EXPECT_EQ(nullptr, BdbListPrefix(store, prefix, &count)) << prefix;
    EXPECT_EQ(42, count) << prefix;
  }
  ASSERT_EQ(1, Put(empty, "a1", "v"));
  ASSERT_EQ(1, BdbDelete(empty, "a1"));
  EXPECT_EQ((std::vector<std::string>{"<none>"}), List(empty, ""));
}

}  // namespace
}  // namespace kvs_test
