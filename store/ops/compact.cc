// compact.cc: rewriting a store into a fresh file that holds only its live
// records, and putting that file in place of the old one under the same
// name and the same handle.
//
// The new file is made with the old file's permissions under a temporary
// name beside the store's real file (behind any symbolic link), filled in a
// private working slot, synced, and then renamed over the old file in one
// atomic step, so the store's name always holds either the whole old store
// or the whole new one. While the copy runs, the store's journal names the
// new file, so an open after a crash removes it. Changes the store holds
// back (BdbHoldWrites) are part of what is copied; they reach the old file
// only if the new one cannot take its place.
//
// A store with more than one name (hard links) keeps its file: its held
// changes are committed first, and the new bytes are then written over it
// in one journaled commit of its own. That commit's journal takes the
// journal's name, so the new file is removed, and the compaction's journal
// with it, before the commit begins; a commit that fails leaves the old
// store, in the file and through the handle.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <string>

#include "store/records/chains.h"
#include "store/errors.h"
#include "store/index/index_in_file.h"
#include "store/pager/journal.h"
#include "store/index/insertion_positions.h"
#include "store/index/key_index.h"
#include "store/ops/lifecycle.h"
#include "store/ops/records.h"

namespace kvs {
namespace {

constexpr int kTempNameTries = 1000;  // .000 to .999
// Memory the new file's pages may take before they are written out: nobody
// looks at the new file until it is complete, so it need not stay in memory.
// Measured pair by pair against keeping every page (20 pairs): kvsgen adding
// 10,000 records to a 100,000-record store takes 2.5 times as long without
// it (CPU time 2.9, from 2.3 to 4.3), and its peak memory is 175 MiB instead
// of 70.
constexpr std::size_t kCopyBufferBytes = 16 << 20;

// The new file, created exclusively and kept open from then on, so that no
// other file can ever take its name between its creation and its use.
struct TempFile {
  std::string name;
  std::unique_ptr<StoreFile> file;
};

// Finds the first sibling name of the store that does not exist yet and
// creates it, empty, exclusively and with the permissions of the store's
// file (model), so no other file is ever overwritten and no copy of the
// store is ever more open than the store.
// The name lies in the store's own directory (so the final rename never
// crosses file systems): the store's file name cut at its first dot (a dot
// is appended when there is none), followed by three digits. The journal
// names it before it is created, so that no moment leaves it behind.
std::optional<TempFile> MakeTempFile(const std::string& fullName, Journal& journal,
                                     StoreFile& model) {
  const std::size_t slash = fullName.find_last_of("/\\");
  const std::size_t baseAt = slash == std::string::npos ? 0 : slash + 1;
  const std::size_t dot = fullName.find('.', baseAt);
  std::string name = fullName.substr(0, dot == std::string::npos ? fullName.size() : dot) + ".000";
  if (!FileNameFits(name.c_str())) {
    NoteError(BDB_INVALID_ARGUMENT);
    return std::nullopt;
  }
  const std::size_t digits = name.size() - 3;
  for (int n = 0; n < kTempNameTries; ++n) {
    char number[4];
    std::snprintf(number, sizeof number, "%03i", n);
    name.replace(digits, 3, number);
    if (!ActiveFileSystem().Missing(name.c_str())) continue;
    if (!journal.BeginCompaction(name)) return std::nullopt;
    OpenError error = OpenError::kNone;
    std::unique_ptr<StoreFile> file =
        ActiveFileSystem().Open(name.c_str(), OpenMode::kCreateNew, &error);
    if (file && journal.NoteTempFile(*file) && file->TakePermissionsOf(model)) {
      return TempFile{name, std::move(file)};
    }
    if (file) {
      file.reset();
      ActiveFileSystem().Delete(name.c_str());
      break;
    }
    if (error != OpenError::kExists) break;
  }
  journal.Finish();
  NoteError(BDB_IO);
  return std::nullopt;
}

// The working slot, where the copies go in its index, and how many were
// copied: a compaction trusts the chain it walks only when it agrees with
// the store's counts and index.
struct CopyTarget {
  StoreSlot* slot;
  InsertionPositions positions;
  int32_t copied = 0;
};

// Copies the record whose data area the walk is positioned at into the
// target passed as user data; a failure stops the walk.
VisitResult CopyRecordVisitor(SlotFile* source, const char* key, const RecordHeader& header,
                              void* userData) {
  auto* target = static_cast<CopyTarget*>(userData);
  const int32_t position = target->positions.Take(VisitedRecordOffset(source, header));
  if (position < 0 && !target->slot->plKeyIndex.keyed()) {
    NoteError(BDB_DAMAGED);  // a record the index does not hold
    return VisitResult::Stop();
  }
  const auto used = static_cast<std::size_t>(header.lBytesUsed);
  const unsigned char* value = source->pFile->View(source->pFile->Tell(), used);
  if (value == nullptr) return VisitResult::Stop();
  ++target->copied;
  const bool copied = InsertRecord(target->slot, key, value, header.lBytesUsed, position) != 0;
  return copied ? VisitResult::GoOn() : VisitResult::Stop();
}

// True when every live record was copied: as many as the store counts, and
// for a sorted store as many as its index holds, and no key twice.
bool CopiedWhole(const StoreSlot& source, const StoreSlot& target, int32_t copied) {
  if (copied != source.header.lhAllocated.lCount) return false;
  if (!IsSorted(source)) return true;
  return static_cast<std::size_t>(copied) == source.plKeyIndex.size() &&
         target.plKeyIndex.size() == source.plKeyIndex.size();
}

// The new index of a compacted sorted store with its keys: the old index,
// which holds the same keys in the same order, taken over with the new
// offsets (entries, filled without keys). Empty when the two differ in size;
// the reopened store then reads the keys itself. The old store is let go
// right after, so its index is taken, not copied.
IndexEntries WithKeysOf(StoreSlot& source, const IndexEntries& entries) {
  IndexEntries keyed = std::move(source.plKeyIndex);
  if (!keyed.TakeOffsetsOf(entries)) keyed.clear();
  return keyed;
}

// Writes everything of the new store and forces it to stable storage; false
// when any write into it came up short.
bool MakeDurable(StoreSlot* slot) {
  if (IsSorted(*slot)) WriteIndex(slot);
  return CommitStore(slot) && slot->pFile->Sync();
}

// Ends the run of held calls and writes what the store holds to its own
// file, after a compaction that did not replace it, as BdbFlush does: the
// changes stay for a later try when that fails too.
bool KeepOldStore(StoreSlot* slot) { return FlushStore(slot); }

// Writes the new store's bytes over the old file's image, for a store with
// more than one name: a rename would part its names. The store holds no
// change of its own (KeepOldStore); its next commit writes the new bytes.
bool CopyInPlace(StoreSlot* slot, StoreSlot* work) {
  StoreFile& from = *work->pFile;
  StoreFile& to = *slot->pFile;
  const int64_t length = from.Length();
  constexpr std::size_t kPiece = 1 << 20;
  for (int64_t at = 0; at < length;) {
    const auto n = static_cast<std::size_t>(std::min<int64_t>(length - at, int64_t{kPiece}));
    const unsigned char* bytes = from.View(at, n);
    if (bytes == nullptr || !to.Seek(at) || to.Write(bytes, n) != n) return false;
    at += static_cast<int64_t>(n);
  }
  return to.SetLength(length);
}

// After an in-place copy that did not commit, the handle reads the old store
// from its file again (now, or before its next use when the journal has yet
// to put the file back).
void ForgetInPlaceCopy(StoreSlot* slot) {
  slot->bCompactForm = false;
  slot->pFile->DiscardChanges();
  slot->bStale = true;
  RefreshStore(slot);
}

// The slot's file with every change committed, taken out of the slot; null
// when the commit failed.
std::unique_ptr<StoreFile> TakeStoreFile(StoreSlot* slot) { return slot->pFile->TakeFile(); }

// Closes the slot's file but keeps the store as seen through it, pending
// changes included, until RegainStoreFile.
void ReleaseStoreFile(StoreSlot* slot) { slot->pFile->ReleaseFile(); }

bool RegainStoreFile(StoreSlot* slot, const std::string& fullName) {
  std::unique_ptr<StoreFile> file = OpenLocked(fullName.c_str(), OpenMode::kUpdate);
  if (!file) return false;
  slot->pFile->AdoptFile(std::move(file));
  return true;
}
// One compaction: the store, its names, its compaction journal, the new
// file and the working slot that fills it.
struct Compaction {
  explicit Compaction(StoreSlot* store)
      : slot(store), savedName(store->szFileName), fullName(store->fullName), journal(fullName) {}

