// key_lookup.h: a hash table from keys to record offsets beside the sorted
// KeyIndex, so that finding a key costs a hash and a probe or two instead of
// a binary search.
//
// Keys hash as the store compares them: up to their first NUL, with 'A'..'Z'
// folded to lower case in a STORE_NOCASE store. The table holds offsets
// only; a hit is confirmed by comparing the record's own key.
#ifndef KVS_STORE_KEY_LOOKUP_H
#define KVS_STORE_KEY_LOOKUP_H

#include <cstddef>
#include <cstdint>

#include "store/large_memory.h"

namespace kvs {

class KeyLookup {
 public:
  // The hash of key's first length bytes, or of those up to its first NUL
  // (SIZE_MAX: a NUL-terminated key).
  static uint32_t Hash(const char* key, std::size_t length, bool fold);
  // The same for length bytes that hold no NUL.
  static uint32_t HashBytes(const char* key, std::size_t length, bool fold);

  bool built() const { return built_; }

  // The record that the last lookup of a buffered store found and saw in
  // place: a size is mostly followed by a read of the same key, which then
  // needs no search. Valid while the file's Changes() stay as noted.
  struct Recent {
    const unsigned char* record = nullptr;  // its header, key and value in the image
    const void* file = nullptr;
    uint64_t changes = 0;
    int32_t offset = 0;
  };
  const Recent& recent() const { return recent_; }
  void SetRecent(const Recent& recent) { recent_ = recent; }
  // Starts over, empty, with room for count keys; false when memory is short.
  bool Reset(std::size_t count);
  void Clear();
  // Adds or removes one offset under its key's hash; Add false when memory
  // is short (the table is then dropped: built() turns false).
  bool Add(uint32_t hash, int32_t offset);
  void Remove(uint32_t hash, int32_t offset);
  // Calls match(offset) for each offset stored under hash until it returns
  // true; that offset, or 0.
  template <typename Match>
  int32_t Find(uint32_t hash, Match match) const;

 private:
  struct Slot {
    uint32_t hash;
    int32_t offset;  // 0: empty
  };
  bool Grow();

  LargeBuffer memory_;       // holds the slots
  Slot* slots_ = nullptr;    // a power of two of them, at most half full
  std::size_t size_ = 0;
  std::size_t used_ = 0;
  bool built_ = false;
  Recent recent_;
};

template <typename Match>
int32_t KeyLookup::Find(uint32_t hash, Match match) const {
  if (size_ == 0) return 0;
  const std::size_t mask = size_ - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.offset == 0) return 0;
    if (slot.hash == hash && match(slot.offset)) return slot.offset;
  }
}

}  // namespace kvs

#endif  // KVS_STORE_KEY_LOOKUP_H
