// raw_store.h: a store file read as plain bytes, for the store that does not
// open: its header, its records where they can be told, and the walks of its
// chains as far as they go. Everything here follows the file format of
// kvs(5) and trusts no field: every offset and length is checked against
// the file before it is used, and every walk ends at a record it has seen.
#ifndef KVS_KVS_RAW_STORE_H
#define KVS_KVS_RAW_STORE_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kvs_tool {

constexpr int32_t kRawHeaderSize = 128;
constexpr int32_t kRawRecordHeaderSize = 32;
constexpr int32_t kRawMaxKeyLength = 16384;

struct RawHead {
  int32_t first = 0, last = 0, count = 0;
};

struct RawRecord {
  int32_t offset = 0;
  int32_t bytesAllocated = 0, bytesUsed = 0, nameLength = 0, prev = 0, next = 0;
};

// How far a walk of one chain went.
struct RawWalk {
  std::vector<int32_t> offsets;  // the records reached, in walk order
  bool reachedEnd = false;       // a record whose link was 0 ended it
  std::string stop;              // why it stopped otherwise
};

class RawStore {
 public:
  explicit RawStore(std::string bytes) : bytes_(std::move(bytes)) {}

  int64_t size() const { return static_cast<int64_t>(bytes_.size()); }
  bool HasHeader() const { return bytes_.size() >= kRawHeaderSize; }
  bool HasMagic() const;
  // Chains 0 allocated, 1 free, 2 index, as the header gives their heads.
  RawHead Head(int chain) const;
  int32_t Flags() const { return Int32(40); }

  // The record at offset; empty reason when its header, key and data area
  // lie inside the file and its lengths are in range, else why not.
  std::string ReadRecord(int32_t offset, RawRecord* record) const;
  // The record's key (up to MAX_KEY_LENGTH bytes, NULs kept) and value.
  std::string_view Key(const RawRecord& record) const;
  std::string_view Value(const RawRecord& record) const;

  // Follows lNext from the head's lFirst (forward) or lPrev from its lLast.
  RawWalk Walk(int chain, bool forward) const;
  // The records that tile the file from the header on, back to back; stops
  // at the first one that cannot be read (*stop says why) or at the end.
  std::vector<int32_t> Tiles(std::string* stop) const;
  // The offsets in the data area of the index record at offset, up to
  // count entries.
  std::vector<int32_t> IndexEntries(const RawRecord& index, int32_t count) const;

 private:
  int32_t Int32(int64_t at) const;
  std::string bytes_;
};

// The live records that can be found: the allocated list walked forward,
// then the records its backward walk reaches beyond a break (in chain
// order), then, in a sorted store, records its Index names that neither walk
// reached and the free list does not hold. Each can be read whole.
std::vector<RawRecord> FindLiveRecords(const RawStore& store);

}  // namespace kvs_tool

#endif  // KVS_KVS_RAW_STORE_H
