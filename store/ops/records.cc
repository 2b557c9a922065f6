// records.cc: putting, finding, sizing, reading and deleting keys, and where
// a value goes: a free record taken by first fit, a new record at the end of
// the file, the key's own record when the value still fits, or elsewhere.
#include "store/ops/records.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "store/errors.h"
#include "store/index/key_index.h"
#include "store/index/unsorted_keys.h"
#include "store/ops/lifecycle.h"
#include "store/records/free_fit.h"

namespace kvs {
namespace {

// A key as the store keeps it: its first MAX_KEY_LENGTH bytes. Longer keys
// are copied and cut so that every operation agrees with the stored form.
class StoredKey {
 public:
  explicit StoredKey(const char* key) : key_(key) {
    const int32_t length = StoredKeyLength(key);
    if (key[length] == '\0') return;
    copy_.reset(new (std::nothrow) char[static_cast<std::size_t>(length) + 1]);
    if (!copy_) {
      NoteError(BDB_NO_MEMORY);
      key_ = nullptr;
      return;
    }
    std::copy(key, key + length, copy_.get());
    copy_[static_cast<std::size_t>(length)] = '\0';
    key_ = copy_.get();
  }
  // Null only when a long key could not be copied.
  const char* get() const { return key_; }

 private:
  const char* key_;
  std::unique_ptr<char[]> copy_;
};

// Moves record R from one chain to the tail of another. The tail it goes
// after is read before R leaves its chain, so that a header that cannot be
// read (a damaged link, a failed read) stops the move before it begins,
// rather than leave R on no chain. When the link fails all the same the
// record is put back at the tail of its first chain.
bool MoveRecord(StoreSlot* slot, ListHead& from, ListHead& to, int32_t R) {
  RecordHeader tail;
  if (to.lLast != 0 && !ReadRecordHeader(slot, to.lLast, &tail)) return false;
  if (!UnlinkRecord(slot, from, R)) return false;
  if (LinkRecordAtTail(slot, to, R)) return true;
  LinkRecordAtTail(slot, from, R);
  return false;
}

// After a move off the allocated list that failed: the record may have come
// back at the list's tail, or stayed off every chain; an unsorted store's
// key table is built again rather than guess which.
void ForgetMoved(StoreSlot* slot) {
  if (!IsSorted(*slot)) ForgetUnsortedKeys(slot);
}

// Writes the key and the value after the header of record R.
void WriteKeyAndValue(StoreSlot* slot, int32_t R, const char* key, int32_t K, const void* data,
                      int32_t D) {
  slot->pFile->Seek(int64_t{R} + kRecordHeaderSize);
  WriteBytes(slot, key, static_cast<std::size_t>(K));
  WriteBytes(slot, data, static_cast<std::size_t>(D));
}

}  // namespace

VisitResult FreeFitVisitor(SlotFile* slot, const char* /*key*/, const RecordHeader& header,
                           void* userData) {
  const int64_t need = *static_cast<const int64_t*>(userData);
  if (RoomOf(header) < need) return VisitResult::GoOn();
  return VisitResult::Stop(VisitedRecordOffset(slot, header));
}

RecordSearch FindRecord(StoreSlot* slot, const char* key) {
  // A size followed by a read of the same key finds it once: LookupInPlace
  // keeps the record found last. This path (puts, deletes, and lookups that
  // way cannot answer) searches every time.
  return IsSorted(*slot) ? IndexLookup(slot, key) : UnsortedFind(slot, key);
}

int InsertRecord(StoreSlot* slot, const char* key, const void* data, int32_t length,
                 int32_t position) {
  StoreHeader& h = slot->header;
  const int32_t K = StoredKeyLength(key);
  const int64_t need = int64_t{length} + K;
  if (length < 0 || need > INT32_MAX) {
    NoteError(BDB_NO_SPACE);
    return 0;
  }

  int32_t R = 0;
  if (h.lhFree.lFirst != 0) {
    RecordSearch fit = FirstFreeFit(slot, need);
    if (fit.outcome == RecordSearch::kFailed) {
      // The walk decides. A free list that cannot be walked (noted) leaves
      // the value to a new record.
      int64_t needArg = need;
      const WalkResult walked = WalkChain(slot, h.lhFree.lFirst, FreeFitVisitor, &needArg);
      if (walked.end == WalkResult::kStopped) fit = RecordSearch::At(walked.value);
    }
    if (fit.present()) R = fit.offset;
  }
  if (R != 0) {
    if (!MoveRecord(slot, h.lhFree, h.lhAllocated, R)) return 0;
    // Re-read: the header now carries its new links. The room stays.
    RecordHeader header;
    if (!ReadRecordHeader(slot, R, &header)) {
      // R stays on the allocated list under the key it had when free.
      if (!IsSorted(*slot)) ForgetUnsortedKeys(slot);
      return 0;
    }
    header.lBytesAllocated = static_cast<int32_t>(RoomOf(header) - K);
    header.lBytesUsed = length;
    header.lNameLength = K;
    WriteRecordHeader(slot, R, header);
    WriteKeyAndValue(slot, R, key, K, data, length);
  } else {
    R = AppendRecord(slot, h.lhAllocated, key, length, length);
    if (R == 0) return 0;
    if (length > 0) {
      slot->pFile->Seek(int64_t{R} + kRecordHeaderSize + K);
      WriteBytes(slot, data, static_cast<std::size_t>(length));
    }
  }

  if (IsSorted(*slot)) {
    if (!IndexInsert(slot, R, key, position)) {
      // The index could not grow: the record is released again, so the
      // index stays complete and the key stays absent.
      MoveRecord(slot, h.lhAllocated, h.lhFree, R);
      return 0;
    }
    WriteIndex(slot);
  } else {
    UnsortedKeyLinked(slot, R, key);
  }
  return 1;
}

int RewriteRecord(StoreSlot* slot, int32_t R, const char* key, const void* data,
                  int32_t length) {
  StoreHeader& h = slot->header;
  const int32_t K = StoredKeyLength(key);
  const int64_t need = int64_t{length} + K;
  RecordHeader header;
  if (!ReadRecordHeader(slot, R, &header)) return 0;

  if (RoomOf(header) < need) {
    // Relocate: release the old record, then place the value anew. Should
    // that fail, the record goes back to the allocated list's tail, which
    // is read now, so that going back cannot fail for want of it.
    RecordHeader tail;
    const int32_t last = h.lhAllocated.lLast;
    if (last != 0 && !ReadRecordHeader(slot, last, &tail)) return 0;
    if (!MoveRecord(slot, h.lhAllocated, h.lhFree, R)) {
      ForgetMoved(slot);
      return 0;
    }
    if (IsSorted(*slot)) {
      IndexRemove(slot, R);
    } else {
      UnsortedKeyUnlinked(slot, R, key);
    }
    if (InsertRecord(slot, key, data, length)) return 1;
    // No new place could be made: the old record becomes the key's record
    // again, with its old value (at the tail of the allocated list).
    if (MoveRecord(slot, h.lhFree, h.lhAllocated, R)) {
      if (IsSorted(*slot)) {
        IndexInsert(slot, R, key);
        WriteIndex(slot);
      } else {
        UnsortedKeyLinked(slot, R, key);
      }
    }
    return 0;
  }

  // In place. The key is written too: it takes the letter case of this put.
  header.lBytesUsed = length;
  header.lNameLength = K;
  WriteRecordHeader(slot, R, header);
  WriteKeyAndValue(slot, R, key, K, data, length);
  return 1;
}

bool FindLiveRecord(StoreSlot* slot, const char* key, int32_t* R, RecordHeader* header) {
  if (key == nullptr) return false;
  const StoredKey stored(key);
  if (stored.get() == nullptr) return false;
  const RecordSearch found = FindRecord(slot, stored.get());
  if (!found.present()) return false;
  *R = found.offset;
  return ReadRecordHeader(slot, *R, header);
}

bool ReadRecordValue(StoreSlot* slot, int32_t R, const RecordHeader& header, void* buffer,
                     int32_t n) {
  const auto count = static_cast<std::size_t>(n);
  if (!slot->pFile->Seek(int64_t{R} + kRecordHeaderSize + header.lNameLength) ||
      slot->pFile->Read(buffer, count) != count) {
    NoteError(BDB_DAMAGED);
    return false;
  }
  return true;
}

// FindValue where LookupInPlace cannot tell: FindLiveRecord, the value to
// be read from the file. The view is the lookup's view of the record found
// last, not kept for the next lookup.
const RecordView* FindValueThroughFile(StoreSlot* slot, const char* key) {
  KeyLookup::Recent& recent = slot->keyLookup.recent();
  recent.file = nullptr;
  RecordView* view = &recent.view;
  view->bytes = nullptr;
  view->inPage = false;
  return FindLiveRecord(slot, key, &view->offset, &view->header) ? view : nullptr;
}

int RemoveRecord(StoreSlot* slot, const char* key) {
  const RecordSearch found = FindRecord(slot, key);
  if (!found.present()) return 0;
  const int32_t R = found.offset;
  if (!MoveRecord(slot, slot->header.lhAllocated, slot->header.lhFree, R)) {
    ForgetMoved(slot);
    return 0;
  }
  if (IsSorted(*slot)) {
    IndexRemove(slot, R);
    WriteIndex(slot);
  } else {
    UnsortedKeyUnlinked(slot, R, key);
  }
  return 1;
}

}  // namespace kvs

