// dump_command.cc: kvs dump STORE [--free]: the record headers of the
// allocated or the free list, as the store's dumps print them.
#include <cstdio>

#include "kvs/commands.h"

namespace kvs_tool {

int RunDump(const Invocation& invocation) {
  if (invocation.arguments.Has("--free")) {
    BdbDumpFree(invocation.store, stdout);
  } else {
    BdbDumpAllocated(invocation.store, stdout);
  }
  return kExitOk;
}

}  // namespace kvs_tool
