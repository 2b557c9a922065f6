// key_lookup.cc: the open-addressing table of key hashes and offsets.
#include "store/index/key_lookup.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "store/errors.h"

namespace kvs {

uint32_t KeyLookup::Hash(const char* key, std::size_t length, bool fold) {
  if (length == SIZE_MAX) {
    length = std::strlen(key);
  } else if (const void* nul = length > 0 ? std::memchr(key, 0, length) : nullptr) {
    length = static_cast<std::size_t>(static_cast<const char*>(nul) - key);
  }
  return HashBytes(key, length, fold);
}

bool KeyLookup::Reset(std::size_t count) {
  recent_ = Recent{};
  std::size_t size = 16;
  while (size < 2 * count + 2) size *= 2;
  if (!memory_.Allocate(size * sizeof(Slot))) {
    Clear();
    return false;
  }
  slots_ = static_cast<Slot*>(memory_.data());
  size_ = size;
  std::fill(slots_, slots_ + size_, Slot{0, 0});
  used_ = 0;
  built_ = true;
  return true;
}

void KeyLookup::Clear() {
  recent_ = Recent{};
  memory_.Release();
  slots_ = nullptr;
  size_ = 0;
  used_ = 0;
  built_ = false;
}

bool KeyLookup::Grow() {
  LargeBuffer old = std::move(memory_);
  const Slot* oldSlots = slots_;
  const std::size_t oldSize = size_;
  if (!Reset(used_ + 1 > oldSize / 2 ? oldSize : used_ + 1)) return false;
  for (std::size_t i = 0; i < oldSize; ++i) {
    if (oldSlots[i].offset != 0) Add(oldSlots[i].hash, oldSlots[i].offset);
  }
  return true;
}

bool KeyLookup::Add(uint32_t hash, int32_t offset) {
  if (!built_) return false;
  if (2 * (used_ + 1) > size_ && !Grow()) return false;
  const std::size_t mask = size_ - 1;
  std::size_t i = hash & mask;
  while (slots_[i].offset != 0) i = (i + 1) & mask;
  slots_[i] = Slot{hash, offset};
  ++used_;
  return true;
}

void KeyLookup::Remove(uint32_t hash, int32_t offset) {
  if (!built_ || size_ == 0) return;
  const std::size_t mask = size_ - 1;
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
