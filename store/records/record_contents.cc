// record_contents.cc: a record's key read in place, its data area copied.
#include "store/records/record_contents.h"

#include <cstring>
#include <new>

#include "store/errors.h"
#include "store/records/chains.h"

namespace kvs {

const char* ReadRecordKey(SlotFile* slot, int32_t offset, std::size_t* length) {
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

std::unique_ptr<unsigned char[]> ReadRecordData(SlotFile* slot, int32_t offset,
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

}  // namespace kvs
