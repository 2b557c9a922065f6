// commands.cc: the table of kvs subcommands.
#include "kvs/commands.h"

namespace kvs_tool {

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
      {"get", "get STORE KEY [--text]",
       "write the value of KEY to standard output, byte for byte (--text: less one trailing NUL)", 1, 1,
       {"--text"}, Access::kRead, RunGet},
      {"list", "list STORE [PREFIX] [-0]",
       "list the keys (that begin with PREFIX), one a line (NUL-ended)", 0, 1, {"-0"},
       Access::kRead, RunList},
      {"count", "count STORE", "print the number of keys", 0, 0, {}, Access::kRead, RunCount},
      {"stats", "stats STORE [--json]", "show record counts, flags and where the file's bytes go",
       0, 0, {"--json"}, Access::kRead, RunStats},
      {"dump", "dump STORE [--free]", "print the record headers of the allocated (or free) list",
       0, 0, {"--free"}, Access::kRead, RunDump},
      {"check", "check STORE", "check every invariant of the store; status 1 when unsound", 0, 0,
       {}, Access::kRead, RunCheck},
      {"export", "export STORE [--skip-unexpressible]",
       "write a template that kvsgen compiles back into the same store", 0, 0,
       {"--skip-unexpressible"}, Access::kRead, RunExport},
      {"dump-records", "dump-records STORE",
       "write every record and the flags in cdb's +klen,dlen:key->value form", 0, 0, {},
       Access::kRead, RunDumpRecords},
      {"load", "load STORE [FILE] [--unsorted] [--case-sensitive]",
       "make a new store from dump-records output (FILE or standard input)", 0, 1,
       {"--unsorted", "--case-sensitive"}, Access::kOwn, RunLoad},
      {"import", "import STORE [FILE] --format cdb|tsv|jsonl [--unsorted] [--case-sensitive]",
       "put every record of FILE (or standard input); creates a missing store", 0, 1,
       {"--format", "--unsorted", "--case-sensitive"}, Access::kOwn, RunImport, "--format"},
      {"create", "create STORE [--unsorted] [--case-sensitive]",
       "make a new, empty store (sorted and case-insensitive unless told)", 0, 0,
       {"--unsorted", "--case-sensitive"}, Access::kOwn, RunCreate},
      {"put", "put STORE KEY [FILE]",
       "store the bytes of FILE (or standard input) under KEY; creates a missing store", 1, 2, {},
       Access::kWriteOrCreate, RunPut},
      {"delete", "delete STORE KEY", "remove KEY; status 1 when it is absent", 1, 1, {},
       Access::kWrite, RunDelete},
      {"compact", "compact STORE", "rewrite the store without its free records", 0, 0, {},
       Access::kWrite, RunCompact},
      {"salvage", "salvage STORE NEW",
       "copy every record that can be read from a damaged STORE into a new store NEW", 1, 1, {},
       Access::kOwn, RunSalvage},
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
