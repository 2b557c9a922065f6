// slots.h: the table of open stores and the lifecycle of one store.
//
// Every open store lives in one StoreSlot of a process-wide table of
// MAX_STORES slots; a StoreHandle is the address of its slot. A slot is free
// exactly while szFileName is empty; a free slot holds no file and no index.
// InitSlot, OpenSlot and CloseSlot also work on a slot outside the table
// (compaction fills its new store in a private working slot).
#ifndef KVS_STORE_SLOTS_H
#define KVS_STORE_SLOTS_H

#include <cstdint>
#include <memory>
#include <vector>

#include "store/format.h"
#include "store/store.h"
#include "store/store_file.h"

struct StoreSlot {
  char szFileName[260] = {};                // name as passed; empty: slot free
  std::unique_ptr<kvs::StoreFile> pFile;    // the open store file
  kvs::StoreHeader header;                  // authoritative copy of the file's header
  int32_t lIndexCapacity = 0;               // entries in plKeyIndex (sorted stores)
  int32_t lIndexOffset = 0;                 // offset of the Index record (sorted stores)
  std::vector<int32_t> plKeyIndex;          // the KeyIndex (sorted stores)
  bool bWriteFailed = false;                // a write into pFile came up short
};

namespace kvs {

// The longest file name a slot holds, without its terminator.
constexpr std::size_t kMaxFileNameLength = sizeof(StoreSlot::szFileName) - 1;

bool IsSorted(const StoreSlot& slot);
bool IsNoCase(const StoreSlot& slot);

// The slot a handle designates when it is exactly the start of a table slot
// that is in use; else null. Decided by integer arithmetic on addresses.
StoreSlot* ValidateHandle(StoreHandle handle);
// The first free slot of the table, or null.
StoreSlot* FindFreeSlot();
// Creates or truncates the file and makes an empty store in the slot.
// 0 with the slot untouched when the file cannot be created; 0 with the slot
// free and the file removed when the empty store cannot be written whole.
int InitSlot(StoreSlot* slot, const char* fileName, int32_t flags);
// Opens an existing store file into a free slot. 0 with the slot free when
// the file cannot be opened or its chain heads or index are unusable.
int OpenSlot(StoreSlot* slot, const char* fileName);
// Writes the index of a sorted store, closes the file and frees the slot.
int CloseSlot(StoreSlot* slot);
// Writes n bytes at the file position. A short write is remembered in
// bWriteFailed, so that an operation built of many writes can tell whether
// all of them reached the file.
void WriteBytes(StoreSlot* slot, const void* data, std::size_t n);
// Writes the 128-byte in-memory header to offset 0; false when it could not.
bool WriteHeader(StoreSlot* slot);

}  // namespace kvs

#endif  // KVS_STORE_SLOTS_H
