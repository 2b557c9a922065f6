// store_file_win32.cc: the store's files on Windows, unbuffered over file
// handles, so the length the system reports always counts every byte
// written; and the system's texts for the error codes it gives.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "store/errors.h"
#include "store/os/platform_files.h"

namespace kvs {
namespace {

// Notes the cause behind the failed call that set the thread's last error.
void NoteLastError() {
  const DWORD code = GetLastError();
  NoteSystemError(static_cast<int>(code),
                  code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL,
                  code == ERROR_NOT_ENOUGH_MEMORY || code == ERROR_OUTOFMEMORY);
}

bool SetPosition(HANDLE file, int64_t offset) {
  LARGE_INTEGER target;
  target.QuadPart = offset;
  return offset >= 0 && SetFilePointerEx(file, target, nullptr, FILE_BEGIN) != 0;
}

int64_t GetPosition(HANDLE file) {
  LARGE_INTEGER zero, position;
  zero.QuadPart = 0;
  if (SetFilePointerEx(file, zero, &position, FILE_CURRENT) == 0) return -1;
  return position.QuadPart;
}

// Writes n bytes at the position; returns the count written.
std::size_t WriteAll(HANDLE file, const char* data, std::size_t n) {
  return TransferInPieces(n, [&](std::size_t done, std::size_t piece) -> std::size_t {
    DWORD moved = 0;
    return WriteFile(file, data + done, static_cast<DWORD>(piece), &moved, nullptr) != 0 ? moved : 0;
  });
}

// Writes zero bytes from the position up to length. SetEndOfFile alone
// would neither promise zeros nor report a full disk.
bool WriteZerosUpTo(HANDLE file, int64_t from, int64_t length) {
  static const char kZeros[64 * 1024] = {};
  if (!SetPosition(file, from)) return false;
  while (from < length) {
    std::size_t chunk = length - from < static_cast<int64_t>(sizeof kZeros)
                            ? static_cast<std::size_t>(length - from)
                            : sizeof kZeros;
    if (WriteAll(file, kZeros, chunk) != chunk) return false;
    from += static_cast<int64_t>(chunk);
  }
  return true;
}

bool TruncateTo(HANDLE file, int64_t length) {
  return SetPosition(file, length) && SetEndOfFile(file) != 0;
}

class Win32File final : public StoreFile {
 public:
  explicit Win32File(HANDLE handle) : handle_(handle) {}
  ~Win32File() override { CloseHandle(handle_); }
  Win32File(const Win32File&) = delete;
  Win32File& operator=(const Win32File&) = delete;

  std::size_t Read(void* buffer, std::size_t n) override {
    auto* out = static_cast<char*>(buffer);
    return TransferInPieces(n, [&](std::size_t done, std::size_t piece) -> std::size_t {
      DWORD moved = 0;
      if (ReadFile(handle_, out + done, static_cast<DWORD>(piece), &moved, nullptr) != 0) {
        return moved;
      }
      NoteLastError();
      return 0;
    });
  }

  std::size_t Write(const void* data, std::size_t n) override {
    const std::size_t written = WriteAll(handle_, static_cast<const char*>(data), n);
    if (written != n) NoteLastError();
    return written;
  }

  bool Seek(int64_t offset) override { return SetPosition(handle_, offset); }

  int64_t Tell() override { return GetPosition(handle_); }

  // Nothing is buffered in this process.
  bool Flush() override { return true; }

  int64_t Length() override {
    LARGE_INTEGER size;
    if (GetFileSizeEx(handle_, &size) == 0) return -1;
    return size.QuadPart;
  }

  // Changes the length and keeps the position where it was.
  bool SetLength(int64_t length) override {
    int64_t oldLength = Length();
    int64_t position = GetPosition(handle_);
    if (oldLength < 0 || position < 0 || length < 0) return false;
    bool done = length <= oldLength ? TruncateTo(handle_, length)
                                    : WriteZerosUpTo(handle_, oldLength, length);
    if (!done) NoteLastError();
    if (!done && length > oldLength) TruncateTo(handle_, oldLength);
    SetPosition(handle_, position);
    return done;
  }

  // A lock on one byte far past any store's end: Windows locks are
  // mandatory, so locking bytes the store reads would stop other readers.
  bool Lock(bool exclusive) override {
    OVERLAPPED at = {};
    at.Offset = 0;
    at.OffsetHigh = 0x7FFFFFFF;
    const DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
    if (LockFileEx(handle_, flags, 0, 1, 0, &at) != 0) return true;
    if (GetLastError() == ERROR_LOCK_VIOLATION || GetLastError() == ERROR_IO_PENDING) {
      NoteError(BDB_LOCKED);
    } else {
      NoteLastError();
    }
    return false;
  }

  bool Sync() override {
    if (FlushFileBuffers(handle_) != 0) return true;
    NoteLastError();
    return false;
  }

  // The volume and the file's index on it; files here have no owner that
  // the store looks at (their access rules come from the folder).
  bool Identify(FileIdentity* identity) override {
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(handle_, &info) == 0) return false;
    identity->device = info.dwVolumeSerialNumber;
    identity->number = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
  }

