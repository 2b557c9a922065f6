// bulk_load.cc: one held run of puts from a parsed input.
#include "kvs/bulk_load.h"

#include <cstring>
#include <limits>

#include "kvs/commands.h"
#include "kvs/messages.h"

namespace kvs_tool {

const char* UncarriableReason(const InputRecord& record) {
  if (record.key.find('\0') != std::string::npos) return "key holds a NUL byte";
  if (record.key.size() > MAX_KEY_LENGTH) return "key longer than a store keeps";
  if (record.value.size() > static_cast<std::size_t>(std::numeric_limits<int32_t>::max())) {
    return "value longer than a store holds";
  }
  return nullptr;
}

int PutAllRecords(StoreHandle store, const std::string& storeName, const std::string& inputName,
                  const ParsedInput& input, bool* mayClose) {
  *mayClose = true;
  int status = kExitOk;
  if (!BdbHoldWrites(store)) {
    ComplainAboutStore(storeName, "hold writes");
    return kExitFailure;
  }
  for (const InputRecord& record : input.records) {
    if (const char* reason = UncarriableReason(record)) {
      Complain(inputName + ": " + input.unit + " " + std::to_string(record.where) + ": " +
               Quoted(record.key) + ": left out: " + reason);
      status = kExitNotFound;
      continue;
    }
    if (!BdbPut(store, record.key.c_str(), record.value.data(),
                static_cast<int32_t>(record.value.size()))) {
      ComplainAboutStore(storeName, "put " + Quoted(record.key));
      *mayClose = false;
      return kExitFailure;
    }
  }
  if (!BdbCompact(store)) {
    ComplainAboutStore(storeName, "compact");
    return kExitFailure;
  }
  return status;
}

}  // namespace kvs_tool
