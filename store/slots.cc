// slots.cc: the table of open stores, the handle check, recognition of store
// files, and creating, opening and closing a store.
#include "store/slots.h"

#include <cstring>

namespace kvs {
namespace {

// All zero at program start; a slot is reset whole when it is freed.
StoreSlot g_slots[MAX_STORES];

bool ChainHeadIsPlausible(const ListHead& head, int64_t fileLength) {
  if (head.lFirst == 0 && head.lLast == 0 && head.lCount == 0) return true;
  auto inside = [fileLength](int32_t offset) {
    return offset >= kStoreHeaderSize && int64_t{offset} + kRecordHeaderSize <= fileLength;
  };
  return inside(head.lFirst) && inside(head.lLast) && head.lCount > 0;
}

void FreeSlot(StoreSlot* slot) { *slot = StoreSlot{}; }

bool g_writeThrough = false;

// Opens the slot's file, buffered unless files are written through.
bool OpenSlotFile(StoreSlot* slot, const char* fileName, OpenMode mode) {
  std::unique_ptr<StoreFile> file = ActiveFileSystem().Open(fileName, mode);
  if (!file) return false;
  if (g_writeThrough) {
    slot->pFile = std::move(file);
    slot->pBuffer = nullptr;
    return true;
  }
  auto buffered = std::make_unique<BufferedFile>(std::move(file));
  slot->pBuffer = buffered.get();
  slot->pFile = std::move(buffered);
  return true;
}

}  // namespace

bool FileNameFits(const char* name) {
  if (name == nullptr) return false;
  for (std::size_t i = 0; i <= kMaxFileNameLength; ++i) {
    if (name[i] == '\0') return true;
  }
  return false;
}

bool IsSorted(const StoreSlot& slot) { return (slot.header.lFlags & STORE_SORTED) != 0; }
bool IsNoCase(const StoreSlot& slot) { return (slot.header.lFlags & STORE_NOCASE) != 0; }

StoreSlot* ValidateHandle(StoreHandle handle) {
  // Unsigned distance: a handle below the table wraps to a huge value.
  const uintptr_t distance =
      reinterpret_cast<uintptr_t>(handle) - reinterpret_cast<uintptr_t>(&g_slots[0]);
  if (distance % sizeof(StoreSlot) != 0) return nullptr;
  const uintptr_t number = distance / sizeof(StoreSlot);
  if (number >= MAX_STORES) return nullptr;
  StoreSlot* slot = &g_slots[number];
  return slot->szFileName[0] != '\0' ? slot : nullptr;
}

StoreSlot* FindFreeSlot() {
  for (StoreSlot& slot : g_slots) {
    if (slot.szFileName[0] == '\0') return &slot;
  }
  return nullptr;
}

void WriteBytes(StoreSlot* slot, const void* data, std::size_t n) {
  if (n > 0 && slot->pFile->Write(data, n) != n) slot->bWriteFailed = true;
}

bool WriteHeader(StoreSlot* slot) {
  ++slot->uHeaderWrites;
  unsigned char bytes[kStoreHeaderSize];
  EncodeStoreHeader(slot->header, bytes);
  const bool written =
      slot->pFile->Seek(0) && slot->pFile->Write(bytes, sizeof bytes) == sizeof bytes;
  if (!written) slot->bWriteFailed = true;
  return written;
}

int InitSlot(StoreSlot* slot, const char* fileName, int32_t flags) {
  if (slot == nullptr || !FileNameFits(fileName)) return 0;
  StoreSlot fresh;
  if (!OpenSlotFile(&fresh, fileName, OpenMode::kCreate)) return 0;
  *slot = std::move(fresh);
  std::memcpy(slot->header.achMagic, kMagic, sizeof kMagic);
  slot->header.lFlags = flags & kFlagMask;
  std::strcpy(slot->szFileName, fileName);
  // A store whose header could not be written is not handed out, and its
  // file is removed so that it can never open as a store.
  if (!WriteHeader(slot)) {
    DiscardSlot(slot);
    ActiveFileSystem().Delete(fileName);
    return 0;
  }
  return 1;
}

int OpenSlot(StoreSlot* slot, const char* fileName) {
  if (slot == nullptr || !FileNameFits(fileName)) return 0;
  if (!OpenSlotFile(slot, fileName, OpenMode::kUpdate)) return 0;
  std::strcpy(slot->szFileName, fileName);
  // A file shorter than the header leaves the fields it does not cover zero.
  unsigned char bytes[kStoreHeaderSize] = {};
  slot->pFile->Read(bytes, sizeof bytes);
  DecodeStoreHeader(bytes, &slot->header);

  // The header must be the store's own: a failed read must not leave a zero
  // header that the next write would put over the real one.
  if (std::memcmp(slot->header.achMagic, kMagic, sizeof kMagic) != 0) {
    FreeSlot(slot);
    return 0;
  }
  // The chain heads are checked before the store is handed out; everything
  // deeper is checked by the operations as they read it.
  const int64_t length = slot->pFile->Length();
  const StoreHeader& h = slot->header;
  if (!ChainHeadIsPlausible(h.lhAllocated, length) || !ChainHeadIsPlausible(h.lhFree, length) ||
      !ChainHeadIsPlausible(h.lhIndex, length)) {
    DiscardSlot(slot);
    return 0;
  }
  return 1;
}

int CloseSlot(StoreSlot* slot) {
  if (slot == nullptr) return 0;
  if (slot->pFile) slot->pFile->Flush();
  FreeSlot(slot);  // releases the index array and closes the file
  return 1;
}

void DiscardSlot(StoreSlot* slot) {
  if (slot->pBuffer != nullptr) slot->pBuffer->DiscardChanges();
  FreeSlot(slot);
}

void SetWriteThrough(bool writeThrough) { g_writeThrough = writeThrough; }

}  // namespace kvs

using namespace kvs;

extern "C" int BdbIsStoreFile(const char* fileName) {
  if (fileName == nullptr) return 0;
  auto file = ActiveFileSystem().Open(fileName, OpenMode::kRead);
  if (!file) return 0;
  unsigned char bytes[kStoreHeaderSize];
  const std::size_t got = file->Read(bytes, sizeof bytes);
  return got >= sizeof kMagic && std::memcmp(bytes, kMagic, sizeof kMagic) == 0 ? 1 : 0;
}
