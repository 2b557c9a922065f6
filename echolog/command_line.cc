// command_line.cc: building and splitting command lines.
#include "echolog/command_line.h"

#include <cstddef>
#include <utility>

namespace echolog {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Reads the program word starting at pos; returns the position after it.
std::size_t ReadProgramWord(std::string_view line, std::size_t pos, std::string& word) {
  bool quoted = false;
  for (; pos < line.size(); ++pos) {
    const char c = line[pos];
    if (c == '"') {
      quoted = !quoted;
    } else if (IsBlank(c) && !quoted) {
      break;
    } else {
      word += c;
    }
  }
  return pos;
}

// Reads an argument word starting at pos; returns the position after it.
std::size_t ReadArgumentWord(std::string_view line, std::size_t pos, std::string& word) {
  bool quoted = false;
  while (pos < line.size()) {
    std::size_t backslashes = 0;
    while (pos < line.size() && line[pos] == '\\') {
      ++backslashes;
      ++pos;
    }
    if (pos < line.size() && line[pos] == '"') {
      word.append(backslashes / 2, '\\');
      if (backslashes % 2 == 1) {
        word += '"';
      } else if (quoted && pos + 1 < line.size() && line[pos + 1] == '"') {
        word += '"';
        ++pos;
      } else {
        quoted = !quoted;
      }
      ++pos;
      continue;
    }
    word.append(backslashes, '\\');
    if (pos == line.size() || (IsBlank(line[pos]) && !quoted)) break;
    word += line[pos++];
  }
  return pos;
}

}  // namespace

std::string QuoteWord(std::string_view word) {
  if (!word.empty() && word.find_first_of(" \t\"") == std::string_view::npos) {
    return std::string(word);
  }
  std::string quoted(1, '"');
  std::size_t backslashes = 0;
  for (const char c : word) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    // Backslashes count as escapes only before a quote.
    quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    quoted += c;
    backslashes = 0;
  }
  quoted.append(2 * backslashes, '\\');  // before the closing quote
  quoted += '"';
  return quoted;
}

std::string BuildCommandLine(std::span<const char* const> args) {
  std::string program = args.front();
  if (program.find('.') == std::string::npos) program += ".exe";
  std::string line = QuoteWord(program);
  line += ' ';
  for (const char* arg : args.subspan(1)) {
    line += QuoteWord(arg);
    line += ' ';
  }
  return line;
}

std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> words;
  std::size_t pos = 0;
  while (true) {
    while (pos < line.size() && IsBlank(line[pos])) ++pos;
    if (pos == line.size()) break;
    std::string word;
    pos = words.empty() ? ReadProgramWord(line, pos, word) : ReadArgumentWord(line, pos, word);
    words.push_back(std::move(word));
  }
  return words;
}

}  // namespace echolog
