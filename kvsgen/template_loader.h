/*
 * template_loader.h: compiles a template file into an open store.
 *
 * A template is a sequence of groups: a key line, a length line holding a
 * decimal number N, and a data block of N bytes followed by one more byte
 * (normally the LF ending the block). Each group is put as key = the key
 * line without its line end, value = the N bytes and a NUL. A value is at
 * most 31744 bytes: of a longer block the first 31743 bytes are stored and
 * the rest of the block is skipped. Of a key line only the first 1279 bytes
 * (LF included) form the key, of a length line the first 31; the rest of a
 * longer line is skipped. A group that the end of the file cuts short (no
 * length line, or fewer than N bytes of block) is not stored. Usable from C
 * and C++; nothing here prints or throws.
 */
#ifndef KVS_KVSGEN_TEMPLATE_LOADER_H
#define KVS_KVSGEN_TEMPLATE_LOADER_H

#include <stdint.h>

#include "store/store.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Puts every group of the template at templatePath into store through
 * KvsPut and, when at least one put succeeded, compacts the store with
 * BdbCompact. Returns 1 when something was put and the compaction
 * succeeded; 0 when the template cannot be opened, memory is short, no put
 * succeeds, or the compaction fails. A failed put is skipped silently;
 * kvsgen::PutTemplate (template_load.h) names each one. */
int32_t KvsLoadTemplate(StoreHandle store, const char *templatePath);

/* Removes trailing NUL, CR, TAB, LF and blank bytes from line in place,
 * working back from its terminating NUL. The first byte is never removed,
 * so a line made only of such bytes keeps its first one. */
void TrimLineEnd(char *line);

#ifdef __cplusplus
}
#endif

#endif /* KVS_KVSGEN_TEMPLATE_LOADER_H */
