// echolog_fuzzer.cc: the input decides echolog32's command, the kind of its
// standard output, which system calls fail and how, and what the command
// writes into the pipe, in reads of which sizes. Run over the scripted fake
// system, echolog32 must write in chunks of at most 64 bytes, deliver the
// captured bytes unchanged and in order, hand the system the command line
// built from its arguments and the arguments themselves, end with the
// command's status (127 when it was not started), and close every handle it
// was given.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "echolog/command_line.h"
#include "echolog/echolog.h"
#include "echolog/tests/fake_os.h"
#include "fuzz/input_reader.h"

namespace {

using echolog::Dword;
using echolog::FakeWindowsApi;
using kvs::fuzz::InputReader;

void Check(bool condition) {
  if (!condition) std::abort();
}

std::FILE* NullStream() {
  static std::FILE* stream = std::fopen("/dev/null", "w");
  return stream;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// The words of a command line built from args split back into args, the
// program with its ".exe". The program word is split without backslash
// escapes, so a program holding a quote or ending in a backslash, which no
// Windows program name does, is left out.
void CheckCommandLine(const std::vector<std::string>& args) {
  if (args.empty()) return;
  std::vector<const char*> pointers;
  for (const std::string& arg : args) pointers.push_back(arg.c_str());
  const std::string line = echolog::BuildCommandLine(pointers);
  Check(!line.empty() && line.back() == ' ');
  const std::vector<std::string> words = echolog::SplitCommandLine(line);
  std::vector<std::string> expected = args;
  if (expected[0].find('.') == std::string::npos) expected[0] += ".exe";
  if (expected[0].find('"') != std::string::npos || expected[0].back() == '\\') return;
  Check(words == expected);
}

struct Run {
  FakeWindowsApi os;
  std::vector<std::string> args;
  std::string piped;         // every data byte the reads deliver, in order
  bool failures = false;     // a call that the copy depends on is scripted to fail
  bool errorReads = false;   // a read is scripted to fail
  bool noStdOutput = false;  // GetStdHandle (called once) is scripted to fail
};

void Decode(InputReader& in, Run& run) {
  static constexpr Dword kTypes[] = {echolog::kFileTypeDisk, echolog::kFileTypeChar,
                                     echolog::kFileTypePipe, echolog::kFileTypeUnknown};
  static constexpr Dword kErrors[] = {1234, echolog::kErrorBrokenPipe,
                                      echolog::kErrorInvalidHandle, echolog::kErrorAccessDenied};
  static const char* const kCalls[] = {"GetStdHandle",    "CreateFileA",    "CreatePipe",
                                       "DuplicateHandle", "CreateProcessA", "CloseHandle",
                                       "ReadFile",        "WriteFile",      "WaitForSingleObject",
                                       "GetExitCodeProcess"};
  const uint8_t mode = in.Byte();
  run.os.stdOutputType = kTypes[mode & 3];
  if ((mode & 0xFC) == 0xFC) run.os.version = 0x80000000u;
  run.os.exitCode = mode >> 2;
  for (unsigned n = in.Below(4); n > 0; --n) {
    const std::string call = kCalls[in.Below(10)];
    const int nth = 1 + static_cast<int>(in.Below(6));
    run.os.FailCall(call, nth, kErrors[in.Below(4)]);
    if (call == "GetStdHandle" && nth == 1) run.noStdOutput = true;
    if (call != "CreateFileA" && call != "CreateProcessA" && call != "CloseHandle" &&
        call != "WaitForSingleObject" && call != "GetExitCodeProcess") {
      run.failures = true;
    }
  }
  for (unsigned n = in.Below(5); n > 0; --n) {
    run.args.push_back(in.Take(in.Below(16)).c_str());  // an argument ends at a NUL
  }
  while (!in.Done()) {
    const uint8_t read = in.Byte();
    switch (read % 8) {
      case 0:
        run.os.QueueRead("", kErrors[in.Below(4)]);
        run.errorReads = true;
        break;
      case 1:
        run.os.QueueRead("");
        break;
      default: {
        const std::string bytes = in.Take((read >> 3) * 5u);
        run.piped += bytes;
        run.os.QueueRead(bytes);
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  echolog::SplitCommandLine(std::string_view(reinterpret_cast<const char*>(data), size));

  InputReader in(data, size);
  Run run;
  Decode(in, run);
  CheckCommandLine(run.args);

  std::vector<const char*> argv{"echolog32"};
  for (const std::string& arg : run.args) argv.push_back(arg.c_str());
  const bool nt = run.os.version == 0x0000000Au;
  const int status = echolog::RunEchoLog(run.os, static_cast<int>(argv.size()), argv.data(),
                                         NullStream(), NullStream());
  if (!nt || run.args.empty()) {
    Check(status == echolog::kStatusStartUp);
  } else if (run.os.waited.empty()) {
    Check(status == echolog::kStatusNotStarted);
  } else {
    Check(status == static_cast<int>(run.os.exitCode) || status == echolog::kStatusUnknown);
  }
  Check(run.os.openHandles.empty());
  for (const Dword written : run.os.writeSizes) Check(written > 0 && written <= 64);
  for (const std::string& call : run.os.calls) {
    if (call == "CreateProcessA") {
      std::vector<const char*> command(argv.begin() + 1, argv.end());
      Check(run.os.commandLine == echolog::BuildCommandLine(command));
      Check(run.os.words == run.args);
    }
  }

  const std::string& captured = run.os.output[FakeWindowsApi::kStdOutput];
  const std::string& echoed = run.os.output[FakeWindowsApi::kConsole];
  // Console mode; without a standard output handle its type is unknown,
  // which means capture mode.
  if (run.os.stdOutputType == echolog::kFileTypeChar && !run.noStdOutput) {
    Check(captured.empty() && echoed.empty());
    return 0;
  }
  Check(StartsWith(run.piped, captured) && StartsWith(run.piped, echoed));
  if (nt && !run.args.empty() && !run.failures && !run.errorReads) Check(captured == run.piped);
  return 0;
}
