// check_index.cc: the keys of a store under BdbCheck: one record per key on
// the allocated list, and for a sorted store its one Index record, the
// KeyIndex that record holds (or is about to receive) and the KeyIndex in
// memory.
#include <algorithm>
#include <cstring>
#include <new>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "store/check/check.h"
#include "store/index/key_index.h"
#include "store/index/key_lookup.h"

namespace kvs {

std::string KeyForm(StoreSlot* slot, const CheckedRecord& record) {
  const auto n = static_cast<std::size_t>(record.header.lNameLength);
  const unsigned char* bytes = ViewBytes(slot, int64_t{record.offset} + kRecordHeaderSize, n);
  const void* nul = n > 0 ? std::memchr(bytes, 0, n) : nullptr;
  const std::size_t length =
      nul != nullptr ? static_cast<std::size_t>(static_cast<const unsigned char*>(nul) - bytes) : n;
  std::string form(reinterpret_cast<const char*>(bytes), length);
  const bool fold = IsNoCase(*slot);
  for (char& c : form) c = static_cast<char>(FoldedByte(static_cast<unsigned char>(c), fold));
  return form;
}

namespace {

long L(int64_t value) { return static_cast<long>(value); }

std::vector<const CheckedRecord*> RecordsOf(const CheckedChains& chains, Chain chain) {
  std::vector<const CheckedRecord*> records;
  for (const CheckedRecord& record : chains.records) {
    if (record.chain == chain) records.push_back(&record);
  }
  return records;
}

// Reports the records of one run of equal key hashes that share a key.
void ReportSameKeys(StoreSlot* slot, const std::vector<const CheckedRecord*>& run,
                    CheckReport& report) {
  std::vector<std::pair<std::string, const CheckedRecord*>> keyed;
  keyed.reserve(run.size());
  for (const CheckedRecord* record : run) keyed.emplace_back(KeyForm(slot, *record), record);
  std::sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first < b.first : a.second->position < b.second->position;
  });
  for (std::size_t i = 1; i < keyed.size(); ++i) {
    if (keyed[i].first != keyed[i - 1].first) continue;
    report.Problem("allocated list positions %ld and %ld: records %ld and %ld hold the same key",
                   L(keyed[i - 1].second->position), L(keyed[i].second->position),
                   L(keyed[i - 1].second->offset), L(keyed[i].second->offset));
  }
}

// The persisted KeyIndex as the handle sees it: the entries in use (at most
// count) and the entries after them that are not 0.
struct PersistedIndex {
  std::vector<int32_t> inUse;
  int64_t strayCount = 0;  // nonzero entries past those in use
  int64_t firstStray = -1;
  int32_t firstStrayValue = 0;

  void Add(int64_t position, int32_t entry, int64_t count) {
    if (position < count) {
      inUse.push_back(entry);
    } else if (entry != 0) {
      if (strayCount++ == 0) {
        firstStray = position;
        firstStrayValue = entry;
      }
    }
  }
};

// Reads the array from the Index record's data area in the file image.
PersistedIndex ReadPersistedIndex(StoreSlot* slot, const CheckedRecord& index, int64_t capacity,
                                  int64_t count) {
  PersistedIndex persisted;
  persisted.inUse.reserve(static_cast<std::size_t>(std::min(count, capacity)));
  constexpr int64_t kChunkEntries = 4096;
  const int64_t start = int64_t{index.offset} + kRecordHeaderSize + kIndexKeyLength;
  for (int64_t first = 0; first < capacity; first += kChunkEntries) {
    const int64_t n = std::min(kChunkEntries, capacity - first);
    const unsigned char* bytes = ViewBytes(slot, start + 4 * first, static_cast<std::size_t>(4 * n));
    for (int64_t i = 0; i < n; ++i) persisted.Add(first + i, DecodeInt32(bytes + 4 * i), count);
  }
  return persisted;
}

// The array that the Index record is to receive when the store commits: the
// entries of the last WriteIndex, zero-padded to the capacity.
PersistedIndex PendingIndex(StoreSlot* slot, int64_t count) {
  IndexEntries earlier(IndexEntries::kOffsetsOnly);
  const IndexEntries* written = LastWrittenIndex(slot, &earlier);
  if (written == nullptr) throw std::bad_alloc();
  PersistedIndex pending;
  int64_t position = 0;
  written->VisitFrom(0, [&](int32_t entry) {
    if (position < slot->lIndexCapacity) pending.Add(position++, entry, count);
    return true;
  });
  return pending;
}

