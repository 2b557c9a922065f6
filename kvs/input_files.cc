// input_files.cc: reading a whole input file or standard input.
#include "kvs/input_files.h"

#include <cerrno>
#include <cstdio>
#include <memory>

#include "kvs/messages.h"
#include "tool_support/standard_streams.h"

namespace kvs_tool {
namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// Every byte of stream; false when reading failed, with errno telling why.
bool ReadAll(std::FILE* stream, std::string* bytes) {
  char block[64 * 1024];
  std::size_t got = 0;
  errno = 0;
  while ((got = std::fread(block, 1, sizeof block, stream)) > 0) bytes->append(block, got);
  return std::ferror(stream) == 0;
}

}  // namespace

std::string InputName(const std::string& name) {
  return name == "-" ? "standard input" : name;
}

bool ReadInput(const std::string& name, std::string* bytes) {
  bytes->clear();
  if (name == "-") {
    if (tool_support::StandardInputWasClosed()) {
      Complain("standard input: closed");
      return false;
    }
    UseBinaryStdin();
    if (ReadAll(stdin, bytes)) return true;
    ComplainAboutFile("standard input", "read failed", errno);
    return false;
  }
  return ReadWholeFile(name, bytes);
}

bool ReadWholeFile(const std::string& name, std::string* bytes) {
  bytes->clear();
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(name.c_str(), "rb"));
  if (file && ReadAll(file.get(), bytes)) return true;
  ComplainAboutFile(name, "cannot read", errno);
  return false;
}

}  // namespace kvs_tool
