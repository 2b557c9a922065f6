// kvs_facade.cc: the facade over the record store, and the rule by which
// kvsgen opens or creates its store.
#include "kvsgen/kvs_facade.h"

#include <chrono>
#include <thread>

#include "store/ops/lifecycle.h"

namespace {

constexpr int32_t kNewStoreFlags = STORE_SORTED | STORE_NOCASE;
constexpr auto kLockRetryPause = std::chrono::milliseconds(50);
int32_t g_lockWaitMilliseconds = 10000;

// One attempt at the store: opened, or created where no store is. A new
// file is created exclusively, and a file that is not a store is replaced
// only once it is held locked and found no store then, so a store another
// process has just made is never cut off. A file that cannot be read and
// written may be a store all the same, so it is never replaced; nor is
// anything that is not a regular file (the store's own files open regular
// files only, so a FIFO never blocks here).
StoreHandle OpenOrCreate(const char *fileName) {
  return kvs::OpenOrCreateHandle(fileName, kNewStoreFlags, true);
}

}  // namespace

StoreHandle KvsOpen(const char *fileName) {
  if (fileName == nullptr) return nullptr;
  try {
    // Another writer has the store: wait for it a bounded time, trying
    // again; a store that stays locked is left alone.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(g_lockWaitMilliseconds);
    for (;;) {
      StoreHandle store = OpenOrCreate(fileName);
      if (store != nullptr || BdbLastError() != BDB_LOCKED) return store;
      if (std::chrono::steady_clock::now() >= deadline) return nullptr;
      std::this_thread::sleep_for(kLockRetryPause);
    }
  } catch (...) {  // opening may run out of memory; report it as no store
    return nullptr;
  }
}

void KvsSetLockWait(int32_t milliseconds) { g_lockWaitMilliseconds = milliseconds > 0 ? milliseconds : 0; }

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
