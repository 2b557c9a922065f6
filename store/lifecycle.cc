// lifecycle.cc: creating, opening, committing and closing stores, and the
// public calls that do it or that hold and flush a run of changes.
#include "store/lifecycle.h"

#include "store/key_index.h"

namespace kvs {

int CreateStore(StoreSlot* slot, const char* fileName, int32_t flags) {
  if (!InitSlot(slot, fileName, flags)) return 0;
  // A store whose Index record could not be written is not handed out, and
  // its file is removed so that it can never open as a store.
  bool whole = !IsSorted(*slot) || IndexCreate(slot) != 0;
  whole = whole && CommitStore(slot);
  if (!whole) {
    DiscardSlot(slot);
    ActiveFileSystem().Delete(fileName);
    return 0;
  }
  return 1;
}

int OpenStore(StoreSlot* slot, const char* fileName, IndexEntries* known) {
  if (!OpenSlot(slot, fileName)) return 0;
  if (IsSorted(*slot) && !IndexLoad(slot, known)) {
    DiscardSlot(slot);
    return 0;
  }
  return 1;
}

bool CommitStore(StoreSlot* slot) {
  if (slot->bHeld) return !slot->bWriteFailed;
  WriteHeldIndexImages(slot);
  const bool indexWritten = FlushIndex(slot);
  if (!slot->pFile->Flush()) slot->bWriteFailed = true;
  return indexWritten && !slot->bWriteFailed;
}

int CloseStore(StoreSlot* slot) {
  if (slot == nullptr) return 0;
  if (IsSorted(*slot)) {
    WriteHeldIndexImages(slot);
    WriteIndex(slot);
    FlushIndex(slot);
  }
  return CloseSlot(slot);
}

}  // namespace kvs

using namespace kvs;

extern "C" StoreHandle BdbCreate(const char* fileName, int32_t flags) {
  if (!FileNameFits(fileName)) return nullptr;
  StoreSlot* slot = FindFreeSlot();
  if (slot == nullptr) return nullptr;
  return CreateStore(slot, fileName, flags) ? slot : nullptr;
}

extern "C" StoreHandle BdbOpen(const char* fileName) {
  if (!FileNameFits(fileName) || !BdbIsStoreFile(fileName)) return nullptr;
  StoreSlot* slot = FindFreeSlot();
  if (slot == nullptr) return nullptr;
  return OpenStore(slot, fileName) ? slot : nullptr;
}

extern "C" int BdbClose(StoreHandle store) { return CloseStore(ValidateHandle(store)); }

extern "C" int BdbHoldWrites(StoreHandle store) {
  StoreSlot* slot = ValidateHandle(store);
  if (slot == nullptr) return 0;
  slot->bHeld = true;
  if (slot->pBuffer != nullptr) slot->pBuffer->Hold(true);
  BeginIndexLog(slot);
  return 1;
}

extern "C" int BdbFlush(StoreHandle store) {
  StoreSlot* slot = ValidateHandle(store);
  if (slot == nullptr) return 0;
  slot->bHeld = false;
  if (slot->pBuffer != nullptr) slot->pBuffer->Hold(false);
  slot->bWriteFailed = false;
  return CommitStore(slot) ? 1 : 0;
}
