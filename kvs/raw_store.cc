// raw_store.cc: reading a store file's bytes without the store library.
#include "kvs/raw_store.h"

#include <algorithm>
#include <unordered_set>

namespace kvs_tool {

int32_t RawStore::Int32(int64_t at) const {
  if (at < 0 || at + 4 > size()) return 0;
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) {
    value = (value << 8) | static_cast<unsigned char>(bytes_[static_cast<std::size_t>(at + i)]);
  }
  return static_cast<int32_t>(value);
}

bool RawStore::HasMagic() const { return bytes_.compare(0, 4, "BDB0") == 0; }

RawHead RawStore::Head(int chain) const {
  const int64_t at = 4 + 12 * chain;
  return RawHead{Int32(at), Int32(at + 4), Int32(at + 8)};
}

std::string RawStore::ReadRecord(int32_t offset, RawRecord* record) const {
  if (offset < kRawHeaderSize || int64_t{offset} + kRawRecordHeaderSize > size()) {
    return "offset " + std::to_string(offset) + " lies outside the records";
  }
  *record = RawRecord{offset,       Int32(offset),      Int32(offset + 4), Int32(offset + 8),
                      Int32(offset + 12), Int32(offset + 16)};
  const std::string at = "record at " + std::to_string(offset) + ": ";
  if (record->nameLength < 0 || record->nameLength > kRawMaxKeyLength) {
    return at + "key length " + std::to_string(record->nameLength) + " out of range";
  }
  if (record->bytesAllocated < 0 || record->bytesUsed < 0 ||
      record->bytesUsed > record->bytesAllocated) {
    return at + "data lengths " + std::to_string(record->bytesUsed) + " of " +
           std::to_string(record->bytesAllocated) + " out of range";
  }
  if (int64_t{offset} + kRawRecordHeaderSize + record->nameLength + record->bytesAllocated >
      size()) {
    return at + "runs past the end of the file";
  }
  return "";
}

std::string_view RawStore::Key(const RawRecord& record) const {
  return std::string_view(bytes_).substr(
      static_cast<std::size_t>(record.offset + kRawRecordHeaderSize),
      static_cast<std::size_t>(record.nameLength));
}

std::string_view RawStore::Value(const RawRecord& record) const {
  return std::string_view(bytes_).substr(
      static_cast<std::size_t>(record.offset + kRawRecordHeaderSize + record.nameLength),
      static_cast<std::size_t>(record.bytesUsed));
}

RawWalk RawStore::Walk(int chain, bool forward) const {
  RawWalk walk;
  const RawHead head = Head(chain);
  std::unordered_set<int32_t> seen;
  int32_t offset = forward ? head.first : head.last;
  if (offset == 0) {
    walk.reachedEnd = true;
    return walk;
  }
  for (;;) {
    RawRecord record;
    walk.stop = ReadRecord(offset, &record);
    if (!walk.stop.empty()) return walk;
    if (!seen.insert(offset).second) {
      walk.stop = "record at " + std::to_string(offset) + " reached again (a loop)";
      return walk;
    }
    walk.offsets.push_back(offset);
    offset = forward ? record.next : record.prev;
    if (offset == 0) {
      walk.reachedEnd = true;
      return walk;
    }
  }
}

std::vector<int32_t> RawStore::Tiles(std::string* stop) const {
  std::vector<int32_t> tiles;
  stop->clear();
  int64_t offset = kRawHeaderSize;
  while (offset < size()) {
    RawRecord record;
    *stop = ReadRecord(static_cast<int32_t>(std::min<int64_t>(offset, INT32_MAX)), &record);
    if (!stop->empty()) break;
    tiles.push_back(static_cast<int32_t>(offset));
    offset += kRawRecordHeaderSize + int64_t{record.nameLength} + record.bytesAllocated;
  }
  return tiles;
}

std::vector<int32_t> RawStore::IndexEntries(const RawRecord& index, int32_t count) const {
  std::vector<int32_t> entries;
  const int64_t at = int64_t{index.offset} + kRawRecordHeaderSize + index.nameLength;
  const int32_t capacity = index.bytesAllocated / 4;
  for (int32_t i = 0; i < std::min(count, capacity); ++i) entries.push_back(Int32(at + 4 * i));
  return entries;
}

std::vector<RawRecord> FindLiveRecords(const RawStore& store) {
  std::vector<RawRecord> live;
  std::unordered_set<int32_t> taken;
  auto take = [&](int32_t offset) {
    RawRecord record;
    if (taken.count(offset) == 0 && store.ReadRecord(offset, &record).empty()) {
      taken.insert(offset);
      live.push_back(record);
    }
  };
  const RawWalk forward = store.Walk(0, true);
  for (const int32_t offset : forward.offsets) take(offset);
  RawWalk backward = store.Walk(0, false);
  std::reverse(backward.offsets.begin(), backward.offsets.end());
  for (const int32_t offset : backward.offsets) take(offset);

  RawRecord index;
  const RawHead indexHead = store.Head(2);
  if ((store.Flags() & 1) == 0 || indexHead.first == 0 ||
      !store.ReadRecord(indexHead.first, &index).empty()) {
    return live;
  }
  std::unordered_set<int32_t> free;
  for (const bool direction : {true, false}) {
    for (const int32_t offset : store.Walk(1, direction).offsets) free.insert(offset);
  }
  free.insert(index.offset);
  const int32_t capacity = index.bytesAllocated / 4;
  for (const int32_t offset : store.IndexEntries(index, capacity)) {
    if (offset != 0 && free.count(offset) == 0) take(offset);
  }
  return live;
}

}  // namespace kvs_tool
