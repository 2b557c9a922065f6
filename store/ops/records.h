// records.h: the keyed record operations under BdbPut, BdbGetSize, BdbRead
// and BdbDelete, and the placement of values (first fit on the free list,
// append at the end of the file, rewrite in place or relocate).
//
// Keys given to these functions are already cut to MAX_KEY_LENGTH, so a key
// always agrees with its stored form.
#ifndef KVS_STORE_OPS_RECORDS_H
#define KVS_STORE_OPS_RECORDS_H

#include <cstdint>

#include "store/records/chains.h"
#include "store/index/key_index.h"
#include "store/ops/slots.h"

namespace kvs {

// The record of key; failed when the allocated list of an unsorted store, or
// the index of a sorted store searched in the file, is damaged.
RecordSearch FindRecord(StoreSlot* slot, const char* key);
// Places a key that is not in the store. 0 when no room can be made; the
// store then holds what it held before. A position of 0 or more is the
// key's position in the index of a sorted store, known to the caller.
int InsertRecord(StoreSlot* slot, const char* key, const void* data, int32_t length,
                 int32_t position = -1);
// Replaces the value of the key present at record R, in place when it fits.
int RewriteRecord(StoreSlot* slot, int32_t R, const char* key, const void* data,
                  int32_t length);
// Finds the record of a caller's key (cut to MAX_KEY_LENGTH first) and reads
// its checked header. False when the key is null or absent or the record is
// damaged.
bool FindLiveRecord(StoreSlot* slot, const char* key, int32_t* R, RecordHeader* header);
// FindLiveRecord for a size or a read: the record found, or null when the
// key is null or absent or the record is damaged; valid until the next use
// of the store. Where the record can be seen in place, its bytes are given;
// else bytes is null and the value is to be read from the file. A read tries
// the record found last first (see LookupInPlace). Inline, since every size
// and read of a key runs it.
const RecordView* FindValueThroughFile(StoreSlot* slot, const char* key);
inline const RecordView* FindValue(StoreSlot* slot, const char* key, bool forRead) {
  if (key == nullptr) return nullptr;
  const RecordView* found = nullptr;
  const int inPlace = LookupInPlace(slot, key, forRead, &found);
  return inPlace >= 0 ? found : FindValueThroughFile(slot, key);
}
// Reads the first n bytes of record R's value into buffer; false (noting
// the cause) when the file cannot hand them over.
bool ReadRecordValue(StoreSlot* slot, int32_t R, const RecordHeader& header, void* buffer,
                     int32_t n);
// Releases key's record to the free list; 0 when the key is absent.
int RemoveRecord(StoreSlot* slot, const char* key);
// Stops at the first free record whose room covers the need in *userData,
// with its offset.
VisitResult FreeFitVisitor(SlotFile* slot, const char* key, const RecordHeader& header,
                           void* userData);

}  // namespace kvs

#endif  // KVS_STORE_OPS_RECORDS_H
