// index_entries_test.cc: the blocked KeyIndex against a plain array, over
// enough insertions and removals to split and empty many blocks.
#include "store/index/index_entries.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace {

// A twin without keys takes the same insertions and removals by position.
TEST(IndexEntriesTest, BehavesLikeOneSortedArray) {
  kvs::IndexEntries entries;
  kvs::IndexEntries bare(kvs::IndexEntries::kOffsetsOnly);
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
      ASSERT_EQ(position, entries.LowerBound(key.data(), key.size()));
      ASSERT_TRUE(entries.Insert(position, entry, key.data(), key.size()));
      ASSERT_TRUE(bare.Insert(position, entry, key.data(), key.size()));
      model.insert(std::lower_bound(model.begin(), model.end(), entry), entry);
    } else {
      const std::size_t position = random() % model.size();
      ASSERT_EQ(model[position], entries.at(position));
      entries.Erase(position);
      bare.Erase(position);
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

  bare.CopyTo(copied.data());
  EXPECT_EQ(model, copied);
  bare.KeyAt(middle, &length);
  EXPECT_EQ(0u, length);
  // Offsets taken from elsewhere replace the entries' own; their keys stay.
  kvs::IndexEntries shifted(kvs::IndexEntries::kOffsetsOnly);
  for (std::size_t i = 0; i < model.size(); ++i) ASSERT_TRUE(shifted.Insert(i, model[i] + 1, "", 0));
  ASSERT_TRUE(entries.TakeOffsetsOf(shifted));
  EXPECT_EQ(model[middle] + 1, entries.at(middle));
  key = entries.KeyAt(middle, &length);
  EXPECT_EQ(keyOf(model[middle]), std::string(key, length));
  EXPECT_FALSE(entries.TakeOffsetsOf(kvs::IndexEntries(kvs::IndexEntries::kOffsetsOnly)));
}

// LowerBound compares eight leading bytes first: keys shorter and longer
// than that, sharing prefixes, with bytes above 0x7f, in unsigned order.
TEST(IndexEntriesTest, LowerBoundIsTheUnsignedByteOrder) {
  kvs::IndexEntries entries;
  std::vector<std::string> model;
  std::mt19937 random(5);
  const std::string alphabet("ab\x7f\x80\xff", 5);
  for (int step = 0; step < 3000; ++step) {
    std::string key(random() % 12, 'a');
    for (char& c : key) c = alphabet[random() % alphabet.size()];
    const auto expected = static_cast<std::size_t>(
        std::lower_bound(model.begin(), model.end(), key) - model.begin());
    ASSERT_EQ(expected, entries.LowerBound(key.data(), key.size()));
    if (expected < model.size() && model[expected] == key) continue;
    ASSERT_TRUE(entries.Insert(expected, step + 1, key.data(), key.size()));
    model.insert(model.begin() + static_cast<std::ptrdiff_t>(expected), key);
  }
  ASSERT_EQ(model.size(), entries.size());
  for (std::size_t i = 0; i < model.size(); ++i) {
    std::size_t length = 0;
    const char* key = entries.KeyAt(i, &length);
    ASSERT_EQ(model[i], std::string(key, length));
  }
}

}  // namespace
