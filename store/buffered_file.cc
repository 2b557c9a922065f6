// buffered_file.cc: the in-memory image of a store file, its pages and the
// commit that writes their changed ranges back.
#include "store/buffered_file.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace kvs {
namespace {

constexpr int64_t kPageSize = 64 * 1024;

std::size_t PageIndex(int64_t offset) { return static_cast<std::size_t>(offset / kPageSize); }
std::size_t InPage(int64_t offset) { return static_cast<std::size_t>(offset % kPageSize); }

}  // namespace

// One page of the image. Bytes [dirtyBegin, dirtyEnd) differ from the file.
struct BufferedFile::Page {
  unsigned char bytes[kPageSize];
  std::size_t dirtyBegin = 0;
  std::size_t dirtyEnd = 0;
  bool Dirty() const { return dirtyBegin < dirtyEnd; }
};

BufferedFile::BufferedFile(std::unique_ptr<StoreFile> file) : file_(std::move(file)) {
  const int64_t length = file_ ? file_->Length() : -1;
  length_ = fileLength_ = readableLength_ = length > 0 ? length : 0;
}

BufferedFile::~BufferedFile() = default;

BufferedFile::Page* BufferedFile::LoadedPage(std::size_t number) {
  if (number < pages_.size() && pages_[number]) return pages_[number].get();
  if (number >= pages_.size()) {
    try {
      pages_.resize(number + 1);
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
  }
  std::unique_ptr<Page> page(new (std::nothrow) Page);
  if (!page) return nullptr;
  // Bytes the file holds for this page are read; the rest of the page lies
  // past the file's end (or past a pending cut of it) and reads as zero.
  const int64_t start = static_cast<int64_t>(number) * kPageSize;
  std::size_t have = 0;
  if (start < readableLength_) {
    have = static_cast<std::size_t>(std::min(kPageSize, readableLength_ - start));
    if (!file_ || !file_->Seek(start) || file_->Read(page->bytes, have) != have) return nullptr;
  }
  std::memset(page->bytes + have, 0, static_cast<std::size_t>(kPageSize) - have);
  pages_[number] = std::move(page);
  return pages_[number].get();
}

std::size_t BufferedFile::Read(void* buffer, std::size_t n) {
  auto* out = static_cast<unsigned char*>(buffer);
  std::size_t done = 0;
  while (done < n && position_ < length_) {
    Page* page = LoadedPage(PageIndex(position_));
    if (page == nullptr) break;
    const std::size_t at = InPage(position_);
    const std::size_t chunk = static_cast<std::size_t>(
        std::min<int64_t>({static_cast<int64_t>(n - done), kPageSize - static_cast<int64_t>(at),
                           length_ - position_}));
    std::memcpy(out + done, page->bytes + at, chunk);
    done += chunk;
    position_ += static_cast<int64_t>(chunk);
  }
  return done;
}

std::size_t BufferedFile::Write(const void* data, std::size_t n) {
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
        break;
      }
      page->dirtyBegin = static_cast<std::size_t>(kPageSize);
    }
    const std::size_t at = InPage(position_);
    const std::size_t chunk = std::min(n - done, static_cast<std::size_t>(kPageSize) - at);
    std::memcpy(page->bytes + at, in + done, chunk);
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

int64_t BufferedFile::Length() { return length_; }

void BufferedFile::DropPagesFrom(int64_t length) {
  // Bytes past the new end read as zero again if the file grows later.
  const std::size_t first = PageIndex(length);
  if (first < pages_.size() && pages_[first]) {
    Page& page = *pages_[first];
    const std::size_t at = InPage(length);
    std::memset(page.bytes + at, 0, static_cast<std::size_t>(kPageSize) - at);
    page.dirtyEnd = std::min(page.dirtyEnd, at);
  }
  for (std::size_t i = first + 1; i < pages_.size(); ++i) pages_[i].reset();
  if (pages_.size() > first + 1) pages_.resize(first + 1);
  readableLength_ = std::min(readableLength_, length);
}

bool BufferedFile::SetLength(int64_t length) {
  if (length < 0) return false;
  if (!held_) {
    if (!file_ || !file_->SetLength(length)) return false;
    fileLength_ = length;
  }
  if (length < length_) DropPagesFrom(length);
  length_ = length;
  return true;
}

bool BufferedFile::Flush() {
  if (!file_) return false;
  if (length_ != fileLength_) {
    if (!file_->SetLength(length_)) return false;
    fileLength_ = length_;
  }
  // Changed ranges in file order; a range that starts where the last one
  // ended needs no seek.
  std::sort(dirtyPages_.begin(), dirtyPages_.end());
  int64_t next = -1;
  for (const std::size_t number : dirtyPages_) {
    if (number >= pages_.size() || !pages_[number]) continue;  // cut off by a shrink
    const Page& page = *pages_[number];
    if (!page.Dirty()) continue;
    const int64_t start = static_cast<int64_t>(number) * kPageSize +
                          static_cast<int64_t>(page.dirtyBegin);
    const std::size_t n = page.dirtyEnd - page.dirtyBegin;
    if (start != next && !file_->Seek(start)) return false;
    if (file_->Write(page.bytes + page.dirtyBegin, n) != n) return false;
    next = start + static_cast<int64_t>(n);
  }
  for (const std::size_t number : dirtyPages_) {
    if (number < pages_.size() && pages_[number]) pages_[number]->dirtyBegin = pages_[number]->dirtyEnd = 0;
  }
  dirtyPages_.clear();
  readableLength_ = fileLength_;
  return file_->Flush();
}

bool BufferedFile::Sync() { return Flush() && file_->Sync(); }

const unsigned char* BufferedFile::View(int64_t offset, std::size_t n) {
  if (offset < 0 || offset > length_ || static_cast<int64_t>(n) > length_ - offset) return nullptr;
  static const unsigned char kNothing = 0;
  if (n == 0) return &kNothing;
  const std::size_t at = InPage(offset);
  if (at + n <= static_cast<std::size_t>(kPageSize)) {
    const Page* page = LoadedPage(PageIndex(offset));
    return page != nullptr ? page->bytes + at : nullptr;
  }
  // Spans pages: copied, with the position kept.
  const int64_t saved = position_;
  try {
    viewCopy_.resize(n);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  position_ = offset;
  const bool whole = Read(viewCopy_.data(), n) == n;
  position_ = saved;
  return whole ? viewCopy_.data() : nullptr;
}

void BufferedFile::DiscardChanges() {
  pages_.clear();
  dirtyPages_.clear();
  length_ = readableLength_ = fileLength_;
}

}  // namespace kvs
