// written_through_file.h: a store file image that hands every byte to the
// file at once, the plain twin that tests hold the store's buffered image
// against. It holds nothing back, so it has nothing to throw away, defer or
// roll back; its views are copies, each valid until the next call.
#ifndef KVS_STORE_TESTS_WRITTEN_THROUGH_FILE_H
#define KVS_STORE_TESTS_WRITTEN_THROUGH_FILE_H

#include <memory>

#include "store/pager/file_image.h"

namespace kvs_test {

class WrittenThroughFile final : public kvs::FileImage {
 public:
  explicit WrittenThroughFile(std::unique_ptr<kvs::StoreFile> file) : file_(std::move(file)) {}
  static std::unique_ptr<kvs::FileImage> Make(std::unique_ptr<kvs::StoreFile> file) {
    return std::make_unique<WrittenThroughFile>(std::move(file));
  }

  std::size_t Read(void* buffer, std::size_t n) override { return file_ ? file_->Read(buffer, n) : 0; }
  std::size_t Write(const void* data, std::size_t n) override {
    ++changes_;
    return file_ ? file_->Write(data, n) : 0;
  }
  bool Seek(int64_t offset) override { return file_ && file_->Seek(offset); }
  int64_t Tell() override { return file_ ? file_->Tell() : -1; }
  bool Flush() override { return file_ && file_->Flush(); }
  int64_t Length() override { return file_ ? file_->Length() : -1; }
  bool SetLength(int64_t length) override {
    ++changes_;
    return file_ && file_->SetLength(length);
  }
  bool Sync() override { return file_ && file_->Sync(); }
  const unsigned char* View(int64_t offset, std::size_t n) override {
    ++changes_;  // the copy the last view pointed to is overwritten
    if (!file_) return nullptr;
    const int64_t position = file_->Tell();
    const unsigned char* bytes = file_->View(offset, n);
    return file_->Seek(position) ? bytes : nullptr;
  }
  bool Lock(bool exclusive) override { return file_ && file_->Lock(exclusive); }
  bool IsNamed(const char* name) override { return file_ && file_->IsNamed(name); }
  bool Identify(kvs::FileIdentity* identity) override { return file_ && file_->Identify(identity); }
  bool TakePermissionsOf(kvs::StoreFile& model) override {
    return file_ && file_->TakePermissionsOf(model);
  }

  void AttachJournal(std::unique_ptr<kvs::Journal>) override {}
  kvs::Journal* journal() const override { return nullptr; }
  bool RollbackPending() const override { return false; }
  void DiscardChanges() override {}
  const unsigned char* ViewLoaded(int64_t, std::size_t) override { return nullptr; }
  void Hold(bool) override {}
  void WriteBehind(std::size_t) override {}
  bool DeferRange(int64_t, int64_t) override { return false; }
  int64_t TakeDeferredRange(int64_t) override { return -1; }
  int64_t DeferredWritten(int64_t) const override { return -1; }
  void ReleaseFile() override { file_.reset(); }
  void AdoptFile(std::unique_ptr<kvs::StoreFile> file) override { file_ = std::move(file); }
  std::unique_ptr<kvs::StoreFile> TakeFile() override {
    return file_ && file_->Flush() ? std::move(file_) : nullptr;
  }

 private:
  std::unique_ptr<kvs::StoreFile> file_;
};

// Stores opened or created while one lives write through.
class ScopedWrittenThrough {
 public:
  ScopedWrittenThrough() { kvs::SetFileImageMaker(WrittenThroughFile::Make); }
  ~ScopedWrittenThrough() { kvs::SetFileImageMaker(nullptr); }
  ScopedWrittenThrough(const ScopedWrittenThrough&) = delete;
  ScopedWrittenThrough& operator=(const ScopedWrittenThrough&) = delete;
};

}  // namespace kvs_test

#endif  // KVS_STORE_TESTS_WRITTEN_THROUGH_FILE_H
