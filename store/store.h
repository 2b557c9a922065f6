/*
 * store.h: the record store, a single-file keyed store of byte values.
 *
 * A store is one binary file: a 128-byte header, then records that each hold
 * one key and its value. Released records are kept on a free list and reused
 * by first fit; a store created with STORE_SORTED also keeps a sorted index of
 * its keys inside the file. The file layout is identical on every platform.
 *
 * Usable from C and C++. Every call is single-threaded: a store and the table
 * of open stores must not be used from two threads at once.
 *
 * Results: 1 for success, 0 for failure or an absent key, unless a call says
 * otherwise. No call prints anything except the two dumps and BdbCheck.
 * BdbLastError tells why the last call failed, and BdbLastSystemError which
 * failure of the operating system lay behind it, if any.
 *
 * Durability: when a call that changes a store (BdbCreate, BdbPut,
 * BdbDelete, BdbCompact, BdbClose, BdbFlush) returns, the file holds its
 * effect: every byte has been handed to the operating system, so another
 * process sees it and it outlives the end of this one. BdbCompact also
 * forces the new file to stable storage before it takes the store's name.
 * A store whose writes are held (BdbHoldWrites) keeps its changes in memory
 * instead, until the next BdbFlush, BdbCompact or BdbClose; until then the
 * file stays exactly as it was.
 *
 * Atomicity: every change reaches the file in one commit, at the end of the
 * call (or of the held run) that made it, and a commit is whole or absent:
 * before the store file is touched, the bytes about to change are saved in
 * a journal beside it (the store's name followed by "-journal"), and the
 * journal's removal completes the commit. A process that dies at any moment
 * leaves the journal behind, and the next BdbOpen puts the store back as it
 * was before that commit; a store without a journal opens as it is. A
 * journal names the store it belongs to (its length and header before and
 * after the commit) and is applied only to a file that fits it; one that
 * does not, or that another user made, is left alone and the open fails
 * with BDB_DAMAGED. Journals are created exclusively, never through a
 * symbolic link, with the store's permissions. A journal that cannot be
 * removed after its commit is marked finished instead: readers pass over
 * it, and the next writer removes it. A call that fails (a full disk, an I/O error) leaves the store as before, in the
 * file and as seen through the handle; a failed BdbFlush keeps the run's
 * changes in memory for a later try. By default a commit survives the death
 * of the process, not a loss of power: BdbSyncCommits also syncs journal and
 * store at every commit. (On Windows, a store whose name is too long for
 * "-journal" to follow within MAX_PATH is written without a journal.)
 *
 * Locking: BdbOpen, BdbOpenOrCreate and BdbCreate take an exclusive lock
 * on the store file, held until BdbClose. Any other open of the same file,
 * in this process or another, fails with BDB_LOCKED and changes nothing;
 * BdbCreate never cuts off a store that another handle has open.
 * BdbOpenReadOnly takes a shared lock instead: any number of readers may
 * hold a store at once, but a reader and a writer exclude each other.
 *
 * Descriptors: on POSIX systems no file of a store (the store, its journal,
 * a compaction's new file) takes descriptor 0, 1 or 2, so that a program
 * started with a standard stream closed never reads its input from a store
 * or writes its messages into one.
 */
#ifndef KVS_STORE_STORE_H
#define KVS_STORE_STORE_H

#include <stdint.h>
#include <stdio.h>

/* KVSTORE_API marks the calls that a shared build of the library exports;
 * every other symbol of the library stays inside it. A program that uses the
 * shared library on Windows is compiled with KVSTORE_SHARED defined (the
 * CMake package and kvstore.pc add it); the library itself is compiled with
 * KVSTORE_BUILDING. */
#if defined(_WIN32) || defined(__CYGWIN__)
#if defined(KVSTORE_BUILDING) && defined(KVSTORE_SHARED)
#define KVSTORE_API __declspec(dllexport)
#elif defined(KVSTORE_SHARED)
#define KVSTORE_API __declspec(dllimport)
#else
#define KVSTORE_API
#endif
#elif defined(__GNUC__)
#define KVSTORE_API __attribute__((visibility("default")))
#else
#define KVSTORE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Store flags, fixed when a store is created. */
#define STORE_SORTED 1 /* keep a persisted sorted key index; lookups use it */
#define STORE_NOCASE 2 /* keys compare with 'A'..'Z' folded to 'a'..'z' */

