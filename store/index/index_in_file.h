// index_in_file.h: the KeyIndex where it lies, in the Index record's data
// area, searched and changed in place, so that an open of a large sorted
// store reads no more than its first operations need.
//
// While bIndexInFile holds, the Index record in the image is the index: its
// first lEntriesInFile entries are in use, the rest are 0; plKeyIndex and
// keyLookup are empty; bIndexInRecord holds and bIndexUnwritten does not, so
// WriteIndex and FlushIndex have nothing to do. A search reads the entries
// and records it probes (about log2(n) of each), every record header checked
// as ReadRecordHeader checks it; an insertion or removal moves the entries
// after its position within the record, which leaves the same bytes as
// writing the changed array whole.
//
// When the slot loads the entries (policy in index_in_file.cc), IndexLoad
// reads and checks the whole index as an open of a small store does; a store
// whose index fails that check stays searched in the file.
#ifndef KVS_STORE_INDEX_INDEX_IN_FILE_H
#define KVS_STORE_INDEX_INDEX_IN_FILE_H

#include <cstddef>
#include <cstdint>

#include "store/index/key_lookup.h"
#include "store/index/indexed_slot.h"

namespace kvs {

// The second half of an open of a sorted store: a small index is loaded
// (IndexLoad), a large one left in the file after a check of the Index
// record, its count and capacity, its first and last entries in use and
// its first 0 entry. 1 when the slot has a usable index afterwards.
int OpenIndex(IndexedSlot* slot);
// Makes the slot hold the entries of an index left in the file (no-op for
// one already loaded); false, noting BDB_DAMAGED, when the index fails the
// checks of IndexLoad, or BDB_NO_MEMORY when memory for them ran short (the
// index then stays in the file; only the latter is loaded again later).
bool LoadIndexEntries(IndexedSlot* slot);
// Counts a lookup of an index left in the file and loads the entries once
// such lookups have paid for them; true while the index stays in the file.
bool SearchesInFile(IndexedSlot* slot);

// The record offset held by entry position of the index in the file; 0 when
// the entry cannot be read (outside the record).
int32_t EntryInFile(IndexedSlot* slot, int32_t position);
// Binary search of the first count entries for key (NUL-terminated): 1 when an entry's key equals key, 0 when none
// does; *position is where key is or belongs. -1 (noting BDB_DAMAGED) when
// an entry or a record it names cannot be read. With view, a found record
// is seen there as ViewRecord sees it.
int SearchInFile(IndexedSlot* slot, const char* key, int32_t count, int32_t* position,
                 RecordView* view);
// Inserts record offset at position, moving the entries after it up; the
// array must have room for one more entry. False when a write fell short.
bool InsertInFile(IndexedSlot* slot, int32_t offset, int32_t position);
// Removes record offset from the index in the file, if present.
void RemoveInFile(IndexedSlot* slot, int32_t offset);
// Calls visit(offset) for the entries from position on, loaded or in the
// file, until it returns false. An entry in the file that cannot be read
// is visited as 0.
template <typename Visit>
void VisitIndexFrom(IndexedSlot* slot, std::size_t position, Visit visit) {
  if (!slot->bIndexInFile) {
    slot->plKeyIndex.VisitFrom(position, visit);
    return;
  }
  for (auto i = static_cast<int64_t>(position); i < slot->lEntriesInFile; ++i) {
    if (!visit(EntryInFile(slot, static_cast<int32_t>(i)))) return;
  }
}
// Copies the array of the Index record at from, capacity entries, into the
// data area of the record at to (an index growing into a new record).
bool CopyIndexArray(IndexedSlot* slot, int32_t from, int32_t to, int32_t capacity);

}  // namespace kvs

#endif  // KVS_STORE_INDEX_INDEX_IN_FILE_H
