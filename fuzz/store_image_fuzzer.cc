// store_image_fuzzer.cc: the input is the bytes of a store file. The store
// opens it (or refuses it), runs every read operation over it, changes it,
// compacts and closes it, then opens and reads the result again. Nothing may
// crash, hang or leak, and no file but the store's own may remain.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/memory_file_system.h"
#include "store/store.h"

namespace {

using kvs::fuzz::Bytes;
using kvs::fuzz::MemoryFileSystem;

constexpr char kName[] = "image.kvs";
constexpr std::size_t kMaxKeysKept = 32;

std::vector<std::string>* g_keys = nullptr;  // the keys the current walk met

int CollectKey(StoreHandle, const char* key, int32_t) {
  if (g_keys->size() < kMaxKeysKept) g_keys->emplace_back(key);
  return 0;
}

std::FILE* NullStream() {
  static std::FILE* stream = std::fopen("/dev/null", "w");
  return stream;
}

void ListPrefix(StoreHandle store, const char* prefix) {
  int32_t count = -1;
  char* block = BdbListPrefix(store, prefix, &count);
  if (block == nullptr) return;
  // The block holds count keys and an empty one after them.
  const char* key = block;
  for (int32_t i = 0; i < count; ++i) key += std::char_traits<char>::length(key) + 1;
  if (*key != '\0') std::abort();
  BdbFree(block);
}

void ReadKey(StoreHandle store, const std::string& key) {
  int32_t size = -1;
  const int present = BdbGetSize(store, key.c_str(), &size);
  if (present && size < 0) std::abort();
  std::vector<unsigned char> buffer(64);
  BdbRead(store, key.c_str(), buffer.data(), static_cast<int32_t>(buffer.size()));
  if (present && size > 0 && size < (1 << 20)) {
    buffer.resize(static_cast<std::size_t>(size));
    if (!BdbRead(store, key.c_str(), buffer.data(), size)) std::abort();
  }
}

// Every read operation; returns the keys of the allocated list.
std::vector<std::string> ReadEverything(StoreHandle store) {
  StoreStats stats;
  BdbGetStats(store, &stats);
  std::vector<std::string> keys;
  g_keys = &keys;
  for (int list = 0; list < 3; ++list) {
    std::vector<std::string> listed;
    g_keys = &listed;
    BdbWalk(store, list, CollectKey);
    if (list == 0) keys = listed;
  }
  g_keys = nullptr;
  BdbDumpAllocated(store, NullStream());
  BdbDumpFree(store, NullStream());
  for (const char* prefix : {"", "a", "A", "Index", "\xff"}) ListPrefix(store, prefix);
  for (const std::string& key : keys) {
    ReadKey(store, key);
    if (!key.empty()) ListPrefix(store, key.substr(0, 1).c_str());
  }
  for (const std::string& key : {std::string(), std::string("absent"), std::string("Index"),
                                 std::string(MAX_KEY_LENGTH + 3, 'k')}) {
    ReadKey(store, key);
  }
  return keys;
}

void Change(StoreHandle store, const std::vector<std::string>& keys, bool held) {
  if (held) BdbHoldWrites(store);
  const std::string value(160, 'v');
  for (std::size_t i = 0; i < keys.size() && i < 4; ++i) {
    BdbPut(store, keys[i].c_str(), value.data(), static_cast<int32_t>(i * 40));
  }
  BdbPut(store, "fresh key", value.data(), 7);
  BdbPut(store, "another", nullptr, 0);
  if (!keys.empty()) BdbDelete(store, keys.back().c_str());
  BdbDelete(store, "fresh key");
  BdbDelete(store, "never there");
  if (held) BdbFlush(store);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  MemoryFileSystem fs;
  kvs::fuzz::ScopedFileSystem installed(fs);
  fs.Put(kName, Bytes(data, data + size));

  BdbIsStoreFile(kName);
  StoreHandle store = BdbOpen(kName);
  if (store == nullptr) return 0;
  const std::vector<std::string> keys = ReadEverything(store);
  Change(store, keys, size % 2 == 1);
  ReadEverything(store);
  BdbCompact(store);
  ReadEverything(store);
  BdbClose(store);

  store = BdbOpen(kName);
  if (store != nullptr) {
    ReadEverything(store);
    BdbClose(store);
  }
  // Compaction leaves no file of its own behind.
  if (fs.Names() != std::vector<std::string>{kName}) std::abort();
  return 0;
}
