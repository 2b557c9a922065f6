// key_index.cc: key comparison, the readers of record contents, and the
// sorted KeyIndex of a STORE_SORTED store with its persisted Index record.
#include "store/errors.h"
#include "store/index/key_index.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

namespace kvs {
namespace {

// Folds 'A'..'Z' to lower case when the store ignores case; no locale.
int KeyByte(const StoreSlot* slot, char c) {
  const auto byte = static_cast<unsigned char>(c);
  if (IsNoCase(*slot) && byte >= 'A' && byte <= 'Z') return byte + ('a' - 'A');
  return byte;
}

int32_t KeyCount(const StoreSlot* slot) { return slot->header.lhAllocated.lCount; }

void LogIndexChange(StoreSlot* slot, const IndexChange& change);


std::vector<int32_t> DecodeEntries(const unsigned char* bytes, int32_t count) {
  std::vector<int32_t> entries(static_cast<std::size_t>(count));
  for (int32_t i = 0; i < count; ++i) entries[static_cast<std::size_t>(i)] = DecodeInt32(bytes + 4 * i);
  return entries;
}

}  // namespace

int ComparePrefix(const StoreSlot* slot, const char* a, const char* b, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    const int ca = KeyByte(slot, a[i]);
    const int cb = KeyByte(slot, b[i]);
    if (ca != cb) return ca - cb;
    if (ca == 0) return 0;
  }
  return 0;
}

int CompareKeys(const StoreSlot* slot, const char* a, const char* b) {
  return ComparePrefix(slot, a, b, SIZE_MAX);
}

int CompareStoredKey(const StoreSlot* slot, const char* key, const char* stored,
                     std::size_t storedLength, std::size_t n) {
  const bool fold = IsNoCase(*slot);
  const auto byte = [fold](char c) {
    const auto b = static_cast<unsigned char>(c);
    return fold && b >= 'A' && b <= 'Z' ? b + ('a' - 'A') : int{b};
  };
  const std::size_t common = std::min(n, storedLength);
  for (std::size_t i = 0; i < common; ++i) {
    const int ca = byte(key[i]);
    const int cb = byte(stored[i]);
    if (ca != cb) return ca - cb;
    if (ca == 0) return 0;
  }
  // The stored key has ended: it sorts first unless key ends here too.
  return common < n ? byte(key[common]) : 0;
}

int32_t KeyMatchVisitor(StoreSlot* slot, const char* key, const RecordHeader& header,
                        void* userData) {
  if (CompareKeys(slot, key, static_cast<const char*>(userData)) != 0) return 0;
  return VisitedRecordOffset(slot, header);
}

const char* ReadRecordKey(StoreSlot* slot, int32_t offset, std::size_t* length) {
  RecordHeader header;
  if (offset <= 0 || !ReadRecordHeader(slot, offset, &header)) return nullptr;
  const auto n = static_cast<std::size_t>(header.lNameLength);
  const unsigned char* key = slot->pFile->View(int64_t{offset} + kRecordHeaderSize, n);
  if (key == nullptr) return nullptr;
  // A stored key ends at its first NUL, as it would once terminated.
  const void* nul = n > 0 ? std::memchr(key, 0, n) : nullptr;
  *length = nul != nullptr ? static_cast<std::size_t>(static_cast<const unsigned char*>(nul) - key) : n;
  return reinterpret_cast<const char*>(key);
}

std::unique_ptr<unsigned char[]> ReadRecordData(StoreSlot* slot, int32_t offset,
                                                RecordHeader* header) {
  RecordHeader local;
  if (!ReadRecordHeader(slot, offset, &local)) return nullptr;
  if (header != nullptr) *header = local;
  const auto length = static_cast<std::size_t>(local.lBytesAllocated);
  std::unique_ptr<unsigned char[]> data(new (std::nothrow) unsigned char[length]);
  if (!data) NoteError(BDB_NO_MEMORY);
  if (!data || !slot->pFile->Seek(int64_t{offset} + kRecordHeaderSize + local.lNameLength) ||
      slot->pFile->Read(data.get(), length) != length) {
    return nullptr;
  }
  return data;
}

namespace {

// The form in which the index holds a key and compares it: with 'A'..'Z'
// folded in a STORE_NOCASE store, so that plain unsigned byte order is the
// order of CompareKeys. (Folding a folded key changes nothing, so
// CompareStoredKey also compares a key with a held form correctly.)
std::string_view IndexForm(const StoreSlot* slot, const char* key, std::size_t length,
                           std::string* buffer) {
  if (!IsNoCase(*slot)) return {key, length};
  buffer->assign(key, length);
  for (char& c : *buffer) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
  }
  return *buffer;
}

