// format.cc: the little-endian byte images of the store and record headers.
#include "store/format/format.h"

#include <cstring>

namespace kvs {


namespace {

void EncodeListHead(const ListHead& head, unsigned char* bytes) {
  EncodeInt32(head.lFirst, bytes);
  EncodeInt32(head.lLast, bytes + 4);
  EncodeInt32(head.lCount, bytes + 8);
}

void DecodeListHead(const unsigned char* bytes, ListHead* head) {
  head->lFirst = DecodeInt32(bytes);
  head->lLast = DecodeInt32(bytes + 4);
  head->lCount = DecodeInt32(bytes + 8);
}

}  // namespace

void EncodeStoreHeader(const StoreHeader& header, unsigned char (&bytes)[kStoreHeaderSize]) {
  std::memcpy(bytes, header.achMagic, 4);
  EncodeListHead(header.lhAllocated, bytes + 4);
  EncodeListHead(header.lhFree, bytes + 16);
  EncodeListHead(header.lhIndex, bytes + 28);
  EncodeInt32(header.lFlags, bytes + 40);
  std::memcpy(bytes + 44, header.abReserved, sizeof header.abReserved);
}

void DecodeStoreHeader(const unsigned char (&bytes)[kStoreHeaderSize], StoreHeader* header) {
  std::memcpy(header->achMagic, bytes, 4);
  DecodeListHead(bytes + 4, &header->lhAllocated);
  DecodeListHead(bytes + 16, &header->lhFree);
  DecodeListHead(bytes + 28, &header->lhIndex);
  header->lFlags = DecodeInt32(bytes + 40);
  std::memcpy(header->abReserved, bytes + 44, sizeof header->abReserved);
}

void EncodeRecordHeader(const RecordHeader& header, unsigned char (&bytes)[kRecordHeaderSize]) {
  EncodeInt32(header.lBytesAllocated, bytes);
  EncodeInt32(header.lBytesUsed, bytes + 4);
  EncodeInt32(header.lNameLength, bytes + 8);
  EncodeInt32(header.lPrev, bytes + 12);
  EncodeInt32(header.lNext, bytes + 16);
  for (int i = 0; i < 3; ++i) EncodeInt32(header.alReserved[i], bytes + 20 + 4 * i);
}

}  // namespace kvs
