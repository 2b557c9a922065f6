// store_file.cc: the process-wide choice of the file system the store uses.
#include "store/store_file.h"

namespace kvs {
namespace {

// Null means the platform's file system. The store is single-threaded, and
// tests install their own file system only between store operations.
FileSystem* g_fileSystem = nullptr;

}  // namespace

FileSystem& ActiveFileSystem() {
  return g_fileSystem != nullptr ? *g_fileSystem : PlatformFileSystem();
}

void SetFileSystem(FileSystem* fileSystem) { g_fileSystem = fileSystem; }

}  // namespace kvs