int CompareForms(std::string_view a, std::string_view b) {
  const std::size_t common = std::min(a.size(), b.size());
  const int c = common > 0 ? std::memcmp(a.data(), b.data(), common) : 0;
  if (c != 0 || a.size() == b.size()) return c;
  return a.size() < b.size() ? -1 : 1;
}

// The first position whose held key does not sort before key.
std::size_t LowerBound(StoreSlot* slot, const char* key) {
  try {
    const std::string_view form = IndexForm(slot, key, std::strlen(key), &slot->keyForm);
    return slot->plKeyIndex.LowerBound(form.data(), form.size());
  } catch (const std::bad_alloc&) {  // no room for the folded form: fold byte by byte
    return slot->plKeyIndex.PartitionPoint([slot, key](const char* held, std::size_t length) {
      return CompareStoredKey(slot, key, held, length, SIZE_MAX) > 0;
    });
  }
}

}  // namespace

int32_t IndexSearch(StoreSlot* slot, const char* key, int32_t* lastProbe) {
  const std::size_t count = slot->plKeyIndex.size();
  if (count == 0) return -1;
  const std::size_t position = LowerBound(slot, key);
  if (lastProbe != nullptr) *lastProbe = static_cast<int32_t>(std::min(position, count - 1));
  if (position == count) return -1;
  std::size_t length = 0;
  const char* held = slot->plKeyIndex.KeyAt(position, &length);
  return CompareStoredKey(slot, key, held, length, SIZE_MAX) == 0 ? static_cast<int32_t>(position) : -1;
}

namespace {

uint32_t KeyHash(const StoreSlot* slot, const char* key, std::size_t length) {
  return KeyLookup::Hash(key, length, IsNoCase(*slot));
}

void BuildKeyLookup(StoreSlot* slot) {
  KeyLookup& lookup = slot->keyLookup;
  if (!lookup.Reset(slot->plKeyIndex.size())) return;
  slot->plKeyIndex.VisitKeys([&](int32_t offset, const char* key, std::size_t length) {
    lookup.Add(KeyHash(slot, key, length), offset);
  });
}

}  // namespace

int32_t IndexLookup(StoreSlot* slot, const char* key) {
  if (!slot->keyLookup.built()) BuildKeyLookup(slot);
  if (slot->keyLookup.built()) {
    bool unreadable = false;
    const int32_t found = slot->keyLookup.Find(
        KeyHash(slot, key, SIZE_MAX), [&](int32_t offset) {
          std::size_t length = 0;
          const char* stored = ReadRecordKey(slot, offset, &length);
          if (stored == nullptr) unreadable = true;
          return stored != nullptr && CompareStoredKey(slot, key, stored, length, SIZE_MAX) == 0;
        });
    if (found != 0 || !unreadable) return found;
  }
  // Without the table, or past a record it cannot read: the binary search.
  const int32_t position = IndexSearch(slot, key, nullptr);
  return position >= 0 ? slot->plKeyIndex.at(static_cast<std::size_t>(position)) : 0;
}

