/* kvsdump.c: shows what a store holds: every key with its value, then the
 * record headers of the allocated and the free list.
 *
 * Usage: kvsdump <store-file>
 *
 * The store is read through the library and never compacted or written to
 * by this program. Keys and values are printed with control bytes, quotes
 * and backslashes escaped (\n, \r, \t, \xNN), so a value's NUL and line ends
 * can be seen. Exit status 0 when the store was shown, 1 when it is not a
 * store or cannot be opened, 2 for a wrong command line. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "store/store.h"

/* The keys of the allocated list, copied during the walk: values are read
 * only after the walk, so that the walk's own file position is left alone.
 * File scope because BdbWalk's callback takes no user data. */
static char **g_keys;
static size_t g_keyCount, g_keyCapacity;
static int g_outOfMemory;

static int CollectKey(StoreHandle store, const char *key, int32_t lBytesUsed) {
  char *copy;
  (void)store;
  (void)lBytesUsed;
  if (g_keyCount == g_keyCapacity) {
    size_t capacity = g_keyCapacity ? 2 * g_keyCapacity : 64;
    char **keys = (char **)realloc(g_keys, capacity * sizeof *keys);
    if (keys == NULL) return g_outOfMemory = 1;
    g_keys = keys;
    g_keyCapacity = capacity;
  }
  copy = (char *)malloc(strlen(key) + 1);
  if (copy == NULL) return g_outOfMemory = 1;
  strcpy(copy, key);
  g_keys[g_keyCount++] = copy;
  return 0;
}

static void FreeKeys(void) {
  size_t i;
  for (i = 0; i < g_keyCount; ++i) free(g_keys[i]);
  free(g_keys);
  g_keys = NULL;
  g_keyCount = g_keyCapacity = 0;
}

static void PrintEscaped(const unsigned char *bytes, size_t length) {
  size_t i;
  for (i = 0; i < length; ++i) {
    unsigned char byte = bytes[i];
    if (byte == '\n') fputs("\\n", stdout);
    else if (byte == '\r') fputs("\\r", stdout);
    else if (byte == '\t') fputs("\\t", stdout);
    else if (byte == '\\' || byte == '"') printf("\\%c", byte);
    else if (byte < 0x20 || byte >= 0x7F) printf("\\x%02X", (unsigned)byte);
    else putchar(byte);
  }
}

/* Prints one key and its value as: "key" = "value" (n bytes). */
static int PrintRecord(StoreHandle store, const char *key) {
  int32_t size = 0;
  unsigned char *value;
  if (!BdbGetSize(store, key, &size) || size < 0) return 0;
  value = (unsigned char *)malloc(size > 0 ? (size_t)size : 1u);
  if (value == NULL) return 0;
  BdbRead(store, key, value, size);
  putchar('"');
  PrintEscaped((const unsigned char *)key, strlen(key));
  fputs("\" = \"", stdout);
  PrintEscaped(value, (size_t)size);
  printf("\"  (%ld bytes)\n", (long)size);
  free(value);
  return 1;
}

static int ShowStore(StoreHandle store, const char *fileName) {
  StoreStats stats;
  size_t i;
  int complete = 1;
  if (!BdbGetStats(store, &stats)) return 0;
  printf("%s: %ld keys, %ld free records, flags %ld (%s, %s)\n\n", fileName,
         (long)stats.lAllocatedCount, (long)stats.lFreeCount, (long)stats.lFlags,
         (stats.lFlags & STORE_SORTED) ? "sorted" : "unsorted",
         (stats.lFlags & STORE_NOCASE) ? "keys ignore case" : "keys case-sensitive");
  BdbWalk(store, 0, CollectKey);
  for (i = 0; i < g_keyCount; ++i) complete &= PrintRecord(store, g_keys[i]);
  if (g_outOfMemory || !complete) fputs("(some records could not be shown)\n", stdout);
  FreeKeys();
  BdbDumpAllocated(store, stdout);
  BdbDumpFree(store, stdout);
  return 1;
}

int main(int argc, char **argv) {
  StoreHandle store;
  int shown;
  if (argc != 2) {
    fputs("Usage: kvsdump <store-file>\n", stderr);
    return 2;
  }
  if (!BdbIsStoreFile(argv[1])) {
    fprintf(stderr, "kvsdump: %s is not a store file\n", argv[1]);
    return 1;
  }
  store = BdbOpen(argv[1]);
  if (store == NULL) {
    fprintf(stderr, "kvsdump: %s cannot be opened\n", argv[1]);
    return 1;
  }
  shown = ShowStore(store, argv[1]);
  BdbClose(store);
  return shown ? 0 : 1;
}
