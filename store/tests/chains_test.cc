// chains_test.cc: the chain primitives: walks and where they stop, unlinking
// and linking at every position, appending records at the end of the file,
// and read-modify-write of record headers that keeps their reserved words.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "store/records/chains.h"
#include "store/ops/slots.h"
#include "store/store.h"
#include "store/tests/store_test_util.h"

namespace kvs_test {
namespace {

// An unsorted store holding k1, k2, k3 with values v1, v22, v333: records at
// 128 (36 bytes), 164 (37 bytes) and 201 (38 bytes); the file is 239 bytes.
class ChainsTest : public StoreTest {
 protected:
  static constexpr int32_t kR1 = 128, kR2 = 164, kR3 = 201, kEnd = 239;

  void SetUp() override {
    name_ = Path("chains.kvs");
    store_ = CreateWith(name_, 0, {{"k1", "v1"}, {"k2", "v22"}, {"k3", "v333"}});
  }
  // Closes the store and returns its file.
  Bytes CloseAndRead() { return StoreTest::CloseAndRead(store_, name_); }
  kvs::ListHead& Allocated() { return store_->header.lhAllocated; }
  kvs::ListHead& Free() { return store_->header.lhFree; }

  std::string name_;
  StoreHandle store_ = nullptr;
};

struct Visits {
  std::vector<std::string> keys;
  std::vector<int64_t> offsets;
  std::vector<std::string> values;
  size_t stopAt = 100;
};

// Records what the walk shows, reads the value from where the walk left the
// file, and stops with 7 at the record numbered stopAt.
kvs::VisitResult RecordingVisitor(kvs::SlotFile* slot, const char* key,
                                  const kvs::RecordHeader& header, void* userData) {
  auto* visits = static_cast<Visits*>(userData);
  visits->keys.emplace_back(key);
  visits->offsets.push_back(slot->pFile->Tell() - header.lNameLength - kRecordHeaderSize);
  std::string value(static_cast<size_t>(header.lBytesUsed), '\0');
  slot->pFile->Read(value.data(), value.size());
  visits->values.push_back(value);
  return visits->keys.size() == visits->stopAt ? kvs::VisitResult::Stop(7)
                                               : kvs::VisitResult::GoOn();
}

// How a walk ended, as {end, value}.
std::pair<kvs::WalkResult::End, int32_t> Walk(StoreHandle store, int32_t start, Visits* visits) {
  const kvs::WalkResult walk = kvs::WalkChain(store, start, RecordingVisitor, visits);
  return {walk.end, walk.value};
}
constexpr auto kChainEnd = kvs::WalkResult::kChainEnd;

TEST_F(ChainsTest, WalkVisitsInChainOrderAtTheDataAreaAndStopsWhenAsked) {
  const std::vector<std::string> keys = {"k1", "k2", "k3"};
  Visits visits;
  EXPECT_EQ(std::pair(kChainEnd, 0), Walk(store_, 0, &visits));
  EXPECT_TRUE(visits.keys.empty());
  EXPECT_EQ(std::pair(kChainEnd, 0), Walk(store_, Allocated().lFirst, &visits));
  EXPECT_EQ(keys, visits.keys);
  EXPECT_EQ((std::vector<int64_t>{kR1, kR2, kR3}), visits.offsets);
  EXPECT_EQ((std::vector<std::string>{"v1", "v22", "v333"}), visits.values);
  visits = Visits{};
  visits.stopAt = 2;
  EXPECT_EQ(std::pair(kvs::WalkResult::kStopped, 7), Walk(store_, Allocated().lFirst, &visits));
  EXPECT_EQ((std::vector<std::string>{"k1", "k2"}), visits.keys);
  visits = Visits{};
  EXPECT_EQ(std::pair(kChainEnd, 0), Walk(store_, kR3, &visits));
  EXPECT_EQ((std::vector<std::string>{"k3"}), visits.keys);
}

// A chain that cannot be followed fails the walk, noted as damage, after the
// records it could read; a walk never ends as if the chain had ended.
TEST_F(ChainsTest, WalkOfADamagedChainFails) {
  struct Case {
    const char* what;
    int32_t start, linkFrom, linkTo;  // linkFrom's lNext becomes linkTo (none: 0)
    std::vector<std::string> keys;
  };
  const Bytes original = CloseAndRead();
  // A loop is followed for as many records as the file can hold: four.
  for (const Case& c : {Case{"start outside the file", kEnd, 0, 0, {}},
                        Case{"start inside a record", kR1 + 1, 0, 0, {}},
                        Case{"link outside the file", kR1, kR2, kEnd + 1, {"k1", "k2"}},
                        Case{"link back: a loop", kR1, kR3, kR1, {"k1", "k2", "k3", "k1"}}}) {
    SCOPED_TRACE(c.what);
    Bytes file = original;
    if (c.linkFrom != 0) SetLe32(file, At(c.linkFrom) + kRecordNext, c.linkTo);
    WriteFileBytes(name_, file);
    ASSERT_NE(nullptr, store_ = Open(name_));
    Visits visits;
    EXPECT_EQ(std::pair(kvs::WalkResult::kFailed, 0), Walk(store_, c.start, &visits));
    EXPECT_EQ(BDB_DAMAGED, BdbLastError());
    EXPECT_EQ(c.keys, visits.keys);
    ASSERT_EQ(1, BdbClose(store_));
  }
}

// Unlinking the first, a middle or the last record joins its neighbours and
// moves the chain's ends; the unlinked record keeps its former links.
TEST_F(ChainsTest, UnlinkAtEveryPosition) {
  struct Case {
    int32_t record;
    ListHeadValues head;
    int32_t before, after;  // the neighbours, now linked to each other
  };
  const Bytes original = CloseAndRead();
  for (const Case& c : {Case{kR1, {kR2, kR3, 2}, 0, kR2}, Case{kR2, {kR1, kR3, 2}, kR1, kR3},
                        Case{kR3, {kR1, kR2, 2}, kR2, 0}}) {
    SCOPED_TRACE(c.record);
    WriteFileBytes(name_, original);
    ASSERT_NE(nullptr, store_ = Open(name_));
    ASSERT_TRUE(kvs::UnlinkRecord(store_, Allocated(), c.record));
    const Bytes file = CloseAndRead();
    EXPECT_EQ(c.head, ListHeadAt(file, kAllocatedHead));
    if (c.before != 0) { EXPECT_EQ(c.after, RecordAt(file, c.before).next); }
    if (c.after != 0) { EXPECT_EQ(c.before, RecordAt(file, c.after).prev); }
    EXPECT_EQ(c.before, RecordAt(file, c.record).prev);
    EXPECT_EQ(c.after, RecordAt(file, c.record).next);
    EXPECT_EQ(original.size(), file.size());
  }
  ASSERT_NE(nullptr, store_ = Open(name_));
  ASSERT_TRUE(kvs::UnlinkRecord(store_, Allocated(), kR1));
  ASSERT_TRUE(kvs::UnlinkRecord(store_, Allocated(), kR2));
  EXPECT_EQ((ListHeadValues{0, 0, 0}), ListHeadAt(CloseAndRead(), kAllocatedHead));
}

TEST_F(ChainsTest, LinkAtTailOfEmptyThenNonEmptyChain) {
  ASSERT_TRUE(kvs::UnlinkRecord(store_, Allocated(), kR2));
  ASSERT_TRUE(kvs::LinkRecordAtTail(store_, Free(), kR2));
  ASSERT_TRUE(kvs::UnlinkRecord(store_, Allocated(), kR1));
  ASSERT_TRUE(kvs::LinkRecordAtTail(store_, Free(), kR1));
  const Bytes file = CloseAndRead();
  EXPECT_EQ((ListHeadValues{kR3, kR3, 1}), ListHeadAt(file, kAllocatedHead));
  EXPECT_EQ((ListHeadValues{kR2, kR1, 2}), ListHeadAt(file, kFreeHead));
  EXPECT_EQ(0, RecordAt(file, kR2).prev);
  EXPECT_EQ(kR1, RecordAt(file, kR2).next);
  EXPECT_EQ(kR2, RecordAt(file, kR1).prev);
  EXPECT_EQ(0, RecordAt(file, kR1).next);
  EXPECT_EQ(0, RecordAt(file, kR3).prev);
  EXPECT_EQ(0, RecordAt(file, kR3).next);
  // Keys, lengths and values stay as they were; only links change.
  EXPECT_EQ("k2", RecordAt(file, kR2).key);
  EXPECT_EQ("v22", RecordAt(file, kR2).value);
  EXPECT_EQ(3, RecordAt(file, kR2).allocated);
}

// An append grows the file by exactly the record (header, key cut to
// MAX_KEY_LENGTH, data capacity of zero bytes) and links it at the tail.
TEST_F(ChainsTest, AppendGrowsByExactlyTheRecordAndLinksItAtTheTail) {
  const std::string key(20000, 'q');
  EXPECT_EQ(kEnd, kvs::AppendRecord(store_, Free(), key.c_str(), 7, 3));
  const int32_t second = kEnd + kRecordHeaderSize + MAX_KEY_LENGTH + 7;
  EXPECT_EQ(second, kvs::AppendRecord(store_, Allocated(), "abc", 0, 0));
  Bytes expected = FreshHeaderImage(0);
  AppendRecordImage(expected, 2, 2, 0, kR2, "k1", "v1");
  AppendRecordImage(expected, 3, 3, kR1, kR3, "k2", "v22");
  AppendRecordImage(expected, 4, 4, kR2, second, "k3", "v333");
  AppendRecordImage(expected, 7, 3, 0, 0, key.substr(0, MAX_KEY_LENGTH), "");
  AppendRecordImage(expected, 0, 0, kR3, 0, "abc", "");
  SetListHead(expected, kAllocatedHead, {kR1, second, 4});
  SetListHead(expected, kFreeHead, {kEnd, kEnd, 1});
  EXPECT_TRUE(SameBytes(CloseAndRead(), expected));
}

// Moves between chains rewrite whole record headers but must carry the
// reserved words that were in the file.
TEST_F(ChainsTest, RelinkingKeepsReservedWordsOfRecordHeaders) {
  Bytes file = CloseAndRead();
  for (int32_t r : {kR1, kR2, kR3})
    for (size_t word = 0; word < 3; ++word)
      SetLe32(file, At(r) + kRecordReserved + 4 * word, r * 10 + static_cast<int32_t>(word));
  WriteFileBytes(name_, file);
  store_ = Open(name_);
  ASSERT_NE(nullptr, store_);
  ASSERT_EQ(1, BdbDelete(store_, "k2"));
  ASSERT_EQ(1, Put(store_, "k1", "vv"));
  ASSERT_EQ(1, Put(store_, "k9", "9"));  // reuses k2's record (room 5, need 3)
  ASSERT_EQ(1, Put(store_, "k3", "a value too long for the record"));
  file = CloseAndRead();
  for (int32_t r : {kR1, kR2, kR3})
    for (int32_t word = 0; word < 3; ++word)
      EXPECT_EQ(r * 10 + word, RecordAt(file, r).reserved[word]) << r;
}

}  // namespace
}  // namespace kvs_test
