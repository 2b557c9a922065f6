// large_memory.cc: LargeBuffer, over the platform's large blocks.
#include "store/os/large_memory.h"

#include <new>

namespace kvs {

bool LargeBuffer::Allocate(std::size_t n) {
  Release();
  if (n == 0) return true;
  if (n < kLargePageSize) {
    data_ = ::operator new(n, std::nothrow);
    size_ = data_ != nullptr ? n : 0;
    return data_ != nullptr;
  }
  if (n > static_cast<std::size_t>(-1) - kLargePageSize) return false;
  const std::size_t rounded = (n + kLargePageSize - 1) / kLargePageSize * kLargePageSize;
  data_ = AllocateLargeBlock(rounded);
  size_ = data_ != nullptr ? rounded : 0;
  return data_ != nullptr;
}

void LargeBuffer::Release() {
  if (data_ == nullptr) return;
  if (size_ < kLargePageSize) {
    ::operator delete(data_);
  } else {
    FreeLargeBlock(data_, size_);
  }
  data_ = nullptr;
  size_ = 0;
}

}  // namespace kvs
