// compile.h: one run of kvsgen, a template compiled into a store, with
// every failure reported on standard error.
#ifndef KVS_KVSGEN_COMPILE_H
#define KVS_KVSGEN_COMPILE_H

namespace kvsgen {

// kvsgen's exit statuses.
constexpr int kEveryGroupStored = 0;     // every group is in the compacted, closed store
constexpr int kSomeGroupsNotStored = 1;  // the store was written, but not every group
constexpr int kStoreNotWritten = 2;      // the store could not be opened, created or written

// Opens the template, then opens or creates the store (KvsOpen), puts the
// template's groups into it (PutTemplate), compacts it and closes it. A
// template that cannot be opened leaves the store alone, not even created.
// Each failure is one line on standard error: the template or store, the
// template line of a group, and the cause; groups that did not fit into the
// store are counted in one line naming the first. Returns the exit status.
int CompileTemplate(const char *templatePath, const char *storePath);

}  // namespace kvsgen

#endif  // KVS_KVSGEN_COMPILE_H
