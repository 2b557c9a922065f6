// echolog.h: the echolog32 program, written once over WindowsApi.
//
// echolog32 runs a command with its standard output and standard error sent
// into an anonymous pipe and copies what comes through, in chunks of at most
// 64 bytes, to its own standard output; when that is not a character device
// it also writes every chunk straight to the console. Each failed system call
// is reported as one line on standard output and the run goes on, with two
// exceptions: a console that fails is reported once and echo stops, and a
// standard output that fails is reported once and the copy ends. A console
// that cannot be opened in capture mode is no failure: the bytes are captured
// without echo, and standard error says so once, so that nothing but the
// command's output lands in the capture. Once the pipe breaks the command is
// waited for, and its exit status becomes echolog32's.
#ifndef KVS_ECHOLOG_ECHOLOG_H
#define KVS_ECHOLOG_ECHOLOG_H

#include <cstdio>

#include "echolog/os_interface.h"

namespace echolog {

// Exit statuses of echolog32's own, beside those of its command.
inline constexpr int kStatusStartUp = 1;      // the banner, or a system outside the NT family
inline constexpr int kStatusUnknown = 125;    // the command ran; its status could not be learned
inline constexpr int kStatusNotStarted = 127; // the command could not be started

// Runs echolog32 with argv[1..argc-1] as the command and its arguments.
// out is the buffered standard output stream that the banner, the error
// reports and console mode write to; in capture mode its reports are written
// out where the captured bytes end a line, and it is flushed before the
// standard output handle is closed. err is standard error, which only tells
// of a missing console in capture mode. Returns the exit status: the
// command's own (on POSIX systems 128 plus the signal's number for a command
// ended by a signal), or one of the statuses above.
int RunEchoLog(WindowsApi& os, int argc, const char* const* argv, std::FILE* out,
               std::FILE* err);

}  // namespace echolog

#endif  // KVS_ECHOLOG_ECHOLOG_H
