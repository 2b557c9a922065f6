// index_in_file.cc: opening a sorted store's index, searching and changing
// it where it lies in the Index record, and when its entries are loaded.
#include "store/index/index_in_file.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "store/errors.h"
#include "store/index/key_index.h"
#include "store/records/record_contents.h"

namespace kvs {
namespace {

// When the entries are loaded. Loading reads every record's key and builds
// the hash table of them: about 0.6 µs of CPU a record (100,000 records:
// 57 ms), after which a lookup costs about 0.5 µs. A lookup in the file
// reads about log2(n) entries and records, most of the time going to the
// 16 KB pages it probes for the first time: about 9 µs at 100,000 records
// and 24 µs at 400,000 (store_bench's store/first_*_lookups, CPU time).
// So:
// - An index of at most kLoadAtOpen entries is loaded at open: that costs
//   less than a few lookups in the file, and its lookups are the fast ones
//   from the first.
// - A larger one is loaded once the slot has made n / kEntriesPerLookup
//   lookups in the file: by then they have cost about what the load does,
//   so a process never pays much more than twice the better of the two.
// - Work that makes many changes loads them at once: a held run
//   (BdbHoldWrites), a compaction. Single puts and deletes change the index
//   in the file, and a prefix listing reads the entries it lists there.
constexpr int32_t kLoadAtOpen = 1024;
constexpr int32_t kEntriesPerLookup = 32;

int32_t KeyCount(const IndexedSlot* slot) { return slot->header.lhAllocated.lCount; }

int64_t ArrayStart(const IndexedSlot* slot) {
  return int64_t{slot->lIndexOffset} + kRecordHeaderSize + kIndexKeyLength;
}

// True when the record at offset can be read: a plausible entry.
bool EntryIsRecord(IndexedSlot* slot, int32_t offset) {
  RecordHeader header;
  return offset > 0 && ReadRecordHeader(slot, offset, &header);
}

// Leaves the index in the file after the checks an open can make without
// reading it: the Index record, a count below its capacity, the first and
// last entries in use naming records, and the entry after them 0.
int LeaveIndexInFile(IndexedSlot* slot) {
  const int32_t record = FindKeyOnChain(slot, slot->header.lhIndex.lFirst, kIndexKey).offset;
  RecordHeader header;
  if (record <= 0 || !ReadRecordHeader(slot, record, &header)) return 0;
  const auto capacity = static_cast<int32_t>(static_cast<uint32_t>(header.lBytesAllocated) / 4);
  const int32_t count = KeyCount(slot);
  if (capacity < 1 || count < 0 || count >= capacity) return 0;
  slot->lIndexOffset = record;
  slot->lIndexCapacity = capacity;
  slot->lEntriesInFile = count;
  if ((count > 0 && (!EntryIsRecord(slot, EntryInFile(slot, 0)) ||
                     !EntryIsRecord(slot, EntryInFile(slot, count - 1)))) ||
      EntryInFile(slot, count) != 0) {
    return 0;
  }
  slot->plKeyIndex.clear();
  slot->keyLookup.Clear();
  slot->bIndexInFile = true;
  slot->bIndexUnloadable = false;
  slot->uLookupsInFile = 0;
  slot->bIndexUnwritten = false;
  slot->bIndexInRecord = true;
  slot->indexChanges.clear();
  return 1;
}

// A read of the array that came up short (memory for its pages ran out, the
// file refused it) stops the change it is part of, as a short write does:
// RunChange forgets the change whole rather than commit it half made.
bool ReadWhole(IndexedSlot* slot, int64_t at, unsigned char* out, std::size_t n) {
  if (slot->pFile->Seek(at) && slot->pFile->Read(out, n) == n) return true;
  slot->bWriteFailed = true;
  return false;
}

// Reads count entries from position on into out; false when they are not
// all inside the record, or could not be read.
bool ReadEntries(IndexedSlot* slot, int32_t position, int32_t count,
                 std::vector<unsigned char>* out) {
  out->resize(4 * static_cast<std::size_t>(count));
  if (count == 0) return true;
  return ReadWhole(slot, ArrayStart(slot) + 4 * int64_t{position}, out->data(), out->size());
}

// Writes bytes at entry position.
void WriteEntries(IndexedSlot* slot, int32_t position, const unsigned char* bytes, std::size_t n) {
  if (n == 0) return;
  slot->pFile->Seek(ArrayStart(slot) + 4 * int64_t{position});
  WriteBytes(slot, bytes, n);
}

}  // namespace

int OpenIndex(IndexedSlot* slot) {
  slot->bIndexInFile = false;
  // Small indexes are loaded whole.
  if (KeyCount(slot) <= kLoadAtOpen) return IndexLoad(slot);
  if (LeaveIndexInFile(slot)) return 1;
  slot->bIndexInFile = false;
  return 0;
}

bool LoadIndexEntries(IndexedSlot* slot) {
  if (!slot->bIndexInFile) return true;
  if (slot->bIndexUnloadable) {
    NoteError(BDB_DAMAGED);
    return false;
  }
  // The load's own cause tells entries that fail its checks from memory
  // that ran short; the call's first cause is kept all the same.
  const int before = CurrentError();
  SetError(BDB_OK);
  slot->bIndexInFile = false;
  const bool loaded = IndexLoad(slot) != 0;
  const bool memoryShort = CurrentError() == BDB_NO_MEMORY;
  if (before != BDB_OK) SetError(before);
  if (loaded) return true;
  // Searched in the file as before. Entries that failed the checks are never
  // tried again; a load that ran short of memory is, once lookups in the
  // file have paid for it again.
  slot->plKeyIndex.clear();
  slot->keyLookup.Clear();
  slot->bIndexInFile = true;
  slot->bIndexInRecord = true;
  if (memoryShort) {
    slot->uLookupsInFile = 0;
    return false;
  }
  slot->bIndexUnloadable = true;
  NoteError(BDB_DAMAGED);
  return false;
}

bool SearchesInFile(IndexedSlot* slot) {
  if (!slot->bIndexInFile) return false;
  const auto paidAfter = static_cast<uint32_t>(slot->lEntriesInFile / kEntriesPerLookup);
  if (slot->bIndexUnloadable || ++slot->uLookupsInFile < paidAfter) return true;
  const int before = CurrentError();
  if (LoadIndexEntries(slot)) return false;
  SetError(before);  // the lookup itself may still succeed in the file
  return true;
}

int32_t EntryInFile(IndexedSlot* slot, int32_t position) {
  if (position < 0 || position >= slot->lIndexCapacity) return 0;
  const unsigned char* bytes = slot->pFile->View(ArrayStart(slot) + 4 * int64_t{position}, 4);
  return bytes != nullptr ? DecodeInt32(bytes) : 0;
}

int SearchInFile(IndexedSlot* slot, const char* key, int32_t count, int32_t* position,
                 RecordView* view) {
  const bool fold = IsNoCase(*slot);
  int32_t lo = 0, hi = std::min(count, slot->lIndexCapacity);
  while (lo < hi) {
    const int32_t mid = lo + (hi - lo) / 2;
    const int32_t entry = EntryInFile(slot, mid);
    std::size_t length = 0;
    const char* stored = entry > 0 ? ReadRecordKey(slot, entry, &length) : nullptr;
    if (stored == nullptr) {
      NoteError(BDB_DAMAGED);
      return -1;
    }
    const int c = CompareKeyBytes(key, stored, length, SIZE_MAX, fold);
    if (c == 0) {
      // Keys are unique: this is the first entry not below key.
      *position = mid;
      if (view != nullptr && !ViewRecord(slot, entry, view)) {
        NoteError(BDB_DAMAGED);
        return -1;
      }
      return 1;
    }
    if (c > 0) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  *position = lo;
  return 0;
}

bool InsertInFile(IndexedSlot* slot, int32_t offset, int32_t position) {
  const int32_t count = slot->lEntriesInFile;
  if (position < 0 || position > count || count + 1 >= slot->lIndexCapacity) return false;
  std::vector<unsigned char> moved;
  if (!ReadEntries(slot, position, count - position, &moved)) return false;
  unsigned char entry[4];
  EncodeInt32(offset, entry);
  WriteEntries(slot, position + 1, moved.data(), moved.size());
  WriteEntries(slot, position, entry, sizeof entry);
  if (slot->bWriteFailed) return false;
  slot->lEntriesInFile = count + 1;
  return true;
}

void RemoveInFile(IndexedSlot* slot, int32_t offset) {
  const int32_t count = slot->lEntriesInFile;
  // The record's own key finds its entry; a scan finds it otherwise.
  int32_t position = -1;
  std::size_t length = 0;
  if (const char* stored = ReadRecordKey(slot, offset, &length)) {
    const std::string key(stored, length);
    int32_t found = 0;
    if (SearchInFile(slot, key.c_str(), count, &found, nullptr) == 1 &&
        EntryInFile(slot, found) == offset) {
      position = found;
    }
  }
  std::vector<unsigned char> entries;
  if (position < 0) {
    if (!ReadEntries(slot, 0, count, &entries)) return;
    for (int32_t i = 0; i < count && position < 0; ++i) {
      if (DecodeInt32(entries.data() + 4 * i) == offset) position = i;
    }
    if (position < 0) return;
  }
  if (!ReadEntries(slot, position + 1, count - position - 1, &entries)) return;
  entries.insert(entries.end(), 4, 0);  // the last entry in use becomes 0
  WriteEntries(slot, position, entries.data(), entries.size());
  slot->lEntriesInFile = count - 1;
}

bool CopyIndexArray(IndexedSlot* slot, int32_t from, int32_t to, int32_t capacity) {
  std::vector<unsigned char> bytes(4 * static_cast<std::size_t>(capacity));
  constexpr int64_t kArrayAt = kRecordHeaderSize + kIndexKeyLength;
  if (!ReadWhole(slot, from + kArrayAt, bytes.data(), bytes.size())) return false;
  slot->pFile->Seek(to + kArrayAt);
  WriteBytes(slot, bytes.data(), bytes.size());
  return !slot->bWriteFailed;
}

}  // namespace kvs
