// end_to_end.h: running the real echolog32 on the test child, as the
// end-to-end tests of every system do.
#ifndef KVS_ECHOLOG_TESTS_END_TO_END_H
#define KVS_ECHOLOG_TESTS_END_TO_END_H

#include <regex>
#include <string>
#include <string_view>
#include <vector>

namespace echolog {

struct Outcome {
  bool finished = false;
  unsigned status = 99;
  std::string text;                  // what reached standard output
  std::string bytes;                 // the same, reports taken out
  std::vector<std::string> reports;  // the report lines among them, each ending in "\n"
  std::string terminal;              // what reached the console
  std::string errors;                // what reached standard error, lines ending in "\n"
  double secondsAfterReader = -1;    // from the reader going away to the end
  bool commandEnded = false;         // the command ended too, soon after echolog32
};

// Where standard output goes: a file, the terminal, the null device, a pipe
// whose reader goes away after kEarlyReaderBytes, or the full device.
enum class Output { kFile, kTerminal, kNullDevice, kEarlyReader, kFullDevice };

inline constexpr std::size_t kEarlyReaderBytes = 256;

// How soon echolog32 must end once its reader is gone: at once natively (a
// second), and within a few seconds under wine, whose process ends are slow
// on a loaded machine.
#ifdef _WIN32
inline constexpr double kPromptEndSeconds = 5.0;
#else
inline constexpr double kPromptEndSeconds = 1.0;
#endif

// Runs echolog32 with args, its standard input a pipe that stays open, and
// waits a bounded time for it (ten seconds natively, a minute under wine),
// and then at most five seconds for the command.
// On Windows standard output is a file or the early reader's pipe, and there
// is never a console.
Outcome RunEchoLog32(const std::vector<std::string>& args, Output output = Output::kFile,
                     bool withConsole = true);

// The test child's path as echolog32 is given it.
std::string ChildPath();

// What the system reports when no console can be opened, and what the
// child reads from the standard input it is given.
// The status of the test child in "endless" mode once its output pipe has
// broken: ended by SIGPIPE on POSIX systems; on Windows its write fails and
// it ends normally.
#ifdef _WIN32
inline constexpr int kNoConsoleError = 6;
inline constexpr const char* kChildInput = "error";
inline constexpr unsigned kBrokenPipeStatus = 0;
#else
inline constexpr int kNoConsoleError = 55;
inline constexpr const char* kChildInput = "eof";
inline constexpr unsigned kBrokenPipeStatus = 128 + 13;
#endif

inline std::string NoConsoleLine() {
  return "echolog32: no console (error " + std::to_string(kNoConsoleError) +
         "): the output is captured without echo\n";
}

// Splits what reached standard output into the captured bytes and the
// reports; the stream may write reports out between chunks, with CR LF.
inline void TakeApart(std::string_view text, Outcome& outcome) {
  outcome.text = text;
  static const std::regex report(
      "echolog32: Error -?[0-9]+ from [A-Za-z]+     on line [0-9]+\r?\n");
  std::match_results<std::string_view::const_iterator> match;
  while (!text.empty()) {
    if (std::regex_search(text.begin(), text.end(), match, report,
                          std::regex_constants::match_continuous)) {
      std::string line = match.str(0);
      if (line[line.size() - 2] == '\r') line.erase(line.size() - 2, 1);
      outcome.reports.push_back(line);
      text.remove_prefix(static_cast<std::size_t>(match.length(0)));
    } else {
      outcome.bytes += text.front();
      text.remove_prefix(1);
    }
  }
}

}  // namespace echolog

#endif  // KVS_ECHOLOG_TESTS_END_TO_END_H
