// messages.cc: messages on standard error, one line each.
#include "kvsgen/messages.h"

#include <cstdio>

#include "store/store.h"

namespace kvsgen {

void Complain(const std::string &text) { std::fprintf(stderr, "kvsgen: %s\n", text.c_str()); }

void ComplainAboutStore(const std::string &storeName, const std::string &what) {
  // The operating system's cause, where the failure had one, says more
  // than the store's ("No such file or directory" beside "I/O error").
  const int systemError = BdbLastSystemError();
  Complain(storeName + ": " + what + ": " +
           (systemError != 0 ? BdbSystemErrorText(systemError) : BdbErrorText(BdbLastError())));
}

}  // namespace kvsgen