 private:
  HANDLE handle_;  // owned; closed by the destructor
};

struct OpenArguments {
  DWORD access;
  DWORD disposition;
};

OpenArguments ArgumentsFor(OpenMode mode) {
  switch (mode) {
    case OpenMode::kRead:
      return {GENERIC_READ, OPEN_EXISTING};
    case OpenMode::kUpdate:
      return {GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING};
    case OpenMode::kCreate:
      return {GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS};
    case OpenMode::kCreateExclusive:
      return {GENERIC_READ | GENERIC_WRITE, CREATE_NEW};
    case OpenMode::kOpenOrCreate:
      return {GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS};
    case OpenMode::kCreateNew:
      return {GENERIC_READ | GENERIC_WRITE, CREATE_NEW};
  }
  return {GENERIC_READ, OPEN_EXISTING};
}

// Only a file on disk holds store bytes: not a directory, and not a device
// such as NUL or CON.
bool IsDiskFile(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info;
  return GetFileType(handle) == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &info) != 0 &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

class Win32FileSystem final : public PlatformFileSystemBase {
 public:
  bool Delete(const char* name) override { return name != nullptr && DeleteFileA(name) != 0; }

  bool Missing(const char* name) override {
    if (name == nullptr || GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES) return false;
    const DWORD code = GetLastError();
    // A name too long for a file is one that no file has.
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ||
           code == ERROR_FILENAME_EXCED_RANGE;
  }

  std::string FullName(const char* name) override {
    if (name == nullptr) return "";
    char full[MAX_PATH];
    const DWORD n = GetFullPathNameA(name, sizeof full, full, nullptr);
    return n > 0 && n < sizeof full ? std::string(full, n) : std::string(name);
  }

  // The ANSI calls take names shorter than MAX_PATH only.
  bool NameFits(const char* name) override {
    return name != nullptr && std::strlen(name) < MAX_PATH;
  }

  int LinkCount(const char* name) override {
    if (name == nullptr) return 1;
    HANDLE handle = CreateFileA(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return 1;
    BY_HANDLE_FILE_INFORMATION info;
    const bool known = GetFileInformationByHandle(handle, &info) != 0;
    CloseHandle(handle);
    return known ? static_cast<int>(info.nNumberOfLinks) : 1;
  }

  // A new file takes the access rules of the folder it is made in, as the
  // old one did; a store open for writing is never read-only.
  bool CopyPermissions(const char* /*from*/, const char* /*to*/) override { return true; }

  bool ReplacesOpenFiles() override { return false; }

  // NTFS logs its folder changes itself, and a file's FlushFileBuffers
  // forces them with the file's metadata.
  bool SyncFolderOf(const char* name) override { return name != nullptr; }

  bool Replace(const char* from, const char* to) override {
    return from != nullptr && to != nullptr &&
           MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  }

 protected:
  std::unique_ptr<StoreFile> OpenFile(const char* name, OpenMode mode,
                                      OpenError* reason) override {
    OpenArguments arguments = ArgumentsFor(mode);
    // Other opens of the same file stay possible: the store reads a file's
    // magic through a second, read-only open while it may be open here.
    // The null security attributes keep the handle out of child processes.
    // A new file is never made through a reparse point (a symbolic link or
    // junction in its place counts as a file there).
    const DWORD attributes = FILE_ATTRIBUTE_NORMAL |
                             (mode == OpenMode::kCreateNew ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    HANDLE handle = CreateFileA(name, arguments.access,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, arguments.disposition, attributes, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      DWORD code = GetLastError();
      if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS) {
        if (mode == OpenMode::kCreateExclusive || mode == OpenMode::kCreateNew) {
          *reason = OpenError::kExists;
        }
      }
      if (*reason != OpenError::kExists) NoteLastError();
      return nullptr;
    }
    std::unique_ptr<Win32File> file(new (std::nothrow) Win32File(handle));
    if (!file) {
      CloseHandle(handle);
      if (mode == OpenMode::kCreateExclusive || mode == OpenMode::kCreateNew) DeleteFileA(name);
      NoteError(BDB_NO_MEMORY);
      return nullptr;
    }
    if (!IsDiskFile(handle)) {
      NoteError(BDB_INVALID_ARGUMENT);  // not a file on disk
      return nullptr;
    }
    return file;
  }
};

}  // namespace

FileSystem& PlatformFileSystem() {
  static Win32FileSystem fileSystem;
  return fileSystem;
}

// The system's message, on one line and without its closing full stop, as
// the other causes of a message read.
const char* SystemErrorText(int systemCode) {
  thread_local char buffer[512];
  DWORD n = FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
      nullptr, static_cast<DWORD>(systemCode), 0, buffer, sizeof buffer, nullptr);
  while (n > 0 && std::strchr(" \t\r\n.", buffer[n - 1]) != nullptr) --n;
  if (n == 0) return nullptr;
  buffer[n] = '\0';
  return buffer;
}

}  // namespace kvs
