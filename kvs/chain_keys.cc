// chain_keys.cc: chain records through the public walk and dumps.
//
// The public interface gives a record's data capacity and key length only
// in the dumps, so the sizes are read back from a dump written to a
// temporary file. The keys, known from the walk, are matched exactly, so a
// key holding line ends cannot be mistaken for the lines around it.
#include "kvs/chain_keys.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>

namespace kvs_tool {
namespace {

int Collect(StoreHandle /*store*/, const char* key, int32_t lBytesUsed, void* context) {
  auto* records = static_cast<std::vector<ChainRecord>*>(context);
  records->push_back(ChainRecord{key, lBytesUsed, 0, 0});
  return 0;
}

// A file for the dump, gone when the object goes: the C library's
// temporary file, or, where that cannot be made (Windows makes it in the
// root of the drive), a file of its own in the temporary directory.
class ScratchFile {
 public:
  ScratchFile() : file_(std::tmpfile()) {
    if (file_ != nullptr) return;
    std::error_code error;
    const auto directory = std::filesystem::temp_directory_path(error);
    if (error) return;
    std::random_device random;
    name_ = (directory / ("kvs-" + std::to_string(random()) + ".tmp")).string();
    file_ = std::fopen(name_.c_str(), "w+b");
    if (file_ == nullptr) name_.clear();
  }
  ~ScratchFile() {
    if (file_ != nullptr) std::fclose(file_);
    if (!name_.empty()) std::remove(name_.c_str());
  }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  std::FILE* get() const { return file_; }

 private:
  std::FILE* file_;
  std::string name_;  // set when the file is this object's own
};

// Takes text from the dump; false when it is not there.
bool Expect(const std::string& dump, std::size_t* at, const std::string& text) {
  if (dump.compare(*at, text.size(), text) != 0) return false;
  *at += text.size();
  return true;
}

// Takes "LABEL NUMBER\n".
bool ExpectNumber(const std::string& dump, std::size_t* at, const char* label, int32_t* value) {
  if (!Expect(dump, at, label)) return false;
  const std::size_t end = dump.find('\n', *at);
  if (end == std::string::npos) return false;
  const std::string digits = dump.substr(*at, end - *at);
  char* stop = nullptr;
  const long number = std::strtol(digits.c_str(), &stop, 10);
  if (digits.empty() || *stop != '\0') return false;
  *value = static_cast<int32_t>(number);
  *at = end + 1;
  return true;
}

}  // namespace

bool ChainRecords(StoreHandle store, int list, std::vector<ChainRecord>* records) {
  records->clear();
  return BdbWalkWithContext(store, list, Collect, records) == 1;
}

bool ReadRecordSizes(StoreHandle store, int list, std::vector<ChainRecord>* records) {
  ScratchFile file;
  if (file.get() == nullptr) return false;
  if (list == kFreeList) {
    BdbDumpFree(store, file.get());
  } else {
    BdbDumpAllocated(store, file.get());
  }
  std::string dump;
  std::rewind(file.get());
  char block[4096];
  std::size_t got = 0;
  while ((got = std::fread(block, 1, sizeof block, file.get())) > 0) dump.append(block, got);

  std::size_t at = dump.find('\n', 1);  // past the banner
  if (at == std::string::npos) return false;
  ++at;
  int32_t ignored = 0;
  for (ChainRecord& record : *records) {
    if (!Expect(dump, &at, "\nName:             " + record.key + "\n") ||
        !ExpectNumber(dump, &at, "lBytesAllocated:  ", &record.lBytesAllocated) ||
        !ExpectNumber(dump, &at, "lBytesUsed:       ", &ignored) ||
        !ExpectNumber(dump, &at, "lNameLength:      ", &record.lNameLength) ||
        !ExpectNumber(dump, &at, "lPrev:            ", &ignored) ||
        !ExpectNumber(dump, &at, "lNext:            ", &ignored)) {
      return false;
    }
  }
  return at == dump.size();
}

bool ReadStoreValue(StoreHandle store, const std::string& key, std::string* value) {
  int32_t size = 0;
  if (!BdbGetSize(store, key.c_str(), &size)) return false;
  value->assign(static_cast<std::size_t>(size), '\0');
  return BdbRead(store, key.c_str(), value->data(), size) == 1;
}

int WalkedWhole(StoreHandle store, std::size_t walked) {
  StoreStats stats{};
  if (!BdbGetStats(store, &stats)) return BdbLastError();
  if (walked != static_cast<std::size_t>(stats.lAllocatedCount)) return BDB_DAMAGED;
  if ((stats.lFlags & STORE_SORTED) == 0 || walked == 0) return BDB_OK;
  int32_t indexed = 0;
  char* keys = BdbListPrefix(store, "", &indexed);
  if (keys == nullptr) return BdbLastError() == BDB_NO_MEMORY ? BDB_NO_MEMORY : BDB_DAMAGED;
  BdbFree(keys);
  return static_cast<std::size_t>(indexed) == walked ? BDB_OK : BDB_DAMAGED;
}

}  // namespace kvs_tool
