// journal.cc: writing, applying and removing the rollback journal.
#include "store/journal.h"

#include <cctype>
#include <cstring>
#include <utility>

#include "store/errors.h"
#include "store/format.h"

namespace kvs {
namespace {

constexpr unsigned char kJournalMagic[8] = {'K', 'V', 'S', 'J', 'R', 'N', 'L', '1'};
constexpr int32_t kRollbackKind = 1;
constexpr int32_t kCompactionKind = 2;
constexpr std::size_t kChunk = 64 * 1024;

uint32_t Fnv1a(uint32_t hash, const unsigned char* bytes, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    hash ^= bytes[i];
    hash *= 16777619u;
  }
  return hash;
}
constexpr uint32_t kFnvBasis = 2166136261u;

// Writes a journal through one buffer, keeping its checksum as it goes.
class JournalWriter {
 public:
  explicit JournalWriter(StoreFile& file) : file_(file) {}

  void Bytes(const void* data, std::size_t n) {
    const auto* in = static_cast<const unsigned char*>(data);
    checksum_ = Fnv1a(checksum_, in, n);
    buffer_.insert(buffer_.end(), in, in + n);
    if (buffer_.size() >= kChunk) Drain();
  }
  void Int32(int32_t value) { Integer(static_cast<uint64_t>(static_cast<uint32_t>(value)), 4); }
  void Int64(int64_t value) { Integer(static_cast<uint64_t>(value), 8); }
  // Appends the checksum and writes what is buffered; false when any write
  // came up short.
  bool Close() {
    const uint32_t sum = checksum_;
    Integer(sum, 4);
    Drain();
    return ok_;
  }

 private:
  void Integer(uint64_t value, int bytes) {
    unsigned char out[8];
    for (int i = 0; i < bytes; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
    Bytes(out, static_cast<std::size_t>(bytes));
  }
  void Drain() {
    if (ok_ && !buffer_.empty()) ok_ = file_.Write(buffer_.data(), buffer_.size()) == buffer_.size();
    buffer_.clear();
  }

  StoreFile& file_;
  std::vector<unsigned char> buffer_;
  uint32_t checksum_ = kFnvBasis;
  bool ok_ = true;
};

// Reads a journal's fields in order; any read past its end fails.
class JournalReader {
 public:
  JournalReader(const unsigned char* bytes, std::size_t size) : bytes_(bytes), size_(size) {}
  bool Take(std::size_t n, const unsigned char** at) {
    if (n > size_ - offset_) return false;
    *at = bytes_ + offset_;
    offset_ += n;
    return true;
  }
  bool Int64(int64_t* value) {
    uint64_t v = 0;
    if (!Unsigned(8, &v)) return false;
    *value = static_cast<int64_t>(v);
    return true;
  }
  bool Int32(int32_t* value) {
    uint64_t v = 0;
    if (!Unsigned(4, &v)) return false;
    *value = static_cast<int32_t>(static_cast<uint32_t>(v));
    return true;
  }
  bool AtEnd() const { return offset_ == size_; }

 private:
  // The next n little-endian bytes as a number.
  bool Unsigned(std::size_t n, uint64_t* value) {
    const unsigned char* at = nullptr;
    if (!Take(n, &at)) return false;
    *value = 0;
    for (std::size_t i = n; i > 0; --i) *value = (*value << 8) | at[i - 1];
    return true;
  }

