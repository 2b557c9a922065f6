// store_test_util.h: helpers shared by the record store tests: a fresh
// temporary directory per test, whole-file byte access, little-endian field
// access, hand-built file images and a fixture that closes every store a test
// leaves open. Expected bytes are always built here by hand, never by the
// store itself.
#ifndef KVS_STORE_TESTS_STORE_TEST_UTIL_H
#define KVS_STORE_TESTS_STORE_TEST_UTIL_H

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "store/format/format.h"
#include "store/store.h"

namespace kvs_test {

using Bytes = std::vector<unsigned char>;

// The sizes of the store header, at the start of the file, and of a record
// header, which the record's key follows.
using kvs::kRecordHeaderSize;
using kvs::kStoreHeaderSize;
// Offsets of the three ListHeads, the flags word and the reserved bytes in
// the store header.
constexpr std::size_t kAllocatedHead = 4, kFreeHead = 16, kIndexHead = 28;
constexpr std::size_t kFlagsOffset = 40, kReservedOffset = 44;
// Offsets of a ListHead's lLast and lCount from the head.
constexpr std::size_t kHeadLast = 4, kHeadCount = 8;
// Offsets of a RecordHeader's fields from the record's start.
constexpr std::size_t kRecordAllocated = 0, kRecordUsed = 4, kRecordNameLength = 8,
                      kRecordPrev = 12, kRecordNext = 16, kRecordReserved = 20;
// The Index record's entries follow its header and its key "Index"; it is
// created with, and grows by, 256 of them.
constexpr int32_t kIndexArray = kRecordHeaderSize + 5;
constexpr int32_t kIndexGrowth = 256;
// A fresh sorted store: header, then the Index record, all entries 0.
constexpr int32_t kFirstIndexEntry = kStoreHeaderSize + kIndexArray;
constexpr int32_t kFreshSortedSize = kFirstIndexEntry + 4 * kIndexGrowth;
static_assert(kFirstIndexEntry == 165 && kFreshSortedSize == 1189, "the format's fixed sizes");

// stem, the decimal n, then suffix ("s" 3 ".kvs" gives "s3.kvs"). Built by
// appending, which keeps g++ 12's -Wrestrict false positive on
// "literal" + std::string at bay.
inline std::string Numbered(std::string_view stem, long long n, std::string_view suffix = "") {
  std::string name(stem);
  name += std::to_string(n);
  name.append(suffix);
  return name;
}

// A directory of its own under the system's temporary directory, removed
// with everything in it when the object goes away. Its name has no dot, so
// names derived from the first dot of a store's path stay inside it.
class TempDir {
 public:
  TempDir() {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    const auto tick = std::chrono::steady_clock::now().time_since_epoch().count() & 0xFFFFF;
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      const auto candidate = std::filesystem::temp_directory_path() /
                             Numbered(Numbered("kvst-", random(), "-"), tick + counter++);
      std::error_code error;
      if (std::filesystem::create_directory(candidate, error)) path_ = candidate;
    }
    if (path_.empty()) ADD_FAILURE() << "cannot create a temporary directory";
  }
  ~TempDir() {
    std::error_code error;
    if (!path_.empty()) std::filesystem::remove_all(path_, error);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // Names derived from the first dot of a path leave the directory when the
  // directory's own path holds a dot; tests of such names skip then.
  bool PathHasDot() const { return path_.string().find('.') != std::string::npos; }

 private:
  std::filesystem::path path_;
};

// Whether name exists; false also for names the system cannot look up.
inline bool FileExists(const std::string& name) {
  std::error_code error;
  return std::filesystem::exists(name, error);
}

inline Bytes ReadFileBytes(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFileBytes(const std::string& name, const Bytes& bytes) {
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline Bytes ToBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

inline std::size_t At(int32_t offset) { return static_cast<std::size_t>(offset); }

inline int32_t Le32(const Bytes& bytes, std::size_t offset) {
  uint32_t u = 0;
  for (std::size_t i = 0; i < 4; ++i) u |= uint32_t{bytes.at(offset + i)} << (8 * i);
  return static_cast<int32_t>(u);
}

inline void SetLe32(Bytes& bytes, std::size_t offset, int32_t value) {
  const auto u = static_cast<uint32_t>(value);
  for (std::size_t i = 0; i < 4; ++i) bytes.at(offset + i) = static_cast<unsigned char>(u >> (8 * i));
}

// A chain's ListHead: {lFirst, lLast, lCount}.
using ListHeadValues = std::array<int32_t, 3>;

inline ListHeadValues ListHeadAt(const Bytes& file, std::size_t headOffset) {
  return {Le32(file, headOffset), Le32(file, headOffset + kHeadLast),
          Le32(file, headOffset + kHeadCount)};
}

inline void SetListHead(Bytes& file, std::size_t headOffset, ListHeadValues head) {
  for (std::size_t i = 0; i < 3; ++i) SetLe32(file, headOffset + 4 * i, head[i]);
}

// A record as it lies in a file: its header fields, key and value. A key or
// value that would run past the end of the file reads as empty.
struct RecordView {
  int32_t allocated, used, nameLength, prev, next, reserved[3];
  std::string key, value;
};

inline RecordView RecordAt(const Bytes& file, int32_t offset) {
  const auto field = [&](std::size_t i) { return Le32(file, At(offset) + 4 * i); };
  const auto text = [&](std::size_t at, int32_t length) {
    if (length < 0 || at > file.size() || At(length) > file.size() - at) return std::string();
    return std::string(reinterpret_cast<const char*>(file.data()) + at, At(length));
  };
  const std::size_t keyAt = At(offset) + kRecordHeaderSize;
  return {field(0), field(1), field(2), field(3), field(4), {field(5), field(6), field(7)},
          text(keyAt, field(2)), text(keyAt + At(field(2)), field(1))};
}

// The 128-byte header of a fresh store with empty chains.
inline Bytes FreshHeaderImage(int32_t flags) {
  Bytes file(kStoreHeaderSize, 0);
  const unsigned char magic[4] = {'B', 'D', 'B', '0'};
  std::copy(magic, magic + 4, file.begin());
  SetLe32(file, kFlagsOffset, flags);
  return file;
}

// Appends a record laid out as a fresh append makes it: header with zero
// reserved words, key, value, then zero bytes up to the data capacity.
// Returns the record's offset.
inline int32_t AppendRecordImage(Bytes& file, int32_t capacity, int32_t used, int32_t prev,
                                 int32_t next, std::string_view key, std::string_view value) {
  const auto offset = static_cast<int32_t>(file.size());
  file.resize(file.size() + kRecordHeaderSize, 0);
  const int32_t fields[5] = {capacity, used, static_cast<int32_t>(key.size()), prev, next};
  for (std::size_t i = 0; i < 5; ++i) SetLe32(file, At(offset) + 4 * i, fields[i]);
  file.insert(file.end(), key.begin(), key.end());
  file.insert(file.end(), value.begin(), value.end());
  file.resize(file.size() + At(capacity) - value.size(), 0);
  return offset;
}

// A fresh sorted store: the header and the empty Index record after it.
inline Bytes FreshSortedImage(int32_t flags) {
  Bytes file = FreshHeaderImage(flags);
  AppendRecordImage(file, 4 * kIndexGrowth, 0, 0, 0, "Index", "");
  SetListHead(file, kIndexHead, {kStoreHeaderSize, kStoreHeaderSize, 1});
  return file;
}

// The file offset of entry i of the Index record that the index list's head
// names.
inline std::size_t IndexEntryAt(const Bytes& file, int32_t i) {
  return At(Le32(file, kIndexHead)) + At(kIndexArray) + 4 * At(i);
}

// The keys that the persisted index of a sorted store lists, in index order.
inline std::vector<std::string> IndexedKeys(const Bytes& file) {
  std::vector<std::string> keys;
  for (int32_t i = 0; i < Le32(file, kAllocatedHead + kHeadCount); ++i)
    keys.push_back(RecordAt(file, Le32(file, IndexEntryAt(file, i))).key);
  return keys;
}

// The keys of one chain in chain order, following lNext from the head.
inline std::vector<std::string> ChainKeys(const Bytes& file, std::size_t headOffset) {
  std::vector<std::string> keys;
  for (int32_t r = Le32(file, headOffset); r != 0 && keys.size() < file.size() / 32;
       r = RecordAt(file, r).next)
    keys.push_back(RecordAt(file, r).key);
  return keys;
}

// Compares two file images and names the first differing offset.
inline ::testing::AssertionResult SameBytes(const Bytes& actual, const Bytes& expected) {
  const auto diff = std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end());
  if (diff.first == actual.end() && diff.second == expected.end())
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "first difference at offset " << (diff.first - actual.begin()) << " (sizes "
         << actual.size() << " and " << expected.size() << ")";
}

// Test base: a fresh temporary directory, and every store opened through
// Create or Open closed at the end even when an assertion ends the test
// early, so the next test starts with all slots free. TearDown runs before
// the directory is removed, so no store file is still open then.
class StoreTest : public ::testing::Test {
 protected:
  using Entries = std::initializer_list<std::pair<std::string, std::string_view>>;

  void TearDown() override {
    for (StoreHandle handle : handles_) BdbClose(handle);
    handles_.clear();
  }

  std::string Path(const std::string& name) const { return (dir_.path() / name).string(); }

  StoreHandle Create(const std::string& name, int32_t flags) {
    return Track(BdbCreate(name.c_str(), flags));
  }
  StoreHandle Open(const std::string& name) { return Track(BdbOpen(name.c_str())); }
  StoreHandle Track(StoreHandle handle) {
    if (handle != nullptr) handles_.insert(handle);
    return handle;
  }
  // Creates a store, puts the entries in order and leaves it open.
  StoreHandle CreateWith(const std::string& name, int32_t flags, Entries entries) {
    StoreHandle store = Create(name, flags);
    EXPECT_NE(nullptr, store) << name;
    for (const auto& [key, value] : entries) EXPECT_EQ(1, Put(store, key, value)) << key;
    return store;
  }
  // The same, closed: the file's bytes.
  Bytes MakeStore(const std::string& name, int32_t flags, Entries entries) {
    EXPECT_EQ(1, BdbClose(CreateWith(name, flags, entries)));
    return ReadFileBytes(name);
  }
  Bytes CloseAndRead(StoreHandle store, const std::string& name) {
    EXPECT_EQ(1, BdbClose(store));
    return ReadFileBytes(name);
  }

  static int Put(StoreHandle store, const std::string& key, std::string_view value) {
    return BdbPut(store, key.c_str(), value.data(), static_cast<int32_t>(value.size()));
  }
  // The value of key, or "<absent>".
  static std::string Get(StoreHandle store, const std::string& key) {
    int32_t size = -1;
    if (BdbGetSize(store, key.c_str(), &size) != 1) return "<absent>";
    std::string value(At(size), '\0');
    if (BdbRead(store, key.c_str(), value.data(), size) != 1) return "<unreadable>";
    return value;
  }
  static StoreStats Stats(StoreHandle store) {
    StoreStats stats{-1, -1, -1, -1};
    EXPECT_EQ(1, BdbGetStats(store, &stats));
    return stats;
  }
  // The statistics as {allocated, free, index, flags}, for comparing whole.
  static std::vector<int32_t> Counts(StoreHandle store) {
    const StoreStats s = Stats(store);
    return {s.lAllocatedCount, s.lFreeCount, s.lIndexCount, s.lFlags};
  }
  // The keys that BdbListPrefix gives, or {"<none>"}. The block is read by
  // its count, so an empty key is listed too, and must end in an extra NUL.
  static std::vector<std::string> List(StoreHandle store, const char* prefix) {
    int32_t count = -7;
    char* block = BdbListPrefix(store, prefix, &count);
    if (block == nullptr) return {"<none>"};
    std::vector<std::string> keys;
    const char* p = block;
    for (int32_t i = 0; i < count; ++i, p += keys.back().size() + 1) keys.emplace_back(p);
    EXPECT_EQ('\0', *p) << "the key list must end with an extra NUL";
    BdbFree(block);
    return keys;
  }
  // What a dump writes, read back from a binary stream so no line ends are
  // translated.
  std::string DumpText(void (*dump)(StoreHandle, FILE*), StoreHandle store) {
    const std::string name = Path("dump.txt");
    FILE* stream = std::fopen(name.c_str(), "w+b");
    if (stream == nullptr) return "<no stream>";
    dump(store, stream);
    std::fclose(stream);
    const Bytes bytes = ReadFileBytes(name);
    return std::string(bytes.begin(), bytes.end());
  }

  TempDir dir_;
  std::set<StoreHandle> handles_;
};

}  // namespace kvs_test

#endif  // KVS_STORE_TESTS_STORE_TEST_UTIL_H
