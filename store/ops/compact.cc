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
// target passed as user data. -1 stops the walk on failure.
int32_t CopyRecordVisitor(StoreSlot* source, const char* key, const RecordHeader& header,
                          void* userData) {
  auto* target = static_cast<CopyTarget*>(userData);
  const int32_t position = target->positions.Take(VisitedRecordOffset(source, header));
  if (position < 0 && !target->slot->plKeyIndex.keyed()) {
    NoteError(BDB_DAMAGED);  // a record the index does not hold
    return -1;
  }
  const auto used = static_cast<std::size_t>(header.lBytesUsed);
  const unsigned char* value = source->pFile->View(source->pFile->Tell(), used);
  if (value == nullptr) return -1;
  ++target->copied;
  return InsertRecord(target->slot, key, value, header.lBytesUsed, position) ? 0 : -1;
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
  if (slot->pBuffer == nullptr) return;
  slot->pBuffer->DiscardChanges();
  slot->bStale = true;
  RefreshStore(slot);
}

// The slot's file with every change committed, taken out of the slot; null
// when the commit failed.
std::unique_ptr<StoreFile> TakeStoreFile(StoreSlot* slot) {
  if (slot->pBuffer != nullptr) return slot->pBuffer->TakeFile();
  return slot->pFile->Flush() ? std::move(slot->pFile) : nullptr;
}

// Closes the slot's file but keeps the store as seen through it, pending
// changes included, until RegainStoreFile.
void ReleaseStoreFile(StoreSlot* slot) {
  if (slot->pBuffer != nullptr) {
    slot->pBuffer->ReleaseFile();
  } else {
    slot->pFile.reset();
  }
}

bool RegainStoreFile(StoreSlot* slot, const std::string& fullName) {
  std::unique_ptr<StoreFile> file = OpenLocked(fullName.c_str(), OpenMode::kUpdate);
  if (!file) return false;
  if (slot->pBuffer != nullptr) {
    slot->pBuffer->AdoptFile(std::move(file));
  } else {
    slot->pFile = std::move(file);
  }
  return true;
}

}  // namespace
}  // namespace kvs

using namespace kvs;