// The Index record's own fields; false when its array cannot be located.
bool CheckIndexRecord(StoreSlot* slot, const CheckedRecord& index, CheckReport& report) {
  const RecordHeader& h = index.header;
  const long offset = L(index.offset);
  if (h.lNameLength != kIndexKeyLength ||
      std::memcmp(ViewBytes(slot, int64_t{index.offset} + kRecordHeaderSize, kIndexKeyLength),
                  kIndexKey, kIndexKeyLength) != 0) {
    report.Problem("index list position 0, record %ld: its key is not \"Index\"", offset);
  }
  if (h.lBytesUsed != 0) {
    report.Problem("index list position 0, record %ld: lBytesUsed is %ld, not 0", offset,
                   L(h.lBytesUsed));
  }
  constexpr int32_t kStepBytes = 4 * kIndexGrowth;
  if (h.lBytesAllocated <= 0 || h.lBytesAllocated % kStepBytes != 0) {
    report.Problem("index list position 0, record %ld: lBytesAllocated %ld is not a whole number "
                   "of %ld-entry steps",
                   offset, L(h.lBytesAllocated), L(kIndexGrowth));
  }
  const int32_t capacity = h.lBytesAllocated / 4;
  if (slot->lIndexOffset != index.offset || slot->lIndexCapacity != capacity) {
    report.Problem("KeyIndex in memory: belongs to record %ld with %ld entries, but the Index record "
                   "is %ld with %ld",
                   L(slot->lIndexOffset), L(slot->lIndexCapacity), offset, L(capacity));
  }
  return h.lNameLength == kIndexKeyLength && capacity > 0;
}

// Entries in use: each a record of the allocated list, none twice, every
// record of the list among them, in ascending key order.
void CheckEntriesInUse(StoreSlot* slot, const std::vector<int32_t>& entries,
                       const std::vector<const CheckedRecord*>& live, CheckReport& report) {
  std::unordered_map<int32_t, const CheckedRecord*> byOffset;
  for (const CheckedRecord* record : live) byOffset.emplace(record->offset, record);
  std::unordered_map<int32_t, std::size_t> listedAt;
  const CheckedRecord* previous = nullptr;
  std::string previousKey;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const auto found = byOffset.find(entries[i]);
    if (found == byOffset.end()) {
      report.Problem("index entry %ld: %ld is not a record of the allocated list", L(static_cast<int64_t>(i)),
                     L(entries[i]));
      previous = nullptr;
      continue;
    }
    const auto [at, first] = listedAt.emplace(entries[i], i);
    if (!first) {
      report.Problem("index entries %ld and %ld: both hold record %ld", L(static_cast<int64_t>(at->second)),
                     L(static_cast<int64_t>(i)), L(entries[i]));
    }
    const CheckedRecord* record = found->second;
    if (!record->fits) {
      previous = nullptr;
      continue;
    }
    std::string key = KeyForm(slot, *record);
    // Equal keys are reported as records sharing a key.
    if (previous != nullptr && previousKey > key) {
      report.Problem("index entries %ld and %ld: record %ld sorts after record %ld",
                     L(static_cast<int64_t>(i - 1)), L(static_cast<int64_t>(i)), L(previous->offset),
                     L(record->offset));
    }
    previous = record;
    previousKey = std::move(key);
  }
  for (const CheckedRecord* record : live) {
    if (listedAt.count(record->offset) == 0) {
      report.Problem("allocated list position %ld, record %ld: missing from the index",
                     L(record->position), L(record->offset));
    }
  }
}

