// prefix_list.cc: listing the keys of a sorted store that begin with a
// prefix, in index order, as one caller-owned block.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "store/key_index.h"

namespace kvs {
namespace {

// Position of the first key that is not below prefix.
int32_t StartPosition(StoreSlot* slot, const char* prefix) {
  int32_t probe = 0;
  const int32_t found = IndexSearch(slot, prefix, &probe);
  if (found != -1) return found;
  auto key = ReadRecordKey(slot, slot->plKeyIndex[static_cast<std::size_t>(probe)]);
  if (!key) return probe;
  return CompareKeys(slot, prefix, key.get()) < 0 ? probe : probe + 1;
}

}  // namespace
}  // namespace kvs

using namespace kvs;

extern "C" char* BdbListPrefix(StoreHandle store, const char* prefix, int32_t* count) {
  StoreSlot* slot = ValidateHandle(store);
  if (slot == nullptr || prefix == nullptr || !IsSorted(*slot)) return nullptr;
  const int32_t n = std::min(slot->header.lhAllocated.lCount, slot->lIndexCapacity);
  const int32_t s = StartPosition(slot, prefix);
  const std::size_t L = std::strlen(prefix);

  // First pass: measure the run of matching keys.
  std::size_t total = 0;
  int32_t e = s;
  for (; e < n; ++e) {
    auto key = ReadRecordKey(slot, slot->plKeyIndex[static_cast<std::size_t>(e)]);
    if (!key) return nullptr;
    if (ComparePrefix(slot, prefix, key.get(), L) != 0) break;
    total += std::strlen(key.get()) + 1;
  }
  if (s >= e) return nullptr;

  // Second pass: copy them. The block is zeroed, so it ends in an empty key.
  auto* block = static_cast<char*>(std::calloc(total + 1, 1));
  if (block == nullptr) return nullptr;
  std::size_t used = 0;
  int32_t copied = 0;
  for (int32_t i = s; i < e; ++i) {
    auto key = ReadRecordKey(slot, slot->plKeyIndex[static_cast<std::size_t>(i)]);
    if (!key) continue;
    const std::size_t size = std::strlen(key.get()) + 1;
    if (size > total - used) break;  // the file changed under us: never overflow
    std::memcpy(block + used, key.get(), size);
    used += size;
    ++copied;
  }
  if (copied == 0) {
    std::free(block);
    return nullptr;
  }
  if (count != nullptr) *count = copied;
  return block;
}

extern "C" void BdbFree(void* block) { std::free(block); }
