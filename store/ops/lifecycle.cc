// lifecycle.cc: creating, opening, committing and closing stores, and the
// public calls that do it or that hold and flush a run of changes.
#include "store/ops/lifecycle.h"

#include <chrono>
#include <cstring>
#include <functional>
#include <new>
#include <thread>

#include "store/errors.h"
#include "store/pager/journal.h"
#include "store/index/index_in_file.h"
#include "store/index/key_index.h"

namespace kvs {

namespace {

// Runs a step that fills the slot: when it runs out of memory part way, the
// slot is freed (its file closed, and so unlocked) before the failure goes
// on up, as after any other failed open.
template <typename Step>
int FillingSlot(StoreSlot* slot, Step step) {
  try {
    return step();
  } catch (...) {
    if (slot != nullptr) DiscardSlot(slot);
    throw;
  }
}

}  // namespace

int CreateStore(StoreSlot* slot, const char* fileName, int32_t flags,
                std::unique_ptr<StoreFile> file) {
  // A store that could not be written whole (its Index record included) is
  // not handed out, and its file is removed so that it can never open as a
  // store.
  auto discard = [&] {
    DiscardSlot(slot);
    ActiveFileSystem().Delete(fileName);
  };
  try {
    if (!InitSlot(slot, fileName, flags, std::move(file))) return 0;
    bool whole = !IsSorted(*slot) || IndexCreate(slot) != 0;
    whole = whole && CommitStore(slot);
    if (!whole) {
      discard();
      return 0;
    }
  } catch (const std::bad_alloc&) {
    // Only a file this call holds, locked and cut off, is removed.
    if (slot->szFileName[0] != '\0') discard();
    throw;
  }
  slot->bCompactForm = true;
  return 1;
}

namespace {

// How long a store file that another process is making is waited for: it
// holds the new file's lock from a moment after its creation until the new
// store is closed.
constexpr int kMakingTries = 50;
constexpr auto kMakingPause = std::chrono::milliseconds(10);

// What a file open under this open's lock holds, from its first bytes.
enum class FileKind { kEmpty, kStore, kOther };

FileKind KindOf(StoreFile& file) {
  unsigned char magic[sizeof kMagic];
  if (file.Length() == 0) return FileKind::kEmpty;
  const bool store = file.Seek(0) && file.Read(magic, sizeof magic) == sizeof magic &&
                     std::memcmp(magic, kMagic, sizeof magic) == 0;
  return store ? FileKind::kStore : FileKind::kOther;
}

// The file at fileName, open for update and locked: made exclusively when
// nothing is by that name (*made is then true), else the file that is
// there. Null, noting the cause, when neither can be had.
std::unique_ptr<StoreFile> NewOrExistingFile(const char* fileName, bool* made) {
  OpenError error = OpenError::kNone;
  std::unique_ptr<StoreFile> file =
      ActiveFileSystem().Open(fileName, OpenMode::kCreateExclusive, &error);
  *made = file != nullptr;
  if (!file) return error == OpenError::kExists ? OpenLocked(fileName, OpenMode::kUpdate) : nullptr;
  // Another process may have opened the new file by its name before this
  // lock was taken; finding it empty, it lets go.
  const int before = CurrentError();
  for (int tries = 1; !file->Lock(true); ++tries) {
    if (tries == kMakingTries) return nullptr;  // noted BDB_LOCKED
    std::this_thread::sleep_for(kMakingPause);
  }
  SetError(before);
  if (!file->IsNamed(fileName)) {
    NoteError(BDB_LOCKED);  // the new file lost its name to another at once
    return nullptr;
  }
  return file;
}

}  // namespace

int OpenOrCreateStore(StoreSlot* slot, const char* fileName, int32_t flags,
                      bool replaceOtherFile) {
  if (slot == nullptr || !FileNameFits(fileName)) return 0;
  for (int tries = 1;; ++tries) {
    bool made = false;
    std::unique_ptr<StoreFile> file = NewOrExistingFile(fileName, &made);
    if (!file) return 0;
    const FileKind kind = KindOf(*file);
    if (kind == FileKind::kStore) {
      std::string fullName = ActiveFileSystem().FullName(fileName);
      return OpenStoreFrom(slot, fileName, std::move(fullName), std::move(file));
    }
    if (made || replaceOtherFile) return CreateStore(slot, fileName, flags, std::move(file));
    // An empty file that is not this open's own is one whose maker has not
    // taken its lock yet (or died before it wrote the store): it is waited
    // for a while, then found no store.
    if (kind == FileKind::kOther || tries == kMakingTries) {
      NoteError(BDB_NOT_A_STORE);
      return 0;
    }
    file.reset();
    std::this_thread::sleep_for(kMakingPause);
  }
}

namespace {

// The second half of an open: a sorted store's index (known, when given, is
// the index the store was just written with; see IndexLoad), else OpenIndex.
int LoadIndexOf(StoreSlot* slot, IndexEntries* known) {
  if (IsSorted(*slot) && !(known != nullptr ? IndexLoad(slot, known) : OpenIndex(slot))) {
    NoteError(BDB_DAMAGED);
    DiscardSlot(slot);
    return 0;
  }
  return 1;
}

}  // namespace

int OpenStore(StoreSlot* slot, const char* fileName) {
  return FillingSlot(slot,
                     [&] { return OpenSlot(slot, fileName) ? LoadIndexOf(slot, nullptr) : 0; });
}

int OpenStoreFrom(StoreSlot* slot, const char* fileName, std::string fullName,
                  std::unique_ptr<StoreFile> file, IndexEntries* known) {
  return FillingSlot(slot, [&] {
    if (!OpenSlotFrom(slot, fileName, std::move(fullName), std::move(file))) return 0;
    return LoadIndexOf(slot, known);
  });
}

int OpenStoreReadOnly(StoreSlot* slot, const char* fileName) {
  if (slot == nullptr || !FileNameFits(fileName)) return 0;
  return FillingSlot(slot, [&] {
    std::unique_ptr<StoreFile> file = OpenLocked(fileName, OpenMode::kRead, false);
    if (!file) return 0;
    std::string fullName = ActiveFileSystem().FullName(fileName);
    return OpenSlotFrom(slot, fileName, std::move(fullName), std::move(file), true)
               ? LoadIndexOf(slot, nullptr)
               : 0;
  });
}

namespace {

// Writes every change of the image to the file; false when any did not
// reach it (memory that ran short included).
bool WriteAll(StoreSlot* slot) {
  try {
    WriteHeldIndexImages(slot);
    const bool indexWritten = FlushIndex(slot);
    if (!slot->pFile->Flush()) slot->bWriteFailed = true;
    return indexWritten && !slot->bWriteFailed;
  } catch (const std::bad_alloc&) {
    NoteError(BDB_NO_MEMORY);
    slot->bWriteFailed = true;
    return false;
  }
}

// After a commit that failed, the journal has put the file back as it was:
// the store as seen through the handle goes back with it, now or, when the
// file cannot be read (or put back) yet, before the handle's next use.
void ForgetUncommitted(StoreSlot* slot) {
  if (slot->pFile->journal() == nullptr) return;
  slot->pFile->DiscardChanges();
  slot->bStale = true;
  RefreshStore(slot);
}

}  // namespace

void HoldIndex(StoreSlot* slot) {
  // A held run makes many changes: the index is loaded for them (one whose
  // entries fail the load's checks is changed in the file, as it is).
  if (IsSorted(*slot)) {
    const int before = CurrentError();
    if (!LoadIndexEntries(slot)) SetError(before);
  }
  // An index in the file has no log: its changes are made in place.
  if (!slot->bIndexInFile) BeginIndexLog(slot);
}

bool RefreshStore(StoreSlot* slot) {
  if (!slot->bStale) return true;
  slot->bCompactForm = false;
  // A commit whose journal could not put the file back is undone first;
  // nothing may be read from a half-written file.
  if (slot->pFile->RollbackPending() && !slot->pFile->Flush()) return false;
  if (!ReloadHeader(slot) || (IsSorted(*slot) && !OpenIndex(slot))) return false;
  slot->bStale = false;
  slot->bWriteFailed = false;
  if (slot->bHeld) {
    // A held run goes on from the store as the file holds it.
    DropIndexLog(slot);
    HoldIndex(slot);
  }
  return true;
}

int RunChange(StoreSlot* slot, const std::function<int()>& change) {
  slot->bWriteFailed = false;
  int result = 0;
  bool stopped = false;
  try {
    result = change();
    // A write that the image could not take (memory for its pages ran
    // short) stopped the change part way too, whatever the steps after it
    // made of that.
    stopped = slot->bWriteFailed;
  } catch (const std::bad_alloc&) {
    NoteError(BDB_NO_MEMORY);
    stopped = true;
  }
  if (stopped) {
    // Nothing of a change that stopped part way may reach the file.
    slot->pFile->DiscardChanges();
    slot->bStale = true;
    RefreshStore(slot);
    return 0;
  }
  const bool committed = CommitStore(slot);
  if (result == 0 || !committed) slot->bCompactForm = false;
  return result != 0 && committed ? 1 : 0;
}

StoreSlot* UsableSlotAfterCheck(StoreHandle handle) {
  StoreSlot* slot = ValidateHandle(handle);
  if (slot == nullptr || RefreshStore(slot)) return slot;
  NoteError(BDB_IO);
  return nullptr;
}

namespace {

StoreSlot* RefuseReadOnly(StoreSlot* slot) {
  if (slot == nullptr || !slot->bReadOnly) return slot;
  NoteError(BDB_READ_ONLY);
  return nullptr;
}

}  // namespace

StoreSlot* WritableSlot(StoreHandle handle) { return RefuseReadOnly(UsableSlot(handle)); }

StoreSlot* ValidateWritable(StoreHandle handle) { return RefuseReadOnly(ValidateHandle(handle)); }

bool FlushStore(StoreSlot* slot) {
  slot->bHeld = false;
  slot->pFile->Hold(false);
  slot->bWriteFailed = false;
  // A failed flush leaves the file as it was before the run, and the run's
  // changes in memory for the next BdbFlush or BdbClose.
  return WriteAll(slot);
}

bool CommitStore(StoreSlot* slot) {
  if (slot->bHeld) return !slot->bWriteFailed;
  if (WriteAll(slot)) return true;
  ForgetUncommitted(slot);
  return false;
}

bool AttachJournal(StoreSlot* slot) {
  try {
    // A store whose journal's name the platform cannot reach (a name near
    // MAX_PATH on Windows) is written without one, as a store always was.
    if (!ActiveFileSystem().NameFits(JournalNameOf(slot->fullName).c_str())) return true;
    slot->pFile->AttachJournal(std::make_unique<Journal>(slot->fullName));
  } catch (const std::bad_alloc&) {
    NoteError(BDB_NO_MEMORY);
    return false;
  }
  return true;
}

int CloseStore(StoreSlot* slot) {
  if (slot == nullptr) return 0;
  if (slot->bReadOnly) {
    DiscardSlot(slot);
    return 1;
  }
  if (!RefreshStore(slot)) {
    // Only the journal's work is left to do; when it fails here too, the
    // next open does it.
    slot->pFile->DiscardChanges();
    const bool restored = slot->pFile->Flush();
    CloseSlot(slot);
    return restored ? 1 : 0;
  }
  // Only this close's own writes decide its result, not a BdbFlush that
  // failed before it and left its changes for this close to write.
  slot->bWriteFailed = false;
  if (IsSorted(*slot)) {
    WriteHeldIndexImages(slot);
    WriteIndex(slot);
  }
  const bool written = WriteAll(slot);
  // What could not be written is let go, not tried again as the file
  // closes: the result says what the file holds.
  if (!written) slot->pFile->DiscardChanges();
  CloseSlot(slot);
  return written ? 1 : 0;
}

}  // namespace kvs

