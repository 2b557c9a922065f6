// kvs_facade.cc: the facade over the record store, and the rule by which
// kvsgen opens or creates its store.
#include "kvsgen/kvs_facade.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

namespace {

constexpr int32_t kNewStoreFlags = STORE_SORTED | STORE_NOCASE;

// For a fileName that is not a store file: true when it is free to hold a
// new store, that is missing or a readable file. A file that exists but
// cannot be read may be a store all the same, so it is never replaced.
bool MayCreateStoreAt(const char *fileName) {
  if (std::FILE *file = std::fopen(fileName, "rb")) {
    std::fclose(file);
    return true;
  }
  std::error_code error;
  const bool exists = std::filesystem::exists(std::filesystem::path(fileName), error);
  return !exists && !error;
}

}  // namespace

StoreHandle KvsOpen(const char *fileName) {
  if (fileName == nullptr) return nullptr;
  try {
    if (BdbIsStoreFile(fileName)) return BdbOpen(fileName);
    if (!MayCreateStoreAt(fileName)) return nullptr;
    return BdbCreate(fileName, kNewStoreFlags);
  } catch (...) {  // std::filesystem may run out of memory; report it as no store
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
