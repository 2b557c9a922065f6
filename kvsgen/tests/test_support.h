// test_support.h: temporary directories, files and store file layouts
// shared by the kvsgen tests.
#ifndef KVS_KVSGEN_TESTS_TEST_SUPPORT_H
#define KVS_KVSGEN_TESTS_TEST_SUPPORT_H

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "kvsgen/kvs_facade.h"
#include "store/store.h"

namespace kvsgen_test {

// A fresh directory, removed with its content at the end. Its name has no
// dot, since the store names its compaction file after a path's first dot.
class TempDir {
 public:
  TempDir() {
    std::random_device random;
    do {
      path_ = std::filesystem::temp_directory_path() / ("kvsgen_test_" + std::to_string(random()));
    } while (!std::filesystem::create_directory(path_));
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path &path() const { return path_; }
  std::string File(const std::string &name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

inline void WriteFile(const std::string &path, const std::string &bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline std::string ReadFile(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// Store file layouts, little-endian.
inline std::string Le32(int32_t value) {
  std::string bytes;
  for (int shift = 0; shift < 32; shift += 8) {
    bytes += static_cast<char>(static_cast<uint32_t>(value) >> shift);
  }
  return bytes;
}

// Chain heads in the order allocated, free, index: first, last, count each.
inline std::string StoreHeaderBytes(std::vector<int32_t> chains, int32_t flags) {
  std::string bytes = "BDB0";
  for (int32_t field : chains) bytes += Le32(field);
  return bytes + Le32(flags) + std::string(84, '\0');
}

inline std::string RecordBytes(int32_t allocated, int32_t used, int32_t prev, int32_t next,
                               const std::string &key, const std::string &data) {
  return Le32(allocated) + Le32(used) + Le32(static_cast<int32_t>(key.size())) + Le32(prev) +
         Le32(next) + std::string(12, '\0') + key + data;
}

// A fresh store of flags STORE_SORTED | STORE_NOCASE: header and empty Index.
inline std::string FreshSortedStoreBytes() {
  return StoreHeaderBytes({0, 0, 0, 0, 0, 0, 128, 128, 1}, 3) +
         RecordBytes(1024, 0, 0, 0, "Index", std::string(1024, '\0'));
}

// A sorted store without its Index record: a store, but one that cannot be opened.
inline std::string DamagedStoreBytes() {
  return StoreHeaderBytes({0, 0, 0, 0, 0, 0, 0, 0, 0}, STORE_SORTED);
}

// Three groups: alpha, beta with a two-line value, gamma with an empty one.
inline std::string WorkedExampleTemplate(const std::string &lineEnd) {
  std::string bytes;
  for (const char *line : {"alpha", "5", "hello", "beta", "7", "one", "two", "gamma", "0", ""}) {
    bytes += line + lineEnd;
  }
  return bytes;
}

// What the example compiles into: compacted, so the Index record comes first
// and the records lie end to end in the order they were put.
inline std::string WorkedExampleStoreBytes() {
  const std::string nul(1, '\0');
  return StoreHeaderBytes({1189, 1276, 3, 0, 0, 0, 128, 128, 1}, 3) +
         RecordBytes(1024, 0, 0, 0, "Index",
                     Le32(1189) + Le32(1232) + Le32(1276) + std::string(253 * 4, '\0')) +
         RecordBytes(6, 6, 0, 1232, "alpha", "hello" + nul) +
         RecordBytes(8, 8, 1189, 1276, "beta", "one\ntwo" + nul) +
         RecordBytes(1, 1, 1232, 0, "gamma", nul);
}

// Every key of a sorted store with its value, read through the facade.
inline std::map<std::string, std::string> StoreContents(StoreHandle store) {
  std::map<std::string, std::string> contents;
  int32_t count = 0, size = 0;
  char *keys = KvsListPrefix(store, "", &count);
  for (const char *key = keys; count-- > 0; key += std::strlen(key) + 1) {
    KvsGetSize(store, key, &size);
    std::string &value = contents[key] = std::string(static_cast<std::size_t>(size), '\0');
    KvsRead(store, key, size, value.data());
  }
  BdbFree(keys);
  return contents;
}

}  // namespace kvsgen_test

#endif  // KVS_KVSGEN_TESTS_TEST_SUPPORT_H
