// arguments.h: the command line of kvs, split into a command, its operands
// and its options, before the command table gives them a meaning.
#ifndef KVS_KVS_ARGUMENTS_H
#define KVS_KVS_ARGUMENTS_H

#include <string>
#include <utility>
#include <vector>

namespace kvs_tool {

struct Arguments {
  std::string command;                // empty for "kvs --help" and "kvs --version"
  std::vector<std::string> operands;  // STORE first, then the command's own
  std::vector<std::string> options;   // every option given ("--name", "-0"), in order
  // The options that take a value (--wait, --format), with the value given
  // last for each.
  std::vector<std::pair<std::string, std::string>> values;
  bool help = false;                  // --help or -h appeared
  bool version = false;               // --version appeared before any command

  bool Has(const std::string& option) const;
  // The value given to option, or null when it was not given.
  const std::string* Value(const std::string& option) const;
};

// Splits argv (argv[0] is the program): the first word not beginning with
// "--" is the command, later ones are operands; words beginning with "--"
// are options, as are "-h" (the same as --help) and "-0", except after a
// lone "--", which makes every later word an operand (a key such as "--x").
// --wait and --format take a value, as "--wait=N" or as the next word. False,
// with the reason in *error, when no command and neither --help nor
// --version was given, or when an option lacks its value.
bool ParseArguments(int argc, const char* const* argv, Arguments* out, std::string* error);

}  // namespace kvs_tool

#endif  // KVS_KVS_ARGUMENTS_H
