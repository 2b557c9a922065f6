// key_lookup.h: a hash table from keys to record offsets beside the sorted
// KeyIndex, so that finding a key costs a hash and a probe or two instead of
// a binary search.
//
// Keys that the store takes as equal hash alike: up to their first NUL, with
// 'A'..'Z' hashed as 'a'..'z' in a STORE_NOCASE store. The table holds
// offsets only; a hit is confirmed by comparing the record's own key.
#ifndef KVS_STORE_INDEX_KEY_LOOKUP_H
#define KVS_STORE_INDEX_KEY_LOOKUP_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "store/format/format.h"
#include "store/os/large_memory.h"

namespace kvs {

// A record seen in place in the file's image: its offset, its
// checked header, and its bytes from the header on (header, key, data area),
// valid until the next use of the file.
struct RecordView {
  int32_t offset = 0;
  RecordHeader header;
  const unsigned char* bytes = nullptr;
  bool inPage = false;  // bytes point into a page of the image, not a copy
};

class KeyLookup {
 public:
  // The hash of key's first length bytes, or of those up to its first NUL
  // (SIZE_MAX: a NUL-terminated key).
  static uint32_t Hash(const char* key, std::size_t length, bool fold);
  // The same for length bytes that hold no NUL.
  static uint32_t HashBytes(const char* key, std::size_t length, bool fold);

  bool built() const { return built_; }

  // The record that the last lookup found and saw in
  // place: a size is mostly followed by a read of the same key, which then
  // needs no search. The search fills view as it goes; the record is known
  // while file and the file's Changes() stay as noted.
  struct Recent {
    RecordView view;
    const void* file = nullptr;  // null: no record known
    uint64_t changes = 0;
    std::size_t keyLength = 0;  // of the key it was found for
  };
  const Recent& recent() const { return recent_; }
  Recent& recent() { return recent_; }
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

inline uint32_t KeyLookup::HashBytes(const char* key, std::size_t length, bool fold) {
  // Eight bytes a step; the hash lives in memory only, so byte order does
  // not matter. In a STORE_NOCASE store every byte hashes with its 0x20 bit
  // set, which takes 'A'..'Z' to 'a'..'z'; the few other pairs that this
  // joins (such as '@' and '`') merely share a hash. Measured pair by pair
  // (15 pairs): 1,000,000 lookups in a 100,000-record STORE_NOCASE store took
  // 1.17 times the CPU time with a byte-at-a-time hash of the folded bytes.
  const uint64_t foldBits = fold ? 0x2020202020202020u : 0;
  const auto mix = [](uint64_t hash, uint64_t word) {
    hash = (hash ^ word) * 0xff51afd7ed558ccdu;
    return hash ^ (hash >> 32);
  };
  uint64_t hash = 0x9e3779b97f4a7c15u ^ length;
  std::size_t i = 0;
  for (; i + 8 <= length; i += 8) {
    uint64_t word;
    std::memcpy(&word, key + i, 8);
    hash = mix(hash, word | foldBits);
  }
  if (i < length) {
    // The last one to seven bytes: the eight that end the key, shifted down
    // past those already hashed, when the key has eight; else byte by byte.
    uint64_t word = 0;
    const std::size_t tail = length - i;
    if (length >= 8) {
      std::memcpy(&word, key + length - 8, 8);
      uint64_t probe = 1;
      unsigned char lowest = 0;
      std::memcpy(&lowest, &probe, 1);
      word = lowest == 1 ? word >> (8 * (8 - tail)) : word << (8 * (8 - tail));
    } else {
      for (std::size_t j = 0; j < tail; ++j) {
        word |= uint64_t{static_cast<unsigned char>(key[i + j])} << (8 * j);
      }
    }
    hash = mix(hash, word | foldBits);
  }
  hash *= 0xc4ceb9fe1a85ec53u;
  return static_cast<uint32_t>(hash ^ (hash >> 29));
}

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

#endif  // KVS_STORE_INDEX_KEY_LOOKUP_H
