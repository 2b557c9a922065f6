// change_commands.cc: the commands that change a store: kvs put, delete
// and compact.
#include <cerrno>
#include <cstdio>
#include <limits>
#include <memory>
#include <vector>

#include "kvs/commands.h"
#include "kvs/messages.h"
#include "tool_support/standard_streams.h"

namespace kvs_tool {
namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// Every byte of stream; false when reading failed, with errno telling why.
bool ReadAll(std::FILE* stream, std::vector<char>* bytes) {
  char block[64 * 1024];
  std::size_t got = 0;
  errno = 0;
  while ((got = std::fread(block, 1, sizeof block, stream)) > 0) {
    bytes->insert(bytes->end(), block, block + got);
  }
  return std::ferror(stream) == 0;
}

// The value of a put: the file's bytes, or standard input's.
bool ReadValue(const Invocation& invocation, std::vector<char>* value) {
  if (invocation.operands.size() < 2) {
    // A closed standard input is no value: it would replace the key's value
    // with nothing.
    if (tool_support::StandardInputWasClosed()) {
      Complain("standard input: closed");
      return false;
    }
    UseBinaryStdin();
    if (ReadAll(stdin, value)) return true;
    ComplainAboutFile("standard input", "read failed", errno);
    return false;
  }
  const std::string& name = invocation.operands[1];
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(name.c_str(), "rb"));
  if (file && ReadAll(file.get(), value)) return true;
  ComplainAboutFile(name, "cannot read", errno);
  return false;
}

}  // namespace

int RunPut(const Invocation& invocation) {
  const std::string& key = invocation.operands[0];
  std::vector<char> value;
  if (!ReadValue(invocation, &value)) return kExitFailure;
  if (value.size() > static_cast<std::size_t>(std::numeric_limits<int32_t>::max())) {
    Complain(invocation.storeName + ": " + Quoted(key) + ": value too large");
    return kExitFailure;
  }
  if (BdbPut(invocation.store, key.c_str(), value.data(), static_cast<int32_t>(value.size()))) {
    return kExitOk;
  }
  ComplainAboutStore(invocation.storeName, "put " + Quoted(key));
  return kExitFailure;
}

int RunDelete(const Invocation& invocation) {
  const std::string& key = invocation.operands[0];
  if (BdbDelete(invocation.store, key.c_str())) return kExitOk;
  const bool absent = BdbLastError() == BDB_ABSENT;
  ComplainAboutStore(invocation.storeName, Quoted(key));
  return absent ? kExitNotFound : kExitFailure;
}

int RunCompact(const Invocation& invocation) {
  if (BdbCompact(invocation.store)) return kExitOk;
  ComplainAboutStore(invocation.storeName, "compact");
  return kExitFailure;
}

}  // namespace kvs_tool
