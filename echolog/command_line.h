// command_line.h: the command line handed to the new process, built from
// echolog32's own arguments, and its split back into words the way Windows
// programs split theirs.
#ifndef KVS_ECHOLOG_COMMAND_LINE_H
#define KVS_ECHOLOG_COMMAND_LINE_H

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace echolog {

// args[0] is the program, the rest its arguments. The program gets ".exe"
// appended when it contains no "." anywhere (directory part included); then
// every word is followed by one blank. A word that is empty or holds a blank,
// a TAB or a double quote is quoted (see QuoteWord), so that SplitCommandLine
// gives every word back whole (the program's too: no name of a Windows
// program holds a double quote); other words go in unchanged. args must not
// be empty.
std::string BuildCommandLine(std::span<const char* const> args);

// The word as one word of a Windows command line: unchanged unless it is
// empty or holds a blank, a TAB or a double quote; otherwise enclosed in
// double quotes, with each quote inside preceded by a backslash and the
// backslashes before a quote or before the closing quote doubled.
std::string QuoteWord(std::string_view word);

// Splits a command line into words by the Windows rules: blanks and TABs
// separate words; double quotes group and are removed; in every word but the
// first, 2n backslashes before a quote become n and the quote takes effect,
// 2n+1 become n and a literal quote, "" inside quotes is a literal quote, and
// other backslashes are literal. The first word (the program) knows no
// backslash escapes.
std::vector<std::string> SplitCommandLine(std::string_view line);

}  // namespace echolog

#endif  // KVS_ECHOLOG_COMMAND_LINE_H
