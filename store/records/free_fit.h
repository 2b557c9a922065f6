// free_fit.h: first fit on the free list through the slot's FreeRooms, and
// the calls that keep FreeRooms in step with the list.
//
// The walk of the free list stays the reference: FreeRooms answers only
// while it mirrors the list exactly, which it checks against the list head
// before every answer; else the caller walks. Every link and unlink of a
// chain goes through chains.cc, which reports it here: a change of the free
// list is followed, and one of another chain that wrote the header of a
// mirrored record (a damaged file whose chains cross) ends the mirror. A
// slot whose image is read again (ReadHeader, ReloadHeader) drops it.
#ifndef KVS_STORE_RECORDS_FREE_FIT_H
#define KVS_STORE_RECORDS_FREE_FIT_H

#include <cstdint>

#include "store/format/format.h"
#include "store/records/chains.h"
#include "store/records/slot_file.h"

namespace kvs {

// The first free record in chain order whose room (key length + data
// capacity) is at least need, or absent when there is none; failed when the
// mirror cannot tell (memory short, a damaged list): the caller then walks
// the list. Builds the
// mirror by one walk of the list at the first need; the error state is left
// as it was.
RecordSearch FirstFreeFit(SlotFile* slot, int64_t need);
// Record R, with the given header, was linked at the tail of chain after
// the record that was its last (0: none).
void ChainLinked(SlotFile* slot, const ListHead& chain, int32_t R, const RecordHeader& header,
                 int32_t last);
// Record R was taken out of chain from between P and N (0: none).
void ChainUnlinked(SlotFile* slot, const ListHead& chain, int32_t R, int32_t P, int32_t N);
// The store header was read again: the mirror is built anew when needed.
void DropFreeFit(SlotFile* slot);

}  // namespace kvs

#endif  // KVS_STORE_RECORDS_FREE_FIT_H
