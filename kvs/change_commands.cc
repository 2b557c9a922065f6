// change_commands.cc: the commands that change a store: kvs put, delete
// and compact.
#include <limits>
#include <string>

#include "kvs/commands.h"
#include "kvs/input_files.h"
#include "kvs/messages.h"

namespace kvs_tool {
namespace {

// The value of a put: the file's bytes, or standard input's ("-" or none).
bool ReadValue(const Invocation& invocation, std::string* value) {
  return ReadInput(invocation.operands.size() < 2 ? "-" : invocation.operands[1], value);
}

}  // namespace

int RunPut(const Invocation& invocation) {
  const std::string& key = invocation.operands[0];
  std::string value;
  if (!ReadValue(invocation, &value)) return kExitFailure;
  if (value.size() > static_cast<std::size_t>(std::numeric_limits<int32_t>::max())) {
    Complain(invocation.storeName + ": " + Quoted(key) + ": value too large");
    return kExitFailure;
  }
  if (BdbPut(invocation.store, key.c_str(), value.data(), static_cast<int32_t>(value.size()))) {
    return kExitOk;
  }
  ComplainAboutStore(invocation.storeName, "put " + Quoted(key));
  return kExitFailure;
}

int RunDelete(const Invocation& invocation) {
  const std::string& key = invocation.operands[0];
  if (BdbDelete(invocation.store, key.c_str())) return kExitOk;
  const bool absent = BdbLastError() == BDB_ABSENT;
  ComplainAboutStore(invocation.storeName, Quoted(key));
  return absent ? kExitNotFound : kExitFailure;
}

int RunCompact(const Invocation& invocation) {
  if (BdbCompact(invocation.store)) return kExitOk;
  ComplainAboutStore(invocation.storeName, "compact");
  return kExitFailure;
}

}  // namespace kvs_tool
