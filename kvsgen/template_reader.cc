// template_reader.cc: buffered text-mode reading of a template file.
#include "kvsgen/template_reader.h"

#include <algorithm>
#include <cstring>

namespace kvsgen {

TemplateReader::TemplateReader(std::size_t bufferSize)
    : buffer_(bufferSize == 0 ? 1 : bufferSize) {}

bool TemplateReader::Open(const char *path) {
  file_.reset(std::fopen(path, "rb"));
  position_ = filled_ = 0;
  fileDone_ = ended_ = file_ == nullptr;
  return file_ != nullptr;
}

bool TemplateReader::Refill() {
  if (fileDone_) return false;
  filled_ = std::fread(buffer_.data(), 1, buffer_.size(), file_.get());
  position_ = 0;
  if (filled_ == 0) fileDone_ = true;
  return filled_ > 0;
}

int TemplateReader::RawPeek() {
  if (position_ == filled_ && !Refill()) return kEnd;
  return buffer_[position_];
}

int TemplateReader::RawGet() {
  const int byte = RawPeek();
  if (byte != kEnd) ++position_;
  return byte;
}

int TemplateReader::Get() {
  if (ended_) return kEnd;
  const int byte = RawGet();
  if (byte == kEnd || byte == kEndOfFileMark) {
    ended_ = true;
    return kEnd;
  }
  // The CR is already taken, so a refill for the peek loses nothing even
  // when the CR was the last byte of the buffer.
  if (byte == '\r' && RawPeek() == '\n') {
    ++position_;
    return '\n';
  }
  return byte;
}

std::size_t TemplateReader::PlainRun(std::size_t most, int stop) const {
  if (ended_ || position_ >= filled_) return 0;
  const unsigned char *from = buffer_.data() + position_;
  std::size_t plain = std::min(most, filled_ - position_);
  // stop first: it is mostly near, and the searches after it cover less.
  for (const int byte : {stop, int{'\r'}, kEndOfFileMark}) {
    const void *found = std::memchr(from, byte, plain);
    if (found != nullptr) plain = static_cast<std::size_t>(static_cast<const unsigned char *>(found) - from);
  }
  return plain;
}

std::size_t TemplateReader::ReadLine(char *line, std::size_t limit) {
  std::size_t taken = 0;
  while (taken < limit) {
    // The bytes up to the line's end, a CR or the end-of-file mark go across
    // in one copy; those three are taken one by one.
    const std::size_t plain = PlainRun(limit - taken, '\n');
    if (plain > 0) {
      std::memcpy(line + taken, buffer_.data() + position_, plain);
      taken += plain;
      position_ += plain;
      continue;
    }
    const int byte = Get();
    if (byte == kEnd) break;
    line[taken++] = static_cast<char>(byte);
    if (byte == '\n') break;
  }
  line[taken] = '\0';
  return taken;
}

std::size_t TemplateReader::ReadBlock(char *block, std::size_t count) {
  std::size_t taken = 0;
  while (taken < count) {
    // A run of buffered bytes that text mode leaves as they are (no CR, no
    // end-of-file mark) goes across in one copy; the rest byte by byte.
    const std::size_t plain = PlainRun(count - taken, kEndOfFileMark);
    if (plain > 0) {
      std::memcpy(block + taken, buffer_.data() + position_, plain);
      taken += plain;
      position_ += plain;
      continue;
    }
    const int byte = Get();
    if (byte == kEnd) break;
    block[taken++] = static_cast<char>(byte);
  }
  return taken;
}

}  // namespace kvsgen
