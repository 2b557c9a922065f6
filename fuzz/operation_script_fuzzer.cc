// operation_script_fuzzer.cc: the input is a script of store operations
// (create, put, delete, size, read, prefix listing, compaction, reopening,
// held runs), run against the store and against a plain map of what the
// store must hold. Any disagreement aborts.
//
// The map is keyed by the key as the store compares it: cut to
// MAX_KEY_LENGTH bytes and, in a STORE_NOCASE store, with 'A'..'Z' folded.
// Keys come from a small alphabet so that they collide often. A script can
// also make the disk full: a put or a compaction may then fail, and the store
// must go on holding what it held before.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/input_reader.h"
#include "fuzz/memory_file_system.h"
#include "store/store.h"

namespace {

using kvs::fuzz::Bytes;
using kvs::fuzz::InputReader;
using kvs::fuzz::MemoryFileSystem;
using Model = std::map<std::string, std::string>;

constexpr char kName[] = "script.kvs";
constexpr char kCopyName[] = "copy.kvs";

void Check(bool condition) {
  if (!condition) std::abort();
}

std::string KeyForm(std::string key, int32_t flags) {
  if (key.size() > MAX_KEY_LENGTH) key.resize(MAX_KEY_LENGTH);
  if ((flags & STORE_NOCASE) != 0) {
    for (char& c : key) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return key;
}

std::string ShortKey(InputReader& in, std::size_t maxLength) {
  static constexpr char kAlphabet[] = {'a', 'A', 'b', 'B', 'x'};
  std::string key;
  const std::size_t length = in.Below(static_cast<unsigned>(maxLength) + 1);
  for (std::size_t i = 0; i < length; ++i) key += kAlphabet[in.Below(sizeof kAlphabet)];
  return key;
}

std::string Key(InputReader& in) {
  const unsigned kind = in.Below(16);
  if (kind < 13) return ShortKey(in, 4);
  if (kind == 13) return in.Byte() % 2 == 0 ? "Index" : "INDEX";
  if (kind == 14) return "";
  // Keys that differ only where the store cuts them are the same key.
  std::string key(MAX_KEY_LENGTH - 2 + in.Below(4), 'a');
  return key + ShortKey(in, 3);
}

std::string Value(InputReader& in) {
  const unsigned length = in.Byte();
  if (length < 200) return in.Take(length);
  return std::string((length - 200) * 64, static_cast<char>(in.Byte()));
}

// The allocated list as walked, in the map's key form.
std::vector<std::string>* g_walked = nullptr;
int32_t g_walkFlags = 0;
int CollectKey(StoreHandle, const char* key, int32_t) {
  g_walked->push_back(KeyForm(key, g_walkFlags));
  return 0;
}

// The store behind handle holds exactly model.
void CheckHolds(StoreHandle store, const Model& model, int32_t flags) {
  StoreStats stats;
  Check(BdbGetStats(store, &stats) == 1);
  Check(stats.lAllocatedCount == static_cast<int32_t>(model.size()));
  Check(stats.lFlags == flags);
  std::vector<std::string> walked;
  g_walked = &walked;
  g_walkFlags = flags;
  Check(BdbWalk(store, 0, CollectKey) == 1);
  g_walked = nullptr;
  std::sort(walked.begin(), walked.end());
  Check(std::adjacent_find(walked.begin(), walked.end()) == walked.end());
  Check(walked.size() == model.size());
  for (const std::string& key : walked) Check(model.count(key) == 1);
  for (const auto& [key, value] : model) {
    int32_t size = -1;
    Check(BdbGetSize(store, key.c_str(), &size) == 1);
    Check(size == static_cast<int32_t>(value.size()));
    std::string read(value.size(), '\0');
    Check(BdbRead(store, key.c_str(), read.data(), size) == 1);
    Check(read == value);
  }
}

class Script {
 public:
  Script(MemoryFileSystem& fs, InputReader& in) : fs_(fs), in_(in) {}
  ~Script() { BdbClose(store_); }

  void Run() {
    Create(in_.Byte() & 3);
    while (!in_.Done()) Step();
    FreeDisk();
    CheckHolds(store_, model_, flags_);
    Check(BdbClose(store_) == 1);
    store_ = BdbOpen(kName);
    Check(store_ != nullptr);
    CheckHolds(store_, model_, flags_);
  }

 private:
  void Step() {
    switch (in_.Below(15)) {
      case 0: Create(in_.Byte() & 3); break;
      case 1: case 2: Put(); break;
      case 3: Delete(); break;
      case 4: GetSize(); break;
      case 5: Read(); break;
      case 6: ListPrefix(); break;
      case 7: Compact(); break;
      case 8: Reopen(); break;
      case 9: Hold(); break;
      case 10: Flush(); break;
      case 11: CheckHolds(store_, model_, flags_); break;
      case 12: CheckFile(); break;
      case 13: FillDisk(); break;
      case 14: FreeDisk(); break;
    }
    // A held run leaves the file as it was when the run began.
    if (held_) Check(*fs_.Get(kName) == heldFile_);
  }

  void Create(int32_t flags) {
    FreeDisk();
    BdbClose(store_);
    store_ = BdbCreate(kName, flags);
    Check(store_ != nullptr);
    flags_ = flags;
    model_.clear();
    held_ = false;
  }

  void Put() {
    const std::string key = Key(in_);
    const std::string value = Value(in_);
    if (BdbPut(store_, key.c_str(), value.data(), static_cast<int32_t>(value.size())) == 1) {
      model_[KeyForm(key, flags_)] = value;
      return;
    }
    // Only a full disk makes a put fail; the store and its file then hold
    // what they held before.
    Check(diskFull_);
    FreeDisk();
    CheckHolds(store_, model_, flags_);
    CheckFile();
  }

  void Delete() {
    const std::string key = Key(in_);
    const bool present = model_.count(KeyForm(key, flags_)) == 1;
    const int deleted = BdbDelete(store_, key.c_str());
    if (deleted == 1 || !present) {
      Check(deleted == (present ? 1 : 0));
      model_.erase(KeyForm(key, flags_));
      return;
    }
    // A delete changes bytes in place, but its commit first saves them in
    // the journal: on a full disk that fails, and the store and its file
    // then hold what they held before.
    Check(diskFull_);
    FreeDisk();
    CheckHolds(store_, model_, flags_);
    CheckFile();
  }

  void GetSize() {
    const std::string key = Key(in_);
    const auto entry = model_.find(KeyForm(key, flags_));
    int32_t size = -1;
    const int present = BdbGetSize(store_, key.c_str(), &size);
    Check(present == (entry != model_.end() ? 1 : 0));
    Check(present ? size == static_cast<int32_t>(entry->second.size()) : size == -1);
  }

  void Read() {
    const std::string key = Key(in_);
    const int32_t bufferSize = static_cast<int32_t>(in_.Byte()) - 8;
    const auto entry = model_.find(KeyForm(key, flags_));
    std::string buffer(bufferSize > 0 ? static_cast<std::size_t>(bufferSize) + 1 : 1, '#');
    const int present = BdbRead(store_, key.c_str(), buffer.data(), bufferSize);
    Check(present == (entry != model_.end() ? 1 : 0));
    // The copy is min(value length, bufferSize) bytes; nothing after it.
    std::size_t copied = 0;
    if (present && bufferSize > 0) {
      copied = std::min(entry->second.size(), static_cast<std::size_t>(bufferSize));
      Check(buffer.compare(0, copied, entry->second, 0, copied) == 0);
    }
    for (std::size_t i = copied; i < buffer.size(); ++i) Check(buffer[i] == '#');
  }

  void ListPrefix() {
    const std::string prefix = ShortKey(in_, 2);
    const std::string form = KeyForm(prefix, flags_);
    std::vector<std::string> expected;
    if ((flags_ & STORE_SORTED) != 0) {
      for (auto key = model_.lower_bound(form);
           key != model_.end() && key->first.compare(0, form.size(), form) == 0; ++key) {
        expected.push_back(key->first);
      }
    }
    int32_t count = -1;
    char* block = BdbListPrefix(store_, prefix.c_str(), &count);
    if (expected.empty()) {
      Check(block == nullptr && count == -1);
      return;
    }
    Check(block != nullptr && count == static_cast<int32_t>(expected.size()));
    const char* key = block;
    for (const std::string& want : expected) {
      const std::string listed(key);
      Check(KeyForm(listed, flags_) == want);
      key += listed.size() + 1;
    }
    Check(*key == '\0');
    BdbFree(block);
  }

  void Compact() {
    const int compacted = BdbCompact(store_);
    held_ = false;
    if (compacted == 1) return;
    // The old store stays whole and open.
    Check(diskFull_);
    FreeDisk();
    CheckHolds(store_, model_, flags_);
    CheckFile();
  }

  // The disk fills up at the store's length and a few more bytes. Held runs
  // grow the file only when they end, so the disk fills only outside them.
  void FillDisk() {
    const int64_t room = in_.Byte() * 8;
    if (held_) return;
    fs_.SetMaxLength(static_cast<int64_t>(fs_.Get(kName)->size()) + room);
    diskFull_ = true;
  }

  void FreeDisk() {
    fs_.SetMaxLength(MemoryFileSystem::kDefaultMaxLength);
    diskFull_ = false;
  }

  void Reopen() {
    FreeDisk();
    Check(BdbClose(store_) == 1);
    store_ = BdbOpen(kName);
    Check(store_ != nullptr);
    held_ = false;
  }

  void Hold() {
    FreeDisk();
    Check(BdbHoldWrites(store_) == 1);
    if (!held_) {
      heldFile_ = *fs_.Get(kName);
      heldModel_ = model_;
    }
    held_ = true;
  }

  void Flush() {
    Check(BdbFlush(store_) == 1);
    held_ = false;
  }

  // The file, opened as it is now by another handle, holds every change
  // made so far, or, while writes are held, what it held when the run began.
  void CheckFile() {
    FreeDisk();
    fs_.Put(kCopyName, *fs_.Get(kName));
    StoreHandle copy = BdbOpen(kCopyName);
    Check(copy != nullptr);
    CheckHolds(copy, held_ ? heldModel_ : model_, flags_);
    Check(BdbClose(copy) == 1);
    Check(fs_.Delete(kCopyName));
  }

  MemoryFileSystem& fs_;
  InputReader& in_;
  StoreHandle store_ = nullptr;
  int32_t flags_ = 0;
  Model model_;
  bool held_ = false;
  bool diskFull_ = false;
  Bytes heldFile_;
  Model heldModel_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  MemoryFileSystem fs;
  kvs::fuzz::ScopedFileSystem installed(fs);
  InputReader in(data, size);
  Script(fs, in).Run();
  return 0;
}