namespace {

// The record at offset seen in place, its header checked as ReadRecordHeader
// checks it; false when it cannot be.
bool ViewRecord(StoreSlot* slot, int32_t offset, RecordView* view) {
  BufferedFile* file = slot->pBuffer;
  std::size_t run = 0;
  const unsigned char* head = file->ViewLoadedRun(offset, &run);
  if (head == nullptr || run < static_cast<std::size_t>(kRecordHeaderSize)) {
    run = 0;
    head = offset >= kStoreHeaderSize ? file->View(offset, kRecordHeaderSize) : nullptr;
    if (head == nullptr) return false;
  }
  unsigned char bytes[kRecordHeaderSize];
  std::memcpy(bytes, head, sizeof bytes);
  DecodeRecordHeader(bytes, &view->header);
  if (!RecordFits(offset, view->header, file->Length())) return false;
  const std::size_t n = static_cast<std::size_t>(kRecordHeaderSize) +
                        static_cast<std::size_t>(view->header.lNameLength) +
                        static_cast<std::size_t>(view->header.lBytesUsed);
  // Mostly the record lies in the page of its header.
  view->inPage = n <= run;
  view->bytes = view->inPage ? head : file->View(offset, n);
  view->offset = offset;
  return view->bytes != nullptr;
}

// True when a stored key of storedLength bytes (ending early at a NUL it
// holds) equals key's length bytes (no NUL), as CompareStoredKey compares.
bool StoredKeyEquals(const char* key, std::size_t length, const unsigned char* stored,
                     std::size_t storedLength, bool fold) {
  if (storedLength < length || (storedLength > length && stored[length] != 0)) return false;
  if (length == 0 || std::memcmp(key, stored, length) == 0) return true;
  if (!fold) return false;
  for (std::size_t i = 0; i < length; ++i) {
    auto a = static_cast<unsigned char>(key[i]);
    auto b = stored[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<unsigned char>(a + ('a' - 'A'));
    if (b >= 'A' && b <= 'Z') b = static_cast<unsigned char>(b + ('a' - 'A'));
    if (a != b) return false;
  }
  return true;
}

}  // namespace

int SearchInPlace(StoreSlot* slot, const char* key, std::size_t length, bool fold,
                  const RecordView** found) {
  KeyLookup& lookup = slot->keyLookup;
  if (!lookup.built()) BuildKeyLookup(slot);
  if (!lookup.built()) return -1;
  // The candidates are seen in the view of the record found last, which
  // therefore stands for none until one matches.
  KeyLookup::Recent& recent = lookup.recent();
  RecordView* view = &recent.view;
  recent.file = nullptr;
  bool unreadable = false;
  const int32_t offset =
      lookup.Find(KeyLookup::HashBytes(key, length, fold), [&](int32_t candidate) {
        if (!ViewRecord(slot, candidate, view)) {
          unreadable = true;
          return false;
        }
        return StoredKeyEquals(key, length, view->bytes + kRecordHeaderSize,
                               static_cast<std::size_t>(view->header.lNameLength), fold);
      });
  if (offset == 0) return unreadable ? -1 : 0;
  if (view->inPage) {
    // A copy (a record across two pages) is not kept: the next use of the
    // file may overwrite it.
    const BufferedFile* file = slot->pBuffer;
    recent.file = file;
    recent.changes = file->Changes();
    recent.keyLength = length;
  }
  *found = view;
  return 1;
}

int32_t IndexInsertPosition(StoreSlot* slot, const char* key) {
  return static_cast<int32_t>(LowerBound(slot, key));
}

namespace {

// Notes a change of the array made after its last WriteIndex, while the
// Index record does not hold that write yet, so FlushIndex can still write
// the array as it was then. A long run of such changes is settled at once.
// True when the change was noted (and is to be dropped if not made).
bool NoteIndexChange(StoreSlot* slot, const IndexChange& change) {
  if (!slot->bIndexUnwritten) return false;
  constexpr std::size_t kMaxNotedChanges = 64;
  if (slot->indexChanges.size() < kMaxNotedChanges) {
    try {
      slot->indexChanges.push_back(change);
      return true;
    } catch (const std::bad_alloc&) {
      NoteError(BDB_NO_MEMORY);
    }
  }
  FlushIndex(slot);  // the change is not made yet, so this is the old array
  return false;
}

}  // namespace

void InsertionPositions::Prepare(const StoreSlot* source) {
  ranks_.clear();
  taken_.clear();
  next_ = 0;
  try {
    ranks_.reserve(source->plKeyIndex.size());
    int32_t rank = 0;
    source->plKeyIndex.VisitFrom(0, [&](int32_t offset) {
      ranks_.emplace_back(offset, rank++);
      return true;
    });
    std::sort(ranks_.begin(), ranks_.end());
    taken_.assign(ranks_.size() + 1, 0);
  } catch (const std::bad_alloc&) {
    ranks_.clear();
    taken_.clear();
  }
}

bool InsertionPositions::Prepared(const StoreSlot& source) const {
  return ranks_.size() == source.plKeyIndex.size() && taken_.size() == ranks_.size() + 1;
}

int32_t InsertionPositions::Take(int32_t offset) {
  // A walk mostly visits records in file order: the entry after the last
  // one taken is tried before a search.
  auto found = ranks_.begin() + static_cast<std::ptrdiff_t>(std::min(next_, ranks_.size()));
  if (found == ranks_.end() || found->first != offset) {
    found = std::lower_bound(ranks_.begin(), ranks_.end(), std::make_pair(offset, INT32_MIN));
  }
  if (found == ranks_.end() || found->first != offset) return -1;
  next_ = static_cast<std::size_t>(found - ranks_.begin()) + 1;
  const auto rank = static_cast<std::size_t>(found->second);
  int32_t before = 0;
  for (std::size_t i = rank; i > 0; i &= i - 1) before += taken_[i];
  for (std::size_t i = rank + 1; i < taken_.size(); i += i & (~i + 1)) ++taken_[i];
  return before;
}

int IndexInsert(StoreSlot* slot, int32_t offset, const char* key, int32_t position) {
  const int32_t count = KeyCount(slot);
  if (count > slot->lIndexCapacity) return 0;
  if (count == slot->lIndexCapacity && !IndexGrow(slot)) return 0;
  const int32_t p = position >= 0 ? position : IndexInsertPosition(slot, key);
  if (p < 0 || p >= slot->lIndexCapacity) return 0;
  const bool noted = NoteIndexChange(slot, IndexChange{true, p, offset});
  const std::size_t length = std::strlen(key);
  std::string_view form;
  try {
    if (slot->plKeyIndex.keyed()) form = IndexForm(slot, key, length, &slot->keyForm);
  } catch (const std::bad_alloc&) {
    NoteError(BDB_NO_MEMORY);
    if (noted) slot->indexChanges.pop_back();
    return 0;
  }
  if (!slot->plKeyIndex.Insert(static_cast<std::size_t>(p), offset, form.data(), length)) {
    if (noted) slot->indexChanges.pop_back();
    return 0;
  }
  slot->bIndexInRecord = false;
  if (slot->keyLookup.built()) slot->keyLookup.Add(KeyHash(slot, key, length), offset);
  LogIndexChange(slot, IndexChange{true, p, offset});
  return 1;
}

namespace {

// Leaves the array of the last WriteIndex to be produced later in the data
// area of the current Index record; false when memory for that is short.
bool DeferIndexImage(StoreSlot* slot) {
  const int64_t start = int64_t{slot->lIndexOffset} + kRecordHeaderSize + kIndexKeyLength;
  const HeldIndexImage image{slot->lIndexCapacity,
                             slot->heldIndexLog.size() - slot->indexChanges.size()};
  try {
    slot->heldIndexImages[start] = image;
  } catch (const std::bad_alloc&) {
    NoteError(BDB_NO_MEMORY);
    return false;
  }
  if (!slot->pBuffer->DeferRange(start, start + 4 * int64_t{image.lCapacity})) {
    slot->heldIndexImages.erase(start);
    return false;
  }
  slot->bIndexUnwritten = false;
  slot->indexChanges.clear();
  return true;
}

}  // namespace

int IndexGrow(StoreSlot* slot) {
  const int32_t oldCapacity = slot->lIndexCapacity;
  if (oldCapacity > INT32_MAX / 4 - kIndexGrowth) return 0;
  const int32_t newCapacity = oldCapacity + kIndexGrowth;
  // The old Index record keeps the array as it was last written; in a held
  // run that array is produced only if the run is written.
  StoreHeader& h = slot->header;
  const int32_t oldRecord = slot->lIndexOffset;
  if (slot->bIndexLogged && slot->bIndexUnwritten && !DeferIndexImage(slot)) return 0;
  if (!FlushIndex(slot)) return 0;
  if (!UnlinkRecord(slot, h.lhIndex, oldRecord)) return 0;
  if (!LinkRecordAtTail(slot, h.lhFree, oldRecord)) {
    LinkRecordAtTail(slot, h.lhIndex, oldRecord);
    return 0;
  }
  const int32_t newRecord = AppendRecord(slot, h.lhIndex, kIndexKey, newCapacity * 4, 0);
  if (newRecord == 0) {
    // The old Index record goes back to being the store's one Index record.
    UnlinkRecord(slot, h.lhFree, oldRecord);
    LinkRecordAtTail(slot, h.lhIndex, oldRecord);
    return 0;
  }
  slot->lIndexOffset = newRecord;
  slot->lIndexCapacity = newCapacity;
  slot->bIndexInRecord = false;
  WriteIndex(slot);
  return 1;
}

int IndexCreate(StoreSlot* slot) {
  const int32_t record = AppendRecord(slot, slot->header.lhIndex, kIndexKey, kIndexGrowth * 4, 0);
  if (record == 0) return 0;
  slot->lIndexOffset = record;
  slot->plKeyIndex.clear();
  slot->keyLookup.Clear();
  slot->lIndexCapacity = kIndexGrowth;
  slot->bIndexInRecord = false;
  WriteIndex(slot);
  return 1;
}

int IndexLoad(StoreSlot* slot, IndexEntries* known) {
  const int32_t record = WalkChain(slot, slot->header.lhIndex.lFirst, KeyMatchVisitor,
                                   const_cast<char*>(kIndexKey));
  if (record <= 0) return 0;
  RecordHeader header;
  auto data = ReadRecordData(slot, record, &header);
  if (!data) return 0;
  const auto capacity = static_cast<int32_t>(static_cast<uint32_t>(header.lBytesAllocated) / 4);
  // The array must end in at least one 0 entry: entries in use lie inside
  // the file, in ascending key order, and every entry after them is 0.
  int32_t count = KeyCount(slot);
  if (capacity < 1 || count < 0 || count >= capacity) return 0;
  std::vector<int32_t> entries;
  try {
    entries = DecodeEntries(data.get(), count);
  } catch (const std::bad_alloc&) {
    NoteError(BDB_NO_MEMORY);
    return 0;
  }
  for (int32_t i = count; i < capacity; ++i) {
    if (DecodeInt32(data.get() + 4 * i) != 0) return 0;
  }
  IndexEntries& loaded = slot->plKeyIndex;
  loaded.clear();
  slot->keyLookup.Clear();
  if (known != nullptr && known->size() == static_cast<std::size_t>(count)) {
    std::size_t i = 0;
    known->VisitFrom(0, [&](int32_t entry) { return entry == entries[i] && ++i < entries.size(); });
    if (count == 0 || i == entries.size()) {
      loaded = std::move(*known);
      count = 0;  // nothing left to read
    }
  }
  std::string previous, current;
  for (int32_t i = 0; i < count; ++i) {
    const int32_t entry = entries[static_cast<std::size_t>(i)];
#if defined(__GNUC__)
    // The entries lie all over the file: the header a few entries on is
    // asked for now, so that it has come by the time it is read.
    constexpr int32_t kAhead = 8;
    if (i + kAhead < count && slot->pBuffer != nullptr) {
      const int32_t later = entries[static_cast<std::size_t>(i + kAhead)];
      if (const unsigned char* head = slot->pBuffer->ViewLoaded(later, kRecordHeaderSize)) {
        __builtin_prefetch(head);
      }
    }
#endif
    std::size_t keyLength = 0;
    const char* key = ReadRecordKey(slot, entry, &keyLength);
    if (key == nullptr) return 0;
    try {
      current.assign(IndexForm(slot, key, keyLength, &slot->keyForm));
      if (i > 0 && CompareForms(previous, current) >= 0) return 0;
      if (!loaded.Insert(loaded.size(), entry, current.data(), keyLength)) return 0;
      previous.swap(current);
    } catch (const std::bad_alloc&) {
      NoteError(BDB_NO_MEMORY);
      return 0;
    }
  }
  slot->lIndexOffset = record;
  slot->lIndexCapacity = capacity;
  slot->bIndexUnwritten = false;
  slot->bIndexInRecord = true;
  slot->indexChanges.clear();
  // A store opened for use gets the hash table of its keys with them (not
  // the store a compaction reopens, which kvsgen only closes); without
  // memory for it, the first lookup tries again.
  if (known == nullptr) BuildKeyLookup(slot);
  return 1;
}

void IndexRemove(StoreSlot* slot, int32_t offset) {
  IndexEntries& entries = slot->plKeyIndex;
  // The record's own key finds its entry; a scan finds it otherwise.
  std::size_t position = entries.size();
  std::size_t length = 0;
  const char* stored = ReadRecordKey(slot, offset, &length);
  if (stored != nullptr) {
    std::string key(stored, length);
    const int32_t found = IndexSearch(slot, key.c_str(), nullptr);
    if (found >= 0 && entries.at(static_cast<std::size_t>(found)) == offset) {
      position = static_cast<std::size_t>(found);
    }
  }
  if (position == entries.size()) position = entries.Find(offset);
  if (position == entries.size()) return;
  NoteIndexChange(slot, IndexChange{false, static_cast<int32_t>(position), offset});
  std::size_t keyLength = 0;
  const char* key = entries.KeyAt(position, &keyLength);
  slot->keyLookup.Remove(KeyHash(slot, key, keyLength), offset);
  entries.Erase(position);
  slot->bIndexInRecord = false;
  LogIndexChange(slot, IndexChange{false, static_cast<int32_t>(position), offset});
}

void WriteIndex(StoreSlot* slot) {
  // A record that holds the array already is not written again.
  if (slot->lIndexOffset == 0 || slot->lIndexCapacity <= 0 || slot->bIndexInRecord) return;
  slot->bIndexUnwritten = true;
  slot->indexChanges.clear();
  // A file written through gets the array at once; a buffered one when the
  // call commits (or the Index record is replaced), whichever comes first.
  if (slot->pBuffer == nullptr) FlushIndex(slot);
}

namespace {

// Encodes count int32 values, little-endian, at out.
void EncodeInt32s(const int32_t* values, std::size_t count, unsigned char* out) {
  static const bool kLittleEndian = [] {
    const uint32_t one = 1;
    unsigned char first = 0;
    std::memcpy(&first, &one, 1);
    return first == 1;
  }();
  if (kLittleEndian) {
    std::memcpy(out, values, 4 * count);
    return;
  }
  for (std::size_t i = 0; i < count; ++i) EncodeInt32(values[i], out + 4 * i);
}

// Takes the bytes of one array at the file position, in order: straight
// into the pages of a buffered file, else a chunk at a time through writes.
// With onlyChanges, a buffered file gets the bytes a page at a time, and of
// each page only the span from the first byte that differs from the image
// to the last: an array mostly differs from the one it replaces in a few
// entries (a record moved) or from one position on (a key inserted or
// removed), and bytes left as they are cost no write and no journal entry.
class ArrayOutput {
 public:
  ArrayOutput(StoreSlot* slot, std::size_t total, bool onlyChanges)
      : slot_(slot), left_(total), onlyChanges_(onlyChanges && slot->pBuffer != nullptr) {}
  ~ArrayOutput() { WriteChunk(); }
  ArrayOutput(const ArrayOutput&) = delete;
  ArrayOutput& operator=(const ArrayOutput&) = delete;

