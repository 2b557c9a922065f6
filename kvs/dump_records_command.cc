// dump_records_command.cc: kvs dump-records STORE: every record in cdb's
// "+klen,dlen:key->value" form, in allocated-list order, after the flags
// record and before the empty line that ends the dump (record_formats.h).
// kvs load builds the same store from it. A store whose allocated list does
// not reach every record it counts is refused (status 2) before anything is
// written.
#include <cstdio>
#include <string>
#include <vector>

#include "kvs/chain_keys.h"
#include "kvs/commands.h"
#include "kvs/messages.h"
#include "kvs/record_formats.h"

namespace kvs_tool {

int RunDumpRecords(const Invocation& invocation) {
  StoreStats stats{};
  std::vector<ChainRecord> records;
  if (!BdbGetStats(invocation.store, &stats) ||
      !ChainRecords(invocation.store, kAllocatedList, &records)) {
    ComplainAboutStore(invocation.storeName, "dump-records");
    return kExitFailure;
  }
  if (const int cause = WalkedWhole(invocation.store, records.size()); cause != BDB_OK) {
    Complain(invocation.storeName + ": dump-records: " + BdbErrorText(cause));
    return kExitFailure;
  }
  UseBinaryStdout();
  std::string out, value;
  AppendFlagsRecord(stats.lFlags, &out);
  for (const ChainRecord& record : records) {
    if (!ReadStoreValue(invocation.store, record.key, &value)) {
      std::fwrite(out.data(), 1, out.size(), stdout);
      ComplainAboutStore(invocation.storeName, "dump-records " + Quoted(record.key));
      return kExitFailure;
    }
    AppendCdbRecord(record.key, value, &out);
    if (out.size() >= 64 * 1024) {
      if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size()) return kExitOk;
      out.clear();
    }
  }
  out += '\n';
  std::fwrite(out.data(), 1, out.size(), stdout);
  return kExitOk;  // a failed write is reported with every command's output
}

}  // namespace kvs_tool
