// kvs_facade_test.cc: the facade's argument order, and KvsOpen never
// creating a store over one it cannot open. KvsGetSize and KvsListPrefix
// are what the loader tests read stores with.
#include "kvsgen/kvs_facade.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "kvsgen/tests/test_support.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {

using kvsgen_test::ReadFile;

TEST(KvsFacade, PutAndReadTakeTheLengthBeforeThePointer) {
  kvsgen_test::TempDir dir;
  StoreHandle store = KvsOpen(dir.File("s.kvs").c_str());
  ASSERT_EQ(KvsPut(store, "Key", 6, "abcdefgh"), 1);
  char buffer[] = "--------";
  EXPECT_EQ(KvsRead(store, "key", 4, buffer), 1);
  EXPECT_STREQ(buffer, "abcd----");
  EXPECT_EQ(KvsRead(store, "key", 8, buffer), 1);
  EXPECT_STREQ(buffer, "abcdef--");
  KvsClose(store);
}

// A missing directory, all slots in use, FIFOs: no handle, and every file as
// it was. (A damaged store is the program tests' case.)
TEST(KvsOpen, NeverCreatesOverAStoreItCannotOpen) {
  kvsgen_test::TempDir dir;
  const std::string text = dir.File("t.kvs");
  kvsgen_test::WriteFile(text, "text");
  EXPECT_EQ(KvsOpen(dir.File("missing/s.kvs").c_str()), nullptr);

  std::vector<StoreHandle> fill;
  for (int i = 0; i < MAX_STORES; ++i) {
    fill.push_back(BdbCreate(dir.File(std::to_string(i)).c_str(), 0));
  }
  BdbClose(fill[0]);
  const std::string store = ReadFile(dir.File("0"));
  fill[0] = BdbCreate(dir.File("16").c_str(), 0);
  EXPECT_EQ(KvsOpen(dir.File("0").c_str()), nullptr);
  EXPECT_EQ(KvsOpen(text.c_str()), nullptr);
  EXPECT_EQ(ReadFile(dir.File("0")), store);
  EXPECT_EQ(ReadFile(text), "text");
  for (StoreHandle handle : fill) BdbClose(handle);
#ifndef _WIN32
  ASSERT_EQ(mkfifo(dir.File("f.kvs").c_str(), 0600), 0);
  EXPECT_EQ(KvsOpen(dir.File("f.kvs").c_str()), nullptr);  // an open for reading would block here
#endif
}

// A store another writer has open: KvsOpen waits its bounded time, then
// gives up with the store untouched; once the writer is gone it opens.
TEST(KvsOpen, WaitsABoundedTimeForALockedStoreAndLeavesItAlone) {
  kvsgen_test::TempDir dir;
  const std::string name = dir.File("s.kvs");
  StoreHandle writer = BdbCreate(name.c_str(), STORE_SORTED);
  ASSERT_NE(writer, nullptr);
  ASSERT_EQ(BdbPut(writer, "k", "v", 1), 1);
  const std::string before = ReadFile(name);
  KvsSetLockWait(200);
  EXPECT_EQ(KvsOpen(name.c_str()), nullptr);
  EXPECT_EQ(BdbLastError(), BDB_LOCKED);
  EXPECT_EQ(ReadFile(name), before);
  BdbClose(writer);
  StoreHandle store = KvsOpen(name.c_str());
  EXPECT_NE(store, nullptr);
  KvsClose(store);
  KvsSetLockWait(10000);
}

#ifndef _WIN32
TEST(KvsOpen, NeverReplacesAFileItCannotRead) {
  kvsgen_test::TempDir dir;
  const std::string text = dir.File("t.kvs");
  kvsgen_test::WriteFile(text, "text");
  chmod(text.c_str(), S_IWUSR);  // unreadable content may be a store: it is not replaced
  if (std::FILE *file = std::fopen(text.c_str(), "rb")) {
    std::fclose(file);
    GTEST_SKIP() << "files stay readable with elevated rights";
  }
  EXPECT_EQ(KvsOpen(text.c_str()), nullptr);
  chmod(text.c_str(), S_IRUSR | S_IWUSR);
  EXPECT_EQ(ReadFile(text), "text");
}
#endif

}  // namespace
