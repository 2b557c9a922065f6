// buffered_file.h: the store file as the store works on it: an image of the
// file held in memory in pages, read from the file on first use and written
// back at commit points.
//
// Reads, writes and the length act on the image; Flush() is the commit
// point: it gives the file the image's length and writes every changed byte
// range, in file order, with as few system calls as the ranges allow. The
// store commits at the end of every call that changes a store, so a caller
// sees the same file after each call as with a file written byte by byte,
// while one call's many small header, key and index writes cost one pass.
//
// Growth is passed to the file at once (so a full disk fails the operation
// that needs the room, before anything else changes), unless the file is
// held or journaled: then the image alone grows until the next Flush(),
// which sets the length before it writes anything.
//
// A journaled file (AttachJournal) commits through its rollback journal:
// the bytes and length each commit changes are saved there first, so that
// a commit is whole or absent whatever moment the process dies, and a
// commit that fails part way is undone before Flush() returns.
#ifndef KVS_STORE_PAGER_BUFFERED_FILE_H
#define KVS_STORE_PAGER_BUFFERED_FILE_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "store/pager/file_image.h"
#include "store/pager/journal.h"
#include "store/pager/page_table.h"
#include "store/os/large_memory.h"
#include "store/os/store_file.h"

namespace kvs {

class BufferedFile final : public FileImage {
 public:
  // Takes the open file; its length is read once, here.
  explicit BufferedFile(std::unique_ptr<StoreFile> file);
  ~BufferedFile() override;
  BufferedFile(const BufferedFile&) = delete;
  BufferedFile& operator=(const BufferedFile&) = delete;

  std::size_t Read(void* buffer, std::size_t n) override;
  std::size_t Write(const void* data, std::size_t n) override;
  bool Seek(int64_t offset) override;
  int64_t Tell() override;
  // Commits: the file gets the image's length and every changed range.
  // False when any of that failed (the changes then stay pending).
  bool Flush() override;
  int64_t Length() override { return length_; }
  bool SetLength(int64_t length) override;
  bool Sync() override;
  const unsigned char* View(int64_t offset, std::size_t n) override;
  bool Lock(bool exclusive) override { return file_ && file_->Lock(exclusive); }
  bool IsNamed(const char* name) override { return file_ && file_->IsNamed(name); }
  bool Identify(FileIdentity* identity) override { return file_ && file_->Identify(identity); }
  bool TakePermissionsOf(StoreFile& model) override {
    return file_ && file_->TakePermissionsOf(model);
  }

  void AttachJournal(std::unique_ptr<Journal> journal) override { journal_ = std::move(journal); }
  Journal* journal() const override { return journal_.get(); }
  bool RollbackPending() const override { return rollbackPending_; }
  void DiscardChanges() override;
  const unsigned char* ViewLoaded(int64_t offset, std::size_t n) override;
  const unsigned char* ViewRun(int64_t offset, std::size_t n, std::size_t* run) override;
  void Hold(bool held) override { held_ = held; }
  // Once the image's pages pass budget bytes, its changes are written and
  // its least recently used pages leave memory.
  void WriteBehind(std::size_t budget) override { writeBehindBudget_ = budget; }
  // False also when memory for the range's bookkeeping is short.
  bool DeferRange(int64_t start, int64_t end) override;
  int64_t TakeDeferredRange(int64_t start) override;
  int64_t DeferredWritten(int64_t start) const override {
    const auto found = deferred_.find(start);
    return found == deferred_.end() ? -1 : found->second.written;
  }
  void ReleaseFile() override { file_.reset(); }
  void AdoptFile(std::unique_ptr<StoreFile> file) override { file_ = std::move(file); }
  std::unique_ptr<StoreFile> TakeFile() override;

 private:
  bool HasDeferred() const { return !deferred_.empty(); }

  // One page of the image: its bytes, when in memory, and what is known of
  // them. Bytes [dirtyBegin, dirtyEnd) differ from the file; bytes from
  // filled on are zero without having been written (so a page appended to is
  // never cleared first).
  struct Page {
    unsigned char* bytes = nullptr;  // from the file's page memory
    std::size_t filled = 0;
    std::size_t dirtyBegin = 0;
    std::size_t dirtyEnd = 0;
    uint64_t lastUse = 0;
    bool Dirty() const { return dirtyBegin < dirtyEnd; }
    // Makes bytes [filled, end) real zeros.
    void FillTo(std::size_t end);
  };