/* The version of this library; BdbVersion gives it as a string. */
#define KVSTORE_VERSION_MAJOR 1
#define KVSTORE_VERSION_MINOR 0
#define KVSTORE_VERSION_PATCH 0
#define KVSTORE_VERSION_STRING "1.0.0"

#define MAX_STORES 16         /* stores open at once in one process */
#define MAX_KEY_LENGTH 16384  /* key bytes stored; longer keys are cut to this */

/* Causes of failure, as BdbLastError reports them. */
#define BDB_OK 0               /* the last call succeeded */
#define BDB_ABSENT 1           /* the key is not in the store */
#define BDB_INVALID_ARGUMENT 2 /* a NULL or out-of-range argument, a name too long */
#define BDB_INVALID_HANDLE 3   /* the handle designates no open store */
#define BDB_NOT_A_STORE 4      /* the file does not begin with the store magic */
#define BDB_DAMAGED 5          /* the store's records or index are not as written */
#define BDB_LOCKED 6           /* another handle or process has the store open */
#define BDB_IO 7               /* the file system refused a read, write or open */
#define BDB_NO_SPACE 8         /* the disk is full, or the store reached 2 GiB */
#define BDB_NO_MEMORY 9        /* memory ran short */
#define BDB_TOO_MANY_STORES 10 /* MAX_STORES stores are open already */
#define BDB_READ_ONLY 11       /* the store was opened read-only (BdbOpenReadOnly) */

/* An open store. Opaque; valid from BdbCreate/BdbOpen until BdbClose. */
typedef struct StoreSlot *StoreHandle;

/* Counts of the three record chains and the store's flags word. */
typedef struct StoreStats {
  int32_t lAllocatedCount, lFreeCount, lIndexCount, lFlags;
} StoreStats;

/* Called by BdbWalk once per record: the key is valid during the call only.
 * Return 0 to go on, anything else to stop the walk. */
typedef int (*RecordCallback)(StoreHandle store, const char *key, int32_t lBytesUsed);

/* RecordCallback with the context pointer given to BdbWalkWithContext. */
typedef int (*RecordCallbackWithContext)(StoreHandle store, const char *key, int32_t lBytesUsed,
                                         void *context);

/* The library's version, KVSTORE_VERSION_STRING ("1.0.0"); never NULL.
 * Sets BdbLastError to BDB_OK. */
KVSTORE_API const char *BdbVersion(void);

/* The cause of the last failure of a store call made by this thread, or
 * BDB_OK when that call succeeded. Every call except BdbLastError,
 * BdbErrorText, BdbLastSystemError, BdbSystemErrorText and BdbFree sets it;
 * an absent key counts as a failure. */
KVSTORE_API int BdbLastError(void);

/* A short English text for a BDB_ code ("locked", "damaged store", ...);
 * never NULL. */
KVSTORE_API const char *BdbErrorText(int code);

/* The operating system's code for the failed system call behind the last
 * failure of a store call made by this thread: the value of errno on POSIX
 * systems, of GetLastError() on Windows. 0 when that call succeeded or its
 * cause came from no system call (an absent key, a locked or damaged store,
 * a file that is not a store, ...). Set and reset with BdbLastError, so a
 * missing file shows as BDB_IO with ENOENT (ERROR_FILE_NOT_FOUND), an open
 * refused by the file's permissions as BDB_IO with EACCES
 * (ERROR_ACCESS_DENIED). */
KVSTORE_API int BdbLastSystemError(void);

/* The operating system's text for such a code ("No such file or
 * directory"), on one line, without a line end or closing full stop; "no
 * error" for 0; never NULL. The text stays valid in the calling thread
 * until its next call of BdbSystemErrorText. */
KVSTORE_API const char *BdbSystemErrorText(int code);

/* 1 when the file can be read and begins with the store magic, else 0. */
KVSTORE_API int BdbIsStoreFile(const char *fileName);

/* Creates (or truncates) fileName as an empty store with flags & 3: a
 * store there is replaced, unless another handle has it open (BDB_LOCKED).
 * A program that means to create a store only where none is, also against
 * another process doing the same at once, uses BdbOpenOrCreate.
 * Returns the handle, or NULL when no slot is free, the name is NULL or 260
 * bytes or longer (or its last part leaves no room for "-journal" within
 * 255 bytes: BDB_INVALID_ARGUMENT, and nothing is created), or the store
 * cannot be written. A failure leaves no store behind that would open
 * later. */