  const unsigned char* bytes_;
  std::size_t size_;
  std::size_t offset_ = 0;
};

struct SavedRange {
  int64_t offset;
  const unsigned char* bytes;
  std::size_t n;
};

// A journal as read back; complete only when every field and the checksum
// are there and agree.
struct ParsedJournal {
  int32_t kind = 0;
  int64_t length = 0;
  std::vector<SavedRange> ranges;
  std::string tempName;
};

bool Parse(const std::vector<unsigned char>& bytes, ParsedJournal* journal) {
  if (bytes.size() < sizeof kJournalMagic + 4) return false;
  const std::size_t body = bytes.size() - 4;
  uint32_t stored = 0;
  for (int i = 3; i >= 0; --i) stored = (stored << 8) | bytes[body + static_cast<std::size_t>(i)];
  if (Fnv1a(kFnvBasis, bytes.data(), body) != stored) return false;
  if (std::memcmp(bytes.data(), kJournalMagic, sizeof kJournalMagic) != 0) return false;

  JournalReader reader(bytes.data(), body);
  const unsigned char* magic = nullptr;
  int32_t count = 0;
  if (!reader.Take(sizeof kJournalMagic, &magic) || !reader.Int32(&journal->kind) ||
      !reader.Int64(&journal->length) || !reader.Int32(&count) || journal->length < 0 ||
      count < 0) {
    return false;
  }
  for (int32_t i = 0; i < count; ++i) {
    int64_t offset = 0, n = 0;
    const unsigned char* at = nullptr;
    if (journal->kind == kRollbackKind) {
      if (!reader.Int64(&offset) || !reader.Int64(&n) || offset < 0 || n < 0 ||
          offset > journal->length || n > journal->length - offset ||
          !reader.Take(static_cast<std::size_t>(n), &at)) {
        return false;
      }
      // Points into bytes, which outlives the parse.
      journal->ranges.push_back({offset, at, static_cast<std::size_t>(n)});
    } else if (journal->kind == kCompactionKind) {
      int32_t length = 0;
      if (!reader.Int32(&length) || length < 0 || !reader.Take(static_cast<std::size_t>(length), &at)) {
        return false;
      }
      journal->tempName.assign(reinterpret_cast<const char*>(at), static_cast<std::size_t>(length));
    } else {
      return false;
    }
  }
  return reader.AtEnd();
}

// The whole of a file; false when it cannot be read.
bool ReadAll(const std::string& name, std::vector<unsigned char>* bytes) {
  std::unique_ptr<StoreFile> file = ActiveFileSystem().Open(name.c_str(), OpenMode::kRead);
  if (!file) return false;
  const int64_t length = file->Length();
  if (length < 0) return false;
  bytes->resize(static_cast<std::size_t>(length));
  return file->Read(bytes->data(), bytes->size()) == bytes->size();
}

// Puts the saved bytes and length back into the store.
bool Apply(StoreFile& store, const ParsedJournal& journal, bool sync) {
  for (const SavedRange& range : journal.ranges) {
    if (!store.Seek(range.offset) || store.Write(range.bytes, range.n) != range.n) return false;
  }
  return store.SetLength(journal.length) && store.Flush() && (!sync || store.Sync());
}

// A compaction's temporary file lies beside the store and is named after
// it: a journal naming any other file is not one this store wrote.
bool IsSiblingTempName(const std::string& temp, const std::string& storeName) {
  const std::size_t slash = storeName.find_last_of("/\\");
  const std::size_t dirLength = slash == std::string::npos ? 0 : slash + 1;
  if (temp.size() <= dirLength + 4 || temp.compare(0, dirLength, storeName, 0, dirLength) != 0) {
    return false;
  }
  if (temp.find_first_of("/\\", dirLength) != std::string::npos) return false;
  const std::string tail = temp.substr(temp.size() - 4);
  return tail[0] == '.' && std::isdigit(static_cast<unsigned char>(tail[1])) &&
         std::isdigit(static_cast<unsigned char>(tail[2])) &&
         std::isdigit(static_cast<unsigned char>(tail[3]));
}

}  // namespace

std::string JournalNameOf(const std::string& storeName) { return storeName + "-journal"; }

Journal::Journal(std::string storeName) : name_(JournalNameOf(storeName)) {}

bool Journal::Save(StoreFile& store, int64_t length, const std::vector<ByteRange>& ranges) {
  FileSystem& fs = ActiveFileSystem();
  std::unique_ptr<StoreFile> out = fs.Open(name_.c_str(), OpenMode::kCreate);
  if (!out) return false;
  std::vector<ByteRange> saved;
  saved.reserve(ranges.size());
  for (const ByteRange& range : ranges) {
    const int64_t end = range.end < length ? range.end : length;
    if (range.start < end) saved.push_back({range.start, end});
  }
  JournalWriter writer(*out);
  writer.Bytes(kJournalMagic, sizeof kJournalMagic);
  writer.Int32(kRollbackKind);
  writer.Int64(length);
  writer.Int32(static_cast<int32_t>(saved.size()));
  std::vector<unsigned char> chunk(kChunk);
  bool read = true;
  for (const ByteRange& range : saved) {
    writer.Int64(range.start);
    writer.Int64(range.end - range.start);
    if (!store.Seek(range.start)) read = false;
    for (int64_t at = range.start; read && at < range.end;) {
      const auto n = static_cast<std::size_t>(
          range.end - at < static_cast<int64_t>(kChunk) ? range.end - at : int64_t{kChunk});
      read = store.Read(chunk.data(), n) == n;
      writer.Bytes(chunk.data(), n);
      at += static_cast<int64_t>(n);
    }
  }
  // The journal's name must outlive a loss of power too before any store
  // byte changes: a store changed half without its journal is lost.
  const bool whole = read && writer.Close() && out->Flush() &&
                     (!sync_ || (out->Sync() && fs.SyncFolderOf(name_.c_str())));
  if (!whole) {
    out.reset();
    fs.Delete(name_.c_str());
  }
  return whole;
}

bool Journal::Finish() {
  FileSystem& fs = ActiveFileSystem();
  if (fs.Delete(name_.c_str()) || fs.Missing(name_.c_str())) {
    // Forced so that a loss of power cannot bring the journal back to undo
    // a synced commit (the same sync makes a compaction's new store name
    // last). Once removed, the journal is gone for every open: a failed
    // sync cannot undo that, and the commit stands.
    if (sync_) fs.SyncFolderOf(name_.c_str());
    return true;
  }
  // A journal that cannot be removed is emptied instead: an empty journal
  // is an incomplete one, which an open ignores.
  std::unique_ptr<StoreFile> out = fs.Open(name_.c_str(), OpenMode::kCreate);
  return out != nullptr && (!sync_ || out->Sync());
}

bool Journal::RollBack(StoreFile& store) {
  std::vector<unsigned char> bytes;
  ParsedJournal journal;
  if (!ReadAll(name_, &bytes) || !Parse(bytes, &journal) || journal.kind != kRollbackKind) {
    return false;
  }
  return Apply(store, journal, sync_) && Finish();
}

bool Journal::BeginCompaction(const std::string& tempName) {
  FileSystem& fs = ActiveFileSystem();
  std::unique_ptr<StoreFile> out = fs.Open(name_.c_str(), OpenMode::kCreate);
  if (!out) return false;
  JournalWriter writer(*out);
  writer.Bytes(kJournalMagic, sizeof kJournalMagic);
  writer.Int32(kCompactionKind);
  writer.Int64(0);
  writer.Int32(1);
  writer.Int32(static_cast<int32_t>(tempName.size()));
  writer.Bytes(tempName.data(), tempName.size());
  const bool whole = writer.Close() && out->Flush() && (!sync_ || out->Sync());
  if (!whole) {
    out.reset();
    fs.Delete(name_.c_str());
  }
  return whole;
}

enum class TempFileState { kNotOurs, kLeftOver, kInUse };

// What the file a compaction's journal names is: left over when it is
// empty (created, nothing written yet), grown but not yet written (zeros
// where the magic goes), or a store, however far it got; in use while the
// compaction that fills it holds its lock.
TempFileState TempFileStateOf(const std::string& name) {
  std::unique_ptr<StoreFile> file = ActiveFileSystem().Open(name.c_str(), OpenMode::kRead);
  if (!file) return TempFileState::kNotOurs;
  unsigned char magic[sizeof kMagic];
  const std::size_t got = file->Read(magic, sizeof magic);
  static const unsigned char kZeros[sizeof kMagic] = {};
  const bool ours = (got == 0 && file->Length() == 0) ||
                    (got == sizeof magic && (std::memcmp(magic, kMagic, sizeof magic) == 0 ||
                                             std::memcmp(magic, kZeros, sizeof magic) == 0));
  if (!ours) return TempFileState::kNotOurs;
  return file->Lock(true) ? TempFileState::kLeftOver : TempFileState::kInUse;
}

// Removes a compaction's temporary file that the journal names; false when
// that compaction is still running.
bool RemoveTempFile(const ParsedJournal& journal, const std::string& storeName) {
  if (journal.kind != kCompactionKind || !IsSiblingTempName(journal.tempName, storeName)) {
    return true;
  }
  switch (TempFileStateOf(journal.tempName)) {
    case TempFileState::kInUse:
      return false;
    case TempFileState::kLeftOver:
      ActiveFileSystem().Delete(journal.tempName.c_str());
      return true;
    case TempFileState::kNotOurs:
      return true;
  }
  return true;
}

Recovery RecoverStore(StoreFile& store, const std::string& storeName) {
  FileSystem& fs = ActiveFileSystem();
  const std::string name = JournalNameOf(storeName);
  if (fs.Missing(name.c_str())) return Recovery::kNothing;
  std::vector<unsigned char> bytes;
  if (!ReadAll(name, &bytes)) {
    NoteError(BDB_IO);
    return Recovery::kFailed;
  }
  // An incomplete journal was cut short before the store changed. Whatever
  // a complete one says is done before it goes: if this open dies too, the
  // next one does the same work again.
  ParsedJournal journal;
  if (Parse(bytes, &journal)) {
    if (journal.kind == kRollbackKind && !Apply(store, journal, true)) {
      NoteError(BDB_IO);
      return Recovery::kFailed;
    }
    if (!RemoveTempFile(journal, storeName)) return Recovery::kFailed;  // noted BDB_LOCKED
  }
  if (!fs.Delete(name.c_str())) {
    NoteError(BDB_IO);
    return Recovery::kFailed;
  }
  return Recovery::kRecovered;
}

bool DiscardJournal(const std::string& storeName) {
  FileSystem& fs = ActiveFileSystem();
  const std::string name = JournalNameOf(storeName);
  if (fs.Missing(name.c_str())) return true;
  std::vector<unsigned char> bytes;
  ParsedJournal journal;
  if (ReadAll(name, &bytes) && Parse(bytes, &journal) && !RemoveTempFile(journal, storeName)) {
    return false;  // noted BDB_LOCKED
  }
  if (fs.Delete(name.c_str())) return true;
  NoteError(BDB_IO);
  return false;
}

}  // namespace kvs
