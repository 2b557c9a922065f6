// check.h: the pieces of BdbCheck, the consistency check of an open store.
//
// The check reads the file as the handle sees it (the buffered image, held
// changes included) and never writes. check.cc walks the header and the
// three chains and sees that the records tile the file; check_index.cc
// checks the keys: one record per key, and for a sorted store the Index
// record, its persisted array and the KeyIndex in memory.
//
// Damaged files: every offset is checked against the file before anything is
// read there, every walk stops at a record it has seen before, and whatever
// is kept per record is bounded by the records a file of its length can
// hold.
#ifndef KVS_STORE_CHECK_CHECK_H
#define KVS_STORE_CHECK_CHECK_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "store/format/format.h"
#include "store/ops/slots.h"

#if defined(__MINGW32__)
#define KVS_PRINTF_LIKE(string, first) __attribute__((format(gnu_printf, string, first)))
#else
#define KVS_PRINTF_LIKE(string, first) __attribute__((format(printf, string, first)))
#endif

namespace kvs {

// Where the problems go: one line each to the report stream, when there is
// one. The store is sound while no problem has been reported.
class CheckReport {
 public:
  explicit CheckReport(std::FILE* stream) : stream_(stream) {}
  void Problem(const char* format, ...) KVS_PRINTF_LIKE(2, 3);
  bool sound() const { return sound_; }

 private:
  std::FILE* stream_;
  bool sound_ = true;
};

enum class Chain { kAllocated, kFree, kIndex };
// "allocated list", "free list" or "index list".
const char* ChainName(Chain chain);

// A record reached by a walk of its chain.
struct CheckedRecord {
  int32_t offset;
  RecordHeader header;
  Chain chain;
  int32_t position;  // on its chain, from 0
  bool fits;         // its lengths are sane and its key and data area lie inside the file
};

// What the walks found: every record reached, in chain order, and for each
// chain (by Chain) whether its walk reached a record whose lNext is 0, and
// whether it also ended at lLast after lCount records.
struct CheckedChains {
  std::vector<CheckedRecord> records;
  bool complete[3] = {};
  bool agreesWithHead[3] = {};
};

// Thrown when bytes inside the file cannot be had: a failed read, or no
// memory to gather them. BdbCheck reports it and fails.
struct UnreadableBytes {
  int64_t offset;
};
// The n bytes at offset, which lie inside the file, valid until the next use
// of the file; throws UnreadableBytes instead of yielding null.
const unsigned char* ViewBytes(StoreSlot* slot, int64_t offset, std::size_t n);

// The key of a record whose extent fits the file as the store compares it:
// up to its first NUL, with 'A'..'Z' folded in a STORE_NOCASE store, so that
// plain byte order of these forms is the store's key order.
std::string KeyForm(StoreSlot* slot, const CheckedRecord& record);

// No two records of the allocated list hold the same key.
void CheckUniqueKeys(StoreSlot* slot, const CheckedChains& chains, CheckReport& report);
// A sorted store's Index record, its persisted array and the KeyIndex in
// memory, against the allocated list.
void CheckSortedIndex(StoreSlot* slot, const CheckedChains& chains, CheckReport& report);

}  // namespace kvs

#endif  // KVS_STORE_CHECK_CHECK_H