// The KeyIndex in memory holds the persisted entries, each with its
// record's key in the store's comparison form.
void CheckIndexInMemory(StoreSlot* slot, const std::vector<int32_t>& persisted,
                        const std::vector<const CheckedRecord*>& live, CheckReport& report) {
  if (slot->bIndexInFile) return;  // the persisted index is the one in use
  const IndexEntries& memory = slot->plKeyIndex;
  if (memory.size() != persisted.size()) {
    report.Problem("KeyIndex in memory: %ld entries, but the persisted index has %ld in use",
                   L(static_cast<int64_t>(memory.size())), L(static_cast<int64_t>(persisted.size())));
  }
  std::unordered_map<int32_t, const CheckedRecord*> byOffset;
  for (const CheckedRecord* record : live) byOffset.emplace(record->offset, record);
  bool differs = false;
  std::size_t position = 0;
  memory.VisitKeys([&](int32_t offset, const char* key, std::size_t length) {
    const std::size_t i = position++;
    if (i < persisted.size() && persisted[i] != offset && !differs) {
      differs = true;  // an entry missed or added shifts all after it: one line
      report.Problem("KeyIndex in memory: entry %ld is record %ld, but the persisted index has %ld",
                     L(static_cast<int64_t>(i)), L(offset), L(persisted[i]));
    }
    const auto found = byOffset.find(offset);
    if (found == byOffset.end() || !found->second->fits) return;
    if (KeyForm(slot, *found->second) != std::string_view(key, length)) {
      report.Problem("KeyIndex in memory: entry %ld holds a key other than that of record %ld",
                     L(static_cast<int64_t>(i)), L(offset));
    }
  });
}

}  // namespace

void CheckUniqueKeys(StoreSlot* slot, const CheckedChains& chains, CheckReport& report) {
  std::vector<std::pair<uint32_t, const CheckedRecord*>> hashed;
  for (const CheckedRecord& record : chains.records) {
    if (record.chain != Chain::kAllocated || !record.fits) continue;
    const std::string form = KeyForm(slot, record);
    hashed.emplace_back(KeyLookup::Hash(form.data(), form.size(), false), &record);
  }
  std::sort(hashed.begin(), hashed.end(), [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first < b.first : a.second->position < b.second->position;
  });
  // Only records of equal hash can share a key; their keys are compared.
  std::vector<const CheckedRecord*> run;
  for (std::size_t i = 0; i < hashed.size();) {
    std::size_t end = i + 1;
    while (end < hashed.size() && hashed[end].first == hashed[i].first) ++end;
    if (end - i > 1) {
      run.clear();
      for (std::size_t j = i; j < end; ++j) run.push_back(hashed[j].second);
      ReportSameKeys(slot, run, report);
    }
    i = end;
  }
}

void CheckSortedIndex(StoreSlot* slot, const CheckedChains& chains, CheckReport& report) {
  const std::vector<const CheckedRecord*> indexRecords = RecordsOf(chains, Chain::kIndex);
  if (indexRecords.empty() || !indexRecords.front()->fits) return;  // reported with the chains
  const CheckedRecord& index = *indexRecords.front();
  if (!CheckIndexRecord(slot, index, report)) return;
  // The entries in use are as many as the allocated list's records; they
  // are only checked against a list whose walk agrees with its head.
  if (!chains.agreesWithHead[static_cast<int>(Chain::kAllocated)]) return;
  const std::vector<const CheckedRecord*> live = RecordsOf(chains, Chain::kAllocated);
  const auto count = static_cast<int64_t>(live.size());
  const int64_t capacity = index.header.lBytesAllocated / 4;
  if (count >= capacity) {
    report.Problem("index list position 0, record %ld: %ld entries leave no 0 entry after the %ld "
                   "keys",
                   L(index.offset), L(capacity), L(count));
  }
  // Between commits the Index record may lag behind
  // the last WriteIndex; what it is to receive counts as its content.
  const bool pending = slot->bIndexUnwritten && slot->lIndexOffset == index.offset &&
                       slot->lIndexCapacity == capacity;
  const PersistedIndex persisted =
      pending ? PendingIndex(slot, count) : ReadPersistedIndex(slot, index, capacity, count);
  if (persisted.strayCount > 0) {
    report.Problem("index entries past the %ld in use: not 0 in %ld of them, the first entry %ld "
                   "holding %ld",
                   L(count), L(persisted.strayCount), L(persisted.firstStray),
                   L(persisted.firstStrayValue));
  }
  CheckEntriesInUse(slot, persisted.inUse, live, report);
  CheckIndexInMemory(slot, persisted.inUse, live, report);
}

}  // namespace kvs
