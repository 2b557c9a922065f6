// differential_test.cc: the buffered store against the store written through
// byte by byte. The same random run of puts (new keys, values rewritten in
// place and relocated), deletes, reads, listings, compactions, reopenings
// and held runs goes to both; every result must agree, and both files must
// be the same bytes whenever the buffered one has committed.
#include <gtest/gtest.h>

#include <optional>
#include <random>

#include "store/ops/slots.h"
#include "store/tests/fault_injecting_file_system.h"
#include "store/tests/store_test_util.h"
#include "store/tests/written_through_file.h"

namespace kvs_test {
namespace {

class DifferentialTest : public StoreTest {
 protected:
  // Opens (or creates) the buffered store and its written-through twin.
  void OpenBoth(int32_t flags, bool create) {
    for (int i = 0; i < 2; ++i) {
      std::optional<ScopedWrittenThrough> through;
      if (i == 1) through.emplace();
      stores_[i] = create ? Create(names_[i], flags) : Open(names_[i]);
      ASSERT_NE(nullptr, stores_[i]) << names_[i];
    }
  }
  // Runs one call on both stores and compares the results.
  template <typename Call>
  void Both(const char* what, Call call) {
    const auto fast = call(stores_[0]);
    const auto through = call(stores_[1]);
    ASSERT_EQ(fast, through) << what;
  }
  // Both stores pass the consistency check.
  void ExpectSound() {
    for (StoreHandle s : stores_) EXPECT_EQ(1, BdbCheck(s, stderr));
  }
  void ExpectSameFiles() {
    ASSERT_TRUE(SameBytes(ReadFileBytes(names_[0]), ReadFileBytes(names_[1])));
  }

  std::string names_[2] = {Path("fast.kvs"), Path("through.kvs")};
  StoreHandle stores_[2] = {};
};

TEST_F(DifferentialTest, RandomRunsGiveTheSameResultsAndBytes) {
  for (const int32_t flags : {0, STORE_NOCASE, STORE_SORTED, STORE_SORTED | STORE_NOCASE}) {
    SCOPED_TRACE(::testing::Message() << "flags " << flags);
    std::mt19937 random(static_cast<unsigned>(flags) + 7);
    auto pick = [&random](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    // Keys from a small alphabet, so that letter case and prefixes matter,
    // and enough of them for the sorted index to grow past 256 and 512.
    auto key = [&] {
      static const char kLetters[] = "aAbBzZ_q";
      std::string k(static_cast<std::size_t>(pick(7)), 'x');
      for (char& c : k) c = kLetters[pick(8)];
      return k;
    };
    auto value = [&] { return std::string(static_cast<std::size_t>(pick(5) == 0 ? 90 + pick(60) : pick(30)), static_cast<char>('0' + pick(10))); };
    OpenBoth(flags, true);
    bool held = false;
    const int steps = flags & STORE_SORTED ? 2400 : 900;
    for (int step = 0; step < steps && !HasFatalFailure(); ++step) {
      const int what = pick(100);
      if (what < 60) {
        const std::string k = key(), v = value();
        Both("put", [&](StoreHandle s) { return Put(s, k, v); });
      } else if (what < 75) {
        const std::string k = key();
        Both("delete", [&](StoreHandle s) { return BdbDelete(s, k.c_str()); });
      } else if (what < 90) {
        const std::string k = key();
        Both("get", [&](StoreHandle s) { return Get(s, k); });
        Both("list", [&](StoreHandle s) { return List(s, k.substr(0, 2).c_str()); });
      } else if (what < 93) {
        Both("compact", [](StoreHandle s) { return BdbCompact(s); });
        held = false;
      } else if (what < 95) {
        for (StoreHandle s : stores_) ASSERT_EQ(1, BdbClose(s));
        handles_.clear();
        held = false;
        ExpectSameFiles();
        OpenBoth(flags, false);
      } else if (!held) {
        Both("hold", [](StoreHandle s) { return BdbHoldWrites(s); });
        held = true;
      } else if (pick(8) == 0) {  // held runs last long enough to span index growth
        Both("flush", [](StoreHandle s) { return BdbFlush(s); });
        ExpectSound();
        held = false;
      }
      if (!held) ExpectSameFiles();
    }
    Both("counts", [](StoreHandle s) { return Counts(s); });
    Both("all keys", [](StoreHandle s) { return List(s, ""); });
    for (StoreHandle s : stores_) ASSERT_EQ(1, BdbClose(s));
    handles_.clear();
    ExpectSameFiles();
  }
}

// Long held runs through several growths of the index, with deletes and
// relocations in them, ended by a flush and by a close: the arrays growth
// left in old Index records are produced only then, and must be the bytes
// the written-through store wrote at each growth.
TEST_F(DifferentialTest, HeldRunsThroughIndexGrowthWriteTheSameBytes) {
  std::mt19937 random(11);
  OpenBoth(STORE_SORTED | STORE_NOCASE, true);
  for (const bool close : {false, true}) {
    Both("hold", [](StoreHandle s) { return BdbHoldWrites(s); });
    for (int i = 0; i < 700; ++i) {
      const std::string key = Numbered("k", static_cast<long long>(random() % 3000));
      const std::string value(random() % 7 == 0 ? 300 : random() % 20, 'v');
      Both("put", [&](StoreHandle s) { return Put(s, key, value); });
      if (i % 5 == 0) {
        const std::string gone = Numbered("k", static_cast<long long>(random() % 3000));
        Both("delete", [&](StoreHandle s) { return BdbDelete(s, gone.c_str()); });
      }
    }
    if (close) {
      for (StoreHandle s : stores_) ASSERT_EQ(1, BdbClose(s));
      handles_.clear();
    } else {
      Both("flush", [](StoreHandle s) { return BdbFlush(s); });
      ExpectSound();
    }
    ExpectSameFiles();
  }
}

// A held run whose compaction cannot put the new file in place is written
// to the old file instead, growth arrays and all.
TEST_F(DifferentialTest, HeldRunWhoseCompactionFailsReachesTheOldFile) {
  kvs::testing::FaultInjectingFileSystem fs;
  kvs::testing::ScopedFileSystem scope(fs);
  OpenBoth(STORE_SORTED, true);
  Both("hold", [](StoreHandle s) { return BdbHoldWrites(s); });
  for (int i = 0; i < 600; ++i) {
    const std::string key = Numbered("k", (i * 7919) % 1000);
    Both("put", [&](StoreHandle s) { return Put(s, key, key); });
  }
  fs.FailReplace();
  for (StoreHandle s : stores_) EXPECT_EQ(0, BdbCompact(s));
  fs.Heal();
  Both("all keys", [](StoreHandle s) { return List(s, "k0"); });
  ExpectSameFiles();
}

}  // namespace
}  // namespace kvs_test
