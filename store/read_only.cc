// read_only.cc: opening a store for reading only, under a shared lock.
#include "store/errors.h"
#include "store/lifecycle.h"

using namespace kvs;

extern "C" StoreHandle BdbOpenReadOnly(const char* fileName) {
  return PublicCall<StoreHandle>(nullptr, BDB_IO, [&]() -> StoreHandle {
    if (!FileNameFits(fileName)) {
      NoteError(BDB_INVALID_ARGUMENT);
      return nullptr;
    }
    if (!BdbIsStoreFile(fileName)) return nullptr;
    StoreSlot* slot = FindFreeSlot();
    if (slot == nullptr || !OpenStoreReadOnly(slot, fileName)) return nullptr;
    return slot;
  });
}
