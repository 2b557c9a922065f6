// compile_test.cc: kvsgen runs in this process, for failures that the
// program tests cannot bring about quickly: a store locked beyond the wait,
// and a compaction or a write that fails. Their messages go to standard
// error as the program's do.
#include "kvsgen/compile.h"

#include <gtest/gtest.h>

#include "kvsgen/kvs_facade.h"
#include "kvsgen/tests/test_support.h"
#include "store/tests/fault_injecting_file_system.h"

namespace {

using kvs::testing::FaultInjectingFileSystem;
using kvsgen_test::ReadFile;
using kvsgen_test::WriteFile;

// A store another writer holds beyond the wait: status 2, the store as it was.
TEST(CompileTemplate, AStoreLockedBeyondTheWaitIsLeftAlone) {
  kvsgen_test::TempDir dir;
  const std::string store = dir.File("s.kvs"), templ = dir.File("t.tmpl");
  WriteFile(templ, "a\n1\nx\n");
  StoreHandle writer = BdbCreate(store.c_str(), STORE_SORTED | STORE_NOCASE);
  ASSERT_EQ(BdbPut(writer, "old", "x", 1), 1);
  const std::string before = ReadFile(store);
  KvsSetLockWait(100);
  EXPECT_EQ(kvsgen::CompileTemplate(templ.c_str(), store.c_str()), kvsgen::kStoreNotWritten);
  KvsSetLockWait(10000);
  EXPECT_EQ(ReadFile(store), before);
  BdbClose(writer);
}

// A compaction that cannot put its file in place leaves the groups written
// without it (status 1); when no write succeeds, neither is done and the
// store stays as it was (status 2).
TEST(CompileTemplate, AFailedCompactionOrWriteShowsInTheStatus) {
  const struct {
    const char *name;
    void (*fault)(FaultInjectingFileSystem &);
    int status;
  } cases[] = {
      {"replace fails", [](FaultInjectingFileSystem &fs) { fs.FailReplace(); },
       kvsgen::kSomeGroupsNotStored},
      {"writes fail", [](FaultInjectingFileSystem &fs) { fs.FailWriteAfter(0); },
       kvsgen::kStoreNotWritten},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    kvsgen_test::TempDir dir;
    const std::string store = dir.File("s.kvs"), templ = dir.File("t.tmpl");
    WriteFile(templ, "a\n1\nx\n");
    StoreHandle handle = BdbCreate(store.c_str(), STORE_SORTED | STORE_NOCASE);
    ASSERT_EQ(BdbPut(handle, "old", "x", 1), 1);
    BdbClose(handle);
    const std::string before = ReadFile(store);
    {
      FaultInjectingFileSystem fs;
      kvs::testing::ScopedFileSystem scope(fs);
      c.fault(fs);
      EXPECT_EQ(kvsgen::CompileTemplate(templ.c_str(), store.c_str()), c.status);
    }
    handle = KvsOpen(store.c_str());
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(KvsGetSize(handle, "a", nullptr), c.status == kvsgen::kStoreNotWritten ? 0 : 1);
    KvsClose(handle);
    if (c.status == kvsgen::kStoreNotWritten) {
      EXPECT_EQ(ReadFile(store), before);
    }
  }
}

}  // namespace
