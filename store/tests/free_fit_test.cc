// free_fit_test.cc: first fit through the free list's mirror against the
// walk of the list, on random runs of puts and deletes; and the walk taking
// over when the list is damaged.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "store/errors.h"
#include "store/ops/records.h"
#include "store/records/free_fit.h"
#include "store/tests/store_test_util.h"

namespace kvs_test {
namespace {

class FreeFitTest : public StoreTest {
 protected:
  // For needs from none to more than any room, the mirror chooses the
  // record the walk chooses.
  static void ExpectWalksChoice(kvs::SlotFile* slot) {
    if (slot->header.lhFree.lFirst == 0) return;
    for (const int64_t need : {0, 1, 9, 40, 120, 300, 433, 900, 5000}) {
      int64_t walkNeed = need;
      const kvs::WalkResult walked =
          kvs::WalkChain(slot, slot->header.lhFree.lFirst, kvs::FreeFitVisitor, &walkNeed);
      const kvs::RecordSearch fit = kvs::FirstFreeFit(slot, need);
      ASSERT_NE(kvs::RecordSearch::kFailed, fit.outcome) << "need " << need;
      ASSERT_EQ(walked.end == kvs::WalkResult::kStopped ? walked.value : 0, fit.offset)
          << "need " << need;
    }
    EXPECT_EQ(kvs::FreeRooms::State::kBuilt, slot->freeRooms.state());
  }
};

struct FreeListRun {
  const char* name;
  int32_t flags;
  int reopenEvery;   // steps between a close and an open (0: never)
  int compactEvery;  // steps between compactions (0: never)
  bool held;         // in held runs, flushed every 50 steps
};

const FreeListRun kRuns[] = {
    {"unsorted", 0, 0, 0, false},
    {"sorted", STORE_SORTED, 0, 0, false},
    {"reopened", STORE_SORTED, 37, 0, false},
    {"compacted", 0, 0, 53, false},
    {"held", STORE_SORTED | STORE_NOCASE, 0, 0, true},
};

TEST_F(FreeFitTest, ChoosesWhatTheWalkChooses) {
  for (const FreeListRun& run : kRuns) {
    SCOPED_TRACE(run.name);
    const std::string name = Path(Numbered("free", &run - kRuns, ".kvs"));
    StoreHandle store = Create(name, run.flags);
    ASSERT_NE(nullptr, store);
    if (run.held) {
      ASSERT_EQ(1, BdbHoldWrites(store));
    }
    std::mt19937 rng(7);
    for (int step = 1; step <= 600; ++step) {
      const std::string key = Numbered("k", static_cast<long long>(rng() % 80));
      // Mostly small values, now and then one larger than every room.
      const std::size_t length = rng() % 8 == 0 ? 500 + rng() % 400 : rng() % 120;
      if (rng() % 5 < 2) {
        BdbDelete(store, key.c_str());
      } else {
        ASSERT_EQ(1, Put(store, key, std::string(length, 'v')));
      }
      ASSERT_NO_FATAL_FAILURE(ExpectWalksChoice(store));
      if (run.reopenEvery != 0 && step % run.reopenEvery == 0) {
        ASSERT_EQ(1, BdbClose(store));
        ASSERT_NE(nullptr, store = Open(name));
      }
      if (run.compactEvery != 0 && step % run.compactEvery == 0) {
        ASSERT_EQ(1, BdbCompact(store));
      }
      if (run.held && step % 50 == 0) {
        ASSERT_EQ(1, BdbFlush(store));
        ASSERT_EQ(1, BdbHoldWrites(store));
      }
    }
    EXPECT_EQ(1, BdbCheck(store, stderr));
    EXPECT_EQ(1, BdbClose(store));
  }
}

// A free list whose back links disagree with its forward links: an unlink
// there would change a record the mirror does not expect, so first fit
// walks, and the failed build leaves no error behind.
TEST_F(FreeFitTest, DamagedListIsWalked) {
  const std::string name = Path("damaged.kvs");
  StoreHandle store = CreateWith(name, 0, {{"a", "1"}, {"b", "22"}, {"c", "333"}});
  for (const char* key : {"a", "b", "c"}) ASSERT_EQ(1, BdbDelete(store, key));
  Bytes file = CloseAndRead(store, name);
  const ListHeadValues free = ListHeadAt(file, kFreeHead);
  SetLe32(file, At(free[1]) + kRecordPrev, free[0]);  // c's back link skips b
  WriteFileBytes(name, file);

  ASSERT_NE(nullptr, store = Open(name));
  kvs::SetError(BDB_OK);
  EXPECT_EQ(kvs::RecordSearch::kFailed, kvs::FirstFreeFit(store, 1).outcome);
  EXPECT_EQ(kvs::FreeRooms::State::kUnavailable, store->freeRooms.state());
  EXPECT_EQ(BDB_OK, kvs::CurrentError());
  ASSERT_EQ(1, Put(store, "d", "4"));  // first fit by the walk: a's record
  const kvs::RecordSearch placed = kvs::FindRecord(store, "d");
  EXPECT_TRUE(placed.present());
  EXPECT_EQ(free[0], placed.offset);
}

}  // namespace
}  // namespace kvs_test