namespace {

// Rewrites the store into a new file and puts it in place; 1 when the store
// the handle designates afterwards is the compacted one. *replacedAtName is
// set once the new file has the store's name.
int Compact(StoreSlot* slot, bool* replacedAtName) {
  FileSystem& fs = ActiveFileSystem();
  const std::string savedName = slot->szFileName;  // closing clears szFileName
  const std::string fullName = slot->fullName;
  Journal journal(fullName);
  if (slot->pBuffer != nullptr && slot->pBuffer->journal() != nullptr) {
    journal.SyncCommits(slot->pBuffer->journal()->SyncsCommits());
  }

  const bool manyNames = fs.LinkCount(fullName.c_str()) > 1;
  if (manyNames && !KeepOldStore(slot)) return 0;

  // Memory that runs short while the new file is made has only read the
  // old store: the compaction is given up as any other failed copy is, and
  // the old store keeps every change, held ones included.
  std::optional<TempFile> temp;
  bool asItStands = false;
  StoreSlot work;  // not in the table: no handle ever designates the new store
  bool copied = false;
  try {
    // From here on a crash leaves the journal naming the new file, and the
    // next open removes it.
    temp = MakeTempFile(fullName, journal, *slot->pFile);
    if (!temp) return KeepOldStore(slot), 0;
    if (!temp->file->Lock(true)) {
      temp->file.reset();
      fs.Delete(temp->name.c_str());
      journal.Finish();
      return KeepOldStore(slot), 0;
    }

    // A store that holds exactly what its compaction would write (created
    // here, and only new keys put since) is written out as it stands, with
    // no record copied; the rest of the compaction is the same.
    asItStands = slot->bCompactForm && slot->pBuffer != nullptr && !manyNames &&
                 HeldImagesInFileOrder(*slot);
    if (asItStands) {
      copied = WriteStoreImage(slot, *temp->file) && temp->file->Sync();
    } else {
      copied = CreateStore(&work, temp->name.c_str(), slot->header.lFlags, std::move(temp->file));
    }
    if (copied && !asItStands) {
      if (work.pBuffer != nullptr) work.pBuffer->WriteBehind(kCopyBufferBytes);
      CopyTarget target{&work, {}};
      if (IsSorted(*slot)) {
        target.positions.Prepare(slot);
        // With every position known, the new index is filled without keys;
        // they are the old index's, in the same order (WithKeysOf).
        if (target.positions.Prepared(*slot)) {
          work.plKeyIndex = IndexEntries(IndexEntries::kOffsetsOnly);
        }
      }
      copied = WalkChain(slot, slot->header.lhAllocated.lFirst, CopyRecordVisitor, &target) == 0;
      if (copied && !CopiedWhole(*slot, work, target.copied)) {
        // The chain and the counts or the index disagree: a compaction would
        // make whatever the walk missed lost for good.
        NoteError(BDB_DAMAGED);
        copied = false;
      }
      copied = copied && MakeDurable(&work);
    }
  } catch (const std::bad_alloc&) {
    NoteError(BDB_NO_MEMORY);
    copied = false;
    if (!temp) {
      journal.Finish();
      return KeepOldStore(slot), 0;
    }
  }

  bool replaced = false;
  std::unique_ptr<StoreFile> newFile;
  const bool inPlace = copied && manyNames;
  bool released = false;
  bool inPlaceCopied = false;
  if (inPlace) {
    // A copy into the image that stops part way for memory is forgotten
    // whole below, as one that fails.
    try {
      inPlaceCopied = CopyInPlace(slot, &work);
    } catch (const std::bad_alloc&) {
      NoteError(BDB_NO_MEMORY);
    }
  } else if (copied) {
    newFile = asItStands ? std::move(temp->file) : TakeStoreFile(&work);
    // The old file stays open, and so locked, until the new one has its
    // name, so no other writer can take the old file meanwhile; Windows
    // cannot replace a file held open, and there it is let go.
    if (!fs.ReplacesOpenFiles()) {
      ReleaseStoreFile(slot);
      released = true;
    }
    replaced = newFile != nullptr && fs.Replace(temp->name.c_str(), fullName.c_str());
  }
  *replacedAtName = replaced;
  // The reopened store takes over the index the new file was written with.
  IndexEntries written = std::move(replaced && asItStands ? slot->plKeyIndex : work.plKeyIndex);
  if (replaced && !written.keyed()) written = WithKeysOf(*slot, written);
  CloseSlot(&work);
  if (!replaced) {
    // The temporary file is closed before it is removed (Windows removes
    // no file held open).
    temp->file.reset();
    newFile.reset();
    fs.Delete(temp->name.c_str());
  }
  journal.Finish();

  if (inPlace) {
    // The new file and the compaction's journal are gone: the commit's own
    // journal may take the name.
    try {
      newFile = inPlaceCopied ? TakeStoreFile(slot) : nullptr;
    } catch (const std::bad_alloc&) {
      NoteError(BDB_NO_MEMORY);
    }
    if (!newFile) {
      ForgetInPlaceCopy(slot);
      return 0;
    }
    replaced = true;
    if (!written.keyed()) written = WithKeysOf(*slot, written);
  } else if (!replaced) {
    slot->bCompactForm = false;
    if (released && !RegainStoreFile(slot, fullName)) {
      DiscardSlot(slot);
      return 0;
    }
    KeepOldStore(slot);
    return 0;
  }
  // The handle designates the compacted store, through the file the copy
  // filled and still holds locked. A store that cannot be read back leaves
  // the handle invalid, and the call failed whatever it did.
  DiscardSlot(slot);
  if (!newFile) return 0;
  if (!OpenStoreFrom(slot, savedName.c_str(), fullName, std::move(newFile), &written)) return 0;
  return AttachJournal(slot) ? 1 : (DiscardSlot(slot), 0);
}

}  // namespace

extern "C" int BdbCompact(StoreHandle store) {
  return PublicCall(0, BDB_IO, [&] {
    StoreSlot* slot = WritableSlot(store);
    if (slot == nullptr) return 0;
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