using namespace kvs;

extern "C" StoreHandle BdbCreate(const char* fileName, int32_t flags) {
  return PublicCall<StoreHandle>(nullptr, BDB_IO, [&]() -> StoreHandle {
    // Refused before anything is made: no store is written without its
    // journal.
    if (!FileNameFits(fileName) || !JournalNameFits(fileName)) {
      NoteError(BDB_INVALID_ARGUMENT);
      return nullptr;
    }
    StoreSlot* slot = FindFreeSlot();
    if (slot == nullptr || !CreateStore(slot, fileName, flags)) return nullptr;
    if (AttachJournal(slot)) return slot;
    CloseStore(slot);
    return nullptr;
  });
}

StoreHandle kvs::OpenOrCreateHandle(const char* fileName, int32_t flags, bool replaceOtherFile) {
  return PublicCall<StoreHandle>(nullptr, BDB_IO, [&]() -> StoreHandle {
    // Refused before anything is made, as by BdbCreate.
    if (!FileNameFits(fileName) || !JournalNameFits(fileName)) {
      NoteError(BDB_INVALID_ARGUMENT);
      return nullptr;
    }
    StoreSlot* slot = FindFreeSlot();
    if (slot == nullptr || !OpenOrCreateStore(slot, fileName, flags, replaceOtherFile)) {
      return nullptr;
    }
    if (AttachJournal(slot)) return slot;
    CloseStore(slot);
    return nullptr;
  });
}

