// commands.cc: the table of kvs subcommands.
#include "kvs/commands.h"

namespace kvs_tool {

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
      {"get", "get STORE KEY", "write the value of KEY, byte for byte, to standard output", 1, 1,
       {}, Access::kRead, RunGet},
      {"list", "list STORE [PREFIX]", "list the keys (that begin with PREFIX), one a line", 0, 1,
       {}, Access::kRead, RunList},
      {"stats", "stats STORE", "show record counts, flags and where the file's bytes go", 0, 0,
       {}, Access::kRead, RunStats},
      {"dump", "dump STORE [--free]", "print the record headers of the allocated (or free) list",
       0, 0, {"--free"}, Access::kRead, RunDump},
      {"check", "check STORE", "check every invariant of the store; status 1 when unsound", 0, 0,
       {}, Access::kRead, RunCheck},
      {"export", "export STORE [--skip-unexpressible]",
       "write a template that kvsgen compiles back into the same store", 0, 0,
       {"--skip-unexpressible"}, Access::kRead, RunExport},
      {"put", "put STORE KEY [FILE]",
       "store the bytes of FILE (or standard input) under KEY; creates a missing store", 1, 2, {},
       Access::kWriteOrCreate, RunPut},
      {"delete", "delete STORE KEY", "remove KEY; status 1 when it is absent", 1, 1, {},
       Access::kWrite, RunDelete},
      {"compact", "compact STORE", "rewrite the store without its free records", 0, 0, {},
       Access::kWrite, RunCompact},
  };
  return commands;
}

const Command* FindCommand(const std::string& name) {
  for (const Command& command : Commands()) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

}  // namespace kvs_tool
