// main.cc: the kvsgen program: kvsgen <template-file> <DB-file(.kvs)>.
//
// Opens or creates the store, loads the template into it and closes it.
// The only output is the usage line, and the exit status is always 0:
// callers run the tool unattended and rely on both.
#include <cstdio>

#include "kvsgen/kvs_facade.h"
#include "kvsgen/template_loader.h"
#include "tool_support/standard_streams.h"

int main(int argc, char **argv) {
  // A standard descriptor left closed could be taken by a file the run
  // opens: no run is made then.
  if (!tool_support::OpenStandardStreams()) return 0;
  if (argc != 3) {
    std::fputs("Usage:   kvsgen <template-file> <DB-file(.kvs)> ", stdout);
    return 0;
  }
  StoreHandle store = KvsOpen(argv[2]);
  if (store == nullptr) return 0;
  static_cast<void>(KvsLoadTemplate(store, argv[1]));
  KvsClose(store);
  return 0;
}
