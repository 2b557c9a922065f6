/* A plain C program against the store's public header: it must compile as
 * C, link the library, and see the calls behave. */
#include <stdio.h>
#include <string.h>

#include "store/store.h"

static int g_visits;

static int CountRecord(StoreHandle store, const char *key, int32_t lBytesUsed) {
  (void)store;
  (void)key;
  (void)lBytesUsed;
  ++g_visits;
  return 0;
}

static int CountInContext(StoreHandle store, const char *key, int32_t lBytesUsed, void *context) {
  (void)store;
  (void)key;
  (void)lBytesUsed;
  ++*(int *)context;
  return 0;
}

int main(void) {
  const char *name = "c_api_test.kvs";
  char value[8] = {0};
  int32_t size = 0, count = 0;
  int visits = 0;
  StoreStats stats;
  char *keys;
  StoreHandle store = BdbCreate(name, STORE_SORTED | STORE_NOCASE);
  if (!store) return 1;
  if (!BdbPut(store, "Greeting", "hello", 5)) return 2;
  if (!BdbGetSize(store, "greeting", &size) || size != 5) return 3;
  if (!BdbRead(store, "GREETING", value, (int32_t)sizeof value) || strcmp(value, "hello") != 0)
    return 4;
  keys = BdbListPrefix(store, "gr", &count);
  if (!keys || count != 1 || strcmp(keys, "Greeting") != 0) return 5;
  BdbFree(keys);
  if (!BdbGetStats(store, &stats) || stats.lAllocatedCount != 1 || stats.lFlags != 3) return 6;
  if (!BdbWalk(store, 0, CountRecord) || g_visits != 1) return 7;
  if (!BdbCompact(store)) return 8;
  if (BdbCheck(store, stderr) != 1 || BdbCheck(NULL, NULL) != 0) return 12;
  if (!BdbDelete(store, "greeting")) return 9;
  if (!BdbClose(store) || BdbClose(store)) return 10;
  if (!BdbIsStoreFile(name)) return 11;
  store = BdbOpenReadOnly(name);
  if (!store || BdbPut(store, "k", "v", 1) || BdbLastError() != BDB_READ_ONLY) return 13;
  if (!BdbWalkWithContext(store, 2, CountInContext, &visits) || visits != 1) return 14;
  if (!BdbClose(store) || strcmp(BdbVersion(), KVSTORE_VERSION_STRING) != 0) return 15;
  if (BdbOpen("c_api_test_missing.kvs") || BdbLastSystemError() == 0 ||
      !*BdbSystemErrorText(BdbLastSystemError()))
    return 16;
  remove(name);
  puts("c api: ok");
  return 0;
}
