// check.cc: BdbCheck: the store header, walks of the three chains that check
// every record header on them, and the records' tiling of the file. The keys
// are checked by check_index.cc.
#include "store/check/check.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <new>
#include <unordered_map>

#include "store/errors.h"
#include "store/ops/lifecycle.h"
#include "store/store.h"

namespace kvs {

void CheckReport::Problem(const char* format, ...) {
  sound_ = false;
  if (stream_ == nullptr) return;
  va_list args;
  va_start(args, format);
  std::vfprintf(stream_, format, args);
  va_end(args);
  std::fputc('\n', stream_);
}

const unsigned char* ViewBytes(StoreSlot* slot, int64_t offset, std::size_t n) {
  const unsigned char* bytes = slot->pFile->View(offset, n);
  if (bytes == nullptr) throw UnreadableBytes{offset};
  return bytes;
}

const char* ChainName(Chain chain) {
  switch (chain) {
    case Chain::kAllocated:
      return "allocated list";
    case Chain::kFree:
      return "free list";
    case Chain::kIndex:
      break;
  }
  return "index list";
}

namespace {

constexpr Chain kChains[] = {Chain::kAllocated, Chain::kFree, Chain::kIndex};

const ListHead& HeadOf(const StoreHeader& header, Chain chain) {
  switch (chain) {
    case Chain::kAllocated:
      return header.lhAllocated;
    case Chain::kFree:
      return header.lhFree;
    case Chain::kIndex:
      break;
  }
  return header.lhIndex;
}

long L(int64_t value) { return static_cast<long>(value); }
long long LL(int64_t value) { return static_cast<long long>(value); }

// Offset just past the record's data area (64-bit: a damaged header must
// not overflow it).
int64_t RecordEnd(const RecordHeader& header, int32_t offset) {
  return int64_t{offset} + kRecordHeaderSize + header.lNameLength + header.lBytesAllocated;
}

void CheckHead(const StoreSlot* slot, Chain chain, const ListHead& head, CheckReport& report) {
  const char* name = ChainName(chain);
  if (head.lCount < 0) report.Problem("%s head: lCount %ld is negative", name, L(head.lCount));
  const bool noFirst = head.lFirst == 0;
  if (noFirst != (head.lLast == 0) || noFirst != (head.lCount == 0)) {
    report.Problem("%s head: lFirst %ld, lLast %ld and lCount %ld disagree on whether the chain is "
                   "empty",
                   name, L(head.lFirst), L(head.lLast), L(head.lCount));
  }
  if (chain != Chain::kIndex) return;
  // A sorted store keeps its KeyIndex in exactly one record; others keep none.
  if (IsSorted(*slot) && head.lCount != 1) {
    report.Problem("index list head: lCount is %ld, but a sorted store has exactly one Index record",
                   L(head.lCount));
  } else if (!IsSorted(*slot) && (head.lFirst != 0 || head.lLast != 0 || head.lCount != 0)) {
    report.Problem("index list head: {%ld, %ld, %ld}, but a store without STORE_SORTED has no "
                   "Index record",
                   L(head.lFirst), L(head.lLast), L(head.lCount));
  }
}

// Reads the header as the file holds it into *header; false (reported) when
// the file is too short to hold one.
bool CheckStoreHeader(StoreSlot* slot, int64_t length, StoreHeader* header, CheckReport& report) {
  if (length < kStoreHeaderSize) {
    report.Problem("header: the file is %lld bytes long, shorter than its %ld-byte header",
                   LL(length), L(kStoreHeaderSize));
    return false;
  }
  if (length > INT32_MAX) {
    report.Problem("file: %lld bytes long, past the reach of 32-bit offsets", LL(length));
  }
  const unsigned char* view = ViewBytes(slot, 0, kStoreHeaderSize);
  unsigned char bytes[kStoreHeaderSize];
  std::memcpy(bytes, view, sizeof bytes);
  unsigned char own[kStoreHeaderSize];
  EncodeStoreHeader(slot->header, own);
  const auto differ = std::mismatch(std::begin(bytes), std::end(bytes), std::begin(own));
  if (differ.first != std::end(bytes)) {
    report.Problem("header: byte %ld differs from the store's own copy of the header",
                   L(differ.first - std::begin(bytes)));
  }
  DecodeStoreHeader(bytes, header);
  if (std::memcmp(header->achMagic, kMagic, sizeof kMagic) != 0) {
    report.Problem("header: the magic is not BDB0");
  }
  for (const Chain chain : kChains) CheckHead(slot, chain, HeadOf(*header, chain), report);
  return true;
}

// Checks the lengths of a record's header; true when its key and data area
// lie inside the file.
bool CheckRecordFields(StoreSlot* slot, const CheckedRecord& record, int64_t length,
                       CheckReport& report) {
  const RecordHeader& h = record.header;
  const char* name = ChainName(record.chain);
  const long position = L(record.position), offset = L(record.offset);
  bool sane = true;
  if (h.lNameLength < 0 || h.lNameLength > MAX_KEY_LENGTH) {
    report.Problem("%s position %ld, record %ld: lNameLength %ld is outside 0 to %ld", name,
                   position, offset, L(h.lNameLength), L(MAX_KEY_LENGTH));
    sane = false;
  }
  if (h.lBytesAllocated < 0) {
    report.Problem("%s position %ld, record %ld: lBytesAllocated %ld is negative", name, position,
                   offset, L(h.lBytesAllocated));
    sane = false;
  }
  if (h.lBytesUsed < 0) {
    report.Problem("%s position %ld, record %ld: lBytesUsed %ld is negative", name, position,
                   offset, L(h.lBytesUsed));
  } else if (h.lBytesAllocated >= 0 && h.lBytesUsed > h.lBytesAllocated) {
    report.Problem("%s position %ld, record %ld: lBytesUsed %ld exceeds lBytesAllocated %ld", name,
                   position, offset, L(h.lBytesUsed), L(h.lBytesAllocated));
  }
  if (!sane) return false;
  if (RecordEnd(h, record.offset) > length) {
    report.Problem("%s position %ld, record %ld: its key of %ld bytes and data area of %ld bytes "
                   "run past the end of the file (%lld bytes)",
                   name, position, offset, L(h.lNameLength), L(h.lBytesAllocated), LL(length));
    return false;
  }
  const auto n = static_cast<std::size_t>(h.lNameLength);
  const unsigned char* key = ViewBytes(slot, int64_t{record.offset} + kRecordHeaderSize, n);
  if (n > 0 && std::memchr(key, 0, n) != nullptr) {
    report.Problem("%s position %ld, record %ld: its key holds a NUL byte", name, position, offset);
  }
  return true;
}

// The records of all three chains; a record that no header can hold more of
// means that records overlap, so the walks stop there.
class ChainWalker {
 public:
  ChainWalker(StoreSlot* slot, int64_t length, CheckReport& report)
      : slot_(slot), length_(length), report_(report) {}

