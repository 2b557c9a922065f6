// key_index.cc: the sorted KeyIndex of a STORE_SORTED store: inserting and
// removing entries, growing, creating and loading its Index record, and
// noting what the record lags behind.
#include "store/index/key_index.h"


#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "store/errors.h"
#include "store/index/index_in_file.h"
#include "store/index/index_writer.h"

namespace kvs {
namespace {

int32_t KeyCount(const IndexedSlot* slot) { return slot->header.lhAllocated.lCount; }

std::vector<int32_t> DecodeEntries(const unsigned char* bytes, int32_t count) {
  std::vector<int32_t> entries(static_cast<std::size_t>(count));
  for (int32_t i = 0; i < count; ++i) entries[static_cast<std::size_t>(i)] = DecodeInt32(bytes + 4 * i);
  return entries;
}

// Notes a change of the array made after its last WriteIndex, while the
// Index record does not hold that write yet, so FlushIndex can still write
// the array as it was then. A long run of such changes is settled at once.
// True when the change was noted (and is to be dropped if not made).
bool NoteIndexChange(IndexedSlot* slot, const IndexChange& change) {
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

int IndexInsert(IndexedSlot* slot, int32_t offset, const char* key, int32_t position) {
  const int32_t count = KeyCount(slot);
  if (count > slot->lIndexCapacity) return 0;
  if (count == slot->lIndexCapacity && !IndexGrow(slot)) return 0;
  if (slot->bIndexInFile) {
    int32_t p = position;
    if (p < 0 && SearchInFile(slot, key, slot->lEntriesInFile, &p, nullptr) < 0) return 0;
    return InsertInFile(slot, offset, p) ? 1 : 0;
  }
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
// area of the current Index record; false when the image cannot defer it
// or memory for that is short (it is then to be written now).
bool DeferIndexImage(IndexedSlot* slot) {
  const int64_t start = int64_t{slot->lIndexOffset} + kRecordHeaderSize + kIndexKeyLength;
  const HeldIndexImage image{slot->lIndexCapacity,
                             slot->heldIndexLog.size() - slot->indexChanges.size()};
  try {
    slot->heldIndexImages[start] = image;
  } catch (const std::bad_alloc&) {
    NoteError(BDB_NO_MEMORY);
    return false;
  }
  if (!slot->pFile->DeferRange(start, start + 4 * int64_t{image.lCapacity})) {
    slot->heldIndexImages.erase(start);
    return false;
  }
  slot->bIndexUnwritten = false;
  slot->indexChanges.clear();
  return true;
}

}  // namespace

int IndexGrow(IndexedSlot* slot) {
  const int32_t oldCapacity = slot->lIndexCapacity;
  if (oldCapacity > INT32_MAX / 4 - kIndexGrowth) return 0;
  const int32_t newCapacity = oldCapacity + kIndexGrowth;
  // The old Index record keeps the array as it was last written; in a held
  // run that array is produced only if the run is written, or now when the
  // image cannot defer it.
  StoreHeader& h = slot->header;
  const int32_t oldRecord = slot->lIndexOffset;
  if (slot->bIndexLogged && slot->bIndexUnwritten) DeferIndexImage(slot);
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
  // An index in the file moves into the new record as it is; the rest of
  // the record is 0 already.
  if (slot->bIndexInFile) return CopyIndexArray(slot, oldRecord, newRecord, oldCapacity) ? 1 : 0;
  slot->bIndexInRecord = false;
  WriteIndex(slot);
  return 1;
}

int IndexCreate(IndexedSlot* slot) {
  const int32_t record = AppendRecord(slot, slot->header.lhIndex, kIndexKey, kIndexGrowth * 4, 0);
  if (record == 0) return 0;
  slot->lIndexOffset = record;
  slot->plKeyIndex.clear();
  slot->keyLookup.Clear();
  slot->bIndexInFile = false;
  slot->lIndexCapacity = kIndexGrowth;
  slot->bIndexInRecord = false;
  WriteIndex(slot);
  return 1;
}

int IndexLoad(IndexedSlot* slot, IndexEntries* known) {
  const int32_t record = FindKeyOnChain(slot, slot->header.lhIndex.lFirst, kIndexKey).offset;
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
    // asked for now, so that it has come by the time it is read. Measured
    // pair by pair (20 and 20 pairs): opening a 100,000-record store and
    // looking up 5,000 keys (the index loads on the way) took 1.14 and 1.15
    // times the CPU time without it (kvsgen adding 10,000 keys: 1.02, 1.03).
    constexpr int32_t kAhead = 8;
    if (i + kAhead < count) {
      const int32_t later = entries[static_cast<std::size_t>(i + kAhead)];
      if (const unsigned char* head = slot->pFile->ViewLoaded(later, kRecordHeaderSize)) {
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
  slot->bIndexInFile = false;
  slot->bIndexUnwritten = false;
  slot->bIndexInRecord = true;
  slot->indexChanges.clear();
  // A store opened for use gets the hash table of its keys with them (not
  // the store a compaction reopens, which kvsgen only closes); without
  // memory for it, the first lookup tries again.
  if (known == nullptr) BuildKeyLookup(slot);
  return 1;
}

void IndexRemove(IndexedSlot* slot, int32_t offset) {
  if (slot->bIndexInFile) {
    RemoveInFile(slot, offset);
    return;
  }
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

void WriteIndex(IndexedSlot* slot) {
  // A record that holds the array already is not written again.
  if (slot->lIndexOffset == 0 || slot->lIndexCapacity <= 0 || slot->bIndexInRecord) return;
  slot->bIndexUnwritten = true;
  slot->indexChanges.clear();
  // The array is written when the call commits or the Index record is
  // replaced, whichever comes first.
}

}  // namespace kvs
