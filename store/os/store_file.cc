// store_file.cc: the process-wide choice of the file system the store uses,
// and the plain way of viewing file bytes.
#include "store/os/store_file.h"

#include <new>

#include "store/errors.h"

namespace kvs {
namespace {

// Null means the platform's file system. The store is single-threaded, and
// tests install their own file system only between store operations.
FileSystem* g_fileSystem = nullptr;

}  // namespace

const unsigned char* StoreFile::View(int64_t offset, std::size_t n) {
  static const unsigned char kNothing = 0;
  if (n == 0) return offset >= 0 && offset <= Length() ? &kNothing : nullptr;
  try {
    view_.resize(n);
  } catch (const std::bad_alloc&) {
    NoteError(BDB_NO_MEMORY);
    return nullptr;
  }
  if (!Seek(offset) || Read(view_.data(), n) != n) return nullptr;
  return view_.data();
}

bool StoreFile::Lock(bool /*exclusive*/) { return true; }
bool StoreFile::IsNamed(const char* /*name*/) { return true; }
bool StoreFile::Identify(FileIdentity* /*identity*/) { return false; }
bool StoreFile::TakePermissionsOf(StoreFile& /*model*/) { return true; }

bool FileSystem::Missing(const char* name) { return PlatformFileSystem().Missing(name); }
std::string FileSystem::FullName(const char* name) { return PlatformFileSystem().FullName(name); }
int FileSystem::LinkCount(const char* name) { return PlatformFileSystem().LinkCount(name); }
bool FileSystem::NameFits(const char* name) { return PlatformFileSystem().NameFits(name); }
bool FileSystem::ReplacesOpenFiles() { return PlatformFileSystem().ReplacesOpenFiles(); }
bool FileSystem::CopyPermissions(const char* from, const char* to) {
  return PlatformFileSystem().CopyPermissions(from, to);
}
bool FileSystem::SyncFolderOf(const char* name) { return PlatformFileSystem().SyncFolderOf(name); }

FileSystem& ActiveFileSystem() {
  return g_fileSystem != nullptr ? *g_fileSystem : PlatformFileSystem();
}

void SetFileSystem(FileSystem* fileSystem) { g_fileSystem = fileSystem; }

}  // namespace kvs
