// arguments.h: the command line of kvs, split into a command, its operands
// and its options, before the command table gives them a meaning.
#ifndef KVS_KVS_ARGUMENTS_H
#define KVS_KVS_ARGUMENTS_H

#include <string>
#include <vector>

namespace kvs_tool {

struct Arguments {
  std::string command;                // empty for "kvs --help" and "kvs --version"
  std::vector<std::string> operands;  // STORE first, then the command's own
  std::vector<std::string> options;   // every "--name" given, in order
  bool help = false;                  // --help appeared
  bool version = false;               // --version appeared before any command

  bool Has(const std::string& option) const;
};

// Splits argv (argv[0] is the program): the first word not beginning with
// "--" is the command, later ones are operands; words beginning with "--"
// are options, except after a lone "--", which makes every later word an
// operand (a key such as "--x"). False, with the reason in *error, when no
// command and neither --help nor --version was given.
bool ParseArguments(int argc, const char* const* argv, Arguments* out, std::string* error);

}  // namespace kvs_tool

#endif  // KVS_KVS_ARGUMENTS_H
