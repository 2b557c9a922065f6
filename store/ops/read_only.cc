// read_only.cc: opening a store for reading only, under a shared lock.
#include "store/errors.h"
#include "store/ops/lifecycle.h"

using namespace kvs;

extern "C" StoreHandle BdbOpenReadOnly(const char* fileName) {
  return PublicCall<StoreHandle>(nullptr, BDB_IO, [&]() -> StoreHandle {
    StoreSlot* slot = SlotToOpen(fileName);
    if (slot == nullptr || !OpenStoreReadOnly(slot, fileName)) return nullptr;
    return slot;
  });
}
