// unsorted_keys_test.cc: stores without STORE_SORTED, which find keys
// through an in-memory table of the allocated list, against a plain map:
// while puts, relocations, first-fit reuse and deletes keep the table, and
// after what drops it (a reopen, a compaction, commits that fail). A
// damaged list that holds a key twice behaves as a walk of the list does.
#include <map>
#include <random>
#include <string>

#include "store/tests/fault_injecting_file_system.h"
#include "store/tests/store_test_util.h"

namespace kvs_test {
namespace {

class UnsortedKeysTest : public StoreTest, public ::testing::WithParamInterface<int32_t> {
 protected:
  using Model = std::map<std::string, std::string>;  // key as the store compares it → value
  static constexpr int kKeys = 40;                   // each in three letter cases

  std::string Form(std::string key) const {
    for (char& c : key) {
      if ((GetParam() & STORE_NOCASE) != 0 && c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    }
    return key;
  }
  std::string Expected(const std::string& key) const {
    const auto found = model_.find(Form(key));
    return found == model_.end() ? "<absent>" : found->second;
  }
  // Key n / 3 of the key space, in letter case n % 3.
  static std::string Variant(unsigned n) {
    return Numbered(n % 3 == 0 ? "key" : n % 3 == 1 ? "KEY" : "Key", n / 3 % kKeys);
  }

  // Seeded puts of 0 to 60 bytes (so records relocate and freed ones are
  // reused) and deletes, each checked as it goes.
  void Churn(StoreHandle store, unsigned seed, int steps) {
    std::mt19937 random(seed);
    for (int step = 0; step < steps; ++step) {
      const std::string key = Variant(static_cast<unsigned>(random()));
      if (random() % 4 == 0) {
        EXPECT_EQ(model_.erase(Form(key)), static_cast<std::size_t>(BdbDelete(store, key.c_str())));
      } else {
        const std::string value(random() % 61, static_cast<char>('a' + step % 26));
        ASSERT_EQ(1, Put(store, key, value)) << key;
        model_[Form(key)] = value;
      }
      EXPECT_EQ(Expected(key), Get(store, key));
    }
  }
  void ExpectHolds(StoreHandle store) {
    for (unsigned n = 0; n < 3 * kKeys; ++n) EXPECT_EQ(Expected(Variant(n)), Get(store, Variant(n)));
    EXPECT_EQ(static_cast<int32_t>(model_.size()), Stats(store).lAllocatedCount);
  }

  Model model_;
};

TEST_P(UnsortedKeysTest, OperationsAgreeWithAModelWheneverTheTableIsBuiltAgain) {
  const std::string name = Path("u.kvs");
  kvs::testing::FaultInjectingFileSystem fs;
  kvs::testing::ScopedFileSystem scope(fs);
  StoreHandle store = Create(name, GetParam());
  ASSERT_NE(nullptr, store);
  enum Phase : unsigned { kReopen, kCompaction, kFailedCommits };
  for (const Phase phase : {kReopen, kCompaction, kFailedCommits}) {
    SCOPED_TRACE(phase);
    Churn(store, 2u * phase + 1, 300);
    ExpectHolds(store);
    if (phase == kReopen) {
      ASSERT_EQ(1, BdbClose(store));
      handles_.erase(store);
      ASSERT_NE(nullptr, store = Open(name));
    } else if (phase == kCompaction) {
      ASSERT_EQ(1, BdbCompact(store));
    } else {
      // A delete, a relocating put and a new key, forgotten with the image.
      const std::string present = model_.begin()->first;
      fs.FailWriteAfter(0);
      EXPECT_EQ(0, BdbDelete(store, present.c_str()));
      EXPECT_EQ(0, Put(store, present, std::string(500, 'R')));
      EXPECT_EQ(0, Put(store, "fresh", "value"));
      fs.Heal();
      EXPECT_EQ("<absent>", Get(store, "fresh"));
    }
    ExpectHolds(store);
    Churn(store, 2u * phase + 2, 100);
    ExpectHolds(store);
  }
  EXPECT_EQ(1, BdbCheck(store, stderr));
}

// The list holds "k" twice (as "K" the second time in a STORE_NOCASE
// store): the first record in list order is the key's until it leaves the
// list, then the second is.
TEST_P(UnsortedKeysTest, AKeyHeldTwiceIsFoundAsAWalkFindsIt) {
  const std::string name = Path("twice.kvs");
  Bytes file = FreshHeaderImage(GetParam());
  const int32_t a = kStoreHeaderSize, b = a + kRecordHeaderSize + 1 + 3,
                c = b + kRecordHeaderSize + 1 + 1;
  AppendRecordImage(file, 3, 3, 0, b, "k", "one");
  AppendRecordImage(file, 1, 1, a, c, "x", "x");
  AppendRecordImage(file, 3, 3, b, 0, (GetParam() & STORE_NOCASE) != 0 ? "K" : "k", "two");
  SetListHead(file, kAllocatedHead, {a, c, 3});
  WriteFileBytes(name, file);
  StoreHandle store = Open(name);
  ASSERT_NE(nullptr, store);
  const struct {
    const char* put;  // null: a delete
    int result;
    const char* found;
  } steps[] = {
      {"uno", 1, "uno"},                        // in place, in the first record
      {nullptr, 1, "two"},                      // the second comes forward
      {"a longer value", 1, "a longer value"},  // relocates the second
      {nullptr, 1, "<absent>"},
      {nullptr, 0, "<absent>"},
  };
  EXPECT_EQ("one", Get(store, "k"));
  for (const auto& step : steps) {
    EXPECT_EQ(step.result, step.put != nullptr ? Put(store, "k", step.put) : BdbDelete(store, "k"));
    EXPECT_EQ(step.found, Get(store, "k"));
    EXPECT_EQ("x", Get(store, "x"));
  }
}

INSTANTIATE_TEST_SUITE_P(CaseFoldOffAndOn, UnsortedKeysTest, ::testing::Values(0, STORE_NOCASE));

}  // namespace
}  // namespace kvs_test