  void Walk(Chain chain, const ListHead& head) {
    const char* name = ChainName(chain);
    int32_t previous = 0, position = 0;
    for (int32_t offset = head.lFirst; offset != 0; ++position) {
      if (offset < kStoreHeaderSize || int64_t{offset} + kRecordHeaderSize > length_) {
        if (previous == 0) {
          report_.Problem("%s head: lFirst %ld lies outside the records of the file", name,
                          L(offset));
        } else {
          report_.Problem("%s position %ld, record %ld: lNext %ld lies outside the records of the "
                          "file",
                          name, L(position - 1), L(previous), L(offset));
        }
        return;
      }
      if (!Unseen(chain, position, offset)) return;
      if (chains_.records.size() >= MaxRecords()) {
        report_.Problem("%s position %ld, record %ld: more records than a file of %lld bytes can "
                        "hold without overlapping",
                        name, L(position), L(offset), LL(length_));
        return;
      }
      CheckedRecord record{offset, ReadHeader(offset), chain, position, false};
      record.fits = CheckRecordFields(slot_, record, length_, report_);
      if (record.header.lPrev != previous) {
        report_.Problem("%s position %ld, record %ld: lPrev is %ld, not %ld", name, L(position),
                        L(offset), L(record.header.lPrev), L(previous));
      }
      seen_.emplace(offset, chains_.records.size());
      chains_.records.push_back(record);
      previous = offset;
      offset = record.header.lNext;
    }
    const auto c = static_cast<int>(chain);
    chains_.complete[c] = true;
    chains_.agreesWithHead[c] = head.lLast == previous && head.lCount == position;
    if (head.lLast != previous) {
      report_.Problem("%s head: lLast is %ld, but the chain ends at record %ld", name,
                      L(head.lLast), L(previous));
    }
    if (head.lCount != position) {
      report_.Problem("%s head: lCount is %ld, but a walk of the chain counts %ld", name,
                      L(head.lCount), L(position));
    }
  }

  CheckedChains Take() { return std::move(chains_); }

 private:
  std::size_t MaxRecords() const {
    return static_cast<std::size_t>((length_ - kStoreHeaderSize) / kRecordHeaderSize);
  }