  // Room for the next bytes: at least one (while any of the total is left).
  std::size_t Room() {
    if (room_ == 0) Next();
    return room_;
  }
  // The next Room() bytes go here; Advance(n) says n of them are filled.
  unsigned char* At() { return at_; }
  void Advance(std::size_t n) {
    at_ += n;
    room_ -= n;
    left_ -= n;
  }

 private:
  void Next() {
    WriteChunk();
    if (left_ == 0) return;
    if (!inChunks_ && !onlyChanges_ && slot_->pBuffer != nullptr) {
      std::size_t got = 0;
      at_ = slot_->pBuffer->WriteInPlace(left_, &got);
      if (at_ != nullptr) {
        room_ = got;
        return;
      }
    }
    inChunks_ = true;  // the bytes go through writes from here on
    at_ = chunk_;
    room_ = std::min(left_, sizeof chunk_);
    chunkStart_ = chunk_;
    if (onlyChanges_) {
      // A chunk ends where its page does, so that one view shows its bytes.
      chunkAt_ = slot_->pFile->Tell();
      constexpr int64_t kPage = BufferedFile::kPageSize;
      room_ = std::min(room_, static_cast<std::size_t>(kPage - chunkAt_ % kPage));
    }
  }
  void WriteChunk() {
    if (!inChunks_ || chunkStart_ == nullptr) return;
    const auto n = static_cast<std::size_t>(at_ - chunkStart_);
    chunkStart_ = nullptr;
    const unsigned char* image = onlyChanges_ ? slot_->pBuffer->ViewLoaded(chunkAt_, n) : nullptr;
    if (image == nullptr) {
      WriteBytes(slot_, chunk_, n);
      return;
    }
    if (std::memcmp(image, chunk_, n) != 0) {
      std::size_t first = 0;
      while (image[first] == chunk_[first]) ++first;
      std::size_t end = n;
      while (image[end - 1] == chunk_[end - 1]) --end;
      slot_->pFile->Seek(chunkAt_ + static_cast<int64_t>(first));
      WriteBytes(slot_, chunk_ + first, end - first);
    }
    slot_->pFile->Seek(chunkAt_ + static_cast<int64_t>(n));
  }

