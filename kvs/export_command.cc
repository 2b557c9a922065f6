// export_command.cc: kvs export STORE [--skip-unexpressible]: the store as
// a template, in allocated-list order, so that kvsgen compiles it back into
// the same records (into a fresh path: the same file, byte for byte, for a
// store that kvsgen made). A record no template can carry is named on
// standard error and not written; it makes the status 1 unless
// --skip-unexpressible is given. A store whose allocated chain does not
// reach every record it counts is refused (status 2) before anything is
// written.
#include <cstdio>
#include <string>
#include <vector>

#include "kvs/chain_keys.h"
#include "kvs/commands.h"
#include "kvs/messages.h"
#include "kvs/template_writer.h"

namespace kvs_tool {

int RunExport(const Invocation& invocation) {
  const bool skip = invocation.arguments.Has("--skip-unexpressible");
  std::vector<ChainRecord> records;
  if (!ChainRecords(invocation.store, kAllocatedList, &records)) {
    ComplainAboutStore(invocation.storeName, "export");
    return kExitFailure;
  }
  if (const int cause = WalkedWhole(invocation.store, records.size()); cause != BDB_OK) {
    Complain(invocation.storeName + ": export: " + BdbErrorText(cause));
    return kExitFailure;
  }
  UseBinaryStdout();
  int status = kExitOk;
  std::string value, group;
  for (const ChainRecord& record : records) {
    if (!ReadStoreValue(invocation.store, record.key, &value)) {
      ComplainAboutStore(invocation.storeName, "export " + Quoted(record.key));
      return kExitFailure;
    }
    if (const char* reason = UnexpressibleReason(record.key, value)) {
      Complain(invocation.storeName + ": " + Quoted(record.key) + (skip ? ": skipped: " : ": ") +
               reason);
      if (!skip) status = kExitNotFound;
      continue;
    }
    group.clear();
    AppendGroup(record.key, value, &group);
    if (std::fwrite(group.data(), 1, group.size(), stdout) != group.size()) break;
  }
  return status;  // a failed write is reported with every command's output
}

}  // namespace kvs_tool
