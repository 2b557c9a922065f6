// lifecycle.h: creating, opening, committing and closing a store, sorted or
// not: the slot steps of slots.h together with the key index of key_index.h,
// which lies above the slots and so cannot be reached from them.
//
// Commit points: every public call that changes a store ends with
// CommitStore, which writes the Index record and hands the file every
// change of the call. A store whose writes are held (BdbHoldWrites) commits
// only at BdbFlush, BdbCompact and BdbClose.
#ifndef KVS_STORE_OPS_LIFECYCLE_H
#define KVS_STORE_OPS_LIFECYCLE_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "store/ops/slots.h"

namespace kvs {

// Creates or truncates the file and writes an empty store into the slot,
// with its Index record when sorted. 0 with the slot free and the file
// removed when that store cannot be written whole.
// With file, the store is made in that file, open and locked under fileName.
int CreateStore(StoreSlot* slot, const char* fileName, int32_t flags,
                std::unique_ptr<StoreFile> file = nullptr);
// Opens the store at fileName into a free slot, or makes a new one there
// with flags when nothing is by that name. The new file is created
// exclusively, so a store another process made there meanwhile is opened
// (or found locked), never cut off. A file that is not a store is replaced
// when replaceOtherFile is set (checked under the file's lock), else
// refused with BDB_NOT_A_STORE. 0, with the slot free, when the store can
// be neither opened nor made.
int OpenOrCreateStore(StoreSlot* slot, const char* fileName, int32_t flags, bool replaceOtherFile);
// Opens an existing store into a free slot, loading its index when sorted.
// 0, with the slot free and the file untouched, for an unusable store.
int OpenStore(StoreSlot* slot, const char* fileName);
// OpenStore for a file already open and locked under that name; known, when
// given, is the index the store was just written with (see IndexLoad).
int OpenStoreFrom(StoreSlot* slot, const char* fileName, std::string fullName,
                  std::unique_ptr<StoreFile> file, kvs::IndexEntries* known = nullptr);
// Opens an existing store for reading only, with a shared lock; nothing is
// ever written to its file or beside it. 0, with the slot free, for an
// unusable store and for one with a journal beside it that a writer must
// apply (BDB_LOCKED) or that is not its own (BDB_DAMAGED).
int OpenStoreReadOnly(StoreSlot* slot, const char* fileName);
// The end of a call that changed the store: unless writes are held, the
// file receives all of them. False when any write did not reach it.
bool CommitStore(StoreSlot* slot);
// Ends a run of held calls and writes every change of the store to its
// file; false, with the changes kept for a later try, when any did not
// reach it.
bool FlushStore(StoreSlot* slot);
// Writes the index and every held change, closes the file, frees the slot.
// A read-only slot is closed without a write.
// 0 when something could not be written (the slot is freed all the same).
int CloseStore(StoreSlot* slot);
// Begins the index's part of a held run: its entries loaded, its log begun.
void HoldIndex(StoreSlot* slot);
// Reads the store of a slot whose commit failed again from its file; true
// when the slot's view is the file's (also when it never went stale).
bool RefreshStore(StoreSlot* slot);
// UsableSlot for a handle that is not simply a usable slot.
StoreSlot* UsableSlotAfterCheck(StoreHandle handle);
// The slot of a handle, ready for use: ValidateHandle, then RefreshStore;
// null (noting the cause) when either fails.
inline StoreSlot* UsableSlot(StoreHandle handle) {
  StoreSlot* slot = SlotOfHandle(handle);
  return slot != nullptr && !slot->bStale ? slot : UsableSlotAfterCheck(handle);
}
// UsableSlot for a call that changes the store: also null, noting
// BDB_READ_ONLY, for a store opened read-only.
StoreSlot* WritableSlot(StoreHandle handle);
// ValidateHandle with the read-only check of WritableSlot, for calls that
// must work on a slot whose last commit failed.
StoreSlot* ValidateWritable(StoreHandle handle);
// Runs the body of a call that changes the store, then commits: 1 when the
// change was made and reached the file (or is held). A change that runs out
// of memory part way is forgotten whole: the store (for a held run, the
// whole run) goes back to what the file holds.
int RunChange(StoreSlot* slot, const std::function<int()>& change);
// BdbOpenOrCreate, which kvsgen's facade also calls with replaceOtherFile
// set (see OpenOrCreateStore).
StoreHandle OpenOrCreateHandle(const char* fileName, int32_t flags, bool replaceOtherFile);
// The free slot for a public open of fileName: null (noting the cause) when
// the name does not fit, the file is not a store, or no slot is free.
StoreSlot* SlotToOpen(const char* fileName);
// Makes every later commit of the slot's store go through its journal.
bool AttachJournal(StoreSlot* slot);

}  // namespace kvs

#endif  // KVS_STORE_OPS_LIFECYCLE_H
