// chains_test.cc: the chain primitives: walks and where they stop, unlinking
// and linking at every position, appending records at the end of the file,
// and read-modify-write of record headers that keeps their reserved words.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "store/chains.h"
#include "store/slots.h"
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
    store_ = Create(name_, 0);
    ASSERT_NE(nullptr, store_);
    ASSERT_EQ(1, Put(store_, "k1", "v1"));
    ASSERT_EQ(1, Put(store_, "k2", "v22"));
    ASSERT_EQ(1, Put(store_, "k3", "v333"));
  }
  // Closes the store and returns its file.
  Bytes CloseAndRead() {
    EXPECT_EQ(1, BdbClose(store_));
    return ReadFileBytes(name_);
  }
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
int32_t RecordingVisitor(StoreSlot* slot, const char* key, const kvs::RecordHeader& header,
                         void* userData) {
  auto* visits = static_cast<Visits*>(userData);
  visits->keys.emplace_back(key);
  visits->offsets.push_back(slot->pFile->Tell() - header.lNameLength - 32);
  std::string value(static_cast<size_t>(header.lBytesUsed), '\0');
  slot->pFile->Read(value.data(), value.size());
  visits->values.push_back(value);
  return visits->keys.size() == visits->stopAt ? 7 : 0;
}

TEST_F(ChainsTest, WalkFromZeroVisitsNothing) {
  Visits visits;
  EXPECT_EQ(0, kvs::WalkChain(store_, 0, RecordingVisitor, &visits));
  EXPECT_TRUE(visits.keys.empty());
}

TEST_F(ChainsTest, WalkVisitsInChainOrderAtTheDataArea) {
  Visits visits;
  EXPECT_EQ(0, kvs::WalkChain(store_, Allocated().lFirst, RecordingVisitor, &visits));
  EXPECT_EQ((std::vector<std::string>{"k1", "k2", "k3"}), visits.keys);
  EXPECT_EQ((std::vector<int64_t>{kR1, kR2, kR3}), visits.offsets);
  EXPECT_EQ((std::vector<std::string>{"v1", "v22", "v333"}), visits.values);
}

TEST_F(ChainsTest, NonzeroVisitorResultStopsTheWalk) {
  Visits visits;
  visits.stopAt = 2;
  EXPECT_EQ(7, kvs::WalkChain(store_, Allocated().lFirst, RecordingVisitor, &visits));
  EXPECT_EQ((std::vector<std::string>{"k1", "k2"}), visits.keys);
}

TEST_F(ChainsTest, WalkOfSingleRecordChainVisitsOnce) {
  Visits visits;
  EXPECT_EQ(0, kvs::WalkChain(store_, kR3, RecordingVisitor, &visits));
  EXPECT_EQ((std::vector<std::string>{"k3"}), visits.keys);
}

TEST_F(ChainsTest, UnlinkFirstMakesSecondFirst) {
  ASSERT_TRUE(kvs::UnlinkRecord(store_, Allocated(), kR1));
  const Bytes file = CloseAndRead();
  EXPECT_EQ((ListHeadValues{kR2, kR3, 2}), ListHeadAt(file, kAllocatedHead));
  EXPECT_EQ(0, RecordAt(file, kR2).prev);
  EXPECT_EQ(kR3, RecordAt(file, kR2).next);
  // The unlinked record still shows its former links.
  EXPECT_EQ(0, RecordAt(file, kR1).prev);
  EXPECT_EQ(kR2, RecordAt(file, kR1).next);
  EXPECT_EQ(size_t{kEnd}, file.size());
}

TEST_F(ChainsTest, UnlinkMiddleJoinsItsNeighbours) {
  ASSERT_TRUE(kvs::UnlinkRecord(store_, Allocated(), kR2));
  const Bytes file = CloseAndRead();
  EXPECT_EQ((ListHeadValues{kR1, kR3, 2}), ListHeadAt(file, kAllocatedHead));
  EXPECT_EQ(kR3, RecordAt(file, kR1).next);
  EXPECT_EQ(kR1, RecordAt(file, kR3).prev);
  EXPECT_EQ(kR1, RecordAt(file, kR2).prev);
  EXPECT_EQ(kR3, RecordAt(file, kR2).next);
}