  Page* LoadedPage(std::size_t number);
  // The bytes at offset in a page in memory, and in *run how many follow
  // within the page and the image (deferred ranges not looked at); null
  // when that page is not in memory.
  const unsigned char* LoadedBytes(int64_t offset, std::size_t* run);
  // Memory for one page, or null when memory is short; and its return.
  unsigned char* TakePageMemory();
  void GivePageMemory(unsigned char* bytes);
  // Makes pages_[number] a page not in memory.
  void UnloadPage(std::size_t number);
  void ShedPages();
  // Supplies the deferred ranges that an access of n bytes at offset may
  // not take as they are.
  // False when the access touches the part of a deferred range not written
  // yet (a write that runs on from what is written extends it instead).
  bool CheckDeferred(int64_t offset, std::size_t n, bool write);
  // False when an access at offset lies past every deferred range (ranges
  // never overlap, so the last one ends last), as appends do.
  bool MayTouchDeferred(int64_t offset) const {
    return !deferred_.empty() && offset < deferred_.rbegin()->second.end;
  }
  // True when bytes [offset, offset + n) overlap a deferred range.
  bool TouchesDeferred(int64_t offset, std::size_t n) const;
  bool SetFileLength(int64_t length);
  // The changed ranges of the image, in file order.
  std::vector<ByteRange> ChangedRanges() const;
  // Gives the file the image's length and changed ranges.
  bool WriteChanges();
  // The same for ranges already taken from ChangedRanges.
  bool WriteChanges(const std::vector<ByteRange>& ranges);
  // Commits through the journal; on failure the file is as before.
  bool CommitJournaled();
  // Has the journal put back the file of a commit that failed; false when
  // it cannot yet.
  bool RetryRollback();
  void DropPagesFrom(int64_t length);

  std::unique_ptr<StoreFile> file_;
  // By page number (no bytes: not read yet). Beside the pages, the bytes
  // of each page in memory that holds all its kPageSize bytes (see
  // PageTable::Chunk::whole), noted when a view finds such a page and
  // cleared whenever a page leaves memory or is cut short.
  PageTable<Page> pages_;
  std::vector<LargeBuffer> pageMemory_;        // blocks that page bytes come from
  std::vector<unsigned char*> freePageMemory_; // pages of those blocks no page uses
  std::size_t pageMemoryPages_ = 0;            // pages of all those blocks
  std::vector<unsigned char> viewCopy_;       // a View() that spans two pages
  int64_t position_ = 0;
  std::vector<std::size_t> dirtyPages_;       // numbers of pages with changes
  int64_t length_ = 0;          // the image's length
  int64_t fileLength_ = 0;      // the file's length as last set or read
  int64_t readableLength_ = 0;  // file bytes below this are the image's, unless changed
  struct Deferred {
    int64_t end;
    int64_t written;  // bytes from the start written since the range was deferred
  };
  std::map<int64_t, Deferred> deferred_;  // by start
  std::size_t loadedPages_ = 0;
  std::size_t writeBehindBudget_ = 0;  // 0: pages stay until closed
  uint64_t uses_ = 0;                  // clock of page uses, for shedding the oldest
  bool held_ = false;
  std::unique_ptr<Journal> journal_;
  bool rollbackPending_ = false;  // a failed commit could not be undone yet
};

inline const unsigned char* BufferedFile::LoadedBytes(int64_t offset, std::size_t* run) {
  if (offset < 0 || offset > length_) return nullptr;
  const auto number = static_cast<std::size_t>(offset / kPageSize);
  const auto at = static_cast<std::size_t>(offset % kPageSize);
  // Mostly the page is whole and noted so; else its Page tells.
  const unsigned char* bytes = pages_.Whole(number);
  std::size_t filled = static_cast<std::size_t>(kPageSize);
  if (bytes == nullptr || writeBehindBudget_ > 0) {
    Page* page = pages_.Find(number);
    if (page == nullptr || page->bytes == nullptr || at > page->filled) return nullptr;
    if (writeBehindBudget_ > 0) page->lastUse = ++uses_;  // in use: not to be shed first
    bytes = page->bytes;
    filled = page->filled;
    if (filled == static_cast<std::size_t>(kPageSize)) pages_.SetWhole(number, bytes);
  }
  *run = std::min(filled - at, static_cast<std::size_t>(length_ - offset));
  return bytes + at;
}

inline const unsigned char* BufferedFile::ViewLoaded(int64_t offset, std::size_t n) {
  if (MayTouchDeferred(offset) && TouchesDeferred(offset, n)) return nullptr;
  std::size_t run = 0;
  const unsigned char* bytes = LoadedBytes(offset, &run);
  return bytes != nullptr && n <= run ? bytes : nullptr;
}

}  // namespace kvs

#endif  // KVS_STORE_PAGER_BUFFERED_FILE_H
