// test_child.cc: the command that echolog32 runs in the end-to-end tests.
//   mixed          writes MixedPieces() to standard output and error
//   args WORD...   writes every word followed by '|'
//   exit7          writes "bye" and ends with status 7
//   stdin          writes "eof", "data" or "error" for its first read of standard input
//   background     writes "early", leaves a process behind that writes "late" (POSIX)
//   endless        writes "y\n" until a write fails
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#define write _write
#define read _read
#else
#include <unistd.h>
#endif

#include "echolog/tests/expected_output.h"

namespace {

void Put(int stream, const std::string& bytes) {
  const auto written = write(stream, bytes.data(), static_cast<unsigned>(bytes.size()));
  (void)written;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  _setmode(1, _O_BINARY);
  _setmode(2, _O_BINARY);
#endif
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "mixed") {
    for (const echolog::ChildPiece& piece : echolog::MixedPieces()) Put(piece.stream, piece.bytes);
  } else if (mode == "args") {
    for (int i = 2; i < argc; ++i) Put(1, std::string(argv[i]) + "|");
  } else if (mode == "exit7") {
    Put(1, "bye");
    return 7;
  } else if (mode == "endless") {
    std::string lines;
    for (int i = 0; i < 512; ++i) lines += "y\n";
    while (write(1, lines.data(), static_cast<unsigned>(lines.size())) > 0) {
    }
  } else if (mode == "stdin") {
    char byte = 0;
    const auto count = read(0, &byte, 1);
    Put(1, count == 0 ? "eof" : count > 0 ? "data" : "error");
#ifndef _WIN32
  } else if (mode == "background") {
    Put(1, "early");
    if (fork() == 0) {
      usleep(300 * 1000);
      Put(1, "late");
      _exit(0);
    }
#endif
  } else {
    return 2;
  }
  return 0;
}