KVSTORE_API StoreHandle BdbCreate(const char *fileName, int32_t flags);

/* Opens the store at fileName as BdbOpen does, or, when nothing is by that
 * name, creates an empty store there with flags & 3 as BdbCreate does. The
 * new file is created exclusively, never over a file: when two processes
 * make the same store at once, one creates it and the other opens that
 * store, or fails with BDB_LOCKED while the first has it open. Never
 * truncates a file: a file that is not a store gives NULL with
 * BDB_NOT_A_STORE (an empty one after a short wait, since a store being
 * created is empty for a moment). NULL also for the causes of BdbOpen and
 * BdbCreate. */
KVSTORE_API StoreHandle BdbOpenOrCreate(const char *fileName, int32_t flags);

/* Opens an existing store for reading and writing, with its lock, after
 * rolling back a commit that a journal beside it shows was interrupted (and
 * removing the temporary file of an interrupted compaction). Returns NULL
 * (and leaves the file unchanged) when the file is not a store, cannot be
 * opened for update, is locked by another open (BDB_LOCKED), is damaged
 * beyond use, has a journal beside it that is not its own (BDB_DAMAGED,
 * the journal left as it is), the name is too long (also for "-journal" to
 * follow its last part within 255 bytes: BDB_INVALID_ARGUMENT), or no slot
 * is free. */
KVSTORE_API StoreHandle BdbOpen(const char *fileName);

/* Opens an existing store for reading only, with a shared lock: other
 * readers may have it open too, but not a writer (BDB_LOCKED either way).
 * Never writes a byte to the file or beside it, also not at BdbClose, so it
 * works on a file this process may not write. Every call that would change
 * the store (BdbPut, BdbDelete, BdbCompact, BdbHoldWrites, BdbFlush,
 * BdbSyncCommits) fails with BDB_READ_ONLY and changes nothing; the calls
 * that read work as on a store from BdbOpen. A journal beside the store
 * shows an interrupted commit that only a writer can roll back: the store is
 * then refused with BDB_LOCKED (a writer must open it first); one that is
 * not the store's, with BDB_DAMAGED. A journal cut short (its commit never
 * touched the store) or marked finished is passed over. Returns NULL
 * for the same causes as BdbOpen, and when the file cannot be read. */
KVSTORE_API StoreHandle BdbOpenReadOnly(const char *fileName);

/* Writes the key index of a sorted store and every held change, and closes
 * the store (a store opened read-only is closed without a write). 1 when a
 * store was closed with everything written; 0 for a handle that is not
 * open, and when a change could not be written (the store is closed all the
 * same, and the file holds it as its last commit left it). */
KVSTORE_API int BdbClose(StoreHandle store);

/* Holds the store's changes in memory from now on: puts and deletes change
 * the store as seen through the handle, but the file only at the next
 * BdbFlush, BdbCompact or BdbClose, which ends the run. The key index is
 * then written once, not after every insertion, and a process that dies
 * before the run ends leaves the file as it was when the run began. Growth
 * of the file is checked at the end of the run, so a full disk makes that
 * call fail rather than a put. A put or delete of the run that runs out of
 * memory part way through its change fails with BDB_NO_MEMORY and forgets
 * the whole run: the store as seen through the handle goes back to what the
 * file holds, and a new run goes on from there. 0 for an invalid handle. */
KVSTORE_API int BdbHoldWrites(StoreHandle store);

/* With on != 0, every commit of the store (the end of each changing call, or
 * of a run of held calls) also forces its journal and then the store file
 * to stable storage, with the folder that holds them once the journal is
 * written and again once it is removed (on POSIX systems), so that the
 * change outlives the loss of power too, at the cost of those syncs at every
 * commit. Off when a store is opened. 0 for an invalid handle. */
KVSTORE_API int BdbSyncCommits(StoreHandle store, int on);

/* Writes every held change to the file and ends the run of held calls.
 * 1 when the file holds the store as seen through the handle; 0 for an
 * invalid handle or when a write failed (the changes then stay in memory,
 * and a later BdbFlush or BdbClose tries again). */
KVSTORE_API int BdbFlush(StoreHandle store);

/* Stores length bytes of data under key, replacing any value the key had.
 * data may be NULL only when length is 0. Returns 0 for an invalid handle,
 * a NULL key, a negative length, or when no room can be made (the store then
 * keeps what it held before). */
