// indexed_slot.h: an open store as the index layer sees it: its file
// (SlotFile, the record layers' view) and its key index (SlotIndex, kept by
// the index layer). The operations layer adds what its calls keep between
// them (StoreSlot, ops/slots.h).
#ifndef KVS_STORE_INDEX_INDEXED_SLOT_H
#define KVS_STORE_INDEX_INDEXED_SLOT_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "store/index/index_entries.h"
#include "store/index/key_lookup.h"
#include "store/index/unsorted_keys.h"
#include "store/records/slot_file.h"

// A change of the KeyIndex since it was last written (see key_index.h).
struct IndexChange {
  bool bInserted;     // an entry was inserted at lPosition, else removed
  int32_t lPosition;
  int32_t lOffset;    // the entry removed
};

// An array that growth left in an old Index record during a held run, to be
// produced only if the run is written: the entries as they were after the
// first lLogAt changes of the run, zero-padded to lCapacity.
struct HeldIndexImage {
  int32_t lCapacity;
  std::size_t lLogAt;
};

namespace kvs {

// The key index of a slot: the sorted index in memory or in its record, the
// hash table of keys, and a held run's log of the index's changes. How the
// index's forms relate is written in key_index.h.
struct SlotIndex {
  int32_t lIndexCapacity = 0;               // entries of the persisted KeyIndex (sorted stores)
  int32_t lIndexOffset = 0;                 // offset of the Index record (sorted stores)
  IndexEntries plKeyIndex;                  // the KeyIndex (sorted stores)
  KeyLookup keyLookup;                      // its keys hashed, once a lookup needs them
                                            //   (unsorted stores: the allocated list's keys)
  UnsortedKeys unsortedKeys;                // what an unsorted store's table holds
  std::string keyForm;                      // a key as the index compares it (scratch)
  bool bIndexUnwritten = false;             // the Index record lags behind its last write
  bool bIndexInRecord = false;              // the Index record holds the array as it is now
  bool bIndexInFile = false;                // the Index record is the index; plKeyIndex is empty
  bool bIndexUnloadable = false;            //   and its entries failed IndexLoad's checks
  int32_t lEntriesInFile = 0;               //   entries in use in the Index record
  uint32_t uLookupsInFile = 0;              //   lookups made there since the open
  std::vector<IndexChange> indexChanges;    // changes since the index was last written
  bool bIndexLogged = false;                // a held run of a sorted store is logging its index:
  std::vector<int32_t> heldIndexBase;       //   the entries when the run began,
  std::vector<IndexChange> heldIndexLog;    //   every change since,
  std::map<int64_t, HeldIndexImage> heldIndexImages;  // and the arrays not produced yet, by place
};

}  // namespace kvs

struct IndexedSlot : kvs::SlotFile, kvs::SlotIndex {};

#endif  // KVS_STORE_INDEX_INDEXED_SLOT_H
