// slot_file.h: a store slot's file, as the record layers see it: its name,
// the open file and its image, the store header, and what the calls that
// write into it need to know (a write that came up short, a read-only
// open). The index layer adds the key index (index/indexed_slot.h); the
// slot as a whole and the table of slots are in ops/slots.h.
//
// A slot reaches its file through its image (pager/file_image.h), which
// gathers the writes of one call until the call commits them.
#ifndef KVS_STORE_RECORDS_SLOT_FILE_H
#define KVS_STORE_RECORDS_SLOT_FILE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "store/format/format.h"
#include "store/os/store_file.h"
#include "store/pager/file_image.h"
#include "store/records/free_rooms.h"

namespace kvs {

struct SlotFile {
  char szFileName[260] = {};              // name as passed; empty: slot free
  std::string fullName;                   // absolute, links resolved: where the file is
  std::unique_ptr<FileImage> pFile;       // the open store file, as its image
  StoreHeader header;                     // authoritative copy of the file's header
  uint64_t uHeaderWrites = 0;             // counts WriteHeader calls: every chain change
  bool bWriteFailed = false;              // a write into pFile, or a read a change needs,
                                          //   came up short: the change stopped part way
  bool bReadOnly = false;                 // opened by BdbOpenReadOnly: nothing is ever written
  FreeRooms freeRooms;                    // the free list, for first fit (free_fit.h)
};

// The longest file name a slot holds, without its terminator.
constexpr std::size_t kMaxFileNameLength = sizeof(SlotFile::szFileName) - 1;

// True when name is not null and fits szFileName with its terminator.
bool FileNameFits(const char* name);
bool IsSorted(const SlotFile& slot);
bool IsNoCase(const SlotFile& slot);

// Opens the file and takes its lock, exclusive unless exclusive is false.
// The lock is the file's, not the name's: once it is held, the name must
// still lead to that file. Null (noting the cause) when the file cannot be
// opened or is locked.
std::unique_ptr<StoreFile> OpenLocked(const char* fileName, OpenMode mode, bool exclusive = true);
// Reads the 128-byte header into the slot; a file shorter than the header
// leaves the fields it does not cover zero. False when the file cannot be
// read from its start.
bool ReadHeader(SlotFile* slot);
// Writes n bytes at the file position. A short write is remembered in
// bWriteFailed, so that an operation built of many writes can tell whether
// all of them reached the file.
void WriteBytes(SlotFile* slot, const void* data, std::size_t n);
// Writes the 128-byte in-memory header to offset 0; false when it could not.
bool WriteHeader(SlotFile* slot);

}  // namespace kvs

#endif  // KVS_STORE_RECORDS_SLOT_FILE_H
