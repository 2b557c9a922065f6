// unsorted_keys.h: the key table of a store without STORE_SORTED: the
// slot's KeyLookup, filled with the offsets of the allocated list's records
// under their keys' hashes, so that a put, lookup or delete finds its key
// with a hash and a probe or two instead of a walk of the whole list.
//
// The table is built at first need by one walk of the allocated list and
// then kept by the keyed operations as they link and unlink records. While
// it is built it names every live record exactly once per key, and only
// records of the allocated list:
//   - a chain that holds one key twice (a damaged file) is entered with the
//     first record in chain order, as a walk finds it; since the next such
//     record takes its place when that one leaves, the table is dropped on
//     any removal from such a chain and built again when next needed;
//   - a chain the walk cannot follow, or memory that runs short, leaves no
//     table: lookups walk the list as before;
//   - whatever discards the image's changes (a failed commit, a reload)
//     drops the table with them (ReloadHeader).
// The chain's order and bytes are untouched: the table lives in memory only.
#ifndef KVS_STORE_INDEX_UNSORTED_KEYS_H
#define KVS_STORE_INDEX_UNSORTED_KEYS_H

#include <cstdint>

#include "store/records/chains.h"

struct IndexedSlot;

namespace kvs {

// What the slot knows of its table beyond the table itself.
struct UnsortedKeys {
  bool bDuplicates = false;   // the chain held a key twice when the table was built
  bool bUnbuildable = false;  // the last build failed ...
  uint64_t uFailedAt = 0;     // ... while the slot's uHeaderWrites had this value
};

// The record of key on the allocated list of an unsorted store, as a walk
// from its first record finds it: the first record whose key equals key,
// absent when there is none, failed when the list is damaged before a match.
RecordSearch UnsortedFind(IndexedSlot* slot, const char* key);
// Record R now holds key on the allocated list.
void UnsortedKeyLinked(IndexedSlot* slot, int32_t R, const char* key);
// Record R, which held key, has left the allocated list.
void UnsortedKeyUnlinked(IndexedSlot* slot, int32_t R, const char* key);
// The allocated list changed in a way the table does not follow: it is
// dropped, and built again when next needed.
void ForgetUnsortedKeys(IndexedSlot* slot);

}  // namespace kvs

#endif  // KVS_STORE_INDEX_UNSORTED_KEYS_H
