// standard_streams.cc: the null device on closed standard descriptors.
#include "tool_support/standard_streams.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace tool_support {
namespace {

bool g_inputWasClosed = false;

}  // namespace

#ifdef _WIN32
bool OpenStandardStreams() { return true; }
#else
bool OpenStandardStreams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    if (fd == STDIN_FILENO) g_inputWasClosed = true;
    // The lowest free descriptor is taken: this one, as those below it are
    // open.
    int opened;
    do {
      opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    } while (opened < 0 && errno == EINTR);
    if (opened != fd) {
      if (opened >= 0) ::close(opened);
      return false;
    }
  }
  return true;
}
#endif

bool StandardInputWasClosed() { return g_inputWasClosed; }

}  // namespace tool_support
