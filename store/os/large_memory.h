// large_memory.h: memory for the large arrays of a store's in-memory image
// (file pages, the hash table of the keys), taken from the system in blocks
// aligned to kLargePageSize and, where the system offers it, backed by large
// pages. Lookups touch such arrays at random; with small pages nearly every
// one would also miss the address translation cache.
//
// The only platform code besides store_file_*.cc: large_memory_posix.cc and
// large_memory_win32.cc.
#ifndef KVS_STORE_OS_LARGE_MEMORY_H
#define KVS_STORE_OS_LARGE_MEMORY_H

#include <cstddef>
#include <new>

namespace kvs {

constexpr std::size_t kLargePageSize = std::size_t{2} << 20;

// n bytes (a positive multiple of kLargePageSize) of zeroed memory, aligned
// to kLargePageSize where the system gives large pages; null when memory is
// short. Release with FreeLargeBlock.
void* AllocateLargeBlock(std::size_t n);
void FreeLargeBlock(void* block, std::size_t n);

// An array of bytes that owns its memory: from AllocateLargeBlock once it is
// kLargePageSize or larger, else from the heap. Empty when moved from.
class LargeBuffer {
 public:
  LargeBuffer() = default;
  ~LargeBuffer() { Release(); }
  LargeBuffer(LargeBuffer&& other) noexcept : data_(other.data_), size_(other.size_) {
    other.data_ = nullptr;
    other.size_ = 0;
  }
  LargeBuffer& operator=(LargeBuffer&& other) noexcept {
    if (this != &other) {
      Release();
      data_ = other.data_;
      size_ = other.size_;
      other.data_ = nullptr;
      other.size_ = 0;
    }
    return *this;
  }
  LargeBuffer(const LargeBuffer&) = delete;
  LargeBuffer& operator=(const LargeBuffer&) = delete;

  // At least n bytes (their content unspecified); false, and empty, when
  // memory is short.
  bool Allocate(std::size_t n);
  void Release();
  void* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  void* data_ = nullptr;
  std::size_t size_ = 0;  // bytes owned; a multiple of kLargePageSize when large
};

// A std::allocator for vectors that grow large and are read at random (the
// page table of a large file): arrays from kLargeFrom bytes on come from
// large blocks.
template <typename T>
struct LargeAllocator {
  using value_type = T;
  static constexpr std::size_t kLargeFrom = kLargePageSize / 8;

  LargeAllocator() = default;
  template <typename U>
  LargeAllocator(const LargeAllocator<U>& /*other*/) {}

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / 2 / sizeof(T)) throw std::bad_alloc();
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kLargeFrom) return static_cast<T*>(::operator new(bytes));
    void* block = AllocateLargeBlock(Rounded(bytes));
    if (block == nullptr) throw std::bad_alloc();
    return static_cast<T*>(block);
  }
  void deallocate(T* p, std::size_t n) {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kLargeFrom) {
      ::operator delete(p);
    } else {
      FreeLargeBlock(p, Rounded(bytes));
    }
  }
  friend bool operator==(const LargeAllocator&, const LargeAllocator&) { return true; }

 private:
  static std::size_t Rounded(std::size_t bytes) {
    return (bytes + kLargePageSize - 1) / kLargePageSize * kLargePageSize;
  }
};

}  // namespace kvs

#endif  // KVS_STORE_OS_LARGE_MEMORY_H
