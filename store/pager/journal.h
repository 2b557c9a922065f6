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
// under a temporary name: it names that file and, once the file is made,
// its identity (device and number), so the open after a crash removes that
// file, and only it, as the compaction's own leftover.
//
// A journal names the store it belongs to: a rollback journal holds the
// store's length and header (its first 128 bytes) from before and from
// after the commit, and is applied only to a file whose length and header
// are each one of those two (a commit cut short leaves nothing else). A
// journal that another user made (not the store's owner nor the user this
// process runs as), or that does not fit the file, is not this store's: it
// is left alone, and a writer's open fails with BDB_DAMAGED.
//
// Journals are created exclusively, never through a symbolic link, readable
// by their owner alone until they take the store's permissions. A commit
// whose journal cannot be removed marks it finished instead (its magic
// becomes "KVSJDONE"): a finished journal is passed over by readers and
// removed by the next writer.
//
// Layout (little-endian): "KVSJRNL2", kind (int32: 1 rollback, 2
// compaction); for a rollback the store's length before and after (int64
// each), its header before and after (128 bytes each), the count of entries
// (int32), and per entry its offset (int64), length (int64) and bytes; for a
// compaction the temporary name's length (int32) and bytes, whether its
// identity is known (int32), its device and number (int64 each); then a
// 32-bit FNV-1a checksum of everything before it.
//
// A journal of the first layout ("KVSJRNL1": kind, length before, count,
// entries or name, checksum) names no store: its rollback is applied only
// to a file of the length it saved (a commit that changed the length may
// have been followed by another file under the name), and its compaction
// removes the file it names only when that file is empty.
#ifndef KVS_STORE_PAGER_JOURNAL_H
#define KVS_STORE_PAGER_JOURNAL_H

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "store/os/store_file.h"

namespace kvs {

// A range of a file's bytes, [start, end).
struct ByteRange {
  int64_t start;
  int64_t end;
};

// What a journal knows of a store file at one moment: its length and its
// header (zeros past the end of a shorter file).
struct StoreState {
  static constexpr std::size_t kHeaderBytes = 128;
  int64_t length = 0;
  std::array<unsigned char, kHeaderBytes> header{};
};

// The state of the file as it is; false when it cannot be read.
bool ReadStoreState(StoreFile& file, StoreState* state);

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
  // now, with the state the commit will leave (after); false when the
  // journal could not be written whole (nothing of the store may change
  // then), also when a file that is not a journal of this store's takes its
  // name.
  bool Save(StoreFile& store, int64_t length, const std::vector<ByteRange>& ranges,
            const StoreState& after);
  // Ends a commit that reached the store: removes the journal, or, when it
  // cannot be removed, marks it finished. False when it stays unfinished
  // (the commit must then be undone with RollBack).
  bool Finish();
  // Undoes a commit that failed part way: the saved bytes and length go
  // back, and the journal is removed. False when that failed too (the
  // journal then stays, for the next open to finish the work).
  bool RollBack(StoreFile& store);

  // Marks a compaction under way into the file tempName, before that file
  // is made (again, with the next name tried, when one was taken).
  bool BeginCompaction(const std::string& tempName);
  // Records the identity of the compaction's file, once made: only a file
  // of that identity is ever removed as its leftover.
  bool NoteTempFile(StoreFile& temp);

  // The journal's own name.
  const std::string& name() const { return name_; }

 private:
  // Save's work once the journal's file is made: writes it whole, or
  // removes it and returns false.
  bool Write(StoreFile& store, int64_t length, const std::vector<ByteRange>& ranges,
             const StoreState& before, const StoreState& after, std::unique_ptr<StoreFile> out);
  // Creates the journal anew, exclusively; a finished journal left in its
  // place is removed first. Null when something else holds its name.
  std::unique_ptr<StoreFile> Create();
  // Writes a compaction journal of tempName through file_.
  bool WriteCompaction(const std::string& tempName, const FileIdentity* identity);

  std::string name_;
  std::unique_ptr<StoreFile> file_;  // the journal written last, until finished
  std::string tempName_;
  bool sync_ = false;
};

enum class Recovery {
  kNothing,    // no journal: the store is as its last commit left it
  kRecovered,  // a journal was found and its work done
  kFailed,     // a journal is there but could not be applied: do not open
};

// The journal's name for a store of that (full) name: NAME-journal.
std::string JournalNameOf(const std::string& storeName);
// False for a store name whose last part leaves no room for "-journal"
// within the longest name a folder holds (255 bytes): no journal could be
// made beside it.
bool JournalNameFits(const char* storeName);

// Finishes what a journal beside the store shows was interrupted, before the
// store is read: rolls an unfinished commit back, removes a compaction's
// temporary file, and removes the journal. A journal that is not the
// store's is left alone (kFailed, noting BDB_DAMAGED).
Recovery RecoverStore(StoreFile& store, const std::string& storeName);
// For a reader, which may not apply a journal: true when nothing beside the
// store keeps it from being read as it is (no journal, or one that is
// incomplete, finished or a compaction's); false, noting BDB_LOCKED for a
// commit only a writer may roll back and BDB_DAMAGED for a journal that is
// not the store's.
bool ReadableWithJournal(StoreFile& store, const std::string& storeName);
// Removes a journal beside a store that is being created anew (and the
// temporary file of a compaction it names); false when one is there and
// stays.
bool DiscardJournal(const std::string& storeName);

}  // namespace kvs

#endif  // KVS_STORE_PAGER_JOURNAL_H
