// chains.cc: walking, unlinking and linking records on the three chains, and
// appending new records at the end of the file.
#include "store/records/chains.h"

#include <cstring>
#include <new>

#include "store/errors.h"
#include "store/records/free_fit.h"

namespace kvs {

namespace {

// Counts change with wrapping arithmetic: a damaged count must not overflow.
int32_t AddToCount(int32_t count, int32_t delta) {
  return static_cast<int32_t>(static_cast<uint32_t>(count) + static_cast<uint32_t>(delta));
}

// The most records a file of this length can hold: a longer walk is a loop.
int64_t MaxRecords(SlotFile* slot) {
  const int64_t length = slot->pFile->Length();
  return length > kStoreHeaderSize ? (length - kStoreHeaderSize) / kRecordHeaderSize + 1 : 0;
}

}  // namespace

int32_t StoredKeyLength(const char* key) {
  const void* end = std::memchr(key, '\0', MAX_KEY_LENGTH);  // stops at the first NUL
  return end == nullptr ? MAX_KEY_LENGTH : static_cast<int32_t>(static_cast<const char*>(end) - key);
}

bool ReadRecordHeader(SlotFile* slot, int32_t offset, RecordHeader* header) {
  const int64_t length = slot->pFile->Length();
  unsigned char bytes[kRecordHeaderSize];
  const bool read = offset >= kStoreHeaderSize && int64_t{offset} + kRecordHeaderSize <= length &&
                    slot->pFile->Seek(offset) &&
                    slot->pFile->Read(bytes, sizeof bytes) == sizeof bytes;
  if (read) DecodeRecordHeader(bytes, header);
  if (read && RecordFits(offset, *header, length)) return true;
  NoteError(BDB_DAMAGED);
  return false;
}

void WriteRecordHeader(SlotFile* slot, int32_t offset, const RecordHeader& header) {
  unsigned char bytes[kRecordHeaderSize];
  EncodeRecordHeader(header, bytes);
  slot->pFile->Seek(offset);
  WriteBytes(slot, bytes, sizeof bytes);
}

int32_t VisitedRecordOffset(SlotFile* slot, const RecordHeader& header) {
  return static_cast<int32_t>(slot->pFile->Tell() - header.lNameLength - kRecordHeaderSize);
}

WalkResult WalkChain(SlotFile* slot, int32_t start, ChainVisitor visitor, void* userData) {
  constexpr WalkResult failed{WalkResult::kFailed, 0};
  if (start == 0) return {};
  // One key buffer for the whole walk.
  std::unique_ptr<char[]> key(new (std::nothrow) char[MAX_KEY_LENGTH + 1]);
  if (!key) {
    NoteError(BDB_NO_MEMORY);
    return failed;
  }
  const int64_t limit = MaxRecords(slot);
  int32_t offset = start;
  for (int64_t visited = 0; visited < limit; ++visited) {
    RecordHeader header;
    if (!ReadRecordHeader(slot, offset, &header)) return failed;
    const auto nameLength = static_cast<std::size_t>(header.lNameLength);
    if (slot->pFile->Read(key.get(), nameLength) != nameLength) {
      NoteError(BDB_DAMAGED);
      return failed;
    }
    key[nameLength] = '\0';
    const VisitResult visit = visitor(slot, key.get(), header, userData);
    if (visit.stop) return {WalkResult::kStopped, visit.value};
    if (header.lNext == 0) return {};
    if (!slot->pFile) return failed;  // the visitor closed the store
    offset = header.lNext;  // as read before the visit
  }
  NoteError(BDB_DAMAGED);  // more records than the file can hold: a loop
  return failed;
}

bool UnlinkRecord(SlotFile* slot, ListHead& chain, int32_t R) {
  RecordHeader record, prev, next;
  if (!ReadRecordHeader(slot, R, &record)) return false;
  const int32_t P = record.lPrev;
  const int32_t N = record.lNext;
  // Both neighbours are checked before anything is written, so a damaged
  // link changes nothing.
  if (P != 0 && !ReadRecordHeader(slot, P, &prev)) return false;
  if (N != 0 && !ReadRecordHeader(slot, N, &next)) return false;
  if (P != 0) {
    prev.lNext = N;
    WriteRecordHeader(slot, P, prev);
  } else {
    chain.lFirst = N;
  }
  if (N != 0) {
    next.lPrev = P;
    WriteRecordHeader(slot, N, next);
  } else {
    chain.lLast = P;
  }
  chain.lCount = AddToCount(chain.lCount, -1);
  WriteHeader(slot);
  ChainUnlinked(slot, chain, R, P, N);
  return true;
}

bool LinkRecordAtTail(SlotFile* slot, ListHead& chain, int32_t R) {
  RecordHeader record, tail;
  if (!ReadRecordHeader(slot, R, &record)) return false;
  const int32_t last = chain.lLast;
  if (last != 0 && !ReadRecordHeader(slot, last, &tail)) return false;
  record.lPrev = last;
  record.lNext = 0;
  WriteRecordHeader(slot, R, record);
  if (last != 0) {
    tail.lNext = R;
    WriteRecordHeader(slot, last, tail);
  }
  chain.lLast = R;
  if (chain.lFirst == 0) chain.lFirst = R;
  chain.lCount = AddToCount(chain.lCount, 1);
  WriteHeader(slot);
  ChainLinked(slot, chain, R, record, last);
  return true;
}

int32_t AppendRecord(SlotFile* slot, ListHead& chain, const char* key, int32_t capacity,
                     int32_t used) {
  const int32_t k = StoredKeyLength(key);
  StoreFile& file = *slot->pFile;
  // The length counts every byte written so far, buffered or not.
  const int64_t oldLength = file.Length();
  if (oldLength < 0 || capacity < 0) return 0;
  // A store file shorter than its header still gets its records after the
  // 128 header bytes, where the next header write cannot reach them.
  const int64_t L = oldLength < kStoreHeaderSize ? kStoreHeaderSize : oldLength;
  const int64_t newLength = L + kRecordHeaderSize + k + capacity;
  if (newLength > INT32_MAX) {
    NoteError(BDB_NO_SPACE);  // offsets are 32-bit: the store is full
    return 0;
  }
  if (!file.SetLength(newLength)) return 0;

  RecordHeader header;
  header.lBytesAllocated = capacity;
  header.lBytesUsed = used;
  header.lNameLength = k;
  const auto offset = static_cast<int32_t>(L);
  WriteRecordHeader(slot, offset, header);
  WriteBytes(slot, key, static_cast<std::size_t>(k));
  if (!LinkRecordAtTail(slot, chain, offset)) {
    file.SetLength(oldLength);
    return 0;
  }
  return offset;
}

}  // namespace kvs