  StoreSlot* slot;
  FileSystem& fs = ActiveFileSystem();
  std::string savedName;  // closing clears szFileName
  std::string fullName;
  Journal journal;
  std::optional<TempFile> temp;
  StoreSlot work;  // not in the table: no handle ever designates the new store
};

// The first way to fill the new file: a store that holds exactly what its
// compaction would write (created here, and only new keys put since) is
// written out as it stands, with no record copied. Measured against
// CopyLiveRecords, together with the other changes made at the same time:
// kvsgen's fresh build of 100,000 records 0.66 -> 0.34 s, of 400,000 records
// 4.40 -> 2.15 s.
bool WriteAsItStands(Compaction& c) {
  return WriteStoreImage(c.slot, *c.temp->file) && c.temp->file->Sync();
}

// The second way: every live record, in the order of the allocated list,
// put into a new store in the working slot, which is then made durable.
bool CopyLiveRecords(Compaction& c) {
  StoreSlot* slot = c.slot;
  StoreSlot* work = &c.work;
  if (!CreateStore(work, c.temp->name.c_str(), slot->header.lFlags, std::move(c.temp->file))) {
    return false;
  }
  work->pFile->WriteBehind(kCopyBufferBytes);
  CopyTarget target{work, {}};
  if (IsSorted(*slot)) {
    target.positions.Prepare(slot);
    // With every position known, the new index is filled without keys;
    // they are the old index's, in the same order (WithKeysOf).
    if (target.positions.Prepared(*slot)) work->plKeyIndex = IndexEntries(IndexEntries::kOffsetsOnly);
  }
  if (WalkChain(slot, slot->header.lhAllocated.lFirst, CopyRecordVisitor, &target).end !=
      WalkResult::kChainEnd) {
    return false;
  }
  if (!CopiedWhole(*slot, *work, target.copied)) {
    // The chain and the counts or the index disagree: a compaction would
    // make whatever the walk missed lost for good.
    NoteError(BDB_DAMAGED);
    return false;
  }
  return MakeDurable(work);
}

// The handle designates the compacted store, through newFile, which the copy
// filled and still holds locked. A store that cannot be read back leaves the
// handle invalid, and the call failed whatever it did.
int ReopenCompacted(Compaction& c, std::unique_ptr<StoreFile> newFile, IndexEntries* written) {
  DiscardSlot(c.slot);
  if (!newFile) return 0;
  if (!OpenStoreFrom(c.slot, c.savedName.c_str(), c.fullName, std::move(newFile), written)) return 0;
  if (AttachJournal(c.slot)) return 1;
  DiscardSlot(c.slot);
  return 0;
}

// The first way to put the new store in place, for a store with one name:
// the new file is renamed over the old one.
int ReplaceByRename(Compaction& c, bool filled, bool asItStands, bool* replacedAtName) {
  StoreSlot* slot = c.slot;
  std::unique_ptr<StoreFile> newFile;
  bool released = false;
  bool replaced = false;
  if (filled) {
    newFile = asItStands ? std::move(c.temp->file) : TakeStoreFile(&c.work);
    // The old file stays open, and so locked, until the new one has its
    // name, so no other writer can take the old file meanwhile; Windows
    // cannot replace a file held open, and there it is let go.
    if (!c.fs.ReplacesOpenFiles()) {
      ReleaseStoreFile(slot);
      released = true;
    }
    replaced = newFile != nullptr && c.fs.Replace(c.temp->name.c_str(), c.fullName.c_str());
  }
  *replacedAtName = replaced;
  // The reopened store takes over the index the new file was written with.
  // Measured pair by pair against reading every key back (20 pairs):
  // kvsgen's fresh build of 100,000 records takes 1.25 times as long without
  // it (CPU time 1.23, from 1.07 to 1.62).
  IndexEntries written = std::move(replaced && asItStands ? slot->plKeyIndex : c.work.plKeyIndex);
  if (replaced && !written.keyed()) written = WithKeysOf(*slot, written);
  CloseSlot(&c.work);
  if (!replaced) {
    // The temporary file is closed before it is removed (Windows removes
    // no file held open).
    c.temp->file.reset();
    newFile.reset();
    c.fs.Delete(c.temp->name.c_str());
  }
  c.journal.Finish();
  if (!replaced) {
    slot->bCompactForm = false;
    if (released && !RegainStoreFile(slot, c.fullName)) {
      DiscardSlot(slot);
      return 0;
    }
    KeepOldStore(slot);
    return 0;
  }
  return ReopenCompacted(c, std::move(newFile), &written);
}

// The second way, for a store with more than one name (hard links), which
// keeps its file: the new bytes go into the handle's image and reach the
// file in one journaled commit of their own, once the new file and the
// compaction's journal are gone and the commit's journal may take the name.
int ReplaceInPlace(Compaction& c, bool filled, bool* replacedAtName) {
  StoreSlot* slot = c.slot;
  *replacedAtName = false;
  if (!filled) {
    CloseSlot(&c.work);
    c.temp->file.reset();
    c.fs.Delete(c.temp->name.c_str());
    c.journal.Finish();
    slot->bCompactForm = false;
    KeepOldStore(slot);
    return 0;
  }
  // A copy into the image that stops part way for memory is forgotten
  // whole below, as one that fails.
  bool copiedIn = false;
  try {
    copiedIn = CopyInPlace(slot, &c.work);
  } catch (const std::bad_alloc&) {
    NoteError(BDB_NO_MEMORY);
  }
  IndexEntries written = std::move(c.work.plKeyIndex);
  CloseSlot(&c.work);
  c.temp->file.reset();
  c.fs.Delete(c.temp->name.c_str());
  c.journal.Finish();
  std::unique_ptr<StoreFile> newFile;
  try {
    newFile = copiedIn ? TakeStoreFile(slot) : nullptr;
  } catch (const std::bad_alloc&) {
    NoteError(BDB_NO_MEMORY);
  }
  if (!newFile) {
    ForgetInPlaceCopy(slot);
    return 0;
  }
  if (!written.keyed()) written = WithKeysOf(*slot, written);
  return ReopenCompacted(c, std::move(newFile), &written);
}

// Rewrites the store into a new file and puts it in place; 1 when the store
// the handle designates afterwards is the compacted one. *replacedAtName is
// set once the new file has the store's name.
int Compact(StoreSlot* slot, bool* replacedAtName) {
  Compaction c(slot);
  if (slot->pFile->journal() != nullptr) {
    c.journal.SyncCommits(slot->pFile->journal()->SyncsCommits());
  }
  const bool manyNames = c.fs.LinkCount(c.fullName.c_str()) > 1;
  if (manyNames && !KeepOldStore(slot)) return 0;

  // Memory that runs short while the new file is made has only read the
  // old store: the compaction is given up as any other failed copy is, and
  // the old store keeps every change, held ones included.
  bool asItStands = false;
  bool filled = false;
  try {
    // From here on a crash leaves the journal naming the new file, and the
    // next open removes it.
    c.temp = MakeTempFile(c.fullName, c.journal, *slot->pFile);
    if (!c.temp) {
      KeepOldStore(slot);
      return 0;
    }
    if (!c.temp->file->Lock(true)) {
      c.temp->file.reset();
      c.fs.Delete(c.temp->name.c_str());
      c.journal.Finish();
      KeepOldStore(slot);
      return 0;
    }
    asItStands = slot->bCompactForm && !manyNames &&
                 HeldImagesInFileOrder(*slot);
    filled = asItStands ? WriteAsItStands(c) : CopyLiveRecords(c);
  } catch (const std::bad_alloc&) {
    NoteError(BDB_NO_MEMORY);
    filled = false;
    if (!c.temp) {
      c.journal.Finish();
      KeepOldStore(slot);
      return 0;
    }
  }
  return manyNames ? ReplaceInPlace(c, filled, replacedAtName)
                   : ReplaceByRename(c, filled, asItStands, replacedAtName);
}

}  // namespace
}  // namespace kvs

using namespace kvs;

extern "C" int BdbCompact(StoreHandle store) {
  return PublicCall(0, BDB_IO, [&] {
    StoreSlot* slot = WritableSlot(store);
    if (slot == nullptr) return 0;
    // The copy takes the records in key order from the loaded entries.
    if (IsSorted(*slot) && !LoadIndexEntries(slot)) return 0;
    bool replaced = false;
    try {
      return Compact(slot, &replaced);
    } catch (const std::bad_alloc&) {
      // Whatever the compaction got to, the file under the name is whole.
      NoteError(BDB_NO_MEMORY);
      if (slot->szFileName[0] == '\0') return 0;  // the handle was let go
      if (replaced) {
        // The handle's file no longer has the name, and the compacted store
        // that has it holds every change: the handle is let go, as when
        // that store cannot be read back.
        DiscardSlot(slot);
        return 0;
      }
      // The old store is still the store: it keeps its changes, held ones
      // included, as after any failed compaction.
      KeepOldStore(slot);
      return 0;
    }
  });
}
