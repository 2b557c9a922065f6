// format.h: the bytes of a store file.
//
// A store file is a 128-byte StoreHeader at offset 0, then records, each a
// 32-byte RecordHeader followed by the key bytes (no terminator) and the data
// area, whose first lBytesUsed bytes are the value. All integers are signed
// 32-bit little-endian; offsets count from the start of the file and 0 means
// none. Nothing is aligned or padded.
//
// Invariants of a well-formed file, kept by the chain primitives:
//  - every record is on exactly one of the three chains (allocated, free,
//    index); following lNext from lFirst visits lCount records and ends at
//    lLast; lPrev mirrors lNext;
//  - a record's room, lBytesAllocated + lNameLength, is fixed when it is
//    appended; lBytesUsed <= lBytesAllocated; records never overlap.
#ifndef KVS_STORE_FORMAT_FORMAT_H
#define KVS_STORE_FORMAT_FORMAT_H

#include <cstddef>
#include <cstdint>

namespace kvs {

constexpr int32_t kStoreHeaderSize = 128;
constexpr int32_t kRecordHeaderSize = 32;
constexpr unsigned char kMagic[4] = {0x42, 0x44, 0x42, 0x30};  // "BDB0"
constexpr int32_t kFlagMask = 3;  // STORE_SORTED | STORE_NOCASE

struct ListHead {
  int32_t lFirst = 0;
  int32_t lLast = 0;
  int32_t lCount = 0;
};

struct StoreHeader {
  unsigned char achMagic[4] = {};
  ListHead lhAllocated;
  ListHead lhFree;
  ListHead lhIndex;
  int32_t lFlags = 0;
  unsigned char abReserved[84] = {};
};

struct RecordHeader {
  int32_t lBytesAllocated = 0;
  int32_t lBytesUsed = 0;
  int32_t lNameLength = 0;
  int32_t lPrev = 0;
  int32_t lNext = 0;
  int32_t alReserved[3] = {};
};

// Conversions between the in-memory structures and their file bytes.
void EncodeStoreHeader(const StoreHeader& header, unsigned char (&bytes)[kStoreHeaderSize]);
void DecodeStoreHeader(const unsigned char (&bytes)[kStoreHeaderSize], StoreHeader* header);
void EncodeRecordHeader(const RecordHeader& header, unsigned char (&bytes)[kRecordHeaderSize]);
inline void DecodeRecordHeader(const unsigned char (&bytes)[kRecordHeaderSize],
                               RecordHeader* header);

inline void EncodeInt32(int32_t value, unsigned char* bytes) {
  const auto u = static_cast<uint32_t>(value);
  bytes[0] = static_cast<unsigned char>(u);
  bytes[1] = static_cast<unsigned char>(u >> 8);
  bytes[2] = static_cast<unsigned char>(u >> 16);
  bytes[3] = static_cast<unsigned char>(u >> 24);
}

inline int32_t DecodeInt32(const unsigned char* bytes) {
  const uint32_t u = uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
                     uint32_t{bytes[3]} << 24;
  return static_cast<int32_t>(u);
}

inline void DecodeRecordHeader(const unsigned char (&bytes)[kRecordHeaderSize],
                               RecordHeader* header) {
  header->lBytesAllocated = DecodeInt32(bytes);
  header->lBytesUsed = DecodeInt32(bytes + 4);
  header->lNameLength = DecodeInt32(bytes + 8);
  header->lPrev = DecodeInt32(bytes + 12);
  header->lNext = DecodeInt32(bytes + 16);
  for (int i = 0; i < 3; ++i) header->alReserved[i] = DecodeInt32(bytes + 20 + 4 * i);
}

}  // namespace kvs

#endif  // KVS_STORE_FORMAT_FORMAT_H
