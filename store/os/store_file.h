// store_file.h: the record store's only way to the file system.
//
// Every byte of a store file is read and written through a StoreFile, and
// files are opened, deleted and replaced through the FileSystem. One
// implementation per platform (store_file_posix.cc, store_file_win32.cc);
// tests install a FileSystem of their own that can fail any call.
#ifndef KVS_STORE_OS_STORE_FILE_H
#define KVS_STORE_OS_STORE_FILE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kvs {

enum class OpenMode {
  kRead,             // existing file, read only ("rb")
  kUpdate,           // existing file, read and write ("r+b")
  kCreate,           // create or truncate, read and write ("w+b")
  kCreateExclusive,  // create a file that must not exist yet, read and write
  kOpenOrCreate,     // existing file, or a new empty one, read and write (no truncation)
  kCreateNew,        // a file that must not exist yet, never through a symbolic link,
                     // read and write, readable by its owner alone until given other
                     // permissions (a journal, a compaction's new file)
};
constexpr int kOpenModes = 6;

enum class OpenError { kNone, kExists, kOther };

// What tells an open file from every other file, and whose it is.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t number = 0;  // the file's number on its device (inode, file index)
  int64_t owner = -1;   // the owning user; -1 where the platform has none
  int64_t group = -1;   // the owning group; -1 where the platform has none
  uint32_t permissions = 0;  // the permission bits, where the platform has them
  bool mine = false;    // owned by the user this process runs as
  bool operator==(const FileIdentity& other) const {
    return device == other.device && number == other.number;
  }
};

// An open file with a current position. Reads and writes are binary and
// unbuffered from the caller's point of view: Length() always counts every
// byte written so far.
class StoreFile {
 public:
  virtual ~StoreFile() = default;

  // Reads up to n bytes at the position; returns the count read (short at
  // end of file or on error) and advances the position by it.
  virtual std::size_t Read(void* buffer, std::size_t n) = 0;
  // Writes n bytes at the position; returns the count written.
  virtual std::size_t Write(const void* data, std::size_t n) = 0;
  // Moves the position to an absolute offset; false on failure.
  virtual bool Seek(int64_t offset) = 0;
  // The current position, or -1.
  virtual int64_t Tell() = 0;
  // Hands buffered bytes to the operating system; false on failure.
  virtual bool Flush() = 0;
  // The file's length as the operating system sees it, or -1.
  virtual int64_t Length() = 0;
  // Sets the length. Bytes added by growth read as zero; false (and the
  // length unchanged) when the file cannot be grown, as on a full disk.
  // The position stays where it was.
  virtual bool SetLength(int64_t length) = 0;
  // Forces the file's contents to stable storage; false on failure.
  virtual bool Sync() = 0;
  // The n bytes at offset, valid until the next call on this file; null
  // when they are not all there. May move the position. Files held in
  // memory hand out their own bytes; others read them into a buffer.
  virtual const unsigned char* View(int64_t offset, std::size_t n);
  // Takes this open's lock on the file without waiting: exclusive for a
  // writer, shared for readers. A lock conflicts with every other open of
  // the file, in this process or another. False (noting BDB_LOCKED) when
  // another open holds a conflicting lock. Released when the file closes.
  virtual bool Lock(bool exclusive);
  // False when the name no longer leads to this file (it was replaced or
  // removed since it was opened).
  virtual bool IsNamed(const char* name);
  // The file's identity; false where the platform cannot tell it.
  virtual bool Identify(FileIdentity* identity);
  // Gives this file the permissions of the open file model (and its owner,
  // where this process may), through the open file itself, so no name can
  // lead the change elsewhere; false when they could not be set. True where
  // files have no such permissions.
  virtual bool TakePermissionsOf(StoreFile& model);

 private:
  std::vector<unsigned char> view_;  // the default View()'s buffer
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Opens name in mode; null on failure, with the reason in *error when
  // error is not null.
  virtual std::unique_ptr<StoreFile> Open(const char* name, OpenMode mode,
                                          OpenError* error = nullptr) = 0;
  // Deletes the named file; false on failure.
  virtual bool Delete(const char* name) = 0;
  // Puts the file from in place of the file to, in one atomic step that
  // leaves either the old or the new file under the name to; false on
  // failure, with both files as they were.
  virtual bool Replace(const char* from, const char* to) = 0;
  // True when nothing is there by that name (a link that leads nowhere
  // included); false when something is, or when that cannot be told. The
  // platform's answer unless a file system has its own.
  virtual bool Missing(const char* name);
  // The name as an absolute path with links resolved, so that it still
  // leads to the same file after the working directory changes and names
  // the real file behind a symbolic link; the name itself when that cannot
  // be made. The platform's answer unless a file system has its own.
  virtual std::string FullName(const char* name);
  // False for a name too long for the platform's calls to reach.
  virtual bool NameFits(const char* name);
  // How many names the file has (hard links); 1 when that cannot be told.
  virtual int LinkCount(const char* name);
  // True when Replace may put a file in place of one that is open (POSIX);
  // false when the open file must be closed first (Windows).
  virtual bool ReplacesOpenFiles();
  // Gives the file to the permissions of the file from (and its owner,
  // where this process may); false when the permissions could not be set.
  virtual bool CopyPermissions(const char* from, const char* to);
  // Forces the folder that holds the named file to stable storage, so that
  // the file's creation, removal or replacement outlives a loss of power as
  // its bytes do after Sync(); false when that failed. True where the
  // system keeps folder changes with the files' own syncs (Windows), or
  // where the folder's file system has no such sync.
  virtual bool SyncFolderOf(const char* name);
};

// The platform's own file system.
FileSystem& PlatformFileSystem();

// The file system the store uses: the platform's, unless a test installed
// another one with SetFileSystem (nullptr restores the platform's).
FileSystem& ActiveFileSystem();
void SetFileSystem(FileSystem* fileSystem);

// Installs a file system as the store's for the lifetime of this object and
// restores the platform's afterwards (tests and fuzz targets).
class ScopedFileSystem {
 public:
  explicit ScopedFileSystem(FileSystem& fileSystem) { SetFileSystem(&fileSystem); }
  ~ScopedFileSystem() { SetFileSystem(nullptr); }
  ScopedFileSystem(const ScopedFileSystem&) = delete;
  ScopedFileSystem& operator=(const ScopedFileSystem&) = delete;
};

}  // namespace kvs

#endif  // KVS_STORE_OS_STORE_FILE_H
