// slots.cc: the table of open stores, the handle check, recognition of store
// files, and creating, opening and closing a store's slot.
#include "store/ops/slots.h"

#include <cstring>

#include "store/errors.h"
#include "store/pager/journal.h"
#include "store/records/free_fit.h"

namespace kvs {

StoreSlot g_slots[MAX_STORES];

namespace {

bool ChainHeadIsPlausible(const ListHead& head, int64_t fileLength) {
  if (head.lFirst == 0 && head.lLast == 0 && head.lCount == 0) return true;
  auto inside = [fileLength](int32_t offset) {
    return offset >= kStoreHeaderSize && int64_t{offset} + kRecordHeaderSize <= fileLength;
  };
  return inside(head.lFirst) && inside(head.lLast) && head.lCount > 0;
}

void FreeSlot(StoreSlot* slot) { *slot = StoreSlot{}; }

}  // namespace

StoreSlot* ValidateHandle(StoreHandle handle) {
  StoreSlot* slot = SlotOfHandle(handle);
  if (slot == nullptr) NoteError(BDB_INVALID_HANDLE);
  return slot;
}

StoreSlot* FindFreeSlot() {
  for (StoreSlot& slot : g_slots) {
    if (slot.szFileName[0] == '\0') return &slot;
  }
  NoteError(BDB_TOO_MANY_STORES);
  return nullptr;
}

int InitSlot(StoreSlot* slot, const char* fileName, int32_t flags,
             std::unique_ptr<StoreFile> file) {
  if (slot == nullptr || !FileNameFits(fileName)) return 0;
  // Nothing is cut off before the lock is held: another writer's store
  // stays whole.
  if (!file) file = OpenLocked(fileName, OpenMode::kOpenOrCreate);
  if (!file) return 0;
  StoreSlot fresh;
  fresh.fullName = ActiveFileSystem().FullName(fileName);
  // A journal left by an earlier store of this name belongs to it alone.
  if (!DiscardJournal(fresh.fullName) || !file->SetLength(0)) return 0;
  fresh.pFile = MakeFileImage(std::move(file));
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
  std::unique_ptr<StoreFile> file = OpenLocked(fileName, OpenMode::kUpdate);
  if (!file) return 0;
  return OpenSlotFrom(slot, fileName, ActiveFileSystem().FullName(fileName), std::move(file));
}

int OpenSlotFrom(StoreSlot* slot, const char* fileName, std::string fullName,
                 std::unique_ptr<StoreFile> file, bool readOnly) {
  if (slot == nullptr || !FileNameFits(fileName) || !file) return 0;
  // A reader cannot roll back an interrupted commit, and must not read the
  // half-written file it left.
  if (readOnly && !ReadableWithJournal(*file, fullName)) return 0;
  slot->pFile = MakeFileImage(std::move(file));
  slot->fullName = std::move(fullName);
  slot->bReadOnly = readOnly;
  std::strcpy(slot->szFileName, fileName);
  const bool recovered =
      readOnly || RecoverStore(*slot->pFile, slot->fullName) != Recovery::kFailed;
  if (!recovered || !ReadHeader(slot)) {
    FreeSlot(slot);
    return 0;
  }

  // The header must be the store's own: a failed read must not leave a zero
  // header that the next write would put over the real one.
  if (std::memcmp(slot->header.achMagic, kMagic, sizeof kMagic) != 0) {
    NoteError(BDB_NOT_A_STORE);
    FreeSlot(slot);
    return 0;
  }
  // The chain heads are checked before the store is handed out; everything
  // deeper is checked by the operations as they read it.
  const int64_t length = slot->pFile->Length();
  const StoreHeader& h = slot->header;
  if (!ChainHeadIsPlausible(h.lhAllocated, length) || !ChainHeadIsPlausible(h.lhFree, length) ||
      !ChainHeadIsPlausible(h.lhIndex, length)) {
    NoteError(BDB_DAMAGED);
    DiscardSlot(slot);
    return 0;
  }
  return 1;
}

int CloseSlot(StoreSlot* slot) {
  if (slot == nullptr) return 0;
  if (slot->pFile && !slot->bReadOnly) slot->pFile->Flush();
  FreeSlot(slot);  // releases the index array and closes the file
  return 1;
}

bool ReloadHeader(StoreSlot* slot) {
  slot->pFile->DiscardChanges();
  ++slot->uHeaderWrites;  // what was found before may have moved
  // The hashed keys describe the image as it was: they go with its changes.
  slot->keyLookup.Clear();
  slot->unsortedKeys = kvs::UnsortedKeys{};
  DropFreeFit(slot);
  unsigned char bytes[kStoreHeaderSize];
  if (!slot->pFile->Seek(0) || slot->pFile->Read(bytes, sizeof bytes) != sizeof bytes) return false;
  slot->header = StoreHeader{};
  DecodeStoreHeader(bytes, &slot->header);
  return true;
}

void DiscardSlot(StoreSlot* slot) {
  if (slot->pFile) slot->pFile->DiscardChanges();
  FreeSlot(slot);
}

}  // namespace kvs

using namespace kvs;

extern "C" int BdbIsStoreFile(const char* fileName) {
  return PublicCall(0, BDB_NOT_A_STORE, [&] {
    if (fileName == nullptr) {
      NoteError(BDB_INVALID_ARGUMENT);
      return 0;
    }
    auto file = ActiveFileSystem().Open(fileName, OpenMode::kRead);
    if (!file) return 0;
    unsigned char bytes[kStoreHeaderSize];
    const std::size_t got = file->Read(bytes, sizeof bytes);
    return got >= sizeof kMagic && std::memcmp(bytes, kMagic, sizeof kMagic) == 0 ? 1 : 0;
  });
}
