// messages.cc: messages on standard error, and binary standard streams.
#include "kvs/messages.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "kvs/commands.h"
#include "store/store.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace kvs_tool {

void Complain(const std::string& text) { std::fprintf(stderr, "kvs: %s\n", text.c_str()); }

void ComplainAboutStore(const std::string& storeName, const std::string& what) {
  std::string text = storeName + ": ";
  if (!what.empty()) text += what + ": ";
  const int systemError = BdbLastSystemError();
  Complain(text + (systemError != 0 ? BdbSystemErrorText(systemError)
                                    : BdbErrorText(BdbLastError())));
}

void ComplainAboutFile(const std::string& name, const std::string& what, int error) {
  Complain(name + ": " + what + (error != 0 ? std::string(": ") + std::strerror(error) : ""));
}

int WithOutputChecked(int status) {
  // A write that failed earlier leaves the stream's error flag; one still
  // buffered fails here, with its cause in errno.
  errno = 0;
  const bool flushed = std::fflush(stdout) == 0;
  if (flushed && std::ferror(stdout) == 0) return status;
  ComplainAboutFile("standard output", "write failed", flushed ? 0 : errno);
  return kExitFailure;
}

#ifdef _WIN32
void UseBinaryStdout() { _setmode(_fileno(stdout), _O_BINARY); }
void UseBinaryStdin() { _setmode(_fileno(stdin), _O_BINARY); }
#else
void UseBinaryStdout() {}
void UseBinaryStdin() {}
#endif

}  // namespace kvs_tool
