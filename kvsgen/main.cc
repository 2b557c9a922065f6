// main.cc: the kvsgen program: kvsgen <template-file> <DB-file(.kvs)>.
//
// Without exactly two arguments it prints the usage line and ends with 0:
// callers rely on both; "kvsgen --version" prints its name and version. Otherwise it compiles the template into the store
// (compile.h); failures go to standard error, and the exit status tells
// whether every group reached the store.
#include <cstdio>
#include <cstring>

#include "kvsgen/compile.h"
#include "tool_support/standard_streams.h"

int main(int argc, char **argv) {
  // A standard descriptor left closed could be taken by a file the run
  // opens: no run is made then.
  if (!tool_support::OpenStandardStreams()) return kvsgen::kStoreNotWritten;
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("kvsgen %s\n", KVSTOOLS_VERSION);
    return std::fflush(stdout) == 0 && std::ferror(stdout) == 0 ? 0 : kvsgen::kStoreNotWritten;
  }
  if (argc != 3) {
    std::fputs("Usage:   kvsgen <template-file> <DB-file(.kvs)> ", stdout);
    return 0;
  }
  return kvsgen::CompileTemplate(argv[1], argv[2]);
}
