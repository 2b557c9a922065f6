// file_image.h: the store file as the layers above the pager work on it.
//
// A FileImage is a StoreFile with what the store needs beyond bytes: the
// commit point (Flush), a journal to commit through, changes that can be
// thrown away, views that stay valid while nothing changes, a held run's
// growth, and deferred ranges. BufferedFile is the store's image: pages in
// memory, committed at the end of each call. Tests may have slots made with
// a plain image of their own (SetFileImageMaker), such as one that writes
// every byte through to the file at once, to compare the two.
#ifndef KVS_STORE_PAGER_FILE_IMAGE_H
#define KVS_STORE_PAGER_FILE_IMAGE_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "store/os/store_file.h"
#include "store/pager/journal.h"

namespace kvs {

// Unlike a plain StoreFile's, an image's View() leaves the position where
// it was: a lookup may look at records between a seek and the write that
// follows it.
class FileImage : public StoreFile {
 public:
  // The unit in which the image holds the file. A View() of bytes within
  // one page of this size points into the image; one across two is a copy
  // that the next call on the file may overwrite.
  // Measured: 16 KiB pages instead of 64 KiB took kvsgen's peak memory at
  // 100,000 records from 83 MiB to 47 (less of each partly used page at the
  // ends of the runs between old index arrays).
  static constexpr int64_t kPageSize = 16 * 1024;

  // Commits through this journal from now on. An image that writes through
  // has nothing to roll back and lets it go.
  virtual void AttachJournal(std::unique_ptr<Journal> journal) = 0;
  // The journal commits go through; null when there is none.
  virtual Journal* journal() const = 0;
  // A commit failed and its journal could not put the file back yet: the
  // next Flush() tries again before anything else.
  virtual bool RollbackPending() const = 0;
  // Forgets every change not committed: the image is the file again.
  virtual void DiscardChanges() = 0;

  // View() without a call to the file, for bytes the image holds in memory
  // within one page and outside every deferred range; null where View() is
  // needed.
  virtual const unsigned char* ViewLoaded(int64_t offset, std::size_t n) = 0;
  // View() of at least n bytes at offset, which also gives in *run how many
  // bytes from offset on the pointer shows as they are: at least n, up to
  // the end of the page that holds them, of the image, or the start of a
  // deferred range. A reader that learns from the first bytes how many it
  // needs (a record's header) takes them all from one call when they fit
  // in *run. The plain View() of n bytes, with *run = n, serves any image.
  virtual const unsigned char* ViewRun(int64_t offset, std::size_t n, std::size_t* run) {
    *run = n;
    return View(offset, n);
  }
  // Counts the calls that may change the bytes a view shows: a pointer that
  // View() or ViewLoaded() gave for bytes within one page still shows the
  // same bytes while the count stays. Not virtual: every lookup asks.
  uint64_t Changes() const { return changes_; }

  // While held, growth stays in the image until the next Flush().
  virtual void Hold(bool held) = 0;
  // For a file nobody else looks at while it is being filled (a new store
  // being compacted into): once the image holds more than budget bytes, it
  // writes its changes and lets the oldest of them go.
  virtual void WriteBehind(std::size_t budget) = 0;

  // Deferred ranges: bytes whose content the layer above writes only if the
  // image is committed, so content that is overwritten or thrown away is
  // never produced. Writes that run on from the range's start are taken as
  // they come (and count as produced). Any other access to the part not yet
  // written fails (a read or write comes up short, a view is null), and so
  // does Flush() while a range is left: the layer above takes every range
  // back (TakeDeferredRange) and writes its bytes before it commits. The
  // file never calls up for them.
  // False (nothing deferred) when the range cannot be kept: the bytes are
  // then to be written at once.
  virtual bool DeferRange(int64_t start, int64_t end) = 0;
  // Removes the range that begins at start; the count of bytes written into
  // it from its start, or -1 when there is no such range.
  virtual int64_t TakeDeferredRange(int64_t start) = 0;
  // The same count for the range that begins at start, which stays; -1
  // when there is no such range.
  virtual int64_t DeferredWritten(int64_t start) const = 0;

  // Closes the file but keeps the image and its pending changes, until
  // AdoptFile hands it the same file again.
  virtual void ReleaseFile() = 0;
  virtual void AdoptFile(std::unique_ptr<StoreFile> file) = 0;
  // Hands the file over, with every change committed; null when the commit
  // failed (the file then stays here).
  virtual std::unique_ptr<StoreFile> TakeFile() = 0;

 protected:
  // Raised by each implementation's calls that may change what a view shows.
  uint64_t changes_ = 0;
};

// The image a slot works on for an open file: a BufferedFile, unless a test
// chose another maker.
std::unique_ptr<FileImage> MakeFileImage(std::unique_ptr<StoreFile> file);
using FileImageMaker = std::unique_ptr<FileImage> (*)(std::unique_ptr<StoreFile> file);
// Makes images with maker from now on; nullptr restores BufferedFile.
void SetFileImageMaker(FileImageMaker maker);

}  // namespace kvs

#endif  // KVS_STORE_PAGER_FILE_IMAGE_H
