// kvs_facade.cc: the facade over the record store, and the rule by which
// kvsgen opens or creates its store.
#include "kvsgen/kvs_facade.h"

#include "store/store_file.h"

namespace {

constexpr int32_t kNewStoreFlags = STORE_SORTED | STORE_NOCASE;

// For a fileName that is not a store file: true when it is free to hold a
// new store, that is missing or a readable regular file. A file that exists
// but cannot be read may be a store all the same, so it is never replaced;
// nor is anything that is not a regular file (the store's own files open
// regular files only, so a FIFO never blocks here).
bool MayCreateStoreAt(const char *fileName) {
  kvs::FileSystem &fileSystem = kvs::ActiveFileSystem();
  return fileSystem.Missing(fileName) || fileSystem.Open(fileName, kvs::OpenMode::kRead) != nullptr;
}

}  // namespace

StoreHandle KvsOpen(const char *fileName) {
  if (fileName == nullptr) return nullptr;
  try {
    if (BdbIsStoreFile(fileName)) return BdbOpen(fileName);
    if (!MayCreateStoreAt(fileName)) return nullptr;
    return BdbCreate(fileName, kNewStoreFlags);
  } catch (...) {  // opening may run out of memory; report it as no store
    return nullptr;
  }
}

void KvsClose(StoreHandle store) { static_cast<void>(BdbClose(store)); }

int KvsPut(StoreHandle store, const char *key, int32_t length, const void *data) {
  return BdbPut(store, key, data, length);
}

int KvsGetSize(StoreHandle store, const char *key, int32_t *size) {
  return BdbGetSize(store, key, size);
}

int KvsRead(StoreHandle store, const char *key, int32_t bufferSize, void *buffer) {
  return BdbRead(store, key, buffer, bufferSize);
}

char *KvsListPrefix(StoreHandle store, const char *prefix, int32_t *count) {
  return BdbListPrefix(store, prefix, count);
}
