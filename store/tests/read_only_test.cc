// Stores opened read-only: they read as any store, refuse every change,
// share their lock with other readers only, and never write a byte.
#include <sys/stat.h>

#include <filesystem>
#include <functional>

#include "store/tests/fault_injecting_file_system.h"
#include "store/tests/store_test_util.h"

namespace kvs_test {
namespace {

class ReadOnlyTest : public StoreTest {
 protected:
  StoreHandle OpenReadOnly(const std::string& name) {
    return Track(BdbOpenReadOnly(name.c_str()));
  }
};

// Every call that would change a store, as made on a read-only one.
struct ChangingCall {
  const char* name;
  std::function<int(StoreHandle)> call;
};

const ChangingCall kChangingCalls[] = {
    {"BdbPut new key", [](StoreHandle s) { return BdbPut(s, "new", "v", 1); }},
    {"BdbPut present key", [](StoreHandle s) { return BdbPut(s, "beta", "v", 1); }},
    {"BdbDelete", [](StoreHandle s) { return BdbDelete(s, "alpha"); }},
    {"BdbCompact", [](StoreHandle s) { return BdbCompact(s); }},
    {"BdbHoldWrites", [](StoreHandle s) { return BdbHoldWrites(s); }},
    {"BdbFlush", [](StoreHandle s) { return BdbFlush(s); }},
    {"BdbSyncCommits", [](StoreHandle s) { return BdbSyncCommits(s, 1); }},
};

int64_t ModifiedAt(const std::string& name) {
  struct stat info {};
  if (::stat(name.c_str(), &info) != 0) return -1;
  return static_cast<int64_t>(info.st_mtime);
}

TEST_F(ReadOnlyTest, ReadsButRefusesEveryChangeAndWritesNothing) {
  for (const int32_t flags : {0, STORE_SORTED, STORE_SORTED | STORE_NOCASE}) {
    SCOPED_TRACE(flags);
    const std::string name = Path(Numbered("ro", flags, ".kvs"));
    // A free record as well, so that a reuse would show.
    StoreHandle writer = CreateWith(name, flags, {{"alpha", "one"}, {"beta", "two"}, {"x", "3"}});
    ASSERT_EQ(1, BdbDelete(writer, "x"));
    ASSERT_EQ(1, BdbClose(writer));
    const Bytes before = ReadFileBytes(name);
#ifndef _WIN32
    ASSERT_EQ(0, ::chmod(name.c_str(), 0444));  // root may write it all the same
#endif
    const int64_t modified = ModifiedAt(name);

    StoreHandle store = OpenReadOnly(name);
    ASSERT_NE(nullptr, store) << BdbErrorText(BdbLastError());
    EXPECT_EQ("two", Get(store, "beta"));
    for (const ChangingCall& change : kChangingCalls) {
      EXPECT_EQ(0, change.call(store)) << change.name;
      EXPECT_EQ(BDB_READ_ONLY, BdbLastError()) << change.name;
    }
    EXPECT_EQ("one", Get(store, "alpha"));
    EXPECT_EQ("<absent>", Get(store, "new"));
    EXPECT_EQ(1, BdbCheck(store, nullptr));
    EXPECT_EQ(1, BdbClose(store));
    EXPECT_TRUE(SameBytes(ReadFileBytes(name), before));
    EXPECT_EQ(modified, ModifiedAt(name));
    EXPECT_FALSE(FileExists(name + "-journal"));
#ifndef _WIN32
    ::chmod(name.c_str(), 0644);
#endif
  }
  EXPECT_STREQ("opened read-only", BdbErrorText(BDB_READ_ONLY));
}

TEST_F(ReadOnlyTest, ReadersShareTheStoreAndExcludeWriters) {
  const std::string name = Path("shared.kvs");
  MakeStore(name, STORE_SORTED, {{"k", "v"}});
  StoreHandle first = OpenReadOnly(name);
  StoreHandle second = OpenReadOnly(name);
  ASSERT_NE(nullptr, first);
  ASSERT_NE(nullptr, second);
  EXPECT_EQ("v", Get(second, "k"));
  EXPECT_EQ(nullptr, Open(name));
  EXPECT_EQ(BDB_LOCKED, BdbLastError());
  EXPECT_EQ(nullptr, Create(name, 0));
  EXPECT_EQ(BDB_LOCKED, BdbLastError());
  BdbClose(first);
  BdbClose(second);

  StoreHandle writer = Open(name);
  ASSERT_NE(nullptr, writer);
  EXPECT_EQ(nullptr, OpenReadOnly(name));
  EXPECT_EQ(BDB_LOCKED, BdbLastError());
  BdbClose(writer);
  EXPECT_EQ("v", Get(OpenReadOnly(name), "k"));
}

// A journal of an interrupted commit that fits the store: only a writer may
// roll it back. One that does not fit is not the store's. One cut short, or
// marked finished, was never followed by a change of the store.
TEST_F(ReadOnlyTest, RefusesAStoreWithAJournalAndWhatIsNoStore) {
  const std::string name = Path("journal.kvs");
  MakeStore(name, 0, {{"k", "v"}});
  Bytes journal;
  {
    // A commit whose store writes fail, and so does putting them back.
    kvs::testing::FaultInjectingFileSystem fs;
    kvs::testing::ScopedFileSystem scope(fs);
    StoreHandle writer = Open(name);
    fs.FailWriteAfter(1);
    ASSERT_EQ(0, Put(writer, "k", std::string(100, 'x')));
    journal = ReadFileBytes(name + "-journal");
    fs.Heal();
    ASSERT_EQ(1, BdbClose(writer));
  }
  const Bytes before = ReadFileBytes(name);
  const struct {
    Bytes journal;
    int code;
  } cases[] = {
      {journal, BDB_LOCKED},
      {ToBytes("KVSJRNL2 cut short"), BDB_OK},
      {ToBytes("KVSJDONE and the rest of a finished journal"), BDB_OK},
  };
  for (const auto& c : cases) {
    WriteFileBytes(name + "-journal", c.journal);
    StoreHandle reader = OpenReadOnly(name);
    EXPECT_EQ(c.code, BdbLastError());
    EXPECT_EQ(c.code == BDB_OK, reader != nullptr);
    if (reader != nullptr) BdbClose(reader);
    EXPECT_TRUE(SameBytes(ReadFileBytes(name), before));
    EXPECT_TRUE(FileExists(name + "-journal"));
  }
  // The journal of another store of that name (one put there since).
  MakeStore(name, 0, {{"other", "store"}});
  WriteFileBytes(name + "-journal", journal);
  EXPECT_EQ(nullptr, OpenReadOnly(name));
  EXPECT_EQ(BDB_DAMAGED, BdbLastError());
  EXPECT_EQ(nullptr, Open(name));
  EXPECT_EQ(BDB_DAMAGED, BdbLastError());
  EXPECT_EQ(journal, ReadFileBytes(name + "-journal"));
  std::filesystem::remove(name + "-journal");

  const std::string text = Path("text.kvs");
  WriteFileBytes(text, ToBytes("not a store at all"));
  EXPECT_EQ(nullptr, OpenReadOnly(text));
  EXPECT_EQ(BDB_NOT_A_STORE, BdbLastError());
  EXPECT_EQ(nullptr, OpenReadOnly(Path("missing.kvs")));
  EXPECT_EQ(nullptr, BdbOpenReadOnly(nullptr));
  EXPECT_EQ(BDB_INVALID_ARGUMENT, BdbLastError());
}

struct WalkSeen {
  std::vector<std::string> keys;
  int32_t bytes = 0;
};

int Collect(StoreHandle, const char* key, int32_t lBytesUsed, void* context) {
  auto* seen = static_cast<WalkSeen*>(context);
  seen->keys.emplace_back(key);
  seen->bytes += lBytesUsed;
  return seen->keys.size() == 3 ? 1 : 0;  // stops after the third
}

TEST_F(ReadOnlyTest, WalkWithContextAndVersion) {
  StoreHandle store =
      CreateWith(Path("walk.kvs"), STORE_SORTED, {{"c", "12"}, {"a", "1"}, {"d", "123"}, {"b", ""}});
  WalkSeen seen;
  EXPECT_EQ(1, BdbWalkWithContext(store, 0, Collect, &seen));
  EXPECT_EQ((std::vector<std::string>{"c", "a", "d"}), seen.keys);
  EXPECT_EQ(6, seen.bytes);
  WalkSeen index;
  EXPECT_EQ(1, BdbWalkWithContext(store, 2, Collect, &index));
  EXPECT_EQ(std::vector<std::string>{"Index"}, index.keys);
  EXPECT_EQ(0, BdbWalkWithContext(store, 0, nullptr, &seen));
  EXPECT_EQ(0, BdbWalkWithContext(nullptr, 0, Collect, &seen));
  EXPECT_EQ(BDB_INVALID_HANDLE, BdbLastError());

  EXPECT_STREQ(KVSTORE_VERSION_STRING, BdbVersion());
  EXPECT_EQ(Numbered(Numbered(Numbered("", KVSTORE_VERSION_MAJOR, "."), KVSTORE_VERSION_MINOR, "."),
                     KVSTORE_VERSION_PATCH),
            BdbVersion());
}

}  // namespace
}  // namespace kvs_test
