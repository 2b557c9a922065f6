// insertion_positions.h: where a compaction's walk inserts each record into
// the new store's index, counted from ranks instead of key comparisons.
#ifndef KVS_STORE_INDEX_INSERTION_POSITIONS_H
#define KVS_STORE_INDEX_INSERTION_POSITIONS_H

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "store/index/indexed_slot.h"

namespace kvs {

// The positions that the records of a sorted store take in a new index when
// they are inserted one by one in some order (a compaction's walk of the
// allocated list): counted from their ranks in the store's own index, so no
// key of the new index is compared. Measured pair by pair against searching
// the new index's keys, with kvsgen adding 10,000 records to a
// 100,000-record store (its compaction copies every record): 1.13 and 1.04
// times as long without it in runs of 20 and 30 pairs (CPU time 1.21 and
// 1.09, single pairs from 0.62 to 2.50), its peak 75.6 MiB instead of 70.5.
class InsertionPositions {
 public:
  // Learns the ranks of source's index; without memory it knows none.
  void Prepare(const IndexedSlot* source);
  // True when Prepare learned every rank of source's index.
  bool Prepared(const IndexedSlot& source) const;
  // The position among the records taken so far of the source record at
  // offset, which is taken with it; -1 when the offset has no rank.
  int32_t Take(int32_t offset);

 private:
  std::vector<std::pair<int32_t, int32_t>> ranks_;  // (offset, rank), by offset
  std::vector<int32_t> taken_;                      // Fenwick tree of taken ranks
};
}  // namespace kvs

#endif  // KVS_STORE_INDEX_INSERTION_POSITIONS_H
