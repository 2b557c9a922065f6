// free_rooms.cc: the free list's rooms in a tournament tree of maxima.
#include "store/records/free_rooms.h"

#include <algorithm>
#include <new>

namespace kvs {

namespace {

constexpr std::size_t kFirstCapacity = 64;

}  // namespace

void FreeRooms::Begin() {
  Drop();
  state_ = State::kBuilt;
}

void FreeRooms::Drop() {
  *this = FreeRooms{};
}

void FreeRooms::GiveUp() {
  Drop();
  state_ = State::kUnavailable;
}

void FreeRooms::Grow() {
  std::size_t live = positions_.size();
  std::size_t capacity = kFirstCapacity;
  while (capacity < 2 * (live + 1)) capacity *= 2;
  std::vector<int64_t> best(2 * capacity, kHole);
  std::vector<int32_t> offsets(capacity, 0);
  std::size_t used = 0;
  for (std::size_t p = 0; p < used_; ++p) {
    if (offsets_[p] == 0) continue;
    best[capacity + used] = best_[capacity_ + p];
    offsets[used] = offsets_[p];
    ++used;
  }
  for (std::size_t i = capacity - 1; i > 0; --i) best[i] = std::max(best[2 * i], best[2 * i + 1]);
  // Nothing below throws: the positions are renumbered in place.
  for (std::size_t p = 0; p < used; ++p) positions_[offsets[p]] = p;
  best_.swap(best);
  offsets_.swap(offsets);
  capacity_ = capacity;
  used_ = used;
}

bool FreeRooms::Linked(int32_t offset, int64_t room) noexcept {
  try {
    if (used_ == capacity_) Grow();
    const std::size_t position = used_;
    // The map may throw; the tree is changed only once it has taken the record.
    if (!positions_.emplace(offset, position).second) return false;  // linked twice
    ++used_;
    offsets_[position] = offset;
    std::size_t node = capacity_ + position;
    best_[node] = room;
    for (node /= 2; node > 0 && best_[node] < room; node /= 2) best_[node] = room;
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool FreeRooms::Unlinked(int32_t offset) noexcept {
  const auto found = positions_.find(offset);
  if (found == positions_.end()) return false;
  const std::size_t position = found->second;
  positions_.erase(found);
  offsets_[position] = 0;
  std::size_t node = capacity_ + position;
  best_[node] = kHole;
  for (node /= 2; node > 0; node /= 2) {
    const int64_t larger = std::max(best_[2 * node], best_[2 * node + 1]);
    if (best_[node] == larger) break;
    best_[node] = larger;
  }
  return true;
}

int32_t FreeRooms::FirstFit(int64_t need) const {
  if (capacity_ == 0 || best_[1] < need) return 0;
  std::size_t node = 1;
  while (node < capacity_) node = best_[2 * node] >= need ? 2 * node : 2 * node + 1;
  return offsets_[node - capacity_];
}

}  // namespace kvs
