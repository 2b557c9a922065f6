// index_entries.h: the KeyIndex in memory: the record offsets of a sorted
// store in key order.
//
// The entries are kept in blocks of at most 2 * kBlockEntries, so that an
// insertion or a removal moves the entries of one block instead of the whole
// array, and a search finds its block first. The persisted form (the array
// zero-padded to the index capacity) is produced from it whole by CopyTo.
#ifndef KVS_STORE_INDEX_ENTRIES_H
#define KVS_STORE_INDEX_ENTRIES_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kvs {

class IndexEntries {
 public:
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // The entry at position (which must be below size()).
  int32_t at(std::size_t position) const;
  void clear();
  // Replaces every entry; false (entries unchanged) when memory is short.
  bool Assign(const std::vector<int32_t>& entries);

  // The first position whose entry is not below, where below holds for a
  // leading run of the entries and for none after it (a sorted search).
  template <typename Below>
  std::size_t PartitionPoint(Below below) const;

  // Inserts an entry before position (size() appends); false when memory
  // is short, with nothing changed.
  bool Insert(std::size_t position, int32_t entry);
  void Erase(std::size_t position);
  // The position of the first entry equal to entry, or size().
  std::size_t Find(int32_t entry) const;
  // Calls visit(entry) from position on, until it returns false.
  template <typename Visit>
  void VisitFrom(std::size_t position, Visit visit) const;
  // Copies all size() entries to out, in order.
  void CopyTo(int32_t* out) const;

 private:
  static constexpr std::size_t kBlockEntries = 512;

  // The block holding position, and the position within it.
  void Locate(std::size_t position, std::size_t* block, std::size_t* index) const;

  std::vector<std::vector<int32_t>> blocks_;  // none empty
  std::size_t size_ = 0;
};

template <typename Below>
std::size_t IndexEntries::PartitionPoint(Below below) const {
  // The first block whose last entry is not below holds the point.
  std::size_t lo = 0, hi = blocks_.size();
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    if (below(blocks_[mid].back())) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  std::size_t before = 0;
  for (std::size_t b = 0; b < lo; ++b) before += blocks_[b].size();
  if (lo == blocks_.size()) return before;
  const std::vector<int32_t>& block = blocks_[lo];
  std::size_t first = 0, last = block.size();
  while (first < last) {
    const std::size_t mid = first + (last - first) / 2;
    if (below(block[mid])) {
      first = mid + 1;
    } else {
      last = mid;
    }
  }
  return before + first;
}

template <typename Visit>
void IndexEntries::VisitFrom(std::size_t position, Visit visit) const {
  if (position >= size_) return;
  std::size_t b = 0, i = 0;
  Locate(position, &b, &i);
  for (; b < blocks_.size(); ++b, i = 0) {
    for (; i < blocks_[b].size(); ++i) {
      if (!visit(blocks_[b][i])) return;
    }
  }
}

}  // namespace kvs

#endif  // KVS_STORE_INDEX_ENTRIES_H
