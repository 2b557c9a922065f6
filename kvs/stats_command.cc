// stats_command.cc: kvs stats STORE [--json]: the chain counts and flags,
// the file's size, and where its bytes go: live values, the slack after them
// in their records, free records, and the rest (header, record headers,
// keys, index); as lines for people or as one JSON object.
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

// The name as a JSON string.
std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + '"';
}

void PrintJson(const std::string& name, const StoreStats& stats, long long size,
               const Totals& totals) {
  std::printf(
      "{\"store\": %s, \"flags\": %ld, \"sorted\": %s, \"nocase\": %s, "
      "\"live_records\": %ld, \"free_records\": %ld, \"index_records\": %ld, "
      "\"file_size\": %lld, \"live_value_bytes\": %lld, \"slack_bytes\": %lld, "
      "\"free_record_bytes\": %lld}\n",
      JsonString(name).c_str(), static_cast<long>(stats.lFlags),
      (stats.lFlags & STORE_SORTED) != 0 ? "true" : "false",
      (stats.lFlags & STORE_NOCASE) != 0 ? "true" : "false",
      static_cast<long>(stats.lAllocatedCount), static_cast<long>(stats.lFreeCount),
      static_cast<long>(stats.lIndexCount), size, static_cast<long long>(totals.live),
      static_cast<long long>(totals.slack), static_cast<long long>(totals.free));
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
  if (invocation.arguments.Has("--json")) {
    PrintJson(invocation.storeName, stats, error ? -1LL : static_cast<long long>(size), totals);
    return kExitOk;
  }
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
