// slot_file.cc: a slot's file: opening it locked, buffering it, and
// reading and writing the store header through it.
#include "store/records/slot_file.h"

#include <cstring>

#include "store/errors.h"
#include "store/store.h"

namespace kvs {
namespace {

// How often an open tries again when the name led to a file that was
// replaced (by a compaction) while it was being opened.
constexpr int kReplacedFileTries = 3;

}  // namespace

std::unique_ptr<StoreFile> OpenLocked(const char* fileName, OpenMode mode, bool exclusive) {
  for (int attempt = 0; attempt < kReplacedFileTries; ++attempt) {
    std::unique_ptr<StoreFile> file = ActiveFileSystem().Open(fileName, mode);
    if (!file || !file->Lock(exclusive)) return nullptr;
    if (file->IsNamed(fileName)) return file;
  }
  NoteError(BDB_LOCKED);
  return nullptr;
}

bool ReadHeader(SlotFile* slot) {
  unsigned char bytes[kStoreHeaderSize] = {};
  if (!slot->pFile->Seek(0)) return false;
  slot->pFile->Read(bytes, sizeof bytes);
  slot->header = StoreHeader{};
  DecodeStoreHeader(bytes, &slot->header);
  slot->freeRooms.Drop();
  return true;
}

bool FileNameFits(const char* name) {
  if (name == nullptr) return false;
  for (std::size_t i = 0; i <= kMaxFileNameLength; ++i) {
    if (name[i] == '\0') return true;
  }
  return false;
}

bool IsSorted(const SlotFile& slot) { return (slot.header.lFlags & STORE_SORTED) != 0; }
bool IsNoCase(const SlotFile& slot) { return (slot.header.lFlags & STORE_NOCASE) != 0; }

void WriteBytes(SlotFile* slot, const void* data, std::size_t n) {
  if (n > 0 && slot->pFile->Write(data, n) != n) slot->bWriteFailed = true;
}

bool WriteHeader(SlotFile* slot) {
  ++slot->uHeaderWrites;
  unsigned char bytes[kStoreHeaderSize];
  EncodeStoreHeader(slot->header, bytes);
  const bool written =
      slot->pFile->Seek(0) && slot->pFile->Write(bytes, sizeof bytes) == sizeof bytes;
  if (!written) slot->bWriteFailed = true;
  return written;
}

}  // namespace kvs
