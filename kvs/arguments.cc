// arguments.cc: splitting the command line of kvs.
#include "kvs/arguments.h"

#include <algorithm>

namespace kvs_tool {
namespace {

bool TakesValue(const std::string& option) { return option == "--wait" || option == "--format"; }

}  // namespace

bool Arguments::Has(const std::string& option) const {
  return std::find(options.begin(), options.end(), option) != options.end();
}

const std::string* Arguments::Value(const std::string& option) const {
  for (auto i = values.rbegin(); i != values.rend(); ++i) {
    if (i->first == option) return &i->second;
  }
  return nullptr;
}

bool ParseArguments(int argc, const char* const* argv, Arguments* out, std::string* error) {
  Arguments parsed;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    std::string word = argv[i];
    if (!optionsEnded && word == "--") {
      optionsEnded = true;
    } else if (!optionsEnded && word.size() > 2 && word.compare(0, 2, "--") == 0) {
      const std::size_t equals = word.find('=');
      const std::string name = word.substr(0, equals);
      if (TakesValue(name)) {
        if (equals != std::string::npos) {
          parsed.values.emplace_back(name, word.substr(equals + 1));
        } else if (i + 1 < argc) {
          parsed.values.emplace_back(name, argv[++i]);
        } else {
          *error = "option " + name + " needs a value";
          return false;
        }
        word = name;
      }
      if (word == "--help") parsed.help = true;
      if (word == "--version" && parsed.command.empty()) parsed.version = true;
      parsed.options.push_back(word);
    } else if (!optionsEnded && word == "-h") {
      parsed.help = true;
      parsed.options.push_back("--help");
    } else if (!optionsEnded && word == "-0") {
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
