// chain_keys.h: the records of one chain as the public walk sees them, and
// the sizes the dump shows for each.
#ifndef KVS_KVS_CHAIN_KEYS_H
#define KVS_KVS_CHAIN_KEYS_H

#include <cstdint>
#include <string>
#include <vector>

#include "store/store.h"

namespace kvs_tool {

constexpr int kAllocatedList = 0, kFreeList = 1, kIndexList = 2;

struct ChainRecord {
  std::string key;
  int32_t lBytesUsed = 0;
  int32_t lBytesAllocated = 0;  // filled by ReadRecordSizes
  int32_t lNameLength = 0;      // filled by ReadRecordSizes
};

// The records of a chain in chain order (BdbWalkWithContext); false when
// the walk did not run.
bool ChainRecords(StoreHandle store, int list, std::vector<ChainRecord>* records);
// Fills lBytesAllocated and lNameLength of every record of the chain from
// the chain's dump; false when the dump cannot be made or does not match.
bool ReadRecordSizes(StoreHandle store, int list, std::vector<ChainRecord>* records);

}  // namespace kvs_tool

#endif  // KVS_KVS_CHAIN_KEYS_H
