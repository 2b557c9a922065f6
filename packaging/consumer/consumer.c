/* consumer.c: creates a store, puts a value, reads it back and closes the
 * store, through the installed header and library. Prints "ok" and exits 0
 * when all of that worked. Usage: consumer <store-file> */
#include <stdio.h>
#include <string.h>

#include "store/store.h"

static int Fail(const char *what) {
  fprintf(stderr, "consumer: %s failed: %s\n", what, BdbErrorText(BdbLastError()));
  return 1;
}

int main(int argc, char **argv) {
  static const char value[] = "installed";
  char back[sizeof value] = {0};
  int32_t size = 0;
  StoreHandle store;
  if (argc != 2) {
    fputs("usage: consumer <store-file>\n", stderr);
    return 2;
  }
  store = BdbCreate(argv[1], STORE_SORTED | STORE_NOCASE);
  if (store == NULL) return Fail("BdbCreate");
  if (!BdbPut(store, "greeting", value, (int32_t)sizeof value)) return Fail("BdbPut");
  if (!BdbGetSize(store, "GREETING", &size) || size != (int32_t)sizeof value) {
    return Fail("BdbGetSize");
  }
  if (!BdbRead(store, "greeting", back, (int32_t)sizeof back)) return Fail("BdbRead");
  if (memcmp(back, value, sizeof value) != 0) {
    fputs("consumer: the value read back differs\n", stderr);
    return 1;
  }
  if (!BdbClose(store)) return Fail("BdbClose");
  store = BdbOpen(argv[1]);
  if (store == NULL || !BdbGetSize(store, "greeting", NULL)) return Fail("BdbOpen");
  if (!BdbClose(store)) return Fail("BdbClose");
  puts("ok");
  return 0;
}
