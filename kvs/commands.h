// commands.h: the subcommands of kvs, as one table: what each takes, how it
// opens its store, and the function that runs it.
//
// Exit statuses: 0 success; 1 an absent key, a failed check, or records an
// export, load, import or salvage could not carry; 2 a usage error, a store
// that cannot be opened (or, to be made, exists), a store call that failed,
// a file that cannot be read or is not of its format, or a failed write to
// standard output. Every failure names the file and the cause on standard
// error.
#ifndef KVS_KVS_COMMANDS_H
#define KVS_KVS_COMMANDS_H

#include <cstddef>
#include <string>
#include <vector>

#include "kvs/arguments.h"
#include "store/store.h"

namespace kvs_tool {

constexpr int kExitOk = 0;
constexpr int kExitNotFound = 1;
constexpr int kExitFailure = 2;

enum class Access {
  kRead,          // BdbOpenReadOnly
  kWrite,         // BdbOpen
  kWriteOrCreate, // BdbOpen, or a new sorted, case-folding store on a missing path
  kOwn            // none: the command opens (or creates) the store and closes it
};

// What a command runs with: the open store (null for Access::kOwn), its
// file name, the operands after it, and how long to wait for a locked store.
struct Invocation {
  StoreHandle store;
  const std::string& storeName;
  std::vector<std::string> operands;  // after STORE
  const Arguments& arguments;
  int waitSeconds = 0;
};

struct Command {
  const char* name;
  const char* usage;    // after "kvs "
  const char* summary;  // one line
  std::size_t minOperands, maxOperands;  // after STORE
  std::vector<std::string> options;      // besides --help
  Access access;
  int (*run)(const Invocation& invocation);
  const char* requiredOption = nullptr;  // an option the command cannot do without
};

const std::vector<Command>& Commands();
// The command of that name, or null.
const Command* FindCommand(const std::string& name);

// The commands' functions, one file each.
int RunGet(const Invocation& invocation);
int RunList(const Invocation& invocation);
int RunStats(const Invocation& invocation);
int RunDump(const Invocation& invocation);
int RunCheck(const Invocation& invocation);
int RunExport(const Invocation& invocation);
int RunPut(const Invocation& invocation);
int RunDelete(const Invocation& invocation);
int RunCompact(const Invocation& invocation);
int RunCount(const Invocation& invocation);
int RunDumpRecords(const Invocation& invocation);
int RunCreate(const Invocation& invocation);
int RunLoad(const Invocation& invocation);
int RunImport(const Invocation& invocation);
int RunSalvage(const Invocation& invocation);
// What kvs check says of a store that does not open: what it finds in the
// raw file, on standard output (raw_check_command.cc).
void ReportRawFile(const std::string& storeName);

}  // namespace kvs_tool

#endif  // KVS_KVS_COMMANDS_H
