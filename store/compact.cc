// compact.cc: rewriting a store into a fresh file that holds only its live
// records, and putting that file in place of the old one under the same
// name and the same handle.
//
// The new file is filled in a private working slot under a temporary sibling
// name, synced, and then renamed over the old file in one atomic step, so the
// store's name always holds either the whole old store or the whole new one.
// Changes the store holds back (BdbHoldWrites) are part of what is copied;
// they reach the old file only if the new one cannot take its place.
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <string>

#include "store/chains.h"
#include "store/key_index.h"
#include "store/lifecycle.h"
#include "store/records.h"

namespace kvs {
namespace {

constexpr int kTempNameTries = 1000;  // .000 to .999
// Memory the new file's pages may take before they are written out: nobody
// looks at the new file until it is complete, so it need not stay in memory.
constexpr std::size_t kCopyBufferBytes = 16 << 20;

// Finds the first sibling name of the store that does not exist yet and
// creates it, empty and exclusively, so no other file is ever overwritten.
// The name is the store's name cut at its first dot (searched from the start,
// directory parts included; a dot is appended when there is none), followed
// by three digits.
std::optional<std::string> MakeTempName(const StoreSlot* slot) {
  char name[sizeof slot->szFileName];
  std::memcpy(name, slot->szFileName, sizeof name);
  name[sizeof name - 1] = '\0';
  const char* dot = std::strchr(name, '.');
  const std::size_t dotAt = dot != nullptr ? static_cast<std::size_t>(dot - name) : std::strlen(name);
  if (dotAt + 5 > sizeof name) return std::nullopt;  // no room for ".nnn" and the NUL
  name[dotAt] = '.';
  for (int n = 0; n < kTempNameTries; ++n) {
    std::snprintf(name + dotAt + 1, 4, "%03i", n);
    OpenError error = OpenError::kNone;
    if (ActiveFileSystem().Open(name, OpenMode::kCreateExclusive, &error)) return std::string(name);
    if (error != OpenError::kExists) return std::nullopt;
  }
  return std::nullopt;
}

// The working slot, and where the copies go in its index.
struct CopyTarget {
  StoreSlot* slot;
  InsertionPositions positions;
};

// Copies the record whose data area the walk is positioned at into the
// target passed as user data. -1 stops the walk on failure.
int32_t CopyRecordVisitor(StoreSlot* source, const char* key, const RecordHeader& header,
                          void* userData) {
  auto* target = static_cast<CopyTarget*>(userData);
  const int32_t position = target->positions.Take(VisitedRecordOffset(source, header));
  const auto used = static_cast<std::size_t>(header.lBytesUsed);
  const unsigned char* value = source->pFile->View(source->pFile->Tell(), used);
  if (value == nullptr) return -1;
  return InsertRecord(target->slot, key, value, header.lBytesUsed, position) ? 0 : -1;
}

// Writes everything of the new store and forces it to stable storage; false
// when any write into it came up short.
bool MakeDurable(StoreSlot* slot) {
  if (IsSorted(*slot)) WriteIndex(slot);
  return CommitStore(slot) && slot->pFile->Sync();
}

// Puts the new file in place of the store's. The old file stays open, with
// whatever the store still holds back, until the new one is in place: only
// then is it closed without being written. Otherwise the held changes go to
// the old file after all. False when the new file is not in place.
bool ReplaceStoreFile(StoreSlot* slot, const std::string& tempName) {
  FileSystem& fs = ActiveFileSystem();
  char name[sizeof slot->szFileName];  // closing clears szFileName
  std::memcpy(name, slot->szFileName, sizeof name);
  if (slot->pBuffer == nullptr) {
    CloseStore(slot);
    return fs.Replace(tempName.c_str(), name);
  }
  slot->pBuffer->ReleaseFile();  // Windows cannot replace a file held open
  if (fs.Replace(tempName.c_str(), name)) {
    DiscardSlot(slot);
    return true;
  }
  std::unique_ptr<StoreFile> file = fs.Open(name, OpenMode::kUpdate);
  if (file) slot->pBuffer->AdoptFile(std::move(file));
  CloseStore(slot);
  return false;
}

}  // namespace
}  // namespace kvs

using namespace kvs;

extern "C" int BdbCompact(StoreHandle store) {
  StoreSlot* slot = ValidateHandle(store);
  if (slot == nullptr) return 0;
  const std::optional<std::string> tempName = MakeTempName(slot);
  if (!tempName) return 0;
  const std::string savedName = slot->szFileName;  // closing clears szFileName
  FileSystem& fs = ActiveFileSystem();

  StoreSlot work;  // not in the table: no handle ever designates the new store
  if (!CreateStore(&work, tempName->c_str(), slot->header.lFlags)) {
    fs.Delete(tempName->c_str());
    return 0;
  }
  if (work.pBuffer != nullptr) work.pBuffer->WriteBehind(kCopyBufferBytes);
  CopyTarget target{&work, {}};
  if (IsSorted(*slot)) target.positions.Prepare(slot);
  bool copied = WalkChain(slot, slot->header.lhAllocated.lFirst, CopyRecordVisitor, &target) == 0;
  copied = copied && MakeDurable(&work);
  // The reopened store takes over the index the new file was written with.
  IndexEntries written = std::move(work.plKeyIndex);
  CloseSlot(&work);

  bool replaced = false;
  if (copied) {
    replaced = ReplaceStoreFile(slot, *tempName);
  } else {
    CloseStore(slot);
  }
  if (!replaced) fs.Delete(tempName->c_str());
  // The handle designates the store again: the compacted one, or the old
  // one, untouched, when anything failed.
  OpenStore(slot, savedName.c_str(), replaced ? &written : nullptr);
  return replaced ? 1 : 0;
}
