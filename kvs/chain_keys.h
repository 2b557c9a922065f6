// chain_keys.h: the records of one chain as the public walk sees them, the
// sizes the dump shows for each, and their values.
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
// The whole value of key; false when the store cannot give it.
bool ReadStoreValue(StoreHandle store, const std::string& key, std::string* value);
// BDB_OK when a walk of the allocated list that reached walked records
// reached every live record the store counts and, when sorted, that its
// index holds; else why not. A chain cut short by damage would give an
// output that lacks the rest of the store.
int WalkedWhole(StoreHandle store, std::size_t walked);

}  // namespace kvs_tool

#endif  // KVS_KVS_CHAIN_KEYS_H
