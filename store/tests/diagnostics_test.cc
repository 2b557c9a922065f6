// diagnostics_test.cc: the dump text of the allocated and free lists column
// for column, statistics, and walks of each chain with callbacks that stop
// early or read from the store they walk.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "store/ops/slots.h"
#include "store/store.h"
#include "store/tests/store_test_util.h"

namespace kvs_test {
namespace {

using DiagnosticsTest = StoreTest;

const char kAllocatedBanner[] = "\n*** Dumping allocated list...\n";
const char kFreeBanner[] = "\n*** Dumping free list...\n";

// The seven pieces a dump writes for one record.
std::string DumpedRecord(const std::string& key, long allocated, long used, long nameLength,
                         long prev, long next) {
  std::string text = "\nName:             " + key;
  text += "\nlBytesAllocated:  " + std::to_string(allocated);
  text += "\nlBytesUsed:       " + std::to_string(used);
  text += "\nlNameLength:      " + std::to_string(nameLength);
  text += "\nlPrev:            " + std::to_string(prev);
  text += "\nlNext:            " + std::to_string(next);
  return text + "\n";
}

// Every (key, lBytesUsed) a walk shows, and where to stop.
struct WalkLog {
  std::vector<std::pair<std::string, int32_t>> visits;
  StoreHandle store = nullptr;
  size_t stopAfter = 1000;
};
WalkLog g_log;

int LogRecord(StoreHandle store, const char* key, int32_t used) {
  EXPECT_EQ(g_log.store, store);
  g_log.visits.emplace_back(key, used);
  return g_log.visits.size() >= g_log.stopAfter ? 1 : 0;
}

// Reads a value of the walked store from inside the walk.
int ReadDuringWalk(StoreHandle store, const char* key, int32_t used) {
  std::string value(static_cast<size_t>(used), '\0');
  EXPECT_EQ(1, BdbRead(store, "k1", value.data(), used > 0 ? used : 0));
  int32_t size = -1;
  EXPECT_EQ(1, BdbGetSize(store, "k3", &size));
  g_log.visits.emplace_back(key, used);
  return 0;
}

std::vector<std::pair<std::string, int32_t>> Walk(StoreHandle store, int list,
                                                  size_t stopAfter = 1000) {
  g_log = WalkLog{};
  g_log.store = store;
  g_log.stopAfter = stopAfter;
  EXPECT_EQ(1, BdbWalk(store, list, LogRecord));
  return g_log.visits;
}

// Empty stores: banners only, and the index list of a sorted store (any
// list number other than 0 and 1) holds its one Index record.
TEST_F(DiagnosticsTest, EmptyStores) {
  StoreHandle unsorted = Create(Path("u.kvs"), STORE_NOCASE);
  StoreHandle sorted = Create(Path("s.kvs"), STORE_SORTED);
  ASSERT_TRUE(unsorted && sorted);
  EXPECT_EQ((std::vector<int32_t>{0, 0, 0, STORE_NOCASE}), Counts(unsorted));
  for (StoreHandle store : {unsorted, sorted}) {
    EXPECT_EQ(kAllocatedBanner, DumpText(BdbDumpAllocated, store));
    EXPECT_EQ(kFreeBanner, DumpText(BdbDumpFree, store));
    EXPECT_TRUE(Walk(store, 0).empty());
    EXPECT_TRUE(Walk(store, 1).empty());
  }
  const std::vector<std::pair<std::string, int32_t>> index = {{"Index", 0}};
  for (int list : {2, 7, -1}) {
    EXPECT_TRUE(Walk(unsorted, list).empty()) << list;
    EXPECT_EQ(index, Walk(sorted, list)) << list;
  }
}

TEST_F(DiagnosticsTest, DumpsFollowTheChainsAfterDeletesAndRelocation) {
  StoreHandle store = CreateWith(Path("s.kvs"), STORE_SORTED, {{"k1", "12345"}});  // at 1189
  EXPECT_EQ(std::string(kAllocatedBanner) +
                "\n"
                "Name:             k1\n"
                "lBytesAllocated:  5\n"
                "lBytesUsed:       5\n"
                "lNameLength:      2\n"
                "lPrev:            0\n"
                "lNext:            0\n",
            DumpText(BdbDumpAllocated, store));
  ASSERT_EQ(1, Put(store, "k2", "ab"));   // 1228, 36 bytes
  ASSERT_EQ(1, Put(store, "k3", ""));     // 1264, 34 bytes
  ASSERT_EQ(1, Put(store, "k2", "abc"));  // relocated to 1298
  ASSERT_EQ(1, BdbDelete(store, "k1"));
  EXPECT_EQ(std::string(kAllocatedBanner) + DumpedRecord("k3", 0, 0, 2, 0, 1298) +
                DumpedRecord("k2", 3, 3, 2, 1264, 0),
            DumpText(BdbDumpAllocated, store));
  EXPECT_EQ(std::string(kFreeBanner) + DumpedRecord("k2", 2, 2, 2, 0, 1189) +
                DumpedRecord("k1", 5, 5, 2, 1228, 0),
            DumpText(BdbDumpFree, store));
  EXPECT_EQ((std::vector<int32_t>{2, 2, 1, STORE_SORTED}), Counts(store));
  const std::vector<std::pair<std::string, int32_t>> freeList = {{"k2", 2}, {"k1", 5}};
  EXPECT_EQ(freeList, Walk(store, 1));
}

TEST_F(DiagnosticsTest, WalkStopsWhenTheCallbackSaysSoAndMayReadTheStore) {
  StoreHandle store = CreateWith(Path("s.kvs"), STORE_SORTED, {{"k1", "a"}, {"k2", "b"}, {"k3", "c"}});
  EXPECT_EQ((std::vector<std::pair<std::string, int32_t>>{{"k1", 1}}), Walk(store, 0, 1));
  EXPECT_EQ((std::vector<std::pair<std::string, int32_t>>{{"k1", 1}, {"k2", 1}}), Walk(store, 0, 2));
  g_log = WalkLog{};
  ASSERT_EQ(1, BdbWalk(store, 0, ReadDuringWalk));
  EXPECT_EQ((std::vector<std::pair<std::string, int32_t>>{{"k1", 1}, {"k2", 1}, {"k3", 1}}), g_log.visits);
}

int CloseDuringWalk(StoreHandle store, const char*, int32_t) {
  g_log.visits.emplace_back("closed", BdbClose(store));
  return 0;
}

// A callback that closes the store it walks ends the walk, and nothing of
// the closed store is used afterwards.
TEST_F(DiagnosticsTest, CallbackThatClosesTheStoreEndsTheWalk) {
  StoreHandle store = CreateWith(Path("s.kvs"), 0, {{"a", "a"}, {"b", "b"}});
  g_log = WalkLog{};
  BdbWalk(store, 0, CloseDuringWalk);
  EXPECT_EQ((std::vector<std::pair<std::string, int32_t>>{{"closed", 1}}), g_log.visits);
  StoreStats stats{};
  EXPECT_EQ(0, BdbGetStats(store, &stats));
}

TEST_F(DiagnosticsTest, NullArgumentsAndInvalidHandles) {
  StoreHandle store = CreateWith(Path("s.kvs"), 0, {{"k", "v"}});
  EXPECT_EQ(0, BdbWalk(store, 0, nullptr));
  EXPECT_EQ(0, BdbGetStats(store, nullptr));
  for (StoreHandle bad : {static_cast<StoreHandle>(nullptr), store + 1,
                          reinterpret_cast<StoreHandle>(reinterpret_cast<char*>(store) + 4)}) {
    EXPECT_EQ("", DumpText(BdbDumpAllocated, bad));
    EXPECT_EQ("", DumpText(BdbDumpFree, bad));
    StoreStats stats{3, 3, 3, 3};
    EXPECT_EQ(0, BdbGetStats(bad, &stats));
    EXPECT_EQ(3, stats.lFlags);
    EXPECT_EQ(0, BdbWalk(bad, 0, LogRecord));
  }
  ASSERT_EQ(1, BdbClose(store));
  EXPECT_EQ("", DumpText(BdbDumpAllocated, store));
}

}  // namespace
}  // namespace kvs_test
