// unsorted_keys_test.cc: keyed operations on stores without STORE_SORTED,
// which find their keys through an in-memory table of the allocated list,
// checked against a plain map: while the table is kept up to date by puts,
// relocations, first-fit reuse and deletes, and after everything that drops
// or rebuilds it (a reopen, a compaction, a commit that fails and reloads
// the store, a held run). And a damaged list that holds a key twice behaves
// as a walk of the list does.
#include <cstdint>
#include <map>
#include <random>
#include <string>

#include "store/store.h"
#include "store/tests/fault_injecting_file_system.h"
#include "store/tests/store_test_util.h"

namespace kvs_test {
namespace {

constexpr int kKeys = 40;  // key0 .. key39, each in three letter cases

class UnsortedKeysTest : public StoreTest, public ::testing::WithParamInterface<int32_t> {
 protected:
  using Model = std::map<std::string, std::string>;  // key as the store compares it → value

  int32_t flags() const { return GetParam(); }
  std::string Form(std::string key) const {
    if ((flags() & STORE_NOCASE) == 0) return key;
    for (char& c : key) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return key;
  }
  static std::string Variant(int key, int letterCase) {
    static const char* const kStems[] = {"key", "KEY", "Key"};
    return Numbered(kStems[letterCase], key);
  }

  // A seeded run of puts (new keys, in-place and relocating overwrites, in
  // any letter case, values of 0 to 60 bytes so that freed records are
  // reused by first fit) and deletes, each result checked against the
  // model as it goes.
  void Churn(StoreHandle store, Model& model, unsigned seed, int steps) {
    std::mt19937 random(seed);
    for (int step = 0; step < steps; ++step) {
      const std::string key = Variant(static_cast<int>(random() % kKeys), static_cast<int>(random() % 3));
      SCOPED_TRACE(key);
      if (random() % 4 == 0) {
        EXPECT_EQ(model.erase(Form(key)) == 1 ? 1 : 0, BdbDelete(store, key.c_str()));
      } else {
        const std::string value(random() % 61, static_cast<char>('a' + step % 26));
        ASSERT_EQ(1, Put(store, key, value));
        model[Form(key)] = value;
      }
      EXPECT_EQ(model.count(Form(key)) == 1 ? model[Form(key)] : "<absent>", Get(store, key));
    }
  }

  // Every key of the key space, in every letter case, reads as the model
  // says, and the store counts as many records as the model.
  void ExpectHolds(StoreHandle store, const Model& model) {
    for (int key = 0; key < kKeys; ++key) {
      for (int letterCase = 0; letterCase < 3; ++letterCase) {
        const std::string variant = Variant(key, letterCase);
        const auto found = model.find(Form(variant));
        EXPECT_EQ(found == model.end() ? "<absent>" : found->second, Get(store, variant))
            << variant;
      }
    }
    EXPECT_EQ(static_cast<int32_t>(model.size()), Stats(store).lAllocatedCount);
  }
};

TEST_P(UnsortedKeysTest, OperationsAgreeWithAModelWheneverTheTableIsBuiltAgain) {
  const std::string name = Path("u.kvs");
  kvs::testing::FaultInjectingFileSystem fs;
  kvs::testing::ScopedFileSystem scope(fs);
  StoreHandle store = Create(name, flags());
  ASSERT_NE(nullptr, store);
  Model model;
  enum class Phase { kReopen, kCompaction, kFailedCommits, kHeldRun };
  unsigned seed = 1;
  for (const Phase phase :
       {Phase::kReopen, Phase::kCompaction, Phase::kFailedCommits, Phase::kHeldRun}) {
    SCOPED_TRACE(static_cast<int>(phase));
    Churn(store, model, seed++, 300);
    ExpectHolds(store, model);
    switch (phase) {
      case Phase::kReopen:
        ASSERT_EQ(1, BdbClose(store));
        handles_.erase(store);
        ASSERT_NE(nullptr, store = Open(name));
        break;
      case Phase::kCompaction:
        ASSERT_EQ(1, BdbCompact(store));
        break;
      case Phase::kFailedCommits: {
        // A delete, a relocating overwrite and a new key whose commits
        // fail: each is forgotten with the image's changes.
        ASSERT_FALSE(model.empty());
        const std::string present = model.begin()->first;
        fs.FailWriteAfter(0);
        EXPECT_EQ(0, BdbDelete(store, present.c_str()));
        EXPECT_EQ(0, Put(store, present, std::string(500, 'R')));
        EXPECT_EQ(0, Put(store, "fresh", "value"));
        fs.Heal();
        EXPECT_EQ("<absent>", Get(store, "fresh"));
        break;
      }
      case Phase::kHeldRun:
        ASSERT_EQ(1, BdbHoldWrites(store));
        Churn(store, model, 99, 100);
        ASSERT_EQ(1, BdbFlush(store));
        break;
    }
    ExpectHolds(store, model);
    Churn(store, model, seed++, 100);
    ExpectHolds(store, model);
  }
  EXPECT_EQ(1, BdbCheck(store, stderr));
}

// An allocated list that holds the key "k" twice (by its letter case, in a
// STORE_NOCASE store), as only a damaged file can: the first record in list
// order is the key's, until it leaves the list; then the second is.
TEST_P(UnsortedKeysTest, AKeyHeldTwiceIsFoundAsAWalkFindsIt) {
  const std::string name = Path("twice.kvs");
  const std::string second = (flags() & STORE_NOCASE) != 0 ? "K" : "k";
  Bytes file = FreshHeaderImage(flags());
  const int32_t a = 128;
  const int32_t b = a + 32 + 1 + 3;
  const int32_t c = b + 32 + 1 + 1;
  AppendRecordImage(file, 3, 3, 0, b, "k", "one");
  AppendRecordImage(file, 1, 1, a, c, "x", "x");
  AppendRecordImage(file, 3, 3, b, 0, second, "two");
  SetListHead(file, kAllocatedHead, {a, c, 3});
  WriteFileBytes(name, file);

  StoreHandle store = Open(name);
  ASSERT_NE(nullptr, store);
  const struct {
    const char* call;  // put, delete
    const char* value;
    int result;
    const char* found;  // what "k" reads as afterwards
  } steps[] = {
      {"get", "", 1, "one"},
      {"put", "uno", 1, "uno"},            // in place, in the first record
      {"delete", "", 1, "two"},            // the second comes forward
      {"put", "a longer value", 1, "a longer value"},  // relocates the second
      {"delete", "", 1, "<absent>"},
      {"delete", "", 0, "<absent>"},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.call);
    const std::string call = step.call;
    if (call == "put") {
      EXPECT_EQ(step.result, Put(store, "k", step.value));
    } else if (call == "delete") {
      EXPECT_EQ(step.result, BdbDelete(store, "k"));
    }
    EXPECT_EQ(step.found, Get(store, "k"));
    EXPECT_EQ("x", Get(store, "x"));
  }
}

INSTANTIATE_TEST_SUITE_P(CaseFoldOffAndOn, UnsortedKeysTest,
                         ::testing::Values(int32_t{0}, int32_t{STORE_NOCASE}));

}  // namespace
}  // namespace kvs_test
