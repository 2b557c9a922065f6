/*
 * kvs_facade.h: the template tool's way into the record store.
 *
 * Six calls that forward to the store (store/store.h). KvsOpen decides how a
 * store is opened; KvsPut and KvsRead take the length or buffer size before
 * the pointer, the other calls take their arguments as the store does.
 * Results are the store's own, unchanged. Usable from C and C++; nothing
 * here prints or throws.
 */
#ifndef KVS_KVSGEN_KVS_FACADE_H
#define KVS_KVSGEN_KVS_FACADE_H

#include <stdint.h>

#include "store/store.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Opens the store at fileName, keeping the flags recorded in it. Only when
 * fileName is not a store file (missing, empty, or not beginning with the
 * store magic) is a new store created there, sorted with case-insensitive
 * keys (flags STORE_SORTED | STORE_NOCASE); a file that is not a store is
 * then replaced, once it is held locked and still found no store. A
 * missing file is created exclusively (as by BdbOpenOrCreate), so a store
 * that another process makes there at the same moment is opened, never cut
 * off. An existing store that cannot be opened (damaged, not writable, no
 * free slot) and a file whose content cannot be read give NULL and are left
 * byte for byte as they were. NULL also when fileName is NULL
 * or the store can be neither opened nor created. A store another writer
 * has open (BDB_LOCKED) is tried again for a bounded time (KvsSetLockWait,
 * 10 seconds unless set), then given up untouched. */
KVSTORE_API StoreHandle KvsOpen(const char *fileName);
/* How long KvsOpen waits for a locked store, in milliseconds. */
KVSTORE_API void KvsSetLockWait(int32_t milliseconds);

/* Closes a store from KvsOpen; an invalid handle is ignored. */
KVSTORE_API void KvsClose(StoreHandle store);

/* Stores length bytes of data under key (BdbPut). 1 when stored, else 0. */
KVSTORE_API int KvsPut(StoreHandle store, const char *key, int32_t length, const void *data);

/* 1 when key is present, *size (when not NULL) then receiving its value
 * length; 0 when absent (BdbGetSize). */
KVSTORE_API int KvsGetSize(StoreHandle store, const char *key, int32_t *size);

/* 1 when key is present: at most bufferSize bytes of its value are copied
 * into buffer, without a terminator; 0 when absent (BdbRead). */
KVSTORE_API int KvsRead(StoreHandle store, const char *key, int32_t bufferSize, void *buffer);

/* The keys of a sorted store that begin with prefix, as BdbListPrefix gives
 * them: one block the caller releases with BdbFree, or NULL. */
KVSTORE_API char *KvsListPrefix(StoreHandle store, const char *prefix, int32_t *count);

#ifdef __cplusplus
}
#endif

#endif /* KVS_KVSGEN_KVS_FACADE_H */
