// buffered_file.cc: the in-memory image of a store file, its pages and the
// commit that writes their changed ranges back.
#include "store/pager/buffered_file.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <new>

#include "store/errors.h"

namespace kvs {
namespace {

constexpr int64_t kPageSize = BufferedFile::kPageSize;
constexpr std::size_t kPageBytes = static_cast<std::size_t>(kPageSize);

std::size_t PageIndex(int64_t offset) { return static_cast<std::size_t>(offset / kPageSize); }
std::size_t InPage(int64_t offset) { return static_cast<std::size_t>(offset % kPageSize); }

}  // namespace

void BufferedFile::Page::FillTo(std::size_t end) {
  if (end <= filled) return;
  std::memset(bytes + filled, 0, end - filled);
  filled = end;
}

BufferedFile::BufferedFile(std::unique_ptr<StoreFile> file) : file_(std::move(file)) {
  const int64_t length = file_ ? file_->Length() : -1;
  length_ = fileLength_ = readableLength_ = length > 0 ? length : 0;
}

BufferedFile::~BufferedFile() = default;

unsigned char* BufferedFile::TakePageMemory() {
  if (freePageMemory_.empty()) {
    // Blocks double up to one large page, so a small store takes little and
    // a large one takes its pages in large blocks.
    constexpr std::size_t kMostPerBlock = kLargePageSize / kPageBytes;
    const std::size_t pages = std::min(kMostPerBlock, std::max<std::size_t>(1, loadedPages_));
    LargeBuffer block;
    try {
      freePageMemory_.reserve(pageMemoryPages_ + pages);
      pageMemory_.reserve(pageMemory_.size() + 1);
    } catch (const std::bad_alloc&) {
      NoteError(BDB_NO_MEMORY);
      return nullptr;
    }
    if (!block.Allocate(pages * kPageBytes)) {
      NoteError(BDB_NO_MEMORY);
      return nullptr;
    }
    auto* bytes = static_cast<unsigned char*>(block.data());
    for (std::size_t i = pages; i-- > 0;) freePageMemory_.push_back(bytes + i * kPageBytes);
    pageMemory_.push_back(std::move(block));
    pageMemoryPages_ += pages;
  }
  unsigned char* bytes = freePageMemory_.back();
  freePageMemory_.pop_back();
  return bytes;
}

void BufferedFile::GivePageMemory(unsigned char* bytes) {
  // Never fails: freePageMemory_ has room for every page of every block.
  if (bytes != nullptr) freePageMemory_.push_back(bytes);
}

void BufferedFile::UnloadPage(std::size_t number) {
  ++changes_;
  Page* page = pages_.Find(number);
  if (page == nullptr) return;
  pages_.SetWhole(number, nullptr);
  if (page->bytes != nullptr) {
    GivePageMemory(page->bytes);
    --loadedPages_;
  }
  *page = Page{};
}

BufferedFile::Page* BufferedFile::LoadedPage(std::size_t number) {
  if (Page* page = pages_.Find(number); page != nullptr && page->bytes != nullptr) {
    if (writeBehindBudget_ > 0) page->lastUse = ++uses_;
    return page;
  }
  if (writeBehindBudget_ > 0 && (loadedPages_ + 1) * kPageBytes > writeBehindBudget_) ShedPages();
  try {
    if (number >= pages_.size()) pages_.resize(number + 1);
    pages_[number];  // its chunk made now, so that nothing fails after the read
  } catch (const std::bad_alloc&) {
    NoteError(BDB_NO_MEMORY);
    return nullptr;
  }
  unsigned char* bytes = TakePageMemory();
  if (bytes == nullptr) return nullptr;
  // Bytes the file holds for this page are read; the rest of the page lies
  // past the file's end (or past a pending cut of it) and reads as zero.
  const int64_t start = static_cast<int64_t>(number) * kPageSize;
  std::size_t have = 0;
  if (start < readableLength_) {
    have = static_cast<std::size_t>(std::min(kPageSize, readableLength_ - start));
    // A half-written file is put back before anything is read from it.
    if ((rollbackPending_ && !RetryRollback()) || !file_ || !file_->Seek(start) ||
        file_->Read(bytes, have) != have) {
      GivePageMemory(bytes);
      return nullptr;
    }
  }
  Page& page = pages_[number];
  page = Page{};
  page.bytes = bytes;
  page.filled = have;
  page.lastUse = ++uses_;
  ++loadedPages_;
  return &page;
}

void BufferedFile::ShedPages() {
  // Everything changed goes to the file; then the older half of the pages
  // leaves memory, to be read again if needed.
  if (!Flush()) return;
  std::vector<std::pair<uint64_t, std::size_t>> ages;
  try {
    ages.reserve(loadedPages_);
  } catch (const std::bad_alloc&) {
    NoteError(BDB_NO_MEMORY);
    return;
  }
  pages_.ForEach(0, [&](std::size_t number, const Page& page) {
    if (page.bytes) ages.emplace_back(page.lastUse, number);
  });
  const auto half = ages.begin() + static_cast<std::ptrdiff_t>(ages.size() / 2);
  std::nth_element(ages.begin(), half, ages.end());
  for (auto it = ages.begin(); it != half; ++it) UnloadPage(it->second);
}

bool BufferedFile::DeferRange(int64_t start, int64_t end) {
  if (start >= end) return true;
  try {
    deferred_[start] = Deferred{end, 0};
  } catch (const std::bad_alloc&) {
    NoteError(BDB_NO_MEMORY);
    return false;
  }
  return true;
}

int64_t BufferedFile::TakeDeferredRange(int64_t start) {
  const auto found = deferred_.find(start);
  if (found == deferred_.end()) return -1;
  const int64_t written = found->second.written;
  deferred_.erase(found);
  return written;
}

bool BufferedFile::TouchesDeferred(int64_t offset, std::size_t n) const {
  auto after = deferred_.upper_bound(offset);
  if (after != deferred_.end() && after->first < offset + static_cast<int64_t>(n)) return true;
  return after != deferred_.begin() && std::prev(after)->second.end > offset;
}

bool BufferedFile::CheckDeferred(int64_t offset, std::size_t n, bool write) {
  const int64_t end = offset + static_cast<int64_t>(n);
  auto it = deferred_.upper_bound(offset);
  if (it != deferred_.begin()) --it;
  for (; it != deferred_.end() && it->first < end; ++it) {
    const int64_t start = it->first;
    Deferred& range = it->second;
    if (range.end <= offset) continue;
    const int64_t known = start + range.written;
    if (write && offset <= known) {
      range.written = std::min(range.end, std::max(known, end)) - start;
      continue;
    }
    if (!write && end <= known) continue;
    return false;
  }
  return true;
}

std::size_t BufferedFile::Read(void* buffer, std::size_t n) {
  if (MayTouchDeferred(position_) && !CheckDeferred(position_, n, false)) return 0;
  auto* out = static_cast<unsigned char*>(buffer);
  std::size_t done = 0;
  while (done < n && position_ < length_) {
    Page* page = LoadedPage(PageIndex(position_));
    if (page == nullptr) break;
    const std::size_t at = InPage(position_);
    const std::size_t chunk = static_cast<std::size_t>(
        std::min<int64_t>({static_cast<int64_t>(n - done), kPageSize - static_cast<int64_t>(at),
                           length_ - position_}));
    const std::size_t real = page->filled > at ? std::min(chunk, page->filled - at) : 0;
    std::memcpy(out + done, page->bytes + at, real);
    std::memset(out + done + real, 0, chunk - real);
    done += chunk;
    position_ += static_cast<int64_t>(chunk);
  }
  return done;
}

std::size_t BufferedFile::Write(const void* data, std::size_t n) {
  ++changes_;
  if (MayTouchDeferred(position_) && !CheckDeferred(position_, n, true)) return 0;
  const auto* in = static_cast<const unsigned char*>(data);
  std::size_t done = 0;
  while (done < n) {
    const std::size_t number = PageIndex(position_);
    Page* page = LoadedPage(number);
    if (page == nullptr) break;
    if (!page->Dirty()) {
      try {
        dirtyPages_.push_back(number);
      } catch (const std::bad_alloc&) {
        NoteError(BDB_NO_MEMORY);
        break;
      }
      page->dirtyBegin = static_cast<std::size_t>(kPageSize);
    }
    const std::size_t at = InPage(position_);
    const std::size_t chunk = std::min(n - done, static_cast<std::size_t>(kPageSize) - at);
    page->FillTo(at);
    std::memcpy(page->bytes + at, in + done, chunk);
    page->filled = std::max(page->filled, at + chunk);
    page->dirtyBegin = std::min(page->dirtyBegin, at);
    page->dirtyEnd = std::max(page->dirtyEnd, at + chunk);
    done += chunk;
    position_ += static_cast<int64_t>(chunk);
    length_ = std::max(length_, position_);
  }
  return done;
}

bool BufferedFile::Seek(int64_t offset) {
  if (offset < 0) return false;
  position_ = offset;
  return true;
}

int64_t BufferedFile::Tell() { return position_; }

void BufferedFile::DropPagesFrom(int64_t length) {
  // Bytes past the new end read as zero again if the file grows later.
  const std::size_t first = PageIndex(length);
  if (Page* page = pages_.Find(first); page != nullptr && page->bytes) {
    const std::size_t at = InPage(length);
    page->filled = std::min(page->filled, at);
    page->dirtyEnd = std::min(page->dirtyEnd, at);
    if (page->filled < kPageBytes) pages_.SetWhole(first, nullptr);
  }
  pages_.ForEach(first + 1, [&](std::size_t number, const Page&) { UnloadPage(number); });
  if (pages_.size() > first + 1) pages_.resize(first + 1);
  readableLength_ = std::min(readableLength_, length);
}

bool BufferedFile::SetLength(int64_t length) {
  ++changes_;
  if (length < 0) return false;
  if (!held_ && !journal_ && !SetFileLength(length)) return false;
  if (length < length_) DropPagesFrom(length);
  length_ = length;
  return true;
}

bool BufferedFile::SetFileLength(int64_t length) {
  if (!file_) return false;
  if (writeBehindBudget_ == 0) {
    if (!file_->SetLength(length)) return false;
    fileLength_ = length;
    return true;
  }
  // A file written behind reserves its growth ahead once past its first
  // pages, a sixteenth of its length and at least a megabyte, so a long copy
  // does not cost a system call per record; every commit gives it its exact
  // length again.
  constexpr int64_t kReserveFrom = 64 << 10;
  constexpr int64_t kLeastReserve = 1 << 20;
  if (length <= fileLength_) return true;
  const int64_t reserve =
      length >= kReserveFrom ? length + std::max(length / 16, kLeastReserve) : length;
  if (reserve == length || !file_->SetLength(reserve)) {
    if (!file_->SetLength(length)) return false;
    fileLength_ = length;
    return true;
  }
  fileLength_ = reserve;
  return true;
}

std::vector<ByteRange> BufferedFile::ChangedRanges() const {
  std::vector<ByteRange> ranges;
  for (const std::size_t number : dirtyPages_) {
    const Page* found = pages_.Find(number);
    if (found == nullptr || !found->bytes) continue;  // cut off by a shrink
    const Page& page = *found;
    if (!page.Dirty()) continue;
    const int64_t start = static_cast<int64_t>(number) * kPageSize +
                          static_cast<int64_t>(page.dirtyBegin);
    ranges.push_back({start, start + static_cast<int64_t>(page.dirtyEnd - page.dirtyBegin)});
  }
  return ranges;
}

bool BufferedFile::WriteChanges() { return WriteChanges(ChangedRanges()); }

bool BufferedFile::WriteChanges(const std::vector<ByteRange>& ranges) {
  if (length_ != fileLength_) {
    if (!file_->SetLength(length_)) return false;
    fileLength_ = length_;
  }
  // Ranges that follow each other in the file and in memory (pages taken
  // one after the other from a block) go out in one write.
  for (std::size_t first = 0; first < ranges.size();) {
    const unsigned char* bytes = pages_[PageIndex(ranges[first].start)].bytes + InPage(ranges[first].start);
    std::size_t n = static_cast<std::size_t>(ranges[first].end - ranges[first].start);
    std::size_t last = first;
    while (last + 1 < ranges.size() && ranges[last + 1].start == ranges[last].end &&
           pages_[PageIndex(ranges[last + 1].start)].bytes + InPage(ranges[last + 1].start) == bytes + n) {
      ++last;
      n += static_cast<std::size_t>(ranges[last].end - ranges[last].start);
    }
    if (!file_->Seek(ranges[first].start) || file_->Write(bytes, n) != n) return false;
    first = last + 1;
  }
  return true;
}

bool BufferedFile::CommitJournaled() {
  // An earlier commit failed and could not be undone: nothing more may be
  // written over it until its journal has done its work.
  if (rollbackPending_ && !RetryRollback()) return false;
  if (dirtyPages_.empty() && length_ == fileLength_) return true;
  // Everything the commit needs from memory is taken before the journal is
  // written: once it is, memory that runs short must not stop the commit
  // between the journal and its end.
  const std::vector<ByteRange> changed = ChangedRanges();
  std::vector<ByteRange> ranges = changed;
  if (length_ < fileLength_) ranges.push_back({length_, fileLength_});  // cut off
  const int64_t committedLength = fileLength_;
  // The journal names the store by its state before and after the commit.
  StoreState after;
  after.length = length_;
  const auto headerBytes = static_cast<std::size_t>(
      std::min<int64_t>(length_, static_cast<int64_t>(StoreState::kHeaderBytes)));
  const unsigned char* header = View(0, headerBytes);
  if (header == nullptr) return false;
  std::copy(header, header + headerBytes, after.header.begin());
  if (!journal_->Save(*file_, committedLength, ranges, after)) return false;
  bool committed = false;
  try {
    committed = WriteChanges(changed) && (!journal_->SyncsCommits() || file_->Sync()) &&
                journal_->Finish();
  } catch (const std::bad_alloc&) {
    NoteError(BDB_NO_MEMORY);
  }
  if (committed) return true;
  // The image stays what it was: the committed file (once the journal has
  // put it back) and the changes still to be written.
  bool rolledBack = false;
  try {
    rolledBack = journal_->RollBack(*file_);
  } catch (const std::bad_alloc&) {
    NoteError(BDB_NO_MEMORY);
  }
  rollbackPending_ = !rolledBack;
  fileLength_ = committedLength;
  return false;
}

bool BufferedFile::RetryRollback() {
  if (!file_ || !journal_->RollBack(*file_)) return false;
  rollbackPending_ = false;
  return true;
}

bool BufferedFile::Flush() {
  // Bytes the layer above has not produced are never committed.
  if (!file_ || HasDeferred()) return false;
  std::sort(dirtyPages_.begin(), dirtyPages_.end());
  dirtyPages_.erase(std::unique(dirtyPages_.begin(), dirtyPages_.end()), dirtyPages_.end());
  if (!(journal_ ? CommitJournaled() : WriteChanges())) return false;
  for (const std::size_t number : dirtyPages_) {
    if (Page* page = pages_.Find(number)) page->dirtyBegin = page->dirtyEnd = 0;
  }
  dirtyPages_.clear();
  readableLength_ = fileLength_;
  return file_->Flush();
}

std::unique_ptr<StoreFile> BufferedFile::TakeFile() {
  if (!Flush()) return nullptr;
  return std::move(file_);
}

bool BufferedFile::Sync() { return Flush() && file_->Sync(); }

const unsigned char* BufferedFile::View(int64_t offset, std::size_t n) {
  if (const unsigned char* loaded = ViewLoaded(offset, n)) return loaded;
  if (MayTouchDeferred(offset) && !CheckDeferred(offset, n, false)) return nullptr;
  if (offset < 0 || offset > length_ || static_cast<int64_t>(n) > length_ - offset) return nullptr;
  static const unsigned char kNothing = 0;
  if (n == 0) return &kNothing;
  const std::size_t at = InPage(offset);
  if (at + n <= static_cast<std::size_t>(kPageSize)) {
    Page* page = LoadedPage(PageIndex(offset));
    if (page == nullptr) return nullptr;
    page->FillTo(at + n);
    return page->bytes + at;
  }
  // Spans pages: copied, with the position kept.
  const int64_t saved = position_;
  try {
    viewCopy_.resize(n);
  } catch (const std::bad_alloc&) {
    NoteError(BDB_NO_MEMORY);
    return nullptr;
  }
  position_ = offset;
  const bool whole = Read(viewCopy_.data(), n) == n;
  position_ = saved;
  return whole ? viewCopy_.data() : nullptr;
}

const unsigned char* BufferedFile::ViewRun(int64_t offset, std::size_t n, std::size_t* run) {
  if (!MayTouchDeferred(offset)) {
    const unsigned char* bytes = LoadedBytes(offset, run);
    if (bytes != nullptr && n <= *run) return bytes;
  }
  *run = n;
  return View(offset, n);
}

void BufferedFile::DiscardChanges() {
  ++changes_;
  deferred_.clear();
  pages_.ForEach(0, [&](std::size_t number, const Page&) { UnloadPage(number); });
  pages_.clear();
  dirtyPages_.clear();
  length_ = readableLength_ = fileLength_;
}

}  // namespace kvs
