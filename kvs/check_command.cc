// check_command.cc: kvs check STORE: the store's own consistency check,
// problems on standard output, one a line; status 0 for a sound store
// (which gets one line saying so) and 1 otherwise.
#include <cstdio>

#include "kvs/commands.h"

namespace kvs_tool {

int RunCheck(const Invocation& invocation) {
  if (BdbCheck(invocation.store, stdout) != 1) return kExitNotFound;
  std::printf("%s: sound\n", invocation.storeName.c_str());
  return kExitOk;
}

}  // namespace kvs_tool
