// main.cc: the echolog32 program entry.
#include <cstdio>

#include "echolog/echolog.h"
#include "echolog/os_interface.h"

int main(int argc, char** argv) {
  const auto os = echolog::CreateSystemApi();
  return echolog::RunEchoLog(*os, argc, argv, stdout, stderr);
}
