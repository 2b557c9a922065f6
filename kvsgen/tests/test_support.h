// test_support.h: temporary directories, file contents and store file
// layouts shared by the kvsgen tests.
#ifndef KVS_KVSGEN_TESTS_TEST_SUPPORT_H
#define KVS_KVSGEN_TESTS_TEST_SUPPORT_H

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

#include "store/store.h"

namespace kvsgen_test {

// A fresh directory without a dot in its name (the store derives its
// compaction file name from the first dot of a path), removed with its
// content on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::filesystem::path &path() const { return path_; }
  std::string File(const std::string &name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

void WriteFile(const std::string &path, const std::string &bytes);
std::string ReadFile(const std::string &path);  // empty when unreadable

// Little-endian layouts of the store file.
std::string Le32(int32_t value);
struct Chain {
  int32_t first, last, count;
};
std::string StoreHeaderBytes(Chain allocated, Chain free, Chain index, int32_t flags);
std::string RecordHeaderBytes(int32_t bytesAllocated, int32_t bytesUsed, int32_t nameLength,
                              int32_t prev, int32_t next);
// A fresh store of flags STORE_SORTED | STORE_NOCASE: header and empty Index record.
std::string FreshSortedStoreBytes();

// The three-group example template (alpha, beta with a two-line value,
// gamma with an empty one) with the given line end, and the exact store
// file it compiles into.
std::string WorkedExampleTemplate(const std::string &lineEnd);
std::string WorkedExampleStoreBytes();

// Every key of the store's allocated list with its value.
std::map<std::string, std::string> StoreContents(StoreHandle store);

}  // namespace kvsgen_test

#endif  // KVS_KVSGEN_TESTS_TEST_SUPPORT_H
