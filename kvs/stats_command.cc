// stats_command.cc: kvs stats STORE: the chain counts and flags, the file's
// size, and where its bytes go: live values, the slack after them in their
// records, free records, and the rest (header, record headers, keys, index).
#include <cstdio>
#include <filesystem>
#include <string>

#include "kvs/chain_keys.h"
#include "kvs/commands.h"
#include "kvs/messages.h"

namespace kvs_tool {
namespace {

constexpr int64_t kRecordHeaderBytes = 32;

std::string FlagNames(int32_t flags) {
  std::string names;
  if ((flags & STORE_SORTED) != 0) names += " sorted";
  if ((flags & STORE_NOCASE) != 0) names += " nocase";
  return names.empty() ? " none" : names;
}

struct Totals {
  int64_t live = 0, slack = 0, free = 0;
};

// Reads the sizes of a chain's records; false, having said why, when it
// cannot.
bool ChainSizes(const Invocation& invocation, int list, std::vector<ChainRecord>* records) {
  if (!ChainRecords(invocation.store, list, records)) {
    ComplainAboutStore(invocation.storeName, "stats");
    return false;
  }
  if (ReadRecordSizes(invocation.store, list, records)) return true;
  Complain(invocation.storeName + ": stats: the record sizes cannot be read from a dump");
  return false;
}

bool Measure(const Invocation& invocation, Totals* totals) {
  std::vector<ChainRecord> records;
  if (!ChainSizes(invocation, kAllocatedList, &records)) return false;
  for (const ChainRecord& record : records) {
    totals->live += record.lBytesUsed;
    totals->slack += int64_t{record.lBytesAllocated} - record.lBytesUsed;
  }
  if (!ChainSizes(invocation, kFreeList, &records)) return false;
  for (const ChainRecord& record : records) {
    totals->free += kRecordHeaderBytes + record.lNameLength + record.lBytesAllocated;
  }
  return true;
}

}  // namespace

int RunStats(const Invocation& invocation) {
  StoreStats stats{};
  Totals totals;
  if (!BdbGetStats(invocation.store, &stats)) {
    ComplainAboutStore(invocation.storeName, "stats");
    return kExitFailure;
  }
  if (!Measure(invocation, &totals)) return kExitFailure;
  std::error_code error;
  const auto size = std::filesystem::file_size(invocation.storeName, error);
  std::printf("store:              %s\n", invocation.storeName.c_str());
  std::printf("flags:              %ld (%s)\n", static_cast<long>(stats.lFlags),
              FlagNames(stats.lFlags).c_str() + 1);
  std::printf("live records:       %ld\n", static_cast<long>(stats.lAllocatedCount));
  std::printf("free records:       %ld\n", static_cast<long>(stats.lFreeCount));
  std::printf("index records:      %ld\n", static_cast<long>(stats.lIndexCount));
  std::printf("file size:          %lld bytes\n", error ? -1LL : static_cast<long long>(size));
  std::printf("live value bytes:   %lld\n", static_cast<long long>(totals.live));
  std::printf("slack bytes:        %lld\n", static_cast<long long>(totals.slack));
  std::printf("free record bytes:  %lld\n", static_cast<long long>(totals.free));
  return kExitOk;
}

}  // namespace kvs_tool
