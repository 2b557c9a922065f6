// key_index.h: the sorted key index: its entries, lookups, persistence and
// the held-run log of its changes (key order: key_order.h).
//
// A sorted store keeps the record offsets of its live records in ascending
// key order in plKeyIndex; the array is persisted whole, zero-padded to
// lIndexCapacity entries, as the data area of the record named "Index". Its
// count is lCount of the allocated list: entries 0..count-1 are in use, the
// rest are 0, and count < capacity after every completed insertion.
//
// The array exists in up to four forms at once; this is how they relate,
// and only the index files (key_index.cc, index_writer.cc,
// held_index_log.cc) change them:
// - plKeyIndex is the array now, unless bIndexInFile: then plKeyIndex is
//   empty and the Index record's data area is the array now, changed there
//   at once (index_in_file.h), and none of the forms below exists.
// - The Index record's data area holds the array of the last WriteIndex
//   (each change of the store ends with one), unless bIndexUnwritten: then it
//   still holds an older array, and the array of the last WriteIndex is
//   plKeyIndex with indexChanges undone, newest first. FlushIndex writes that
//   array into the record and clears both (when the call commits or before
//   growth replaces the record). bIndexInRecord means the record holds plKeyIndex itself, so a
//   WriteIndex has nothing to do.
// - During a held run of a sorted store (bIndexLogged), heldIndexBase is
//   the array when the run began and heldIndexLog every change since:
//   replaying the first k changes gives the array after them, and all of them
//   gives plKeyIndex.
// - heldIndexImages names, by file position, each old Index record that
//   growth left during the run, with the capacity and the log position of
//   the array it must hold. Its bytes are a deferred range of the file's
//   image, produced from the log by WriteHeldIndexImages only when the run
//   is written (the pager refuses to commit a range left unproduced, and
//   never asks for one); a compaction that replaces the file never produces
//   them. Where the image cannot defer a range, growth writes the old
//   record's array at once instead and names no image for it.
#ifndef KVS_STORE_INDEX_KEY_INDEX_H
#define KVS_STORE_INDEX_KEY_INDEX_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "store/index/key_order.h"
#include "store/records/chains.h"
#include "store/records/record_contents.h"
#include "store/index/indexed_slot.h"