KVSTORE_API int BdbPut(StoreHandle store, const char *key, const void *data, int32_t length);

/* 1 when key is present; *size (when size is not NULL) receives the length
 * of its value. 0 when absent; *size is then untouched. */
KVSTORE_API int BdbGetSize(StoreHandle store, const char *key, int32_t *size);

/* 1 when key is present: the first min(value length, bufferSize) bytes of its
 * value are copied into buffer (no terminator is added). 0 when absent.
 * A negative bufferSize copies nothing. */
KVSTORE_API int BdbRead(StoreHandle store, const char *key, void *buffer, int32_t bufferSize);

/* Releases key's record to the free list. 1 when released, 0 when absent. */
KVSTORE_API int BdbDelete(StoreHandle store, const char *key);

/* The keys of a sorted store that begin with prefix, in index order, as one
 * block of NUL-terminated keys followed by an extra NUL. *count (when count
 * is not NULL) receives their number. The caller releases the block with
 * BdbFree. NULL (and *count untouched) when none match, the store is not
 * sorted, or memory is short. */
KVSTORE_API char *BdbListPrefix(StoreHandle store, const char *prefix, int32_t *count);

/* Releases a block that the store handed out. NULL is ignored. */
KVSTORE_API void BdbFree(void *block);

/* Rewrites the store into a fresh file holding only its live records and
 * puts it in place of the old file, atomically. The fresh file is made in
 * the directory of the store's real file (behind a symbolic link, wherever
 * the working directory has moved), named after it: its file name cut at
 * the first dot, then three digits ("s.000" to "s.999" for "s.kvs"), with
 * its permissions and, where allowed, owner from its creation. A store
 * file with more than one name (hard links) is rewritten in place in one
 * journaled commit instead, so that all its names keep leading to it; its
 * held changes are committed first, and a failure after that leaves them
 * in the file. The handle stays
 * valid. 1 on success; 0 on failure, with the old store left whole and open
 * (held changes are then written to it, also when memory ran short), or,
 * when the compacted store cannot be read back, with the handle no longer
 * valid. A store whose
 * allocated chain reaches fewer records than its counts or its index name
 * is refused as damaged (BDB_DAMAGED) and left as it is. Ends a run of held
 * calls. */
KVSTORE_API int BdbCompact(StoreHandle store);

/* Print the record headers of the allocated or free list to stream.
 * An invalid handle prints nothing. */
KVSTORE_API void BdbDumpAllocated(StoreHandle store, FILE *stream);
KVSTORE_API void BdbDumpFree(StoreHandle store, FILE *stream);

/* Fills *stats. 0 for an invalid handle or a NULL stats. */
KVSTORE_API int BdbGetStats(StoreHandle store, StoreStats *stats);

/* Calls callback for each record of one chain: list 0 the allocated list,
 * 1 the free list, any other value the index list. Returns 1 when the walk
 * ran (also when stopped by the callback); 0 for an invalid handle or a NULL
 * callback. */
KVSTORE_API int BdbWalk(StoreHandle store, int list, RecordCallback callback);

/* BdbWalk whose callback also receives context, unchanged, at every call. */
KVSTORE_API int BdbWalkWithContext(StoreHandle store, int list, RecordCallbackWithContext callback,
                       void *context);

/* Checks the open store against every invariant of its file, as the file is
 * seen through the handle (held changes included): the header (magic, chain
 * heads, one Index record exactly when sorted); each chain (links inside the
 * file, lPrev mirroring lNext, no loop, ends and counts as in its head);
 * each record (lengths in range, lBytesUsed within lBytesAllocated, key
 * without NUL bytes, inside the file); the records tiling the file after the
 * header, each on one chain; one record per key; and for a sorted store the
 * Index record and its array (every allocated record once, in key order,
 * zero-padded) and the index in memory agreeing with it. Writes one line per
 * problem found, naming it and where (chain position, record offset, index
 * entry), to report when it is not NULL. Never writes to the store, and
 * ends on any file, however damaged. 1 for a sound store; 0 when a problem
 * was found (BDB_DAMAGED), memory ran short, the file could not be read, or
 * the handle is invalid (one line says so). */
KVSTORE_API int BdbCheck(StoreHandle store, FILE *report);

#ifdef __cplusplus
}
#endif

#endif /* KVS_STORE_STORE_H */