TEST_F(ChainsTest, UnlinkLastMakesPreviousLast) {
  ASSERT_TRUE(kvs::UnlinkRecord(store_, Allocated(), kR3));
  const Bytes file = CloseAndRead();
  EXPECT_EQ((ListHeadValues{kR1, kR2, 2}), ListHeadAt(file, kAllocatedHead));
  EXPECT_EQ(0, RecordAt(file, kR2).next);
  EXPECT_EQ(kR2, RecordAt(file, kR3).prev);
}

TEST_F(ChainsTest, UnlinkOnlyRecordEmptiesTheChain) {
  ASSERT_TRUE(kvs::UnlinkRecord(store_, Allocated(), kR1));
  ASSERT_TRUE(kvs::UnlinkRecord(store_, Allocated(), kR2));
  ASSERT_TRUE(kvs::UnlinkRecord(store_, Allocated(), kR3));
  const Bytes file = CloseAndRead();
  EXPECT_EQ((ListHeadValues{0, 0, 0}), ListHeadAt(file, kAllocatedHead));
}

TEST_F(ChainsTest, LinkAtTailOfEmptyThenNonEmptyChain) {
  ASSERT_TRUE(kvs::UnlinkRecord(store_, Allocated(), kR2));
  ASSERT_TRUE(kvs::LinkRecordAtTail(store_, Free(), kR2));
  EXPECT_EQ(kR2, Free().lFirst);
  EXPECT_EQ(kR2, Free().lLast);
  EXPECT_EQ(1, Free().lCount);
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

TEST_F(ChainsTest, AppendCutsLongKeyAndGrowsByExactlyTheRecord) {
  const std::string key(20000, 'q');
  const int32_t offset = kvs::AppendRecord(store_, Free(), key.c_str(), 7, 3);
  EXPECT_EQ(kEnd, offset);
  EXPECT_EQ(kvs::StoredKeyLength(key.c_str()), MAX_KEY_LENGTH);
  const Bytes file = CloseAndRead();
  ASSERT_EQ(size_t{kEnd + 32 + 16384 + 7}, file.size());
  const RecordView record = RecordAt(file, offset);
  EXPECT_EQ(7, record.allocated);
  EXPECT_EQ(3, record.used);
  EXPECT_EQ(16384, record.nameLength);
  EXPECT_EQ(0, record.prev);
  EXPECT_EQ(0, record.next);
  EXPECT_EQ(key.substr(0, 16384), record.key);
  EXPECT_EQ(std::string(3, '\0'), record.value);
  EXPECT_EQ((ListHeadValues{kEnd, kEnd, 1}), ListHeadAt(file, kFreeHead));
}

TEST_F(ChainsTest, AppendWithZeroCapacityIsHeaderAndKeyOnly) {
  const int32_t offset = kvs::AppendRecord(store_, Allocated(), "abc", 0, 0);
  EXPECT_EQ(kEnd, offset);
  const Bytes file = CloseAndRead();
  EXPECT_EQ(size_t{kEnd + 35}, file.size());
  EXPECT_EQ((ListHeadValues{kR1, kEnd, 4}), ListHeadAt(file, kAllocatedHead));
  EXPECT_EQ(kR3, RecordAt(file, kEnd).prev);
  EXPECT_EQ(kEnd, RecordAt(file, kR3).next);
}

// Moves between chains rewrite whole record headers but must carry the
// reserved words that were in the file.
TEST_F(ChainsTest, RelinkingKeepsReservedWordsOfRecordHeaders) {
  Bytes file = CloseAndRead();
  for (int32_t r : {kR1, kR2, kR3})
    for (size_t word = 0; word < 3; ++word)
      SetLe32(file, At(r) + 20 + 4 * word, r * 10 + static_cast<int32_t>(word));
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
