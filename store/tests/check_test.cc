// check_test.cc: BdbCheck. Sound stores of every kind pass with nothing
// reported; a sound store damaged in one place (in its file, in the image an
// open handle sees, or in the KeyIndex in memory) fails with a line that
// names the damage.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>
#include <string>

#include "store/ops/slots.h"
#include "store/tests/store_test_util.h"
#include "store/tests/written_through_file.h"

namespace kvs_test {
namespace {

class CheckTest : public StoreTest {
 protected:
  // BdbCheck's result and what it reported.
  std::pair<int, std::string> Check(StoreHandle store) {
    const std::string name = Path("report.txt");
    FILE* stream = std::fopen(name.c_str(), "w+b");
    if (stream == nullptr) return {-1, "<no stream>"};
    const int result = BdbCheck(store, stream);
    std::fclose(stream);
    const Bytes bytes = ReadFileBytes(name);
    return {result, std::string(bytes.begin(), bytes.end())};
  }

  // Puts, deletes, values relocated and rewritten in place, and released
  // records reused.
  static void Churn(StoreHandle store, int keys) {
    for (int i = 0; i < keys; ++i) Put(store, Numbered("Key", i), std::string(At(i % 13), 'v'));
    for (int i = 0; i < keys; i += 7) BdbDelete(store, Numbered("key", i).c_str());
    for (int i = 1; i < keys; i += 5) Put(store, Numbered("KEY", i), std::string(40, 'r'));
    for (int i = 2; i < keys; i += 9) Put(store, Numbered("Key", i), "in");
    for (int i = 0; i < keys / 10; ++i) Put(store, Numbered("new", i), "reuse");
  }

  // A closed sorted case-insensitive store (or an unsorted one) with all
  // three chains in use; its bytes.
  Bytes SoundStore(int32_t flags) {
    StoreHandle store = Create(name_, flags);
    EXPECT_NE(nullptr, store);
    Churn(store, 20);
    return CloseAndRead(store, name_);
  }

