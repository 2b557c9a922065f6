// insertion_positions.cc: ranks of the source index and a Fenwick tree of
// the ranks taken so far.
#include "store/index/insertion_positions.h"

#include <algorithm>
#include <climits>
#include <new>

namespace kvs {

void InsertionPositions::Prepare(const IndexedSlot* source) {
  ranks_.clear();
  taken_.clear();
  try {
    ranks_.reserve(source->plKeyIndex.size());
    int32_t rank = 0;
    source->plKeyIndex.VisitFrom(0, [&](int32_t offset) {
      ranks_.emplace_back(offset, rank++);
      return true;
    });
    std::sort(ranks_.begin(), ranks_.end());
    taken_.assign(ranks_.size() + 1, 0);
  } catch (const std::bad_alloc&) {
    ranks_.clear();
    taken_.clear();
  }
}

bool InsertionPositions::Prepared(const IndexedSlot& source) const {
  return ranks_.size() == source.plKeyIndex.size() && taken_.size() == ranks_.size() + 1;
}

int32_t InsertionPositions::Take(int32_t offset) {
  const auto found =
      std::lower_bound(ranks_.begin(), ranks_.end(), std::make_pair(offset, INT32_MIN));
  if (found == ranks_.end() || found->first != offset) return -1;
  const auto rank = static_cast<std::size_t>(found->second);
  int32_t before = 0;
  for (std::size_t i = rank; i > 0; i &= i - 1) before += taken_[i];
  for (std::size_t i = rank + 1; i < taken_.size(); i += i & (~i + 1)) ++taken_[i];
  return before;
}

}  // namespace kvs