  StoreSlot* slot_;
  std::size_t left_;  // bytes of the total not filled yet
  bool onlyChanges_;
  unsigned char* at_ = nullptr;
  std::size_t room_ = 0;
  bool inChunks_ = false;
  unsigned char* chunkStart_ = nullptr;  // the chunk being filled, if any
  int64_t chunkAt_ = 0;                  // its file position, with onlyChanges
  unsigned char chunk_[16384];
};

// Writes an array of entries zero-padded to capacity entries, from its byte
// skip on, at the file position (of a buffered file, with onlyChanges, only
// the bytes that differ from the image).
void WriteArray(StoreSlot* slot, const IndexEntries& entries, std::size_t capacity,
                std::size_t skip, bool onlyChanges = false) {
  const std::size_t total = 4 * capacity;
  if (skip >= total) return;
  ArrayOutput out(slot, total - skip, onlyChanges);
  std::size_t produced = skip;  // bytes of the array written or skipped
  entries.VisitRuns(skip / 4, [&](const int32_t* run, std::size_t count) {
    for (std::size_t e = 0; e < count && produced < total;) {
      const std::size_t room = out.Room();
      const std::size_t whole = std::min({count - e, room / 4, (total - produced) / 4});
      if (produced % 4 == 0 && whole > 0) {
        // Whole entries: straight into place.
        EncodeInt32s(run + e, whole, out.At());
        out.Advance(4 * whole);
        produced += 4 * whole;
        e += whole;
        continue;
      }
      // An entry split between two places, or begun before skip.
      unsigned char bytes[4];
      EncodeInt32(run[e], bytes);
      for (std::size_t b = produced % 4; b < 4; ++b, ++produced) {
        out.Room();
        *out.At() = bytes[b];
        out.Advance(1);
      }
      ++e;
    }
    return produced < total;
  });
  // The zero entries after them.
  while (produced < total) {
    const std::size_t n = std::min(out.Room(), total - produced);
    std::memset(out.At(), 0, n);
    out.Advance(n);
    produced += n;
  }
}

void ApplyIndexChange(IndexEntries& entries, const IndexChange& change) {
  if (change.bInserted) {
    entries.Insert(static_cast<std::size_t>(change.lPosition), change.lOffset, "", 0);
  } else {
    entries.Erase(static_cast<std::size_t>(change.lPosition));
  }
}

// The entries of the held run's start, with its first count changes made.
bool ReplayIndexLog(const StoreSlot* slot, std::size_t count, IndexEntries* entries) {
  entries->clear();
  for (const int32_t offset : slot->heldIndexBase) {
    if (!entries->Insert(entries->size(), offset, "", 0)) return false;
  }
  for (std::size_t i = 0; i < count && i < slot->heldIndexLog.size(); ++i) {
    ApplyIndexChange(*entries, slot->heldIndexLog[i]);
  }
  return true;
}

void WriteHeldImage(StoreSlot* slot, int64_t start, int64_t written, const IndexEntries& entries,
                    const HeldIndexImage& image) {
  slot->pFile->Seek(start + written);
  WriteArray(slot, entries, static_cast<std::size_t>(image.lCapacity),
             static_cast<std::size_t>(written));
}

// Produces one held image that is needed before the run is written.
void SupplyHeldImage(StoreSlot* slot, int64_t start, int64_t written) {
  const auto found = slot->heldIndexImages.find(start);
  if (found == slot->heldIndexImages.end()) return;
  const HeldIndexImage image = found->second;
  slot->heldIndexImages.erase(found);
  IndexEntries entries(IndexEntries::kOffsetsOnly);
  if (!ReplayIndexLog(slot, image.lLogAt, &entries)) {
    slot->bWriteFailed = true;
    return;
  }
  WriteHeldImage(slot, start, written, entries, image);
}

// Logs a change of a held run; without memory for it, the run's images are
// produced now and the run logs no more.
void LogIndexChange(StoreSlot* slot, const IndexChange& change) {
  if (!slot->bIndexLogged) return;
  try {
    slot->heldIndexLog.push_back(change);
  } catch (const std::bad_alloc&) {
    NoteError(BDB_NO_MEMORY);
    WriteHeldIndexImages(slot);
  }
}

}  // namespace

const IndexEntries* LastWrittenIndex(const StoreSlot* slot, IndexEntries* earlier) {
  if (slot->indexChanges.empty()) return &slot->plKeyIndex;
  // The entries now, with the changes made since undone, newest first.
  earlier->clear();
  bool whole = true;
  slot->plKeyIndex.VisitFrom(0, [&](int32_t entry) {
    return whole = earlier->Insert(earlier->size(), entry, "", 0);
  });
  for (auto change = slot->indexChanges.rbegin(); change != slot->indexChanges.rend(); ++change) {
    const auto at = std::min(static_cast<std::size_t>(change->lPosition), earlier->size());
    if (change->bInserted) {
      earlier->Erase(at);
    } else {
      whole = whole && earlier->Insert(at, change->lOffset, "", 0);
    }
  }
  return whole ? earlier : nullptr;
}

bool FlushIndex(StoreSlot* slot) {
  if (!slot->bIndexUnwritten) return true;
  IndexEntries earlier(IndexEntries::kOffsetsOnly);
  const IndexEntries* written = LastWrittenIndex(slot, &earlier);
  if (written == nullptr) {
    slot->bWriteFailed = true;
    return false;
  }
  slot->pFile->Seek(int64_t{slot->lIndexOffset} + kRecordHeaderSize + kIndexKeyLength);
  WriteArray(slot, *written, static_cast<std::size_t>(slot->lIndexCapacity), 0, true);
  slot->bIndexInRecord = written == &slot->plKeyIndex && !slot->bWriteFailed;
  slot->bIndexUnwritten = false;
  slot->indexChanges.clear();
  return true;
}

void BeginIndexLog(StoreSlot* slot) {
  if (slot->bIndexLogged || slot->pBuffer == nullptr || !IsSorted(*slot)) return;
  if (!FlushIndex(slot)) return;
  try {
    slot->heldIndexBase.assign(slot->plKeyIndex.size(), 0);
  } catch (const std::bad_alloc&) {
    NoteError(BDB_NO_MEMORY);
    return;
  }
  slot->plKeyIndex.CopyTo(slot->heldIndexBase.data());
  slot->heldIndexLog.clear();
  slot->heldIndexImages.clear();
  slot->bIndexLogged = true;
  slot->pBuffer->SetSupplier(
      [slot](int64_t start, int64_t written) { SupplyHeldImage(slot, start, written); });
}

void WriteHeldIndexImages(StoreSlot* slot) {
  if (!slot->bIndexLogged) return;
  // One replay of the log produces every image, in the order they were left.
  std::vector<std::pair<std::size_t, int64_t>> order;
  IndexEntries entries(IndexEntries::kOffsetsOnly);
  try {
    for (const auto& [start, image] : slot->heldIndexImages) order.emplace_back(image.lLogAt, start);
  } catch (const std::bad_alloc&) {
    NoteError(BDB_NO_MEMORY);
    order.clear();
  }
  std::sort(order.begin(), order.end());
  std::size_t applied = 0;
  bool replayed = ReplayIndexLog(slot, 0, &entries);
  for (const auto& [logAt, start] : order) {
    const int64_t written = slot->pBuffer->TakeDeferredRange(start);
    const auto found = slot->heldIndexImages.find(start);
    if (written < 0 || found == slot->heldIndexImages.end()) continue;  // produced already
    const HeldIndexImage image = found->second;
    slot->heldIndexImages.erase(found);
    for (; applied < logAt && applied < slot->heldIndexLog.size(); ++applied) {
      ApplyIndexChange(entries, slot->heldIndexLog[applied]);
    }
    if (!replayed) {
      slot->bWriteFailed = true;
      continue;
    }
    WriteHeldImage(slot, start, written, entries, image);
  }
  // Images the order missed (short memory) are produced one by one.
  slot->pBuffer->SupplyDeferred();
  slot->bIndexLogged = false;
  slot->heldIndexBase = {};
  slot->heldIndexLog = {};
  slot->heldIndexImages.clear();
  slot->pBuffer->SetSupplier(nullptr);
}

bool HeldImagesInFileOrder(const StoreSlot& slot) {
  // Arrays left later lie further on (growth appends the new Index record),
  // so one replay of the log makes them all in file order.
  std::size_t lastLogAt = 0;
  for (const auto& [start, held] : slot.heldIndexImages) {
    if (held.lLogAt < lastLogAt) return false;
    lastLogAt = held.lLogAt;
  }
  return true;
}

bool WriteStoreImage(StoreSlot* slot, StoreFile& to) {
  BufferedFile& image = *slot->pBuffer;
  if (!HeldImagesInFileOrder(*slot)) return false;
  if (IsSorted(*slot)) {
    WriteIndex(slot);
    if (!FlushIndex(slot)) return false;
  }
  if (slot->bWriteFailed) return false;

  constexpr std::size_t kChunk = 1 << 20;
  constexpr int64_t kWriteBackEvery = 8 << 20;
  std::vector<unsigned char> chunk(static_cast<std::size_t>(
      std::clamp<int64_t>(image.Length(), 1, int64_t{kChunk})));  // a small store takes little
  int64_t at = 0;
  int64_t writeBackAt = kWriteBackEvery;
  // The file is synced once whole: its device writes start on the way.
  const auto wroteTo = [&](int64_t end) {
    at = end;
    if (at < writeBackAt) return;
    to.BeginWriteBack();
    writeBackAt = at + kWriteBackEvery;
  };
  // The image's own bytes up to end.
  const auto copyTo = [&](int64_t end) {
    while (at < end) {
      const auto n = static_cast<std::size_t>(
          std::min<int64_t>(end - at, static_cast<int64_t>(chunk.size())));
      if (!image.Seek(at) || image.Read(chunk.data(), n) != n || to.Write(chunk.data(), n) != n) {
        return false;
      }
      wroteTo(at + static_cast<int64_t>(n));
    }
    return true;
  };
  IndexEntries entries(IndexEntries::kOffsetsOnly);
  if (slot->bIndexLogged && !ReplayIndexLog(slot, 0, &entries)) return false;
  std::size_t applied = 0;
  std::vector<unsigned char> array;
  for (const auto& [start, held] : slot->heldIndexImages) {
    const int64_t written = image.DeferredWritten(start);
    if (written < 0) continue;  // produced already: the image holds it
    if (!copyTo(start + written)) return false;
    for (; applied < held.lLogAt && applied < slot->heldIndexLog.size(); ++applied) {
      ApplyIndexChange(entries, slot->heldIndexLog[applied]);
    }
    const auto capacity = static_cast<std::size_t>(held.lCapacity);
    if (entries.size() > capacity) return false;
    array.resize(4 * capacity);
    unsigned char* out = array.data();
    entries.VisitRuns(0, [&](const int32_t* run, std::size_t count) {
      EncodeInt32s(run, count, out);
      out += 4 * count;
      return true;
    });
    std::fill(out, array.data() + array.size(), static_cast<unsigned char>(0));
    const auto skip = static_cast<std::size_t>(written);
    if (to.Write(array.data() + skip, array.size() - skip) != array.size() - skip) return false;
    wroteTo(start + static_cast<int64_t>(array.size()));
  }
  return copyTo(image.Length());
}

}  // namespace kvs