  std::string name_ = Path("s.kvs");
};

TEST_F(CheckTest, SoundStoresOfEveryKindPass) {
  for (const int32_t flags : {0, STORE_NOCASE, STORE_SORTED, STORE_SORTED | STORE_NOCASE}) {
    for (const bool writeThrough : {false, true}) {
      SCOPED_TRACE(::testing::Message() << "flags " << flags << (writeThrough ? ", through" : ""));
      std::optional<ScopedWrittenThrough> through;
      if (writeThrough) through.emplace();
      StoreHandle store = Create(name_, flags);
      through.reset();
      ASSERT_NE(nullptr, store);
      const auto expectSound = [&](const char* when) {
        EXPECT_EQ(std::make_pair(1, std::string()), Check(store)) << when;
      };
      expectSound("empty");
      Churn(store, 30);
      expectSound("after deletes, relocations and reuse");
      // A sorted store's index grows past 256 and 512 entries.
      const int many = flags & STORE_SORTED ? 600 : 60;
      Churn(store, many);
      expectSound("after index growth");
      const Bytes before = ReadFileBytes(name_);
      expectSound("again");
      EXPECT_TRUE(SameBytes(ReadFileBytes(name_), before)) << "the check wrote to the file";
      ASSERT_EQ(1, BdbHoldWrites(store));
      Churn(store, many + 300);  // grows the index within the held run
      expectSound("with changes held");
      ASSERT_EQ(1, BdbFlush(store));
      expectSound("after the flush");
      ASSERT_EQ(1, BdbCompact(store));
      expectSound("after compaction");
      EXPECT_EQ(1, BdbClose(store));
      handles_.clear();
      store = Open(name_);
      ASSERT_NE(nullptr, store);
      expectSound("reopened");
      EXPECT_EQ(1, BdbClose(store));
      handles_.clear();
    }
  }
}

TEST_F(CheckTest, InvalidHandlesFail) {
  EXPECT_EQ(0, Check(nullptr).first);
  StoreHandle store = Create(name_, STORE_SORTED);
  ASSERT_EQ(1, BdbClose(store));
  handles_.clear();
  const auto [result, text] = Check(store);
  EXPECT_EQ(0, result);
  EXPECT_NE(std::string::npos, text.find("not an open store")) << text;
  EXPECT_EQ(0, BdbCheck(store, nullptr));
  EXPECT_EQ(BDB_INVALID_HANDLE, BdbLastError());
}

// BdbCheck and BdbVersion set the cause of the call before them aside, as
// every call does.
TEST_F(CheckTest, CheckAndVersionSetTheLastError) {
  StoreHandle store = Create(name_, STORE_SORTED);
  EXPECT_EQ(0, BdbDelete(store, "absent"));
  EXPECT_EQ(1, BdbCheck(store, nullptr));
  EXPECT_EQ(BDB_OK, BdbLastError());
  EXPECT_EQ(0, BdbDelete(store, "absent"));
  EXPECT_STREQ(KVSTORE_VERSION_STRING, BdbVersion());
  EXPECT_EQ(BDB_OK, BdbLastError());
}

// One damage per row: to the file before it is opened (the store opens
// written through, so a write by the check would reach the file), or
// through the open handle to the image it sees or to its KeyIndex.
struct Damage {
  const char* what;
  int32_t flags;
  std::function<void(Bytes&)> file;        // applied to the closed file, or
  std::function<void(StoreSlot*)> handle;  // to the open store
  const char* reported;
};

void WriteImage(StoreSlot* slot, std::size_t at, const Bytes& bytes) {
  slot->pFile->Seek(static_cast<int64_t>(at));
  slot->pFile->Write(bytes.data(), bytes.size());
}

Bytes Le(int32_t value) {
  Bytes bytes(4);
  SetLe32(bytes, 0, value);
  return bytes;
}

TEST_F(CheckTest, EachDamageIsReported) {
  constexpr int32_t kSorted = STORE_SORTED | STORE_NOCASE;
  const Bytes sorted = SoundStore(kSorted);
  const Bytes unsorted = SoundStore(0);
  // Records of the sorted store: the first three of the allocated list, the
  // first free record, the Index record and the record at the end.
  const int32_t a1 = Le32(sorted, kAllocatedHead), a2 = RecordAt(sorted, a1).next;
  const int32_t f1 = Le32(sorted, kFreeHead), index = Le32(sorted, kIndexHead);
  const auto length = static_cast<int32_t>(sorted.size());
  const auto entry = [&](int32_t i) { return IndexEntryAt(sorted, i); };
  const auto field = [](int32_t record, std::size_t at) { return At(record) + at; };
  const auto set = [](std::size_t at, int32_t value) {
    return [at, value](Bytes& f) { SetLe32(f, at, value); };
  };
  const auto write = [](std::size_t at, int32_t value) {
    return [at, value](StoreSlot* s) { WriteImage(s, at, Le(value)); };
  };
  const int32_t a1Key = a1 + kRecordHeaderSize, count = Le32(sorted, kAllocatedHead + kHeadCount);
  const std::size_t freeCount = kFreeHead + kHeadCount;

  const std::vector<Damage> rows = {
      {"free count", kSorted, set(freeCount, Le32(sorted, freeCount) + 1), {}, "lCount is"},
      {"last of a chain", kSorted, set(kAllocatedHead + kHeadLast, a1), {}, "lLast is"},
      {"lPrev", kSorted, set(field(a2, kRecordPrev), 0), {}, "lPrev is 0"},
      {"loop", kSorted, set(field(a2, kRecordNext), a1), {}, "loops"},
      {"record on two chains", kSorted, set(field(a2, kRecordNext), f1), {}, "is also on the"},
      {"link out of the file", kSorted, set(field(a2, kRecordNext), length), {},
       "outside the records"},
      {"lBytesUsed", kSorted, set(field(f1, kRecordUsed), RecordAt(sorted, f1).allocated + 1), {},
       "exceeds lBytesAllocated"},
      {"key length", kSorted, set(field(f1, kRecordNameLength), 16385), {},
       "lNameLength 16385 is outside"},
      {"negative allocation", kSorted, set(field(f1, kRecordAllocated), -4), {}, "is negative"},
      {"record past the end", kSorted, {}, [&](StoreSlot* s) { s->pFile->SetLength(length - 1); },
       "past the end of the file"},
      {"NUL in a key", kSorted, [&](Bytes& f) { f[field(f1, kRecordHeaderSize + 1)] = 0; }, {},
       "NUL byte"},
      {"bytes in no record", kSorted, [](Bytes& f) { f.resize(f.size() + 9, 0); }, {},
       "lie in no record"},
      {"overlap", kSorted, set(field(f1, kRecordAllocated), RecordAt(sorted, f1).allocated + 8), {},
       "overlap"},
      {"Index lBytesUsed", kSorted, set(field(index, kRecordUsed), 4), {},
       "lBytesUsed is 4, not 0"},
      {"two Index records counted", kSorted, set(kIndexHead + kHeadCount, 2), {},
       "exactly one Index"},
      {"Index record unsorted", kSorted, [](Bytes& f) { SetLe32(f, kFlagsOffset, STORE_NOCASE); }, {},
       "without STORE_SORTED"},
      {"same key twice", 0, [](Bytes& f) {
         // Of two live records with keys of one length, the later takes the
         // earlier's key.
         std::map<int32_t, int32_t> byLength;
         for (int32_t r = Le32(f, kAllocatedHead); r != 0; r = RecordAt(f, r).next) {
           const int32_t n = RecordAt(f, r).nameLength;
           if (byLength.count(n) != 0) {
             const auto from = f.begin() + kRecordHeaderSize + byLength[n];
             std::copy_n(from, n, f.begin() + kRecordHeaderSize + r);
             return;
           }
           byLength[n] = r;
         }
       }, {}, "hold the same key"},
      {"magic", kSorted, {}, [](StoreSlot* s) { WriteImage(s, 0, ToBytes("XDB0")); }, "magic"},
      {"negative count", kSorted, {}, write(kFreeHead + kHeadCount, -1), "is negative"},
      {"no Index record", kSorted, {}, [](StoreSlot* s) { WriteImage(s, kIndexHead, Bytes(12, 0)); },
       "exactly one Index"},
      {"file shorter than its header", kSorted, {}, [](StoreSlot* s) { s->pFile->SetLength(100); },
       "shorter than its 128-byte header"},
      {"index out of order", kSorted, {}, [&](StoreSlot* s) {
         WriteImage(s, entry(0), Le(Le32(sorted, entry(1))));
         WriteImage(s, entry(1), Le(Le32(sorted, entry(0))));
       }, "sorts after"},
      {"index entry of a free record", kSorted, {}, write(entry(0), f1), "not a record of the allocated"},
      {"index not zero-padded", kSorted, {}, write(entry(count), a1), "not 0 in"},
      {"key changed under the index", kSorted, {}, [&](StoreSlot* s) { WriteImage(s, At(a1Key), ToBytes("~")); },
       "holds a key other than"},
      {"KeyIndex in memory", kSorted, {}, [](StoreSlot* s) { s->plKeyIndex.Erase(0); },
       "KeyIndex in memory"},
  };
  for (const Damage& row : rows) {
    SCOPED_TRACE(row.what);
    Bytes image = row.flags == 0 ? unsorted : sorted;
    if (row.file) row.file(image);
    WriteFileBytes(name_, image);
    std::optional<ScopedWrittenThrough> through;
    if (row.file) through.emplace();
    StoreHandle store = Open(name_);
    through.reset();
    ASSERT_NE(nullptr, store);
    if (row.handle) row.handle(store);
    const auto [result, text] = Check(store);
    EXPECT_EQ(0, result);
    EXPECT_NE(std::string::npos, text.find(row.reported)) << text;
    EXPECT_EQ(0, BdbCheck(store, nullptr));
    EXPECT_EQ(BDB_DAMAGED, BdbLastError());
    if (row.file) {
      EXPECT_TRUE(SameBytes(ReadFileBytes(name_), image)) << "the check wrote to the file";
    }
    handles_.erase(store);
    kvs::DiscardSlot(store);  // nothing more is written
  }
}

}  // namespace
}  // namespace kvs_test