  // False (reported) when a walk reaches a record for the second time: a
  // loop, or a record on two chains.
  bool Unseen(Chain chain, int32_t position, int32_t offset) {
    const auto found = seen_.find(offset);
    if (found == seen_.end()) return true;
    const CheckedRecord& first = chains_.records[found->second];
    if (first.chain == chain) {
      report_.Problem("%s position %ld: record %ld comes round again from position %ld: the chain "
                      "loops",
                      ChainName(chain), L(position), L(offset), L(first.position));
    } else {
      report_.Problem("%s position %ld: record %ld is also on the %s, at position %ld",
                      ChainName(chain), L(position), L(offset), ChainName(first.chain),
                      L(first.position));
    }
    return false;
  }

  RecordHeader ReadHeader(int32_t offset) {
    const unsigned char* view = ViewBytes(slot_, offset, kRecordHeaderSize);
    unsigned char bytes[kRecordHeaderSize];
    std::memcpy(bytes, view, sizeof bytes);
    RecordHeader header;
    DecodeRecordHeader(bytes, &header);
    return header;
  }

  StoreSlot* slot_;
  int64_t length_;
  CheckReport& report_;
  CheckedChains chains_;
  std::unordered_map<int32_t, std::size_t> seen_;  // offset -> place in chains_.records
};

// Every byte from the end of the header to the end of the file lies in
// exactly one record. Checked only when all chains were walked whole and
// every record's extent is known; otherwise their problems are reported.
void CheckTiling(const CheckedChains& chains, int64_t length, CheckReport& report) {
  for (const bool complete : chains.complete) {
    if (!complete) return;
  }
  std::vector<const CheckedRecord*> placed;
  placed.reserve(chains.records.size());
  for (const CheckedRecord& record : chains.records) {
    if (!record.fits) return;
    placed.push_back(&record);
  }
  std::sort(placed.begin(), placed.end(),
            [](const CheckedRecord* a, const CheckedRecord* b) { return a->offset < b->offset; });
  int64_t covered = kStoreHeaderSize;  // bytes below this lie in a record (or the header)
  const CheckedRecord* reaching = nullptr;  // the record that reaches furthest so far
  for (const CheckedRecord* record : placed) {
    if (record->offset < covered && reaching != nullptr) {
      report.Problem("records %ld (%s) and %ld (%s) overlap", L(reaching->offset),
                     ChainName(reaching->chain), L(record->offset), ChainName(record->chain));
    } else if (record->offset > covered) {
      report.Problem("bytes %lld to %lld lie in no record of any chain", LL(covered),
                     LL(record->offset - 1));
    }
    const int64_t end = RecordEnd(record->header, record->offset);
    if (end > covered) {
      covered = end;
      reaching = record;
    }
  }
  if (covered < length) {
    report.Problem("bytes %lld to %lld lie in no record of any chain", LL(covered), LL(length - 1));
  }
}

bool CheckStore(StoreSlot* slot, CheckReport& report) {
  if (!slot->pFile) {
    report.Problem("store: no open file");
    return false;
  }
  const int64_t length = slot->pFile->Length();
  StoreHeader header;
  if (!CheckStoreHeader(slot, length, &header, report)) return false;
  ChainWalker walker(slot, length, report);
  for (const Chain chain : kChains) walker.Walk(chain, HeadOf(header, chain));
  const CheckedChains chains = walker.Take();
  CheckTiling(chains, length, report);
  CheckUniqueKeys(slot, chains, report);
  if (IsSorted(*slot)) {
    CheckSortedIndex(slot, chains, report);
  } else if (!slot->plKeyIndex.empty()) {
    report.Problem("KeyIndex in memory: %ld entries in a store without STORE_SORTED",
                   L(static_cast<int64_t>(slot->plKeyIndex.size())));
  }
  return report.sound();
}

}  // namespace
}  // namespace kvs

using namespace kvs;

extern "C" int BdbCheck(StoreHandle store, FILE* report) {
  // A store found unsound fails the call as damaged, unless a failure to
  // read or to allocate stopped the check first.
  return PublicCall(0, BDB_DAMAGED, [&] {
    CheckReport problems(report);
    StoreSlot* slot = UsableSlot(store);
    if (slot == nullptr) {
      problems.Problem("store: the handle is not an open store");
      return 0;
    }
    try {
      return CheckStore(slot, problems) ? 1 : 0;
    } catch (const UnreadableBytes& unreadable) {
      NoteError(BDB_IO);
      problems.Problem("file: the bytes at %lld cannot be read; the store was not checked whole",
                       LL(unreadable.offset));
    } catch (const std::bad_alloc&) {
      NoteError(BDB_NO_MEMORY);
      problems.Problem("check: memory ran short; the store was not checked whole");
    } catch (...) {
      NoteError(BDB_IO);
      problems.Problem("check: stopped by an unexpected failure; the store was not checked whole");
    }
    return 0;
  });
}
