// lifecycle.h: creating, opening, committing and closing a store, sorted or
// not: the slot steps of slots.h together with the key index of key_index.h,
// which lies above the slots and so cannot be reached from them.
//
// Commit points: every public call that changes a store ends with
// CommitStore, which writes the Index record and hands the file every
// change of the call. A store whose writes are held (BdbHoldWrites) commits
// only at BdbFlush, BdbCompact and BdbClose.
#ifndef KVS_STORE_LIFECYCLE_H
#define KVS_STORE_LIFECYCLE_H

#include <cstdint>

#include "store/slots.h"

namespace kvs {

// Creates or truncates the file and writes an empty store into the slot,
// with its Index record when sorted. 0 with the slot free and the file
// removed when that store cannot be written whole.
int CreateStore(StoreSlot* slot, const char* fileName, int32_t flags);
// Opens an existing store into a free slot, loading its index when sorted.
// 0, with the slot free and the file untouched, for an unusable store.
// known, when given, is the index the store was just written with (see
// IndexLoad).
int OpenStore(StoreSlot* slot, const char* fileName, kvs::IndexEntries* known = nullptr);
// The end of a call that changed the store: unless writes are held, the
// file receives all of them. False when any write did not reach it.
bool CommitStore(StoreSlot* slot);
// Writes the index and every held change, closes the file, frees the slot.
int CloseStore(StoreSlot* slot);

}  // namespace kvs

#endif  // KVS_STORE_LIFECYCLE_H
