// index_entries_test.cc: the blocked KeyIndex against a plain array, over
// enough insertions and removals to split and empty many blocks.
#include "store/index_entries.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

TEST(IndexEntriesTest, BehavesLikeOneSortedArray) {
  kvs::IndexEntries entries;
  std::vector<int32_t> model;
  std::mt19937 random(3);
  const auto keyOf = [](int32_t entry) { return std::to_string(1000000 + entry); };
  for (int step = 0; step < 20000; ++step) {
    // Mostly insertions at first, then mostly removals, so the entries pass
    // a few thousand and shrink back.
    const bool insert = model.empty() || random() % 100 < (step < 12000 ? 75u : 20u);
    if (insert) {
      const auto entry = static_cast<int32_t>(random() % 900000);
      const std::string key = keyOf(entry);
      const std::size_t position = entries.PartitionPoint(
          [&](const char* k, std::size_t n) { return std::string(k, n) < key; });
      ASSERT_TRUE(entries.Insert(position, entry, key.data(), key.size()));
      model.insert(std::lower_bound(model.begin(), model.end(), entry), entry);
    } else {
      const std::size_t position = random() % model.size();
      ASSERT_EQ(model[position], entries.at(position));
      entries.Erase(position);
      model.erase(model.begin() + static_cast<std::ptrdiff_t>(position));
    }
    ASSERT_EQ(model.size(), entries.size());
  }
  std::vector<int32_t> copied(model.size());
  entries.CopyTo(copied.data());
  EXPECT_EQ(model, copied);
  const std::size_t middle = model.size() / 2;
  std::size_t length = 0;
  const char* key = entries.KeyAt(middle, &length);
  EXPECT_EQ(keyOf(model[middle]), std::string(key, length));
  EXPECT_EQ(middle, entries.Find(model[middle]));
}

}  // namespace
