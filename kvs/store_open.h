// store_open.h: opening a store, waiting for a lock to go when --wait asks.
#ifndef KVS_KVS_STORE_OPEN_H
#define KVS_KVS_STORE_OPEN_H

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "store/store.h"

namespace kvs_tool {

// The seconds of a --wait value (decimal digits), or none when it is not one.
std::optional<int> WaitSeconds(const std::string& text);

// Calls open until it gives a store, fails for a cause other than
// BDB_LOCKED, or waitSeconds have passed; its last result, with
// BdbLastError as that call left it.
StoreHandle OpenWaiting(const std::function<StoreHandle()>& open, int waitSeconds);

// A new store at name, with flags, as one call of BdbOpenOrCreate after
// making sure nothing is there: an existing file is refused ("exists"). Null,
// having said why, when it cannot be made.
StoreHandle CreateNewStore(const std::string& name, int32_t flags, int waitSeconds);

}  // namespace kvs_tool

#endif  // KVS_KVS_STORE_OPEN_H
