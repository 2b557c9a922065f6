// large_memory_win32.cc: large blocks as committed virtual memory (Windows
// gives large pages only to privileged processes, so these are plain pages).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "store/os/large_memory.h"

namespace kvs {

void* AllocateLargeBlock(std::size_t n) {
  return ::VirtualAlloc(nullptr, n, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void FreeLargeBlock(void* block, std::size_t /*n*/) {
  if (block != nullptr) ::VirtualFree(block, 0, MEM_RELEASE);
}

}  // namespace kvs
