// echolog.h: the echolog32 program, written once over WindowsApi.
//
// echolog32 runs a command with its standard output and standard error sent
// into an anonymous pipe and copies what comes through, in chunks of at most
// 64 bytes, to its own standard output; when that is not a character device
// it also writes every chunk straight to the console. Each failed system call
// is reported as one line on standard output and the run goes on, with two
// exceptions: a console that fails is reported once and echo stops, and a
// standard output that fails is reported once and the copy ends.
#ifndef KVS_ECHOLOG_ECHOLOG_H
#define KVS_ECHOLOG_ECHOLOG_H

#include <cstdio>

#include "echolog/os_interface.h"

namespace echolog {

// Runs echolog32 with argv[1..argc-1] as the command and its arguments.
// out is the buffered standard output stream that the banner, the error
// reports and console mode write to; in capture mode its reports are written
// out where the captured bytes end a line, and it is flushed before the
// standard output handle is closed. Returns the exit status: 1 for the banner
// or a system outside the NT family, otherwise 0 whatever the command did.
int RunEchoLog(WindowsApi& os, int argc, const char* const* argv, std::FILE* out);

}  // namespace echolog

#endif  // KVS_ECHOLOG_ECHOLOG_H
