// fault_injecting_file_system.h: a FileSystem for tests that forwards to the
// platform's and fails the calls a test chooses, so every I/O failure path of
// the store can be driven on purpose.
#ifndef KVS_STORE_TESTS_FAULT_INJECTING_FILE_SYSTEM_H
#define KVS_STORE_TESTS_FAULT_INJECTING_FILE_SYSTEM_H

#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

#include "store/errors.h"
#include "store/os/store_file.h"

namespace kvs::testing {

// A budget of calls: kNever fails no call, 0 fails every call, n lets n more
// calls succeed and fails every one after them.
class FailAfter {
 public:
  static constexpr int kNever = -1;
  void Set(int successes) { left_ = successes; }
  // Counts one call; true when this call is to fail, noting cause as the
  // platform's file would.
  bool Fails(int cause = BDB_IO) {
    if (left_ == kNever) return false;
    if (left_ == 0) {
      NoteError(cause);
      return true;
    }
    --left_;
    return false;
  }

 private:
  int left_ = kNever;
};

// The knobs, shared by the file system and every file it handed out, so a
// test can change them while a store has its file open.
struct Faults {
  bool failOpen[kOpenModes] = {};   // Open in the OpenMode of that index fails
  std::string failOpenOf;  // Open of a name containing this fails (empty: none)
  bool failDelete = false;
  bool failReplace = false;
  bool failFolderSync = false;
  int folderSyncs = 0;  // SyncFolderOf calls so far
  FailAfter growth;  // SetLength that grows the file (a full disk)
  FailAfter write;   // Write writes nothing and returns 0
  FailAfter read;    // Read reads nothing and returns 0
  FailAfter sync;
  FailAfter flush;
  FailAfter crash;  // a call that changes a file ends the process instead
  int growths = 0;  // growing SetLength calls that succeeded
};

// The exit status of a process that CrashAfter ended.
constexpr int kCrashedExit = 77;

// Ends the process at once, as a kill would, when the crash budget is spent.
inline void MayCrash(Faults& faults) {
  if (faults.crash.Fails()) std::_Exit(kCrashedExit);
}

class FaultInjectingFile final : public StoreFile {
 public:
  FaultInjectingFile(std::unique_ptr<StoreFile> file, std::shared_ptr<Faults> faults)
      : file_(std::move(file)), faults_(std::move(faults)) {}

  std::size_t Read(void* buffer, std::size_t n) override {
    return faults_->read.Fails() ? 0 : file_->Read(buffer, n);
  }
  std::size_t Write(const void* data, std::size_t n) override {
    MayCrash(*faults_);
    return faults_->write.Fails() ? 0 : file_->Write(data, n);
  }
  bool Seek(int64_t offset) override { return file_->Seek(offset); }
  int64_t Tell() override { return file_->Tell(); }
  bool Flush() override { return !faults_->flush.Fails() && file_->Flush(); }
  int64_t Length() override { return file_->Length(); }
  bool SetLength(int64_t length) override {
    MayCrash(*faults_);
    if (length <= file_->Length()) return file_->SetLength(length);
    if (faults_->growth.Fails(BDB_NO_SPACE) || !file_->SetLength(length)) return false;
    ++faults_->growths;
    return true;
  }
  bool Sync() override {
    MayCrash(*faults_);
    return !faults_->sync.Fails() && file_->Sync();
  }
  bool Lock(bool exclusive) override { return file_->Lock(exclusive); }
  bool IsNamed(const char* name) override { return file_->IsNamed(name); }
  bool Identify(FileIdentity* identity) override { return file_->Identify(identity); }
  bool TakePermissionsOf(StoreFile& model) override { return file_->TakePermissionsOf(model); }

 private:
  std::unique_ptr<StoreFile> file_;
  std::shared_ptr<Faults> faults_;
};

class FaultInjectingFileSystem final : public FileSystem {
 public:
  // Open in mode fails with OpenError::kOther.
  void FailOpen(OpenMode mode) { faults_->failOpen[static_cast<int>(mode)] = true; }
  // Open of every name containing part fails with OpenError::kOther.
  void FailOpenOf(std::string part) { faults_->failOpenOf = std::move(part); }
  // Delete fails and leaves the file.
  void FailDelete() { faults_->failDelete = true; }
  // Replace fails and leaves both files.
  void FailReplace() { faults_->failReplace = true; }
  // SyncFolderOf fails.
  void FailFolderSync() { faults_->failFolderSync = true; }
  // SyncFolderOf calls so far (since the last Heal).
  int folderSyncs() const { return faults_->folderSyncs; }
  // Growing SetLength succeeds n more times, then fails as on a full disk.
  void FailGrowthAfter(int n) { faults_->growth.Set(n); }
  // Every growing SetLength fails as on a full disk.
  void FailEveryGrowth() { faults_->growth.Set(0); }
  // Write succeeds n more times, then writes nothing (0: every Write fails).
  void FailWriteAfter(int n) { faults_->write.Set(n); }
  // Read succeeds n more times, then reads nothing (0: every Read fails).
  void FailReadAfter(int n) { faults_->read.Set(n); }
  // Sync succeeds n more times, then fails (0: every Sync fails).
  void FailSyncAfter(int n) { faults_->sync.Set(n); }
  // Flush succeeds n more times, then fails (0: every Flush fails).
  void FailFlushAfter(int n) { faults_->flush.Set(n); }
  // The process ends (std::_Exit(kCrashedExit)) at the call that would
  // change a file after n such calls succeeded: a write, a length change, a
  // sync, a create, a delete or a replace.
  void CrashAfter(int n) { faults_->crash.Set(n); }
  // Every call succeeds again; also for files already handed out.
  void Heal() { *faults_ = Faults{}; }
  // Growing SetLength calls that succeeded so far (since the last Heal).
  int growths() const { return faults_->growths; }

  std::unique_ptr<StoreFile> Open(const char* name, OpenMode mode,
                                  OpenError* error = nullptr) override {
    if (mode != OpenMode::kRead && mode != OpenMode::kUpdate) MayCrash(*faults_);
    if (OpenFails(name, mode)) {
      NoteError(BDB_IO);
      if (error != nullptr) *error = OpenError::kOther;
      return nullptr;
    }
    std::unique_ptr<StoreFile> file = PlatformFileSystem().Open(name, mode, error);
    if (!file) return nullptr;
    return std::make_unique<FaultInjectingFile>(std::move(file), faults_);
  }
  bool Delete(const char* name) override {
    MayCrash(*faults_);
    return !faults_->failDelete && PlatformFileSystem().Delete(name);
  }
  bool Replace(const char* from, const char* to) override {
    MayCrash(*faults_);
    return !faults_->failReplace && PlatformFileSystem().Replace(from, to);
  }
  bool SyncFolderOf(const char* name) override {
    ++faults_->folderSyncs;
    return !faults_->failFolderSync && PlatformFileSystem().SyncFolderOf(name);
  }

 private:
  bool OpenFails(const char* name, OpenMode mode) const {
    if (faults_->failOpen[static_cast<int>(mode)]) return true;
    return name != nullptr && !faults_->failOpenOf.empty() &&
           std::string(name).find(faults_->failOpenOf) != std::string::npos;
  }

  // Shared with the files handed out, which may outlive this object.
  std::shared_ptr<Faults> faults_ = std::make_shared<Faults>();
};

using ScopedFileSystem = kvs::ScopedFileSystem;

}  // namespace kvs::testing

#endif  // KVS_STORE_TESTS_FAULT_INJECTING_FILE_SYSTEM_H
