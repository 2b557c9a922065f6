// input_reader.h: takes a fuzz input apart, byte by byte. Past the end every
// byte reads as 0 and every run as empty, so a decoder never needs to check.
#ifndef KVS_FUZZ_INPUT_READER_H
#define KVS_FUZZ_INPUT_READER_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

namespace kvs::fuzz {

class InputReader {
 public:
  InputReader(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool Done() const { return at_ >= size_; }
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  // A number below bound (bound at least 1).
  unsigned Below(unsigned bound) { return Byte() % bound; }
  // Up to n bytes.
  std::string Take(std::size_t n) {
    const std::size_t count = std::min(n, size_ - std::min(at_, size_));
    std::string bytes(reinterpret_cast<const char*>(data_) + at_, count);
    at_ += count;
    return bytes;
  }

 private:
  const uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

}  // namespace kvs::fuzz

#endif  // KVS_FUZZ_INPUT_READER_H
