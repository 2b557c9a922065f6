// chains.h: the record chains and the growth of the file.
//
// The only ways the store touches its chains: walk one with a visitor, take
// a record out of one, put a record at the tail of one, and append a new
// record at the end of the file (the only way the file grows). Every change
// of a ListHead writes the store header at once; record headers are changed
// by read-modify-write of all 32 bytes, so alReserved is carried unchanged.
//
// Damaged files: every record header read here is checked against the file
// (offset, lengths, room inside the file) before it is trusted, a walk visits
// at most as many records as the file can hold, and a header is only ever
// written where a valid one was read, so no operation reads or writes outside
// the file or loops on a cyclic chain.
#ifndef KVS_STORE_RECORDS_CHAINS_H
#define KVS_STORE_RECORDS_CHAINS_H

#include <cstdint>

#include "store/format/format.h"
#include "store/records/slot_file.h"
#include "store/store.h"

namespace kvs {

// What a visitor tells the walk after a record: go on to the next one, or
// stop here and hand value to the walk's caller.
struct VisitResult {
  bool stop = false;
  int32_t value = 0;

  static constexpr VisitResult GoOn() { return {}; }
  static constexpr VisitResult Stop(int32_t value = 0) { return {true, value}; }
};

// Called once per record of a walk with the record's key (NUL-terminated) and
// header, while the file is positioned at the record's data area.
using ChainVisitor = VisitResult (*)(SlotFile* slot, const char* key,
                                     const RecordHeader& header, void* userData);

// Inside a visit: the offset of the visited record, from the position at its
// data area that WalkChain leaves for the visitor.
int32_t VisitedRecordOffset(SlotFile* slot, const RecordHeader& header);

// How a walk ended: past the chain's last record, stopped by its visitor, or
// failed because the chain itself is damaged (a link that leads outside the
// file, a malformed record, a loop: noted BDB_DAMAGED), memory is short
// (noted BDB_NO_MEMORY) or the visitor closed the store.
struct WalkResult {
  enum End : uint8_t { kChainEnd, kStopped, kFailed };
  End end = kChainEnd;
  int32_t value = 0;  // what the visitor stopped the walk with; else 0
};

// What a search for the record of a key found: the record, no record, or no
// answer, because the chain or index it searched is damaged or memory is
// short (noted).
struct RecordSearch {
  enum Outcome : uint8_t { kAbsent, kPresent, kFailed };
  Outcome outcome = kAbsent;
  int32_t offset = 0;  // the record when kPresent; else 0

  // The record at offset; absent when offset names no record (0).
  static constexpr RecordSearch At(int32_t offset) {
    return offset > 0 ? RecordSearch{kPresent, offset} : RecordSearch{};
  }
  static constexpr RecordSearch Failed() { return {kFailed, 0}; }
  bool present() const { return outcome == kPresent; }
};

// The room a record offers to a key and value (a 64-bit sum: a damaged
// header must not overflow it).
inline int64_t RoomOf(const RecordHeader& header) {
  return int64_t{header.lBytesAllocated} + header.lNameLength;
}

// A record header describes a record only when its lengths are sane and the
// header, key and data area all lie inside the file.
inline bool RecordFits(int32_t offset, const RecordHeader& header, int64_t fileLength) {
  if (offset < kStoreHeaderSize) return false;
  if (header.lNameLength < 0 || header.lNameLength > MAX_KEY_LENGTH) return false;
  if (header.lBytesAllocated < 0 || header.lBytesUsed < 0) return false;
  if (header.lBytesUsed > header.lBytesAllocated) return false;
  return int64_t{offset} + kRecordHeaderSize + header.lNameLength + header.lBytesAllocated <=
         fileLength;
}
// Reads and checks the record header at offset: false when the offset or the
// header's lengths do not describe a record lying inside the file.
bool ReadRecordHeader(SlotFile* slot, int32_t offset, RecordHeader* header);
// Writes a record header at offset (an offset whose header read as valid).
void WriteRecordHeader(SlotFile* slot, int32_t offset, const RecordHeader& header);

// Visits the chain from start, in chain order, until the visitor stops.
WalkResult WalkChain(SlotFile* slot, int32_t start, ChainVisitor visitor, void* userData);
// Takes record R out of chain. False (and nothing changed) when a header
// involved is damaged.
bool UnlinkRecord(SlotFile* slot, ListHead& chain, int32_t R);
// Links record R, which is on no chain, at the tail of chain. False (and
// nothing changed) when a header involved is damaged.
bool LinkRecordAtTail(SlotFile* slot, ListHead& chain, int32_t R);
// Appends a record for key with the given data capacity and used length at
// the end of the file and links it at the tail of chain. Returns its offset,
// or 0 when the file cannot be grown (nothing is then changed).
int32_t AppendRecord(SlotFile* slot, ListHead& chain, const char* key,
                     int32_t capacity, int32_t used);

// The stored length of a key: its length, cut to MAX_KEY_LENGTH.
int32_t StoredKeyLength(const char* key);

}  // namespace kvs

#endif  // KVS_STORE_RECORDS_CHAINS_H
