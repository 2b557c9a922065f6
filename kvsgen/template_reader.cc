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

std::size_t TemplateReader::ReadLine(char *line, std::size_t limit) {
  std::size_t taken = 0;
  while (taken < limit) {
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
    if (!ended_ && position_ < filled_) {
      const unsigned char *from = buffer_.data() + position_;
      std::size_t plain = std::min(count - taken, filled_ - position_);
      for (const int stop : {int{'\r'}, kEndOfFileMark}) {
        const void *found = std::memchr(from, stop, plain);
        if (found != nullptr) plain = static_cast<std::size_t>(static_cast<const unsigned char *>(found) - from);
      }
      if (plain > 0) {
        std::memcpy(block + taken, from, plain);
        taken += plain;
        position_ += plain;
        continue;
      }
    }
    const int byte = Get();
    if (byte == kEnd) break;
    block[taken++] = static_cast<char>(byte);
  }
  return taken;
}

}  // namespace kvsgen
