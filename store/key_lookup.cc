// key_lookup.cc: the open-addressing table of key hashes and offsets.
#include "store/key_lookup.h"

#include <new>

#include "store/errors.h"

namespace kvs {

uint32_t KeyLookup::Hash(const char* key, std::size_t length, bool fold) {
  uint32_t hash = 2166136261u;  // FNV-1a
  for (std::size_t i = 0; i < length && key[i] != '\0'; ++i) {
    auto byte = static_cast<unsigned char>(key[i]);
    if (fold && byte >= 'A' && byte <= 'Z') byte = static_cast<unsigned char>(byte + ('a' - 'A'));
    hash = (hash ^ byte) * 16777619u;
  }
  return hash;
}

bool KeyLookup::Reset(std::size_t count) {
  std::size_t size = 16;
  while (size < 2 * count + 2) size *= 2;
  try {
    slots_.assign(size, Slot{0, 0});
  } catch (const std::bad_alloc&) {
    NoteError(BDB_NO_MEMORY);
    Clear();
    return false;
  }
  used_ = 0;
  built_ = true;
  return true;
}

void KeyLookup::Clear() {
  slots_ = {};
  used_ = 0;
  built_ = false;
}

bool KeyLookup::Grow() {
  std::vector<Slot> old;
  old.swap(slots_);
  if (!Reset(used_ + 1 > old.size() / 2 ? old.size() : used_ + 1)) return false;
  for (const Slot& slot : old) {
    if (slot.offset != 0) Add(slot.hash, slot.offset);
  }
  return true;
}

bool KeyLookup::Add(uint32_t hash, int32_t offset) {
  if (!built_) return false;
  if (2 * (used_ + 1) > slots_.size() && !Grow()) return false;
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = hash & mask;
  while (slots_[i].offset != 0) i = (i + 1) & mask;
  slots_[i] = Slot{hash, offset};
  ++used_;
  return true;
}

void KeyLookup::Remove(uint32_t hash, int32_t offset) {
  if (!built_ || slots_.empty()) return;
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = hash & mask;
  while (slots_[i].offset != offset || slots_[i].hash != hash) {
    if (slots_[i].offset == 0) return;
    i = (i + 1) & mask;
  }
  // Backward-shift deletion keeps every later entry of the run reachable.
  slots_[i] = Slot{0, 0};
  --used_;
  for (std::size_t j = (i + 1) & mask; slots_[j].offset != 0; j = (j + 1) & mask) {
    const std::size_t home = slots_[j].hash & mask;
    // Entry j may move to i when i lies cyclically within [home, j).
    const bool movable = i <= j ? (home <= i || home > j) : (home <= i && home > j);
    if (movable) {
      slots_[i] = slots_[j];
      slots_[j] = Slot{0, 0};
      i = j;
    }
  }
}

}  // namespace kvs
