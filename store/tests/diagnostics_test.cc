// diagnostics_test.cc: the dump text of the allocated and free lists column
// for column, statistics, and walks of each chain with callbacks that stop
// early or read from the store they walk.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "store/slots.h"
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
  std::vector<std::string> valuesRead;
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

TEST_F(DiagnosticsTest, EmptyUnsortedStore) {
  StoreHandle store = Create(Path("s.kvs"), STORE_NOCASE);
  ASSERT_NE(nullptr, store);
  const StoreStats stats = Stats(store);
  EXPECT_EQ(0, stats.lAllocatedCount);
  EXPECT_EQ(0, stats.lFreeCount);
  EXPECT_EQ(0, stats.lIndexCount);
  EXPECT_EQ(STORE_NOCASE, stats.lFlags);
  EXPECT_EQ(kAllocatedBanner, DumpText(BdbDumpAllocated, store));
  EXPECT_EQ(kFreeBanner, DumpText(BdbDumpFree, store));
  for (int list : {0, 1, 2, -1}) EXPECT_TRUE(Walk(store, list).empty()) << list;
}

TEST_F(DiagnosticsTest, SortedStoreHasOneIndexRecordOnItsIndexList) {
  StoreHandle store = Create(Path("s.kvs"), STORE_SORTED);
  ASSERT_NE(nullptr, store);
  EXPECT_EQ(1, Stats(store).lIndexCount);
  const std::vector<std::pair<std::string, int32_t>> index = {{"Index", 0}};
  for (int list : {2, 7, -1}) EXPECT_EQ(index, Walk(store, list)) << list;
  EXPECT_TRUE(Walk(store, 0).empty());
  EXPECT_TRUE(Walk(store, 1).empty());
  EXPECT_EQ(kAllocatedBanner, DumpText(BdbDumpAllocated, store));
}

TEST_F(DiagnosticsTest, DumpOfOneRecordIsColumnAligned) {
  StoreHandle store = Create(Path("s.kvs"), 0);
  ASSERT_NE(nullptr, store);
  ASSERT_EQ(1, Put(store, "k1", "12345"));
  EXPECT_EQ(std::string(kAllocatedBanner) +
                "\n"
                "Name:             k1\n"
                "lBytesAllocated:  5\n"
                "lBytesUsed:       5\n"
                "lNameLength:      2\n"
                "lPrev:            0\n"
                "lNext:            0\n",
            DumpText(BdbDumpAllocated, store));
}

TEST_F(DiagnosticsTest, DumpsFollowTheChainsAfterDeletesAndRelocation) {
  StoreHandle store = Create(Path("s.kvs"), STORE_SORTED);
  ASSERT_NE(nullptr, store);
  ASSERT_EQ(1, Put(store, "k1", "12345"));       // 1189, 39 bytes
  ASSERT_EQ(1, Put(store, "k2", "ab"));          // 1228, 36 bytes
  ASSERT_EQ(1, Put(store, "k3", ""));            // 1264, 34 bytes
  ASSERT_EQ(1, Put(store, "k2", "abc"));         // relocated to 1298
  ASSERT_EQ(1, BdbDelete(store, "k1"));
  EXPECT_EQ(std::string(kAllocatedBanner) + DumpedRecord("k3", 0, 0, 2, 0, 1298) +
                DumpedRecord("k2", 3, 3, 2, 1264, 0),
            DumpText(BdbDumpAllocated, store));
  EXPECT_EQ(std::string(kFreeBanner) + DumpedRecord("k2", 2, 2, 2, 0, 1189) +
                DumpedRecord("k1", 5, 5, 2, 1228, 0),
            DumpText(BdbDumpFree, store));
  const StoreStats stats = Stats(store);
  EXPECT_EQ(2, stats.lAllocatedCount);
  EXPECT_EQ(2, stats.lFreeCount);
  EXPECT_EQ(1, stats.lIndexCount);
  EXPECT_EQ(STORE_SORTED, stats.lFlags);
  const std::vector<std::pair<std::string, int32_t>> freeList = {{"k2", 2}, {"k1", 5}};
  EXPECT_EQ(freeList, Walk(store, 1));
}

TEST_F(DiagnosticsTest, WalkStopsWhenTheCallbackSaysSo) {
  StoreHandle store = Create(Path("s.kvs"), 0);
  ASSERT_NE(nullptr, store);
  for (const char* key : {"a", "b", "c"}) ASSERT_EQ(1, Put(store, key, key));
  EXPECT_EQ((std::vector<std::pair<std::string, int32_t>>{{"a", 1}}), Walk(store, 0, 1));
  EXPECT_EQ((std::vector<std::pair<std::string, int32_t>>{{"a", 1}, {"b", 1}}), Walk(store, 0, 2));
  EXPECT_EQ(size_t{3}, Walk(store, 0).size());
}

TEST_F(DiagnosticsTest, CallbackMayReadTheWalkedStore) {
  StoreHandle store = Create(Path("s.kvs"), STORE_SORTED);
  ASSERT_NE(nullptr, store);
  for (const char* key : {"k1", "k2", "k3", "k4"}) ASSERT_EQ(1, Put(store, key, key));
  g_log = WalkLog{};
  ASSERT_EQ(1, BdbWalk(store, 0, ReadDuringWalk));
  EXPECT_EQ(size_t{4}, g_log.visits.size());
  EXPECT_EQ("k4", g_log.visits.back().first);
}

int CloseDuringWalk(StoreHandle store, const char*, int32_t) {
  g_log.visits.emplace_back("closed", BdbClose(store));
  return 0;
}

// A callback that closes the store it walks ends the walk, and nothing of
// the closed store is used afterwards.
TEST_F(DiagnosticsTest, CallbackThatClosesTheStoreEndsTheWalk) {
  StoreHandle store = Create(Path("s.kvs"), 0);
  ASSERT_NE(nullptr, store);
  for (const char* key : {"a", "b", "c"}) ASSERT_EQ(1, Put(store, key, key));
  g_log = WalkLog{};
  BdbWalk(store, 0, CloseDuringWalk);
  EXPECT_EQ((std::vector<std::pair<std::string, int32_t>>{{"closed", 1}}), g_log.visits);
  StoreStats stats{};
  EXPECT_EQ(0, BdbGetStats(store, &stats));
}

TEST_F(DiagnosticsTest, NullArgumentsAndInvalidHandles) {
  StoreHandle store = Create(Path("s.kvs"), 0);
  ASSERT_NE(nullptr, store);
  ASSERT_EQ(1, Put(store, "k", "v"));
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
