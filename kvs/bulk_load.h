// bulk_load.h: putting a parsed input into a store as one held run, for
// kvs load and kvs import.
#ifndef KVS_KVS_BULK_LOAD_H
#define KVS_KVS_BULK_LOAD_H

#include <string>

#include "kvs/record_formats.h"
#include "store/store.h"

namespace kvs_tool {

// Why a store cannot take the record as it is, or null: a key holding a NUL
// (keys end at their first NUL), a key longer than MAX_KEY_LENGTH (it would
// be cut), a value longer than a store value can be.
const char* UncarriableReason(const InputRecord& record);

// Holds the store's writes, puts every record that a store can carry, in
// input order, and ends the run with a compaction: the file gets all of the
// puts or none of them. A record that cannot be carried is named on
// standard error and left out, which makes the status 1. Status 2, having
// said why, when the store refuses a put or the run cannot be written. After
// a refused put *mayClose is false: the store holds part of the run in
// memory, which BdbClose would write, so the caller ends without closing it
// and the file stays as it was before the run.
int PutAllRecords(StoreHandle store, const std::string& storeName, const std::string& inputName,
                  const ParsedInput& input, bool* mayClose);

}  // namespace kvs_tool

#endif  // KVS_KVS_BULK_LOAD_H
