// index_writer.h: writing an array of index entries into an Index record's
// data area, little-endian and zero-padded.
#ifndef KVS_STORE_INDEX_INDEX_WRITER_H
#define KVS_STORE_INDEX_INDEX_WRITER_H

#include <cstddef>
#include <cstdint>

#include "store/index/index_entries.h"
#include "store/index/indexed_slot.h"

namespace kvs {

// Encodes count int32 values, little-endian, at out.
void EncodeInt32s(const int32_t* values, std::size_t count, unsigned char* out);
// Writes an array of entries zero-padded to capacity entries, from its byte
// skip on, at the file position (of a buffered file, with onlyChanges, only
// the bytes that differ from the image).
void WriteArray(IndexedSlot* slot, const IndexEntries& entries, std::size_t capacity,
                std::size_t skip, bool onlyChanges = false);

}  // namespace kvs

#endif  // KVS_STORE_INDEX_INDEX_WRITER_H
