// main.cc: the echolog32 program entry, and its --version.
#include <cstdio>
#include <cstring>

#include "echolog/echolog.h"
#include "echolog/os_interface.h"

int main(int argc, char** argv) {
  // "echolog32 --version" names the program and its version; any other
  // words are the command to run.
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("echolog32 %s\n", KVSTOOLS_VERSION);
    return std::fflush(stdout) == 0 && std::ferror(stdout) == 0 ? 0 : echolog::kStatusStartUp;
  }
  const auto os = echolog::CreateSystemApi();
  return echolog::RunEchoLog(*os, argc, argv, stdout, stderr);
}
