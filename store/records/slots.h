// slots.h: the table of open stores and the lifecycle of one store.
//
// Every open store lives in one StoreSlot of a process-wide table of
// MAX_STORES slots; a StoreHandle is the address of its slot. A slot is free
// exactly while szFileName is empty; a free slot holds no file and no index.
// InitSlot, OpenSlot and CloseSlot also work on a slot outside the table
// (compaction fills its new store in a private working slot).
//
// A slot reaches its file through a BufferedFile (pBuffer), which gathers
// the writes of one call until the call commits them; tests can choose
// files written through byte by byte instead (SetWriteThrough) and compare
// the two. The sorted key index is created, loaded and written by the layer
// above (lifecycle.h); a slot only holds it.
#ifndef KVS_STORE_RECORDS_SLOTS_H
#define KVS_STORE_RECORDS_SLOTS_H

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "store/pager/buffered_file.h"
#include "store/format/format.h"
#include "store/index/index_entries.h"
#include "store/index/key_lookup.h"
#include "store/index/unsorted_keys.h"
#include "store/store.h"
#include "store/os/store_file.h"

// A change of the KeyIndex since it was last written (see key_index.h).
struct IndexChange {
  bool bInserted;     // an entry was inserted at lPosition, else removed
  int32_t lPosition;
  int32_t lOffset;    // the entry removed
};

// An array that growth left in an old Index record during a held run, to be
// produced only if the run is written: the entries as they were after the
// first lLogAt changes of the run, zero-padded to lCapacity.
struct HeldIndexImage {
  int32_t lCapacity;
  std::size_t lLogAt;
};

struct StoreSlot {
  char szFileName[260] = {};                // name as passed; empty: slot free
  std::string fullName;                     // absolute, links resolved: where the file is
  std::unique_ptr<kvs::StoreFile> pFile;    // the open store file
  kvs::BufferedFile* pBuffer = nullptr;     // pFile when it is buffered (not owning)
  kvs::StoreHeader header;                  // authoritative copy of the file's header
  int32_t lIndexCapacity = 0;               // entries of the persisted KeyIndex (sorted stores)
  int32_t lIndexOffset = 0;                 // offset of the Index record (sorted stores)
  kvs::IndexEntries plKeyIndex;             // the KeyIndex (sorted stores)
  kvs::KeyLookup keyLookup;                 // its keys hashed, once a lookup needs them
                                            //   (unsorted stores: the allocated list's keys)
  kvs::UnsortedKeys unsortedKeys;           // what an unsorted store's table holds
  std::string keyForm;                      // a key as the index compares it (scratch)
  bool bIndexUnwritten = false;             // the Index record lags behind its last write
  bool bIndexInRecord = false;              // the Index record holds the array as it is now
  bool bIndexInFile = false;                // the Index record is the index; plKeyIndex is empty
  bool bIndexUnloadable = false;            //   and its entries failed IndexLoad's checks
  int32_t lEntriesInFile = 0;               //   entries in use in the Index record
  uint32_t uLookupsInFile = 0;              //   lookups made there since the open
  std::vector<IndexChange> indexChanges;    // changes since the index was last written
  bool bHeld = false;                       // changes wait for BdbFlush, BdbCompact or BdbClose
  bool bIndexLogged = false;                // a held run of a sorted store is logging its index:
  std::vector<int32_t> heldIndexBase;       //   the entries when the run began,
  std::vector<IndexChange> heldIndexLog;    //   every change since,
  std::map<int64_t, HeldIndexImage> heldIndexImages;  // and the arrays not produced yet, by place
  uint64_t uHeaderWrites = 0;               // counts WriteHeader calls: every chain change
  bool bWriteFailed = false;                // a write into pFile came up short
  bool bStale = false;                      // after a failed commit: to be read again from the file
  bool bReadOnly = false;                   // opened by BdbOpenReadOnly: nothing is ever written
  bool bCompactForm = false;                // the image is byte for byte what a compaction would
                                            //   write: created here, and only new keys put since
};

namespace kvs {

// The longest file name a slot holds, without its terminator.
constexpr std::size_t kMaxFileNameLength = sizeof(StoreSlot::szFileName) - 1;

// True when name is not null and fits szFileName with its terminator.
bool FileNameFits(const char* name);
bool IsSorted(const StoreSlot& slot);
bool IsNoCase(const StoreSlot& slot);

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
// Opens the file and takes its lock, exclusive unless exclusive is false.
// The lock is the file's, not the name's: once it is held, the name must
// still lead to that file. Null (noting the cause) when the file cannot be
// opened or is locked.
std::unique_ptr<kvs::StoreFile> OpenLocked(const char* fileName, kvs::OpenMode mode,
                                           bool exclusive = true);
// Reads the header again from the file, forgetting every uncommitted
// change of the image; false (the header unchanged) when it cannot be read
// whole.
bool ReloadHeader(StoreSlot* slot);
// Commits what the file still holds back (nothing for a read-only slot),
// closes it and frees the slot.
int CloseSlot(StoreSlot* slot);
// Closes the file without writing to it and frees the slot.
void DiscardSlot(StoreSlot* slot);
// Opens store files buffered (the default) or written through byte by byte
// (for tests that compare the two).
void SetWriteThrough(bool writeThrough);
// Writes n bytes at the file position. A short write is remembered in
// bWriteFailed, so that an operation built of many writes can tell whether
// all of them reached the file.
void WriteBytes(StoreSlot* slot, const void* data, std::size_t n);
// Writes the 128-byte in-memory header to offset 0; false when it could not.
bool WriteHeader(StoreSlot* slot);

}  // namespace kvs

#endif  // KVS_STORE_RECORDS_SLOTS_H
