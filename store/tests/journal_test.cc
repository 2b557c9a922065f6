// journal_test.cc: what lies in the journal's place. A journal is made only
// where nothing is, through no link, with the store's permissions; a journal
// that cannot be removed is marked finished; one that is not the store's,
// or that names a file its compaction did not make, changes nothing.
#ifndef _WIN32
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>

#include "store/tests/fault_injecting_file_system.h"
#include "store/tests/store_test_util.h"

namespace kvs_test {
namespace {

class JournalTest : public StoreTest {
 protected:
  // A compaction journal naming temp, in the layout of the version given,
  // with the identity given (version 2), as another writer could plant it.
  static Bytes CompactionJournal(char version, const std::string& temp, bool known,
                                 const struct stat& identity) {
    Bytes out = ToBytes("KVSJRNL");
    out.push_back(static_cast<unsigned char>(version));
    const auto number = [&out](uint64_t value, int bytes) {
      for (int i = 0; i < bytes; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
    };
    number(2, 4);  // a compaction
    if (version == '1') number(0, 8), number(1, 4);
    number(temp.size(), 4);
    out.insert(out.end(), temp.begin(), temp.end());
    if (version == '2') {
      number(known ? 1 : 0, 4);
      number(known ? identity.st_dev : 0, 8);
      number(known ? identity.st_ino : 0, 8);
    }
    uint32_t hash = 2166136261u;
    for (const unsigned char byte : out) hash = (hash ^ byte) * 16777619u;
    number(hash, 4);
    return out;
  }
};

// A link or file in the journal's place when a commit begins (planted after
// the open, or a link whose target is missing) makes the commit fail with
// the store unchanged, and nothing is written through the link.
TEST_F(JournalTest, ACommitMakesItsJournalWhereNothingIs) {
  const std::string name = Path("s.kvs");
  const std::string journal = name + "-journal";
  const std::string target = Path("target");
  const struct {
    const char* what;
    std::function<void()> plant;
  } cases[] = {
      {"a link to a missing file", [&] { std::filesystem::create_symlink(target, journal); }},
      {"a link to a file", [&] {
         WriteFileBytes(target, ToBytes("precious"));
         std::filesystem::create_symlink(target, journal);
       }},
      {"a file", [&] { WriteFileBytes(journal, ToBytes("someone's file")); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes before = MakeStore(name, STORE_SORTED, {{"a", "1"}});
    StoreHandle store = Open(name);
    ASSERT_NE(nullptr, store);
    c.plant();
    EXPECT_EQ(0, Put(store, "b", "2"));
    EXPECT_EQ(BDB_IO, BdbLastError());
    EXPECT_EQ(0, BdbCompact(store));
    EXPECT_EQ("<absent>", Get(store, "b"));
    EXPECT_EQ(1, BdbClose(store));
    EXPECT_TRUE(SameBytes(ReadFileBytes(name), before));
    if (FileExists(target)) {
      EXPECT_EQ(ToBytes("precious"), ReadFileBytes(target));
    }
    EXPECT_FALSE(FileExists(Path("s.000")));
    std::filesystem::remove(journal);
    std::filesystem::remove(target);
  }
}

// The journal and the compaction's new file are never more open than the
// store, from their creation on (caught here where their removal fails, and
// the new file before the compaction's sync).
TEST_F(JournalTest, JournalAndNewFileHaveTheStoresPermissions) {
  const std::string name = Path("s.kvs");
  const struct {
    const char* what;
    std::string left;
    std::function<int(StoreHandle, kvs::testing::FaultInjectingFileSystem&)> run;
  } cases[] = {
      {"journal", name + "-journal",
       [](StoreHandle s, auto&) { return Put(s, "b", "2"); }},
      {"compaction's new file", Path("s.000"),
       [](StoreHandle s, auto& fs) {
         fs.FailSyncAfter(0);
         return BdbCompact(s);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    MakeStore(name, 0, {{"a", "1"}});
    ASSERT_EQ(0, ::chmod(name.c_str(), 0600));
    kvs::testing::FaultInjectingFileSystem fs;
    kvs::testing::ScopedFileSystem scope(fs);
    StoreHandle store = Open(name);
    fs.FailDelete();
    c.run(store, fs);
    fs.Heal();
    struct stat info;
    ASSERT_EQ(0, ::stat(c.left.c_str(), &info));
    EXPECT_EQ(0600u, info.st_mode & 0777);
    EXPECT_EQ(1, BdbClose(store));
    std::filesystem::remove(c.left);
    std::filesystem::remove(name + "-journal");
  }
}

// A finished commit whose journal cannot be removed stands, and leaves its
// journal marked finished: readers pass over it, and the next commit and
// the next writer's open remove it.
TEST_F(JournalTest, AJournalThatCannotBeRemovedIsMarkedFinished) {
  const std::string name = Path("s.kvs");
  MakeStore(name, 0, {{"a", "1"}});
  const std::string journal = name + "-journal";
  for (const bool reopen : {false, true}) {
    SCOPED_TRACE(reopen ? "removed by the next open" : "removed by the next commit");
    kvs::testing::FaultInjectingFileSystem fs;
    kvs::testing::ScopedFileSystem scope(fs);
    StoreHandle store = Open(name);
    fs.FailDelete();
    EXPECT_EQ(1, Put(store, "b", reopen ? "3" : "2"));
    fs.Heal();
    EXPECT_TRUE(FileExists(journal));
    if (!reopen) {
      EXPECT_EQ(1, Put(store, "c", "3"));
      EXPECT_FALSE(FileExists(journal));
    }
    EXPECT_EQ(1, BdbClose(store));
    StoreHandle reader = BdbOpenReadOnly(name.c_str());
    ASSERT_NE(nullptr, reader);
    EXPECT_EQ(reopen ? "3" : "2", Get(reader, "b"));
    EXPECT_EQ(1, BdbClose(reader));
    ASSERT_NE(nullptr, store = Open(name));
    EXPECT_FALSE(FileExists(journal));
    EXPECT_EQ(1, BdbClose(store));
  }
}

// A compaction journal removes only a file it can show its compaction made:
// the one of the identity it recorded.
TEST_F(JournalTest, ACompactionJournalRemovesOnlyItsOwnFile) {
  const std::string name = Path("data.kvs");
  const std::string backup = Path("backup.001");
  MakeStore(name, 0, {{"a", "1"}});
  const Bytes saved = MakeStore(backup, 0, {{"saved", "1"}});
  struct stat identity;
  ASSERT_EQ(0, ::stat(backup.c_str(), &identity));
  struct stat other = identity;
  other.st_ino += 1;
  const struct {
    const char* what;
    Bytes journal;
    bool removed;
  } cases[] = {
      {"first layout", CompactionJournal('1', backup, false, identity), false},
      {"no identity", CompactionJournal('2', backup, false, identity), false},
      {"another identity", CompactionJournal('2', backup, true, other), false},
      {"its identity", CompactionJournal('2', backup, true, identity), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFileBytes(backup, saved);
    WriteFileBytes(name + "-journal", c.journal);
    StoreHandle store = Open(name);
    EXPECT_NE(nullptr, store);
    EXPECT_EQ(1, BdbClose(store));
    EXPECT_FALSE(FileExists(name + "-journal"));
    EXPECT_EQ(!c.removed, FileExists(backup));
  }
}

// A store whose name leaves no room for "-journal" is refused before
// anything is made.
TEST_F(JournalTest, ANameTooLongForItsJournalIsRefused) {
  // A name relative to the store's folder: short enough for a path.
  const std::filesystem::path home = std::filesystem::current_path();
  std::filesystem::current_path(Path(""));
  const std::string name = std::string(246, 'q') + ".kvs";
  EXPECT_EQ(nullptr, BdbCreate(name.c_str(), 0));
  EXPECT_EQ(BDB_INVALID_ARGUMENT, BdbLastError());
  EXPECT_FALSE(FileExists(name));
  EXPECT_EQ(nullptr, BdbOpenOrCreate(name.c_str(), 0));
  EXPECT_EQ(BDB_INVALID_ARGUMENT, BdbLastError());
  EXPECT_FALSE(FileExists(name));
  WriteFileBytes(name, {});
  EXPECT_EQ(nullptr, BdbOpen(name.c_str()));
  EXPECT_EQ(BDB_INVALID_ARGUMENT, BdbLastError());
  std::filesystem::remove(name);
  std::filesystem::current_path(home);
}

}  // namespace
}  // namespace kvs_test
#endif
