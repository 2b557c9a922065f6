// index_entries.h: the KeyIndex in memory: the record offsets of a sorted
// store in key order, each with a copy of its record's key.
//
// The entries are kept in blocks of at most 2 * kBlockEntries, so that an
// insertion or a removal moves the entries of one block instead of the whole
// array, and a search finds its block first. Searches compare the keys held
// here and so never read the file. The persisted form (the array zero-padded
// to the index capacity) is written from it whole, entry by entry.
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
  // The record offset at position (which must be below size()).
  int32_t at(std::size_t position) const;
  // The key held for the entry at position, *length bytes.
  const char* KeyAt(std::size_t position, std::size_t* length) const;
  void clear();

  // The first position whose entry is not below, where below(key, length)
  // holds for a leading run of the entries and for none after it.
  template <typename Below>
  std::size_t PartitionPoint(Below below) const;
  // The first position whose key is not below key (length bytes), keys
  // compared as unsigned bytes, a shorter key first when it is a prefix of
  // the longer: PartitionPoint of that order, but most steps compare the
  // eight leading bytes held in the entry and never reach the keys.
  std::size_t LowerBound(const char* key, std::size_t length) const;

  // Inserts the record offset with its key before position (size()
  // appends); false when memory is short, with nothing changed.
  bool Insert(std::size_t position, int32_t entry, const char* key, std::size_t length);
  void Erase(std::size_t position);
  // The position of the first entry equal to entry, or size().
  std::size_t Find(int32_t entry) const;
  // Calls visit(entry) from position on, until it returns false.
  template <typename Visit>
  void VisitFrom(std::size_t position, Visit visit) const;
  // Calls visit(offset, key, length) for every entry, in order.
  template <typename Visit>
  void VisitKeys(Visit visit) const {
    for (const std::vector<Entry>& block : blocks_) {
      for (const Entry& e : block) visit(e.offset, KeyOf(e), std::size_t{e.keyLength});
    }
  }
  // Copies all size() entries to out, in order.
  void CopyTo(int32_t* out) const;

 private:
  static constexpr std::size_t kBlockEntries = 512;

  struct Entry {
    uint64_t prefix;  // the key's first eight bytes, big-endian, zero-padded
    int32_t offset;
    uint32_t keyAt;   // in keys_
    uint32_t keyLength;
  };
  const char* KeyOf(const Entry& entry) const { return keys_.data() + entry.keyAt; }
  static uint64_t PrefixOf(const char* key, std::size_t length);
  // Whether the entry's key sorts before key, whose prefix is given.
  bool EntryBelow(const Entry& entry, uint64_t prefix, const char* key, std::size_t length) const;

  // The block holding position, and the position within it.
  void Locate(std::size_t position, std::size_t* block, std::size_t* index) const;
  // Keeps only the keys of entries, once the removed ones take half.
  void DropRemovedKeys();

  std::vector<std::vector<Entry>> blocks_;  // none empty
  std::vector<std::size_t> firsts_;         // position of each block's first entry
  std::vector<char> keys_;                  // the keys of the entries, end to end
  std::size_t removedKeyBytes_ = 0;         // bytes of keys_ no entry uses
  std::size_t size_ = 0;
};

template <typename Below>
std::size_t IndexEntries::PartitionPoint(Below below) const {
  // The first block whose last entry is not below holds the point.
  std::size_t lo = 0, hi = blocks_.size();
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    const Entry& last = blocks_[mid].back();
    if (below(KeyOf(last), std::size_t{last.keyLength})) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  if (lo == blocks_.size()) return size_;
  const std::size_t before = firsts_[lo];
  const std::vector<Entry>& block = blocks_[lo];
  std::size_t first = 0, last = block.size();
  while (first < last) {
    const std::size_t mid = first + (last - first) / 2;
    if (below(KeyOf(block[mid]), std::size_t{block[mid].keyLength})) {
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
      if (!visit(blocks_[b][i].offset)) return;
    }
  }
}

}  // namespace kvs

#endif  // KVS_STORE_INDEX_ENTRIES_H
