// journal.h: the rollback journal that makes every commit of a store whole
// or absent, whatever moment the process dies.
//
// Before a commit touches the store file, the journal beside it
// (NAME-journal) receives the file's length and the bytes of every range
// about to change, and is complete before the first byte of the store
// changes. The store is then written and the journal removed: its removal
// is the moment the commit happens. An open that finds a complete journal
// puts the saved bytes and length back first; an incomplete one was never
// followed by a change of the store and is only removed.
//
// Compaction leaves a journal of another kind while it builds its new file
// under a temporary name: it names that file, so the open after a crash
// removes it, and only it, as the compaction's own leftover.
//
// Layout (little-endian): "KVSJRNL1", kind (int32: 1 rollback, 2
// compaction), the store's length (int64), the count of entries (int32);
// per rollback entry its offset (int64), length (int64) and bytes; for a
// compaction the temporary name's length (int32) and bytes; then a 32-bit
// FNV-1a checksum of everything before it.
#ifndef KVS_STORE_JOURNAL_H
#define KVS_STORE_JOURNAL_H

#include <cstdint>
#include <string>
#include <vector>

#include "store/store_file.h"

namespace kvs {

// A range of a file's bytes, [start, end).
struct ByteRange {
  int64_t start;
  int64_t end;
};

class Journal {
 public:
  // The journal of the store of that name (an absolute name: the working
  // directory may change while the store is open).
  explicit Journal(std::string storeName);

  // Also forces the journal and then the store to stable storage at every
  // commit, so that a commit outlives the loss of power too.
  void SyncCommits(bool on) { sync_ = on; }
  bool SyncsCommits() const { return sync_; }

  // Saves the store's length and what the ranges (within that length) hold
  // now; false when the journal could not be written whole (nothing of the
  // store may change then).
  bool Save(StoreFile& store, int64_t length, const std::vector<ByteRange>& ranges);
  // Ends a commit that reached the store: removes the journal. False when it
  // stays (the commit must then be undone with RollBack).
  bool Finish();
  // Undoes a commit that failed part way: the saved bytes and length go
  // back, and the journal is removed. False when that failed too (the
  // journal then stays, for the next open to finish the work).
  bool RollBack(StoreFile& store);

  // Marks a compaction under way into the file tempName.
  bool BeginCompaction(const std::string& tempName);

  // The journal's own name.
  const std::string& name() const { return name_; }

 private:
  std::string name_;
  bool sync_ = false;
};

enum class Recovery {
  kNothing,    // no journal: the store is as its last commit left it
  kRecovered,  // a journal was found and its work done
  kFailed,     // a journal is there but could not be applied: do not open
};

// The journal's name for a store of that (full) name: NAME-journal.
std::string JournalNameOf(const std::string& storeName);

// Finishes what a journal beside the store shows was interrupted, before the
// store is read: rolls an unfinished commit back, removes a compaction's
// temporary file, and removes the journal.
Recovery RecoverStore(StoreFile& store, const std::string& storeName);
// Removes a journal beside a store that is being created anew (and the
// temporary file of a compaction it names); false when one is there and
// stays.
bool DiscardJournal(const std::string& storeName);

}  // namespace kvs

#endif  // KVS_STORE_JOURNAL_H
