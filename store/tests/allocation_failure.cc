// allocation_failure.cc: every public call with an allocator that fails
// every request of 1 KiB or more. Its own program, since it replaces the
// global operator new. No exception may leave a call: each fails with
// BDB_NO_MEMORY (or succeeds), and the store stays sound and whole.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>

#include "store/store.h"
#include "store/tests/store_test_util.h"

namespace {

bool g_failLargeAllocations = false;
constexpr std::size_t kLargest = 1024;

void* Allocate(std::size_t n) {
  if (g_failLargeAllocations && n >= kLargest) return nullptr;
  return std::malloc(n == 0 ? 1 : n);
}

}  // namespace

void* operator new(std::size_t n) {
  void* p = Allocate(n);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return Allocate(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return Allocate(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace kvs_test {
namespace {

class AllocationFailureTest : public StoreTest {};

TEST_F(AllocationFailureTest, NoExceptionLeavesACallAndTheStoreStaysWhole) {
  for (const int32_t flags : {0, STORE_SORTED, STORE_SORTED | STORE_NOCASE}) {
    SCOPED_TRACE(flags);
    const std::string name = Path(Numbered("s", flags, ".kvs"));
    StoreHandle store = Create(name, flags);
    ASSERT_NE(nullptr, store);
    for (int i = 0; i < 300; ++i) ASSERT_EQ(1, Put(store, Numbered("key", i), "value"));
    ASSERT_EQ(1, BdbClose(store));
    const Bytes before = ReadFileBytes(name);
    ASSERT_NE(nullptr, store = Open(name));

    const std::string big(5000, 'b');
    const std::string extra = Numbered("key", 999);
    g_failLargeAllocations = true;
    const int put = Put(store, "big", big);
    const int error = BdbLastError();
    const int more = Put(store, extra, "value");
    const int compact = BdbCompact(store);
    const int compactError = BdbLastError();
    char* list = BdbListPrefix(store, "key", nullptr);
    g_failLargeAllocations = false;
    BdbFree(list);

    EXPECT_TRUE(put == 1 || error == BDB_NO_MEMORY) << error;
    EXPECT_EQ(1, BdbCheck(store, stderr));
    EXPECT_EQ(put == 1 ? big : "<absent>", Get(store, "big"));
    EXPECT_EQ(more == 1 ? "value" : "<absent>", Get(store, Numbered("key", 999)));
    EXPECT_EQ("value", Get(store, "key7"));
    EXPECT_TRUE(compact == 1 || compactError != BDB_OK);
    ASSERT_EQ(1, BdbClose(store));
    if (put == 0 && more == 0) {
      EXPECT_TRUE(SameBytes(ReadFileBytes(name), before));
    }
  }
}

}  // namespace
}  // namespace kvs_test
