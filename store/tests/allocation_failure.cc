// allocation_failure.cc: every public call with an allocator that fails
// every request of 1 KiB or more. Its own program, since it replaces the
// global operator new. No exception may leave a call: each fails with
// BDB_NO_MEMORY (or succeeds), and the store stays sound and whole.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <new>
#include <string>
#include <utility>

#include "store/ops/slots.h"
#include "store/store.h"
#include "store/tests/store_test_util.h"

namespace {

bool g_failLargeAllocations = false;
constexpr std::size_t kLargest = 1024;
// When positive, counts the store's allocations down (those made inside
// Counted); the one that brings it to 0 fails.
long g_failingAllocation = 0;
bool g_counting = false;

void* Allocate(std::size_t n) {
  if (g_failLargeAllocations && n >= kLargest) return nullptr;
  if (g_counting && g_failingAllocation > 0 && --g_failingAllocation == 0) return nullptr;
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
// These operators pair malloc with free themselves; g++ 12, seeing a new
// inlined into a delete, takes the free for one that misses its malloc.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace kvs_test {
namespace {

// A store call whose allocations count towards the failing one.
template <typename Call>
auto Counted(Call call) {
  g_counting = true;
  const auto result = call();
  g_counting = false;
  return result;
}

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

// The sweeps: not on Windows, where a compaction lets the store's file go
// before its rename, and an allocation that fails while the file is let go
// can still cost the held changes.
#ifndef _WIN32
using Contents = std::map<std::string, std::string>;

// One pass of a sweep: the store's calls, with the k-th of their
// allocations failing. It keeps what the file holds at the last commit,
// what the store holds, what it holds when a failed put or delete forgot its
// held run, and the first call that failed, with its cause.
template <typename Param>
class SweepTest : public StoreTest, public ::testing::WithParamInterface<Param> {
 protected:
  void Begin(long k, const Contents& base) {
    file_ = model_ = base;
    forgotten_.clear();
    held_ = forgot_ = false;
    failed_.clear();
    g_failingAllocation = k;
  }
  int Note(const char* call, int result) {
    if (result == 0 && failed_.empty()) {
      failed_ = call + std::string("/") + std::to_string(BdbLastError());
    }
    return result;
  }
  static bool NoFailureYet() { return g_failingAllocation > 0; }
  void Hold() {
    held_ = Note("hold", Counted([&] { return BdbHoldWrites(store_); })) == 1;
  }
  void SweptPut(const std::string& key, const std::string& value) {
    Changed(Note("put", Counted([&] { return Put(store_, key, value); })),
            [&](Contents& c) { c[key] = value; });
  }
  void SweptDelete(const std::string& key) {
    const int present = model_.contains(key) ? 1 : 0;
    Changed(Note("delete", Counted([&] { return BdbDelete(store_, key.c_str()); }) == present),
            [&](Contents& c) { c.erase(key); });
  }
  void Compact() {
    if (Note("compact", Counted([&] { return BdbCompact(store_); }))) file_ = model_;
    held_ = false;
  }
  // A close that failed wrote nothing, unless a compaction that failed had
  // let the handle go: the compacted store then holds what it held.
  void Close() {
    if (!Note("close", Counted([&] { return BdbClose(store_); })) && failed_ != "compact/9") {
      EXPECT_EQ("close/9", failed_);
      model_ = forgotten_ = file_;
    }
  }
  // Ends the pass: every call kept its word, and the store at name, opened
  // again, is sound and holds what they made. True when the sweep is done:
  // no allocation failed, or a promise was broken.
  bool End(const std::string& name) {
    const bool passed = NoFailureYet();
    g_failingAllocation = 0;
    EXPECT_TRUE(failed_.empty() || failed_.ends_with("/9")) << failed_;
    SCOPED_TRACE(failed_);
    const Contents found = Stored(name);
    EXPECT_TRUE(found == model_ || (forgot_ && found == forgotten_))
        << found.size() << " keys, " << model_.size() << " acknowledged";
    return passed || this->HasFailure();
  }
  Contents Stored(const std::string& name) {
    StoreHandle again = Open(name);
    EXPECT_NE(nullptr, again);
    if (again == nullptr) return {};
    EXPECT_EQ(1, BdbCheck(again, stderr));
    const Contents found = Seen(again);
    EXPECT_EQ(1, BdbClose(again));
    return found;
  }
  // What the store holds as its handle sees it.
  static Contents Seen(StoreHandle store) {
    Contents seen;
    for (const std::string& key : List(store, "")) seen[key] = Get(store, key);
    return seen;
  }

  StoreHandle store_ = nullptr;
  Contents file_, model_, forgotten_;
  bool held_ = false, forgot_ = false;
  std::string failed_;

 private:
  template <typename Change>
  void Changed(bool made, const Change& change) {
    if (made) {
      change(model_);
      if (forgot_) change(forgotten_);
      if (!held_) file_ = model_;
    } else if (held_ && !forgot_) {
      forgot_ = true;
      forgotten_ = file_;
    }
  }
};

// An open, a held run of puts, a compaction, a second held run and a
// close, with the k-th allocation of the store failing, for every k until
// one passes through them all; on a store with one name and on one with two
// (compacted in place). A call either succeeds and its effect holds, or
// fails with BDB_NO_MEMORY and changes nothing; only a put that stops part
// way in a held run may forget the run, going back to what the file holds,
// as BdbHoldWrites says.
using AllocationSweepTest = SweepTest<bool>;

TEST_P(AllocationSweepTest, EveryCallKeepsItsWordWhenAnyAllocationFails) {
  const std::string name = Path("sweep.kvs");
  const bool linked = GetParam();
  Contents base;
  for (int i = 0; i < 100; ++i) base[Numbered("key", i)] = std::string(At(i % 50), 'v');
  StoreHandle made = Create(name, STORE_SORTED | STORE_NOCASE);
  for (const auto& [key, value] : base) ASSERT_EQ(1, Put(made, key, value));
  ASSERT_EQ(1, BdbClose(made));
  const Bytes before = ReadFileBytes(name);
  for (long k = 1; k < 100000; ++k) {
    SCOPED_TRACE(k);
    WriteFileBytes(name, before);
    if (linked) {
      std::filesystem::remove(name + ".link");
      std::filesystem::create_hard_link(name, name + ".link");
    }
    Begin(k, base);
    store_ = Counted([&] { return BdbOpen(name.c_str()); });
    if (store_ == nullptr) {
      g_failingAllocation = 0;
      ASSERT_EQ(BDB_NO_MEMORY, BdbLastError());  // a store left locked fails every open after
      EXPECT_TRUE(SameBytes(ReadFileBytes(name), before));
      continue;
    }
    auto run = [&](int first, int count) {
      Hold();
      for (int i = first; i < first + count; ++i) {
        SweptPut(Numbered(i % 3 ? "new" : "key", i), std::string(At((i * 37) % 3000), 'n'));
      }
    };
    run(0, 60);
    Compact();
    run(60, 6);
    Close();
    if (End(name)) break;
  }
}

INSTANTIATE_TEST_SUITE_P(OneAndTwoNames, AllocationSweepTest, ::testing::Bool());

// A file's bytes put back: written over in place, and cut only when the file
// has grown, rather than cut to nothing and written anew (slow on some disks).
void RestoreFileBytes(const std::string& name, const Bytes& bytes) {
  std::fstream file(name, std::ios::binary | std::ios::in | std::ios::out);
  file.write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  file.close();
  if (std::filesystem::file_size(name) != bytes.size()) {
    std::filesystem::resize_file(name, bytes.size());
  }
}

// Whether the file at name holds exactly bytes; read in pieces, since a
// large store's whole image, read anew at every step of a sweep, is slow.
bool FileHolds(const std::string& name, const Bytes& bytes) {
  std::ifstream in(name, std::ios::binary);
  char piece[1 << 16];
  std::size_t at = 0;
  while (in.read(piece, sizeof piece) || in.gcount() > 0) {
    const auto n = static_cast<std::size_t>(in.gcount());
    if (n > bytes.size() - at || std::memcmp(piece, bytes.data() + at, n) != 0) return false;
    at += n;
  }
  return at == bytes.size();
}

// The same on a sorted store large enough that an open leaves its index in
// the file: one key short of the Index record's 1,280 entries, so that the
// first new key grows the record while its entries are still there. Three
// uses of the store, each swept from its open (counted with the first) to
// its close: (0) lookups of present and absent keys, prefix listings, puts
// (a new key, another, a value that moves), deletes, then lookups until the
// entries are loaded; (1) a held run, which loads them at once, its puts and
// delete, and its flush; (2) a compaction, which loads them first. The first
// use also on a store that folds case. A lookup or listing that fails gives
// BDB_NO_MEMORY, any other answer is the model's. After a failure the handle
// still reads what the store holds, and the lookups of that reading load the
// entries.
using IndexInFileSweepTest = SweepTest<std::pair<int32_t, int>>;  // flags, use

TEST_P(IndexInFileSweepTest, EveryCallKeepsItsWordWhenAnyAllocationFails) {
  constexpr int kKeys = 1279;
  const int32_t flags = GetParam().first;
  const int use = GetParam().second;
  const std::string name = Path("sweep.kvs");
  Contents base;
  for (int i = 0; i < kKeys; ++i) base[Numbered("key", i)] = std::string(At(i % 7), 'v');
  StoreHandle made = Create(name, flags);
  ASSERT_EQ(1, BdbHoldWrites(made));
  for (const auto& [key, value] : base) ASSERT_EQ(1, Put(made, key, value));
  ASSERT_EQ(1, BdbClose(made));
  const Bytes before = ReadFileBytes(name);
  // Keys are stored in lower case; one of another case is found only in a
  // store that folds case.
  const auto stored = [flags](std::string key) {
    for (char& c : key) {
      if (flags & STORE_NOCASE) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return key;
  };
  auto lookup = [&](const std::string& key) {
    const auto it = model_.find(stored(key));
    int32_t size = -1;
    std::string value = "<absent>";
    if (Counted([&] { return BdbGetSize(store_, key.c_str(), &size); }) == 1) {
      value.assign(At(size), '\0');
      if (!Counted([&] { return BdbRead(store_, key.c_str(), value.data(), size); })) value = "?";
    }
    Note("get", value == (it == model_.end() ? "<absent>" : it->second));
  };
  auto list = [&](const std::string& prefix) {
    std::string expected, listed;
    for (const auto& [key, value] : model_) {
      if (key.starts_with(stored(prefix))) expected += key + '\n';
    }
    int32_t count = 0;
    char* block = Counted([&] { return BdbListPrefix(store_, prefix.c_str(), &count); });
    for (const char* key = block; block != nullptr && count-- > 0; key += std::strlen(key) + 1) {
      listed += std::string(key) + '\n';
    }
    BdbFree(block);
    Note("list", listed == expected);
  };
  const std::function<void()> uses[] = {
      [&] {
        lookup("key5");
        lookup("KEY1000");
        lookup("key5x");
        list("key12");
        list("Key127");
        SweptPut("key640a", "new");  // grows the Index record
        SweptPut("key0", "first");
        SweptPut("key9", std::string(200, 'm'));
        SweptDelete("key10");
        SweptDelete("key10x");
        for (int i = 0; i < kKeys / 30; ++i) lookup(Numbered("key", i * 29 + 3));
        if (NoFailureYet()) {
          EXPECT_FALSE(store_->bIndexInFile) << "the lookups never paid for loading the entries";
        }
      },
      [&] {
        Hold();
        if (NoFailureYet()) {
          EXPECT_FALSE(store_->bIndexInFile) << "a held run loads the entries";
        }
        for (int i = 1; i < 6; ++i) {
          SweptPut(Numbered(i % 3 ? "new" : "key", i * 97), std::string(At(i * 60), 'n'));
        }
        SweptDelete("key20");
        held_ = false;  // the flush ends the run, written or not
        if (Note("flush", Counted([&] { return BdbFlush(store_); }))) file_ = model_;
      },
      [&] { Compact(); },
  };
  for (long k = 1; k < 100000; ++k) {
    SCOPED_TRACE(k);
    RestoreFileBytes(name, before);
    Begin(k, base);
    store_ = use == 0 ? Counted([&] { return BdbOpen(name.c_str()); }) : BdbOpen(name.c_str());
    if (Note("open", store_ != nullptr)) {
      EXPECT_TRUE(store_->bIndexInFile);
      uses[use]();
      // A compaction that failed may have let the handle go.
      if (!NoFailureYet() && kvs::SlotOfHandle(store_) != nullptr) {
        const Contents seen = Seen(store_);
        EXPECT_TRUE(seen == model_ || (forgot_ && seen == forgotten_)) << failed_;
        EXPECT_FALSE(store_->bIndexInFile) << failed_;
      }
      Close();
    }
    if (End(name)) break;
  }
}

INSTANTIATE_TEST_SUITE_P(Uses, IndexInFileSweepTest,
                         ::testing::Values(std::pair{STORE_SORTED, 0},
                                           std::pair{STORE_SORTED | STORE_NOCASE, 0},
                                           std::pair{STORE_SORTED, 1}, std::pair{STORE_SORTED, 2}));

// A delete, and a put that grows the Index record, on a store whose index in
// the file spans pages that neither the open nor the search reads, swept as
// above: memory for those pages that runs short fails the call whole, with
// the file as it was, rather than commit a change half made.
TEST_F(AllocationFailureTest, ALargeIndexInTheFileChangesWholeOrNotAtAll) {
  constexpr int kKeys = 32767;  // one short of the capacity: a new key grows the index
  const std::string name = Path("large.kvs");
  StoreHandle made = Create(name, STORE_SORTED);
  ASSERT_EQ(1, BdbHoldWrites(made));
  for (int i = 0; i < kKeys; ++i) ASSERT_EQ(1, Put(made, Numbered("key", 100000 + i), "v"));
  ASSERT_EQ(1, BdbClose(made));
  const Bytes before = ReadFileBytes(name);
  struct Row {
    const char* key;
    const char* value;  // null: a delete
  };
  for (const Row& row : {Row{"key100010", nullptr}, Row{"key100010a", "new"}}) {
    SCOPED_TRACE(row.key);
    bool passed = false;
    for (long k = 1; !passed && k < 100000; ++k) {
      SCOPED_TRACE(k);
      RestoreFileBytes(name, before);
      StoreHandle store = BdbOpen(name.c_str());
      ASSERT_NE(nullptr, store);
      g_failingAllocation = k;
      const int result = Counted([&] {
        return row.value != nullptr ? Put(store, row.key, row.value) : BdbDelete(store, row.key);
      });
      const int error = BdbLastError();
      passed = g_failingAllocation > 0;
      g_failingAllocation = 0;
      if (result == 1) {
        EXPECT_EQ(row.value != nullptr ? row.value : "<absent>", Get(store, row.key));
        EXPECT_EQ(1, BdbCheck(store, stderr));
      } else {
        EXPECT_EQ(BDB_NO_MEMORY, error);
      }
      ASSERT_EQ(1, BdbClose(store));
      if (result == 0) {
        ASSERT_TRUE(FileHolds(name, before)) << "a failed call changed the file";
      }
    }
  }
}
#endif

}  // namespace
}  // namespace kvs_test
