// kvs_facade_test.cc: the facade's argument order, and KvsOpen never
// creating a store over one it cannot open.
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
  int32_t size = 0, count = 0;
  EXPECT_EQ(KvsGetSize(store, "KEY", &size), 1);
  EXPECT_EQ(size, 6);
  char buffer[] = "--------";
  EXPECT_EQ(KvsRead(store, "key", 4, buffer), 1);
  EXPECT_STREQ(buffer, "abcd----");
  EXPECT_EQ(KvsRead(store, "key", 8, buffer), 1);
  EXPECT_STREQ(buffer, "abcdef--");
  char *keys = KvsListPrefix(store, "k", &count);
  EXPECT_EQ(std::string(keys, 5), std::string("Key\0\0", 5));
  EXPECT_EQ(count, 1);
  BdbFree(keys);
  KvsClose(store);
}

TEST(KvsOpen, NeverCreatesOverAStoreItCannotOpen) {
  kvsgen_test::TempDir dir;
  const std::string damaged = dir.File("damaged.kvs"), text = dir.File("t.kvs");
  kvsgen_test::WriteFile(damaged, kvsgen_test::DamagedStoreBytes());
  kvsgen_test::WriteFile(text, "text");
  EXPECT_EQ(KvsOpen(damaged.c_str()), nullptr);
  EXPECT_EQ(ReadFile(damaged), kvsgen_test::DamagedStoreBytes());
  EXPECT_EQ(KvsOpen(dir.File("missing/s.kvs").c_str()), nullptr);

  std::vector<StoreHandle> fill;  // every slot in use: nothing may be opened, created or changed
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

TEST(KvsOpen, LeavesAFifoAloneWithoutWaitingOnIt) {
  kvsgen_test::TempDir dir;
  const std::string fifo = dir.File("f.kvs");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(KvsOpen(fifo.c_str()), nullptr);  // an open for reading would block here
}
#endif

}  // namespace
