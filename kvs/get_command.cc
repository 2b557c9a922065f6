// get_command.cc: kvs get STORE KEY [--text]: the value's bytes on standard
// output; with --text less one trailing NUL (the one kvsgen ends values with).
#include <cstdio>
#include <vector>

#include "kvs/commands.h"
#include "kvs/messages.h"

namespace kvs_tool {

int RunGet(const Invocation& invocation) {
  const std::string& key = invocation.operands[0];
  int32_t size = 0;
  std::vector<char> value;
  if (BdbGetSize(invocation.store, key.c_str(), &size)) {
    value.resize(static_cast<std::size_t>(size));
    if (BdbRead(invocation.store, key.c_str(), value.data(), size)) {
      if (invocation.arguments.Has("--text") && !value.empty() && value.back() == '\0') {
        value.pop_back();
      }
      UseBinaryStdout();
      // A failed write is reported where every command's output is checked.
      std::fwrite(value.data(), 1, value.size(), stdout);
      return kExitOk;
    }
  }
  const bool absent = BdbLastError() == BDB_ABSENT;
  ComplainAboutStore(invocation.storeName, Quoted(key));
  return absent ? kExitNotFound : kExitFailure;
}

}  // namespace kvs_tool
