// test_support.cc: helpers shared by the kvsgen tests.
#include "kvsgen/tests/test_support.h"

#include <fstream>
#include <iterator>
#include <random>
#include <vector>

namespace kvsgen_test {

TempDir::TempDir() {
  std::random_device random;
  const auto base = std::filesystem::temp_directory_path();
  do {
    path_ = base / ("kvsgen_test_" + std::to_string(random()));
  } while (!std::filesystem::create_directory(path_));
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void WriteFile(const std::string &path, const std::string &bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string ReadFile(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::string Le32(int32_t value) {
  const auto bits = static_cast<uint32_t>(value);
  std::string bytes(4, '\0');
  for (std::size_t i = 0; i < 4; ++i) bytes[i] = static_cast<char>((bits >> (8 * i)) & 0xFFu);
  return bytes;
}

std::string StoreHeaderBytes(Chain allocated, Chain free, Chain index, int32_t flags) {
  std::string bytes = "BDB0";
  for (const Chain &chain : {allocated, free, index}) {
    bytes += Le32(chain.first) + Le32(chain.last) + Le32(chain.count);
  }
  return bytes + Le32(flags) + std::string(84, '\0');
}

std::string RecordHeaderBytes(int32_t bytesAllocated, int32_t bytesUsed, int32_t nameLength,
                              int32_t prev, int32_t next) {
  return Le32(bytesAllocated) + Le32(bytesUsed) + Le32(nameLength) + Le32(prev) + Le32(next) +
         std::string(12, '\0');
}

std::string FreshSortedStoreBytes() {
  return StoreHeaderBytes({0, 0, 0}, {0, 0, 0}, {128, 128, 1}, 3) +
         RecordHeaderBytes(1024, 0, 5, 0, 0) + "Index" + std::string(1024, '\0');
}

std::string WorkedExampleTemplate(const std::string &lineEnd) {
  std::string bytes;
  for (const char *line : {"alpha", "5", "hello", "beta", "7", "one", "two", "gamma", "0", ""}) {
    bytes += line + lineEnd;
  }
  return bytes;
}

// Compacted: the Index record first, then alpha, beta and gamma end to end
// in the order they were put; the index lists them in key order.
std::string WorkedExampleStoreBytes() {
  const std::string nul(1, '\0');
  std::string bytes = StoreHeaderBytes({1189, 1276, 3}, {0, 0, 0}, {128, 128, 1}, 3);
  bytes += RecordHeaderBytes(1024, 0, 5, 0, 0) + "Index" + Le32(1189) + Le32(1232) + Le32(1276) +
           std::string(253 * 4, '\0');
  bytes += RecordHeaderBytes(6, 6, 5, 0, 1232) + "alpha" + "hello" + nul;
  bytes += RecordHeaderBytes(8, 8, 4, 1189, 1276) + "beta" + "one\ntwo" + nul;
  bytes += RecordHeaderBytes(1, 1, 5, 1232, 0) + "gamma" + nul;
  return bytes;
}

namespace {
std::vector<std::string> *walkedKeys;  // BdbWalk's callback has no user data

int CollectKey(StoreHandle, const char *key, int32_t) {
  walkedKeys->emplace_back(key);
  return 0;
}
}  // namespace

std::map<std::string, std::string> StoreContents(StoreHandle store) {
  std::vector<std::string> keys;
  walkedKeys = &keys;
  BdbWalk(store, 0, CollectKey);
  walkedKeys = nullptr;
  std::map<std::string, std::string> contents;
  for (const std::string &key : keys) {
    int32_t size = 0;
    BdbGetSize(store, key.c_str(), &size);
    std::string value(static_cast<std::size_t>(size), '\0');
    BdbRead(store, key.c_str(), value.data(), size);
    contents[key] = value;
  }
  return contents;
}

}  // namespace kvsgen_test
