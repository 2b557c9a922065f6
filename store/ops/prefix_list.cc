// prefix_list.cc: listing the keys of a sorted store that begin with a
// prefix, in index order, as one caller-owned block.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "store/errors.h"
#include "store/index/index_in_file.h"
#include "store/index/key_index.h"
#include "store/ops/lifecycle.h"

using namespace kvs;

namespace {

char* ListPrefix(StoreHandle store, const char* prefix, int32_t* count) {
  StoreSlot* slot = UsableSlot(store);
  if (slot == nullptr) return nullptr;
  if (prefix == nullptr || !IsSorted(*slot)) {
    NoteError(BDB_INVALID_ARGUMENT);
    return nullptr;
  }
  // The matching keys are the run that starts where the prefix belongs.
  int32_t position = 0;
  if (!slot->bIndexInFile) {
    position = IndexInsertPosition(slot, prefix);
  } else if (SearchInFile(slot, prefix, slot->lEntriesInFile, &position, nullptr) < 0) {
    return nullptr;  // noted BDB_DAMAGED
  }
  const auto start = static_cast<std::size_t>(position);
  const std::size_t L = std::strlen(prefix);

  // First pass: measure the run of matching keys.
  std::size_t total = 0;
  std::size_t matches = 0;
  bool readable = true;
  VisitIndexFrom(slot, start, [&](int32_t offset) {
    std::size_t length = 0;
    const char* key = ReadRecordKey(slot, offset, &length);
    if (key == nullptr) return readable = false;
    if (CompareStoredKey(slot, prefix, key, length, L) != 0) return false;
    total += length + 1;
    ++matches;
    return true;
  });
  if (!readable) NoteError(BDB_DAMAGED);
  if (!readable || matches == 0) return nullptr;

  // Second pass: copy them. The block is zeroed, so it ends in an empty key.
  auto* block = static_cast<char*>(std::calloc(total + 1, 1));
  if (block == nullptr) {
    NoteError(BDB_NO_MEMORY);
    return nullptr;
  }
  std::size_t used = 0;
  int32_t copied = 0;
  std::size_t left = matches;
  VisitIndexFrom(slot, start, [&](int32_t offset) {
    std::size_t length = 0;
    const char* key = ReadRecordKey(slot, offset, &length);
    if (key != nullptr) {
      std::memcpy(block + used, key, length);
      used += length + 1;
      ++copied;
    }
    return --left > 0;
  });
  if (copied == 0) {
    std::free(block);
    return nullptr;
  }
  if (count != nullptr) *count = copied;
  return block;
}

}  // namespace

extern "C" char* BdbListPrefix(StoreHandle store, const char* prefix, int32_t* count) {
  return PublicCall<char*>(nullptr, BDB_ABSENT, [&] { return ListPrefix(store, prefix, count); });
}

extern "C" void BdbFree(void* block) { std::free(block); }