extern "C" StoreHandle BdbOpenOrCreate(const char* fileName, int32_t flags) {
  return OpenOrCreateHandle(fileName, flags, false);
}

StoreSlot* kvs::SlotToOpen(const char* fileName) {
  if (!FileNameFits(fileName)) {
    NoteError(BDB_INVALID_ARGUMENT);
    return nullptr;
  }
  return BdbIsStoreFile(fileName) ? FindFreeSlot() : nullptr;
}

extern "C" StoreHandle BdbOpen(const char* fileName) {
  return PublicCall<StoreHandle>(nullptr, BDB_IO, [&]() -> StoreHandle {
    // A writer commits through a journal (a reader never writes one).
    if (fileName != nullptr && !JournalNameFits(fileName)) {
      NoteError(BDB_INVALID_ARGUMENT);
      return nullptr;
    }
    StoreSlot* slot = SlotToOpen(fileName);
    if (slot == nullptr || !OpenStore(slot, fileName)) return nullptr;
    if (AttachJournal(slot)) return slot;
    DiscardSlot(slot);
    return nullptr;
  });
}

extern "C" int BdbClose(StoreHandle store) {
  return PublicCall(0, BDB_IO, [&] { return CloseStore(ValidateHandle(store)); });
}

extern "C" int BdbHoldWrites(StoreHandle store) {
  return PublicCall(0, BDB_IO, [&] {
    StoreSlot* slot = WritableSlot(store);
    if (slot == nullptr) return 0;
    slot->bHeld = true;
    slot->pFile->Hold(true);
    HoldIndex(slot);
    return 1;
  });
}

extern "C" int BdbFlush(StoreHandle store) {
  return PublicCall(0, BDB_IO, [&] {
    StoreSlot* slot = WritableSlot(store);
    if (slot == nullptr) return 0;
    return FlushStore(slot) ? 1 : 0;
  });
}

extern "C" int BdbSyncCommits(StoreHandle store, int on) {
  return PublicCall(0, BDB_IO, [&] {
    StoreSlot* slot = ValidateWritable(store);
    if (slot == nullptr) return 0;
    if (slot->pFile->journal() != nullptr) {
      slot->pFile->journal()->SyncCommits(on != 0);
    }
    return 1;
  });
}
