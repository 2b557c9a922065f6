// unsorted_keys.cc: building, searching and keeping the key table of a
// store without STORE_SORTED.
#include "store/index/unsorted_keys.h"

#include <algorithm>
#include <cstdint>

#include "store/errors.h"
#include "store/index/key_order.h"
#include "store/records/chains.h"
#include "store/records/record_contents.h"
#include "store/index/indexed_slot.h"

namespace kvs {
namespace {

uint32_t HashOf(const IndexedSlot* slot, const char* key) {
  return KeyLookup::Hash(key, SIZE_MAX, IsNoCase(*slot));
}

// The record the table holds for key (0: none). *unreadable is set when a
// candidate record could not be read, so that the answer cannot be trusted.
int32_t TableFind(IndexedSlot* slot, const char* key, uint32_t hash, bool* unreadable) {
  return slot->keyLookup.Find(hash, [&](int32_t offset) {
    std::size_t length = 0;
    const char* stored = ReadRecordKey(slot, offset, &length);
    if (stored == nullptr) *unreadable = true;
    return stored != nullptr && CompareStoredKey(slot, key, stored, length, SIZE_MAX) == 0;
  });
}

// Enters the visited record under its key, unless a record earlier on the
// chain holds that key already; stops the walk when the table cannot take
// the record. The slot rides as the user data.
VisitResult EnterRecordVisitor(SlotFile* file, const char* key, const RecordHeader& header,
                               void* userData) {
  auto* slot = static_cast<IndexedSlot*>(userData);
  const int32_t offset = VisitedRecordOffset(file, header);
  const uint32_t hash = HashOf(slot, key);
  bool unreadable = false;
  if (TableFind(slot, key, hash, &unreadable) != 0) {
    slot->unsortedKeys.bDuplicates = true;
    return VisitResult::GoOn();
  }
  if (unreadable) return VisitResult::Stop();  // a record the walk just read: the file fails
  return slot->keyLookup.Add(hash, offset) ? VisitResult::GoOn() : VisitResult::Stop();
}

// One walk of the allocated list into the table; false (and no table) when
// the walk cannot finish. A failed build is not tried again until the chain
// changes, and leaves the call's error as it was: the walk that follows
// notes what it finds.
bool BuildTable(IndexedSlot* slot) {
  UnsortedKeys& state = slot->unsortedKeys;
  if (state.bUnbuildable && state.uFailedAt == slot->uHeaderWrites) return false;
  const int before = CurrentError();
  // A damaged count must not ask for more room than the file has records.
  const int64_t most = std::max<int64_t>(slot->pFile->Length() / kRecordHeaderSize, 0);
  const int64_t count = std::clamp<int64_t>(slot->header.lhAllocated.lCount, 0, most);
  state = UnsortedKeys{};
  bool built = slot->keyLookup.Reset(static_cast<std::size_t>(count)) &&
               WalkChain(slot, slot->header.lhAllocated.lFirst, EnterRecordVisitor, slot).end ==
                   WalkResult::kChainEnd &&
               slot->keyLookup.built();
  if (!built) {
    slot->keyLookup.Clear();
    state.bUnbuildable = true;
    state.uFailedAt = slot->uHeaderWrites;
    SetError(before);
  }
  return built;
}

}  // namespace

RecordSearch UnsortedFind(IndexedSlot* slot, const char* key) {
  if (slot->keyLookup.built() || BuildTable(slot)) {
    bool unreadable = false;
    const int32_t found = TableFind(slot, key, HashOf(slot, key), &unreadable);
    if (found != 0 || !unreadable) return RecordSearch::At(found);
  }
  // Without the table, or past a record it cannot read: the walk.
  return FindKeyOnChain(slot, slot->header.lhAllocated.lFirst, key);
}

void UnsortedKeyLinked(IndexedSlot* slot, int32_t R, const char* key) {
  // A table that cannot take the record drops itself.
  if (slot->keyLookup.built()) slot->keyLookup.Add(HashOf(slot, key), R);
}

void UnsortedKeyUnlinked(IndexedSlot* slot, int32_t R, const char* key) {
  if (!slot->keyLookup.built()) return;
  if (slot->unsortedKeys.bDuplicates) {
    ForgetUnsortedKeys(slot);  // another record of the key may come next
    return;
  }
  slot->keyLookup.Remove(HashOf(slot, key), R);
}

void ForgetUnsortedKeys(IndexedSlot* slot) {
  slot->keyLookup.Clear();
  slot->unsortedKeys = UnsortedKeys{};
}

}  // namespace kvs
