// memory_file_system.h: a FileSystem whose files are byte vectors in memory,
// for the fuzz targets: fast, touches no disk, and lets a target see every
// file the store made and what each one holds.
#ifndef KVS_FUZZ_MEMORY_FILE_SYSTEM_H
#define KVS_FUZZ_MEMORY_FILE_SYSTEM_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "store/os/store_file.h"

namespace kvs::fuzz {

using Bytes = std::vector<unsigned char>;

// One open file: the shared bytes of its name (they outlive a Delete or a
// Replace of that name, as on POSIX), a position of its own, and the length
// no file may pass, shared with the file system that can change it.
class MemoryFile final : public StoreFile {
 public:
  MemoryFile(std::shared_ptr<Bytes> bytes, std::shared_ptr<const int64_t> maxLength)
      : bytes_(std::move(bytes)), maxLength_(std::move(maxLength)) {}

  std::size_t Read(void* buffer, std::size_t n) override {
    const std::size_t size = bytes_->size();
    const std::size_t at = std::min(position_, size);
    const std::size_t count = std::min(n, size - at);
    if (count > 0) std::memcpy(buffer, bytes_->data() + at, count);
    position_ = at + count;
    return count;
  }
  std::size_t Write(const void* data, std::size_t n) override {
    if (n == 0) return 0;
    if (bytes_->size() < position_ + n) {
      if (static_cast<int64_t>(position_ + n) > *maxLength_) return 0;  // a full disk
      bytes_->resize(position_ + n);
    }
    std::memcpy(bytes_->data() + position_, data, n);
    position_ += n;
    return n;
  }
  bool Seek(int64_t offset) override {
    if (offset < 0) return false;
    position_ = static_cast<std::size_t>(offset);
    return true;
  }
  int64_t Tell() override { return static_cast<int64_t>(position_); }
  bool Flush() override { return true; }
  int64_t Length() override { return static_cast<int64_t>(bytes_->size()); }
  bool SetLength(int64_t length) override {
    if (length < 0 || (length > Length() && length > *maxLength_)) return false;
    bytes_->resize(static_cast<std::size_t>(length));
    return true;
  }
  bool Sync() override { return true; }
  const unsigned char* View(int64_t offset, std::size_t n) override {
    static const unsigned char kNothing = 0;
    if (offset < 0 || static_cast<uint64_t>(offset) + n > bytes_->size()) return nullptr;
    return n == 0 ? &kNothing : bytes_->data() + offset;
  }

 private:
  std::shared_ptr<Bytes> bytes_;
  std::shared_ptr<const int64_t> maxLength_;
  std::size_t position_ = 0;
};

// Files by name. Growth past the longest length fails as on a full disk, so
// that no input can make a target take unbounded memory, and so that targets
// can make room run out on purpose.
class MemoryFileSystem final : public FileSystem {
 public:
  static constexpr int64_t kDefaultMaxLength = int64_t{64} << 20;

  // From now on, for files already open too, no file grows past maxLength.
  void SetMaxLength(int64_t maxLength) { *maxLength_ = maxLength; }

  void Put(const std::string& name, Bytes bytes) {
    files_[name] = std::make_shared<Bytes>(std::move(bytes));
  }
  // The bytes of the named file; null when there is none.
  const Bytes* Get(const std::string& name) const {
    const auto file = files_.find(name);
    return file != files_.end() ? file->second.get() : nullptr;
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& file : files_) names.push_back(file.first);
    return names;
  }
  void Clear() { files_.clear(); }

  std::unique_ptr<StoreFile> Open(const char* name, OpenMode mode,
                                  OpenError* error = nullptr) override {
    if (error != nullptr) *error = OpenError::kNone;
    auto file = files_.find(name);
    const bool exists = file != files_.end();
    const bool exclusive = mode == OpenMode::kCreateExclusive || mode == OpenMode::kCreateNew;
    if (exclusive && exists) {
      if (error != nullptr) *error = OpenError::kExists;
      return nullptr;
    }
    if ((mode == OpenMode::kRead || mode == OpenMode::kUpdate) && !exists) {
      if (error != nullptr) *error = OpenError::kOther;
      return nullptr;
    }
    if (mode == OpenMode::kCreate || exclusive ||
        (mode == OpenMode::kOpenOrCreate && !exists)) {
      file = files_.insert_or_assign(name, std::make_shared<Bytes>()).first;
    }
    return std::make_unique<MemoryFile>(file->second, maxLength_);
  }
  bool Delete(const char* name) override { return files_.erase(name) > 0; }
  bool Replace(const char* from, const char* to) override {
    const auto file = files_.find(from);
    if (file == files_.end()) return false;
    std::shared_ptr<Bytes> bytes = file->second;
    files_.erase(file);
    files_[to] = std::move(bytes);
    return true;
  }
  bool Missing(const char* name) override { return files_.count(name) == 0; }
  // Names are whole already; files have one name and no permissions.
  std::string FullName(const char* name) override { return name; }
  int LinkCount(const char* /*name*/) override { return 1; }
  bool ReplacesOpenFiles() override { return true; }
  bool NameFits(const char* name) override { return name != nullptr; }
  bool CopyPermissions(const char* /*from*/, const char* /*to*/) override { return true; }

 private:
  std::map<std::string, std::shared_ptr<Bytes>> files_;
  std::shared_ptr<int64_t> maxLength_ = std::make_shared<int64_t>(kDefaultMaxLength);
};

using ScopedFileSystem = kvs::ScopedFileSystem;

}  // namespace kvs::fuzz

#endif  // KVS_FUZZ_MEMORY_FILE_SYSTEM_H
