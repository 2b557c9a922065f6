// record_contents.h: reading a record's key and data area, checked.
#ifndef KVS_STORE_RECORDS_RECORD_CONTENTS_H
#define KVS_STORE_RECORDS_RECORD_CONTENTS_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "store/format/format.h"
#include "store/records/slot_file.h"

namespace kvs {

// The stored key of the record at offset, read in place: *length bytes (up
// to a NUL the key may hold), valid until the next use of the file. Null for
// an offset of 0 or less or a damaged record.
const char* ReadRecordKey(SlotFile* slot, int32_t offset, std::size_t* length);
// The whole data area (lBytesAllocated bytes) of the record at offset; null
// for a damaged record or short memory. Its header goes to *header if given.
std::unique_ptr<unsigned char[]> ReadRecordData(SlotFile* slot, int32_t offset,
                                                RecordHeader* header);

}  // namespace kvs

#endif  // KVS_STORE_RECORDS_RECORD_CONTENTS_H