using namespace kvs;

namespace {

// Puts the value; 0 when no room can be made or the allocated list is
// damaged.
int PutRecord(StoreSlot* slot, const char* key, const void* data, int32_t length) {
  const StoredKey stored(key);
  if (stored.get() == nullptr) return 0;
  const RecordSearch found = FindRecord(slot, stored.get());
  switch (found.outcome) {
    case RecordSearch::kPresent:
      // A compaction would give the rewritten record a room of its own size.
      slot->bCompactForm = false;
      return RewriteRecord(slot, found.offset, stored.get(), data, length);
    case RecordSearch::kAbsent:
      return InsertRecord(slot, stored.get(), data, length);
    case RecordSearch::kFailed:
      break;
  }
  return 0;
}

}  // namespace

extern "C" int BdbPut(StoreHandle store, const char* key, const void* data, int32_t length) {
  return PublicCall(0, BDB_IO, [&] {
    StoreSlot* slot = WritableSlot(store);
    if (slot == nullptr) return 0;
    if (key == nullptr || length < 0 || (data == nullptr && length > 0)) {
      NoteError(BDB_INVALID_ARGUMENT);
      return 0;
    }
    // A put whose writes did not all reach the file is not reported stored.
    return RunChange(slot, [&] { return PutRecord(slot, key, data, length); });
  });
}

