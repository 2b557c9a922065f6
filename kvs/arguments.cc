// arguments.cc: splitting the command line of kvs.
#include "kvs/arguments.h"

#include <algorithm>

namespace kvs_tool {

bool Arguments::Has(const std::string& option) const {
  return std::find(options.begin(), options.end(), option) != options.end();
}

bool ParseArguments(int argc, const char* const* argv, Arguments* out, std::string* error) {
  Arguments parsed;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (!optionsEnded && word == "--") {
      optionsEnded = true;
    } else if (!optionsEnded && word.size() > 2 && word.compare(0, 2, "--") == 0) {
      if (word == "--help") parsed.help = true;
      if (word == "--version" && parsed.command.empty()) parsed.version = true;
      parsed.options.push_back(word);
    } else if (parsed.command.empty()) {
      parsed.command = word;
    } else {
      parsed.operands.push_back(word);
    }
  }
  if (parsed.command.empty() && !parsed.help && !parsed.version) {
    *error = "no command given";
    return false;
  }
  *out = std::move(parsed);
  return true;
}

}  // namespace kvs_tool
