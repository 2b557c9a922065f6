// platform_files.h: what the POSIX and Windows file classes share: the loop
// that moves a transfer in pieces the system takes at once, and the open
// wrapper that reports why an open failed.
#ifndef KVS_STORE_OS_PLATFORM_FILES_H
#define KVS_STORE_OS_PLATFORM_FILES_H

#include <cstddef>
#include <memory>

#include "store/os/store_file.h"

namespace kvs {

// Largest single transfer handed to the system; keeps every count within
// the system's own types (ssize_t, DWORD).
constexpr std::size_t kMaxTransfer = std::size_t{1} << 30;

// Moves n bytes in pieces of at most kMaxTransfer: transfer(done, piece)
// moves one piece starting done bytes in and returns how many it moved, 0
// at the end of the file or on an error. Returns the count moved in all.
template <typename Transfer>
std::size_t TransferInPieces(std::size_t n, Transfer transfer) {
  std::size_t total = 0;
  while (total < n) {
    const std::size_t piece = n - total < kMaxTransfer ? n - total : kMaxTransfer;
    const std::size_t moved = transfer(total, piece);
    if (moved == 0) break;
    total += moved;
  }
  return total;
}

// A platform's file system: Open reports the reason its OpenFile gives.
class PlatformFileSystemBase : public FileSystem {
 public:
  std::unique_ptr<StoreFile> Open(const char* name, OpenMode mode, OpenError* error) final {
    OpenError reason = OpenError::kOther;
    std::unique_ptr<StoreFile> file = name != nullptr ? OpenFile(name, mode, &reason) : nullptr;
    if (error != nullptr) *error = file ? OpenError::kNone : reason;
    return file;
  }

 protected:
  // Opens a regular file (never a directory, FIFO or device); null on
  // failure, with *reason set when the failure has a reason of its own.
  virtual std::unique_ptr<StoreFile> OpenFile(const char* name, OpenMode mode,
                                              OpenError* reason) = 0;
};

}  // namespace kvs

#endif  // KVS_STORE_OS_PLATFORM_FILES_H
