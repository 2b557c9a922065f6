// list_command.cc: kvs list STORE [PREFIX] [-0]: the keys, one a line (or
// each ended by a NUL), in index order for a sorted store and in
// allocated-list order for another; and kvs count STORE.
#include <cstdio>
#include <cstring>
#include <string>

#include "kvs/chain_keys.h"
#include "kvs/commands.h"
#include "kvs/messages.h"

namespace kvs_tool {
namespace {

char Folded(char c, bool noCase) {
  return noCase && c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Whether key begins with prefix as the store compares keys.
bool BeginsWith(const std::string& key, const std::string& prefix, bool noCase) {
  if (key.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (Folded(key[i], noCase) != Folded(prefix[i], noCase)) return false;
  }
  return true;
}

void PrintKey(const char* key, char end) {
  std::fputs(key, stdout);
  std::fputc(end, stdout);
}

int ListSorted(const Invocation& invocation, const std::string& prefix, char end) {
  int32_t count = 0;
  char* block = BdbListPrefix(invocation.store, prefix.c_str(), &count);
  if (block == nullptr) {
    if (BdbLastError() == BDB_ABSENT) return kExitOk;  // no key matches
    ComplainAboutStore(invocation.storeName, "list");
    return kExitFailure;
  }
  // Counted, not ended at the first empty string: the empty key is a key.
  const char* key = block;
  for (int32_t i = 0; i < count; ++i, key += std::strlen(key) + 1) PrintKey(key, end);
  BdbFree(block);
  return kExitOk;
}

}  // namespace

int RunList(const Invocation& invocation) {
  const std::string prefix = invocation.operands.empty() ? "" : invocation.operands[0];
  StoreStats stats{};
  if (!BdbGetStats(invocation.store, &stats)) {
    ComplainAboutStore(invocation.storeName, "list");
    return kExitFailure;
  }
  const char end = invocation.arguments.Has("-0") ? '\0' : '\n';
  if (end == '\0') UseBinaryStdout();
  if ((stats.lFlags & STORE_SORTED) != 0) return ListSorted(invocation, prefix, end);
  std::vector<ChainRecord> records;
  if (!ChainRecords(invocation.store, kAllocatedList, &records)) {
    ComplainAboutStore(invocation.storeName, "list");
    return kExitFailure;
  }
  const bool noCase = (stats.lFlags & STORE_NOCASE) != 0;
  for (const ChainRecord& record : records) {
    if (BeginsWith(record.key, prefix, noCase)) PrintKey(record.key.c_str(), end);
  }
  return kExitOk;
}

int RunCount(const Invocation& invocation) {
  StoreStats stats{};
  if (!BdbGetStats(invocation.store, &stats)) {
    ComplainAboutStore(invocation.storeName, "count");
    return kExitFailure;
  }
  std::printf("%ld\n", static_cast<long>(stats.lAllocatedCount));
  return kExitOk;
}

}  // namespace kvs_tool
