// slots.h: the table of open stores and the lifecycle of one store's slot.
//
// Every open store lives in one StoreSlot of a process-wide table of
// MAX_STORES slots; a StoreHandle is the address of its slot. InitSlot,
// OpenSlot and CloseSlot also work on a slot outside the table (compaction
// fills its new store in a private working slot). The sorted key index is
// created, loaded and written by lifecycle.h; a slot only holds it.
#ifndef KVS_STORE_OPS_SLOTS_H
#define KVS_STORE_OPS_SLOTS_H

#include <cstdint>
#include <memory>
#include <string>

#include "store/index/indexed_slot.h"
#include "store/store.h"

namespace kvs {

// What a slot's calls keep between them about its image and their commits;
// only the operations layer reads or changes it.
struct SlotCommit {
  bool bStale = false;        // after a failed commit: to be read again from the file
  bool bHeld = false;         // changes wait for BdbFlush, BdbCompact or BdbClose
  bool bCompactForm = false;  // the image is byte for byte what a compaction would
                              //   write: created here, and only new keys put since
};

}  // namespace kvs

// One open store: its file, its key index and its calls' commit state. A
// slot is free exactly while szFileName is empty; a free slot holds no file
// and no index.
struct StoreSlot : IndexedSlot, kvs::SlotCommit {};

namespace kvs {

// The table of open stores; all zero at program start, and a slot is reset
// whole when it is freed.
extern StoreSlot g_slots[MAX_STORES];

// The slot a handle designates when it is exactly the start of a table slot
// that is in use; else null. Decided by integer arithmetic on addresses.
inline StoreSlot* SlotOfHandle(StoreHandle handle) {
  // Unsigned distance: a handle below the table wraps to a huge value.
  const uintptr_t distance =
      reinterpret_cast<uintptr_t>(handle) - reinterpret_cast<uintptr_t>(&g_slots[0]);
  const uintptr_t number = distance / sizeof(StoreSlot);
  if (number >= MAX_STORES || number * sizeof(StoreSlot) != distance) return nullptr;
  StoreSlot* slot = &g_slots[number];
  return slot->szFileName[0] != '\0' ? slot : nullptr;
}
// SlotOfHandle for a public call: null also notes BDB_INVALID_HANDLE.
StoreSlot* ValidateHandle(StoreHandle handle);
// The first free slot of the table, or null (noting BDB_TOO_MANY_STORES).
StoreSlot* FindFreeSlot();
// Creates or truncates the file and makes an empty store in the slot.
// 0 with the slot untouched when the file cannot be created or another open
// holds its lock; 0 with the slot free and the file removed when the empty
// store cannot be written whole.
// With file, uses that file, open and locked under fileName.
int InitSlot(StoreSlot* slot, const char* fileName, int32_t flags,
             std::unique_ptr<kvs::StoreFile> file = nullptr);
// Opens an existing store file into a free slot, with its lock, and first
// finishes what a journal beside it shows was interrupted. 0 with the slot
// free when the file cannot be opened or locked, or its journal cannot be
// applied, or its chain heads are unusable.
int OpenSlot(StoreSlot* slot, const char* fileName);
// OpenSlot for a file already open (and locked) under that name, whose
// full name (FileSystem::FullName) is given. A read-only slot never writes:
// a journal beside the store that only a writer may apply makes the open
// fail with BDB_LOCKED instead (see ReadableWithJournal).
int OpenSlotFrom(StoreSlot* slot, const char* fileName, std::string fullName,
                 std::unique_ptr<kvs::StoreFile> file, bool readOnly = false);
// Reads the header again from the file, forgetting every uncommitted
// change of the image; false (the header unchanged) when it cannot be read
// whole.
bool ReloadHeader(StoreSlot* slot);
// Commits what the file still holds back (nothing for a read-only slot),
// closes it and frees the slot.
int CloseSlot(StoreSlot* slot);
// Closes the file without writing to it and frees the slot.
void DiscardSlot(StoreSlot* slot);

}  // namespace kvs

#endif  // KVS_STORE_OPS_SLOTS_H