extern "C" int BdbGetSize(StoreHandle store, const char* key, int32_t* size) {
  return PublicCall(0, BDB_ABSENT, [&] {
    StoreSlot* slot = UsableSlot(store);
    if (slot == nullptr) return 0;
    const RecordView* found = FindValue(slot, key, false);
    if (found == nullptr) return 0;
    if (size != nullptr) *size = found->header.lBytesUsed;
    return 1;
  });
}

extern "C" int BdbRead(StoreHandle store, const char* key, void* buffer, int32_t bufferSize) {
  return PublicCall(0, BDB_ABSENT, [&] {
    StoreSlot* slot = UsableSlot(store);
    if (slot == nullptr) return 0;
    if (buffer == nullptr && bufferSize > 0) {
      NoteError(BDB_INVALID_ARGUMENT);
      return 0;
    }
    const RecordView* found = FindValue(slot, key, true);
    if (found == nullptr) return 0;
    const RecordHeader& header = found->header;
    const int32_t n = header.lBytesUsed < bufferSize ? header.lBytesUsed : bufferSize;
    if (n > 0 && found->bytes != nullptr) {
      std::memcpy(buffer, found->bytes + kRecordHeaderSize + header.lNameLength,
                  static_cast<std::size_t>(n));
    } else if (n > 0 && !ReadRecordValue(slot, found->offset, header, buffer, n)) {
      return 0;  // a value the file cannot hand over whole is not reported read
    }
    return 1;
  });
}

extern "C" int BdbDelete(StoreHandle store, const char* key) {
  return PublicCall(0, BDB_ABSENT, [&] {
    StoreSlot* slot = WritableSlot(store);
    if (slot == nullptr) return 0;
    if (key == nullptr) {
      NoteError(BDB_INVALID_ARGUMENT);
      return 0;
    }
    const StoredKey stored(key);
    if (stored.get() == nullptr) {
      NoteError(BDB_NO_MEMORY);
      return 0;
    }
    slot->bCompactForm = false;
    return RunChange(slot, [&] { return RemoveRecord(slot, stored.get()); });
  });
}
