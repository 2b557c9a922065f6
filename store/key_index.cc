// key_index.cc: key comparison, the readers of record contents, and the
// sorted KeyIndex of a STORE_SORTED store with its persisted Index record.
#include "store/key_index.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace kvs {
namespace {

// Folds 'A'..'Z' to lower case when the store ignores case; no locale.
int KeyByte(const StoreSlot* slot, char c) {
  const auto byte = static_cast<unsigned char>(c);
  if (IsNoCase(*slot) && byte >= 'A' && byte <= 'Z') return byte + ('a' - 'A');
  return byte;
}

int32_t KeyCount(const StoreSlot* slot) { return slot->header.lhAllocated.lCount; }

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

int32_t KeyMatchVisitor(StoreSlot* slot, const char* key, const RecordHeader& header,
                        void* userData) {
  if (CompareKeys(slot, key, static_cast<const char*>(userData)) != 0) return 0;
  return VisitedRecordOffset(slot, header);
}

std::unique_ptr<char[]> ReadRecordKey(StoreSlot* slot, int32_t offset) {
  RecordHeader header;
  if (offset <= 0 || !ReadRecordHeader(slot, offset, &header)) return nullptr;
  const auto length = static_cast<std::size_t>(header.lNameLength);
  std::unique_ptr<char[]> key(new (std::nothrow) char[length + 1]);
  if (!key || slot->pFile->Read(key.get(), length) != length) return nullptr;
  key[length] = '\0';
  return key;
}

std::unique_ptr<unsigned char[]> ReadRecordData(StoreSlot* slot, int32_t offset,
                                                RecordHeader* header) {
  RecordHeader local;
  if (!ReadRecordHeader(slot, offset, &local)) return nullptr;
  if (header != nullptr) *header = local;
  const auto length = static_cast<std::size_t>(local.lBytesAllocated);
  std::unique_ptr<unsigned char[]> data(new (std::nothrow) unsigned char[length]);
  if (!data || !slot->pFile->Seek(int64_t{offset} + kRecordHeaderSize + local.lNameLength) ||
      slot->pFile->Read(data.get(), length) != length) {
    return nullptr;
  }
  return data;
}

int32_t IndexSearch(StoreSlot* slot, const char* key, int32_t* lastProbe) {
  const int32_t count = std::min(KeyCount(slot), slot->lIndexCapacity);
  if (count <= 0) return -1;
  int32_t lo = 0, hi = count - 1, mid = 0, rc = -1;
  do {
    mid = (lo + hi) / 2;
    auto stored = ReadRecordKey(slot, slot->plKeyIndex[static_cast<std::size_t>(mid)]);
    if (!stored) break;
    rc = CompareKeys(slot, key, stored.get());
    if (rc < 0) {
      hi = mid - 1;
    } else {
      lo = mid + 1;
    }
  } while (rc != 0 && hi >= lo);
  if (lastProbe != nullptr) *lastProbe = mid;
  return rc == 0 ? mid : -1;
}

int32_t IndexInsertPosition(StoreSlot* slot, const char* key) {
  int32_t p = 0;
  const int32_t found = IndexSearch(slot, key, &p);
  if (found != -1) return found;
  // A key that cannot be read (offset 0: the entry of the record being
  // inserted) sorts after the key.
  auto stored = ReadRecordKey(slot, slot->plKeyIndex[static_cast<std::size_t>(p)]);
  const int c = stored ? CompareKeys(slot, key, stored.get()) : -1;
  return c < 0 ? p : p + 1;
}

int IndexInsert(StoreSlot* slot, int32_t offset, const char* key) {
  const int32_t count = KeyCount(slot);
  if (count > slot->lIndexCapacity) return 0;
  if (count == slot->lIndexCapacity && !IndexGrow(slot)) return 0;
  const int32_t capacity = slot->lIndexCapacity;
  const int32_t p = IndexInsertPosition(slot, key);
  if (p < 0 || p >= capacity) return 0;
  auto& entries = slot->plKeyIndex;
  const auto at = entries.begin() + p;
  if (p < count) std::copy_backward(at, entries.end() - 1, entries.end());
  *at = offset;
  return 1;
}

int IndexGrow(StoreSlot* slot) {
  const int32_t oldCapacity = slot->lIndexCapacity;
  if (oldCapacity > INT32_MAX / 4 - kIndexGrowth) return 0;
  const int32_t newCapacity = oldCapacity + kIndexGrowth;
  try {
    slot->plKeyIndex.resize(static_cast<std::size_t>(newCapacity), 0);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  StoreHeader& h = slot->header;
  const int32_t oldRecord = slot->lIndexOffset;
  auto keepOldCapacity = [&] { slot->plKeyIndex.resize(static_cast<std::size_t>(oldCapacity)); };
  if (!UnlinkRecord(slot, h.lhIndex, oldRecord)) {
    keepOldCapacity();
    return 0;
  }
  if (!LinkRecordAtTail(slot, h.lhFree, oldRecord)) {
    LinkRecordAtTail(slot, h.lhIndex, oldRecord);
    keepOldCapacity();
    return 0;
  }
  const int32_t newRecord = AppendRecord(slot, h.lhIndex, kIndexKey, newCapacity * 4, 0);
  if (newRecord == 0) {
    // The old Index record goes back to being the store's one Index record.
    UnlinkRecord(slot, h.lhFree, oldRecord);
    LinkRecordAtTail(slot, h.lhIndex, oldRecord);
    keepOldCapacity();
    return 0;
  }
  slot->lIndexOffset = newRecord;
  slot->lIndexCapacity = newCapacity;
  WriteIndex(slot);
  return 1;
}

int IndexCreate(StoreSlot* slot) {
  std::vector<int32_t> entries;
  try {
    entries.assign(kIndexGrowth, 0);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  const int32_t record = AppendRecord(slot, slot->header.lhIndex, kIndexKey, kIndexGrowth * 4, 0);
  if (record == 0) return 0;
  slot->lIndexOffset = record;
  slot->plKeyIndex = std::move(entries);
  slot->lIndexCapacity = kIndexGrowth;
  WriteIndex(slot);
  return 1;
}

int IndexLoad(StoreSlot* slot) {
  const int32_t record = WalkChain(slot, slot->header.lhIndex.lFirst, KeyMatchVisitor,
                                   const_cast<char*>(kIndexKey));
  if (record <= 0) return 0;
  RecordHeader header;
  auto data = ReadRecordData(slot, record, &header);
  if (!data) return 0;
  const auto capacity = static_cast<int32_t>(static_cast<uint32_t>(header.lBytesAllocated) / 4);
  // The array must end in at least one 0 entry, and every entry in use must
  // lie inside the file.
  const int32_t count = KeyCount(slot);
  if (capacity < 1 || count < 0 || count >= capacity) return 0;
  std::vector<int32_t> entries;
  try {
    entries = DecodeEntries(data.get(), capacity);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  const int64_t length = slot->pFile->Length();
  for (int32_t i = 0; i < count; ++i) {
    const int32_t entry = entries[static_cast<std::size_t>(i)];
    if (entry < kStoreHeaderSize || int64_t{entry} + kRecordHeaderSize > length) return 0;
  }
  slot->lIndexOffset = record;
  slot->plKeyIndex = std::move(entries);
  slot->lIndexCapacity = capacity;
  return 1;
}

void IndexRemove(StoreSlot* slot, int32_t offset) {
  auto& entries = slot->plKeyIndex;
  const auto found = std::find(entries.begin(), entries.end(), offset);
  if (found == entries.end()) return;
  std::copy(found + 1, entries.end(), found);
  entries.back() = 0;
}

void WriteIndex(StoreSlot* slot) {
  if (slot->plKeyIndex.empty() || slot->lIndexOffset == 0) return;
  std::vector<unsigned char> bytes(slot->plKeyIndex.size() * 4);
  for (std::size_t i = 0; i < slot->plKeyIndex.size(); ++i) {
    EncodeInt32(slot->plKeyIndex[i], &bytes[4 * i]);
  }
  slot->pFile->Seek(int64_t{slot->lIndexOffset} + kRecordHeaderSize + kIndexKeyLength);
  WriteBytes(slot, bytes.data(), bytes.size());
}

}  // namespace kvs