namespace kvs {

constexpr char kIndexKey[] = "Index";
constexpr int32_t kIndexKeyLength = 5;
constexpr int32_t kIndexGrowth = 256;  // entries added at creation and each growth

// Position of the entry whose key equals key, or -1; *lastProbe (when given
// and the index is not empty) receives the position nearest to where the
// key belongs.
int32_t IndexSearch(IndexedSlot* slot, const char* key, int32_t* lastProbe);
// The record whose key equals key, found through the hash table of the index
// keys (built on first use); failed when an index searched in the file is
// damaged where the search went.
RecordSearch IndexLookup(IndexedSlot* slot, const char* key);
// The record at offset seen in place in the file's image, its
// header checked as ReadRecordHeader checks it; false when it cannot be.
bool ViewRecord(IndexedSlot* slot, int32_t offset, RecordView* view);
// The search of LookupInPlace, for a key of length bytes.
int SearchInPlace(IndexedSlot* slot, const char* key, std::size_t length, bool fold,
                  const RecordView** found);
// IndexLookup (or, once an unsorted store's key table is built, its
// UnsortedFind) without a copy, for a key of at
// most MAX_KEY_LENGTH bytes. 1 and *found when present (the lookup's record
// found last, valid until the next use of the store); 0 when absent; -1 when
// this way cannot tell (no table, a record it names cannot be read, a longer
// key, an unsorted store without its table): then ask
// IndexLookup, or for an unsorted store FindRecord. With againFirst,
// the record found last is tried before the search (a read, which mostly
// follows a size of the same key; a size mostly asks for another key).
inline int LookupInPlace(IndexedSlot* slot, const char* key, bool againFirst,
                         const RecordView** found) {
  const FileImage* file = slot->pFile.get();
  const int32_t flags = slot->header.lFlags;
  // An unsorted store's table is built by its first lookup through the file.
  if ((flags & STORE_SORTED) == 0 && !slot->keyLookup.built()) return -1;
  // While nothing has changed the image, the record found last is taken again
  // without a search. Its key has no NUL in its first keyLength bytes, so the
  // comparison stops at key's end and key[keyLength] lies within key. Most
  // other keys differ from it in their first byte already. Measured pair by
  // pair (15 pairs): 1,000,000 lookups (a size, then a read) in a
  // 100,000-record store took 1.35 times the CPU time with a search each time.
  const KeyLookup::Recent& recent = slot->keyLookup.recent();
  if (againFirst && recent.file == file && recent.changes == file->Changes()) {
    const auto* recentKey =
        reinterpret_cast<const char*>(recent.view.bytes + kRecordHeaderSize);
    const std::size_t recentLength = recent.keyLength;
    if ((recentLength == 0 || key[0] == recentKey[0]) &&
        std::strncmp(key, recentKey, recentLength) == 0 && key[recentLength] == '\0') {
      *found = &recent.view;
      return 1;
    }
  }
  const std::size_t length = std::strlen(key);
  if (length > static_cast<std::size_t>(MAX_KEY_LENGTH)) return -1;
  return SearchInPlace(slot, key, length, (flags & STORE_NOCASE) != 0, found);
}
// The hash of a key as the slot's KeyLookup holds it.
uint32_t KeyHash(const IndexedSlot* slot, const char* key, std::size_t length);
// Fills the slot's KeyLookup with the keys of its KeyIndex; without memory
// for it the table stays unbuilt, and lookups search the index.
void BuildKeyLookup(IndexedSlot* slot);
// The position at which key belongs.
int32_t IndexInsertPosition(IndexedSlot* slot, const char* key);
// Stores record offset at key's position, growing the array first when full.
// 0 when the array had to grow and could not (nothing is stored then). A
// position of 0 or more is key's position, known to the caller.
int IndexInsert(IndexedSlot* slot, int32_t offset, const char* key, int32_t position = -1);

// Enlarges the index by 256 entries into a new Index record at the end of
// the file; the old record goes to the free list. 0 on failure: the slot and
// chains as they were, except when an index in the file could not be copied
// into the new record; that change is marked stopped (bWriteFailed) for the
// call to forget whole.
int IndexGrow(IndexedSlot* slot);
// Appends the Index record of a new sorted store with 256 empty entries.
int IndexCreate(IndexedSlot* slot);
// Loads the index of a sorted store being opened; 1 when the slot has a
// usable index afterwards: complete, in key order and zero-padded. known,
// when given, holds the entries and keys the store's index was just written
// with (a compaction's new store): when the Index record holds exactly its
// offsets, the slot takes them over instead of reading every record's key.
int IndexLoad(IndexedSlot* slot, IndexEntries* known = nullptr);
// Removes record offset from the array, if present.
void IndexRemove(IndexedSlot* slot, int32_t offset);
// The whole array, as it is now, is what the Index record's data area holds.
void WriteIndex(IndexedSlot* slot);
// Puts the array of the last WriteIndex into the Index record, if it is not
// there yet; false when memory for it is short.
bool FlushIndex(IndexedSlot* slot);
// The entries of the last WriteIndex (without their keys): plKeyIndex
// itself when it has not changed since, else *earlier filled with them;
// null when memory for them is short.
const IndexEntries* LastWrittenIndex(const IndexedSlot* slot, IndexEntries* earlier);

// A held run of a buffered sorted store logs the changes of its index, so
// that the arrays growth leaves behind in old Index records are produced
// only when the run is written (and never when a compaction replaces the
// file): BeginIndexLog when the run begins; WriteHeldIndexImages before the
// run's changes are written, which also ends the log.
void BeginIndexLog(IndexedSlot* slot);
// Ends the log without producing its arrays: the image they were for is gone.
void DropIndexLog(IndexedSlot* slot);
// Logs a change of the index made during the run (nothing outside one).
void LogIndexChange(IndexedSlot* slot, const IndexChange& change);
void WriteHeldIndexImages(IndexedSlot* slot);

// Writes the whole store of a buffered slot, as committing it would leave
// its file, into the empty file to, from its first byte: the image's bytes,
// and the arrays a held run has not produced yet made on the way, in file
// order, without taking them into memory. The slot's image keeps every
// pending change. False when a write came up short or memory ran out.
bool WriteStoreImage(IndexedSlot* slot, StoreFile& to);
// True when WriteStoreImage can produce the slot's held arrays in one pass.
bool HeldImagesInFileOrder(const IndexedSlot& slot);

}  // namespace kvs

#endif  // KVS_STORE_INDEX_KEY_INDEX_H
