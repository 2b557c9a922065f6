// main.cc: the kvs program: kvs COMMAND STORE [ARGS], a console tool that
// reads and changes record stores through the store's public interface.
#include <cstdio>
#include <cstring>
#include <string>

#include "kvs/arguments.h"
#include "kvs/commands.h"
#include "kvs/messages.h"
#include "kvs/store_open.h"
#include "store/store.h"
#include "tool_support/standard_streams.h"

namespace {

using namespace kvs_tool;

void PrintUsage(std::FILE* stream) {
  std::fputs("Usage: kvs COMMAND STORE [ARGS] [--wait SECONDS]\n"
             "       kvs COMMAND --help | -h | help [COMMAND] | --help | --version\n\n",
             stream);
  for (const Command& command : Commands()) {
    // A usage too long for its column has the summary on a line of its own.
    if (std::strlen(command.usage) > 38) {
      std::fprintf(stream, "  %s\n  %-38s %s\n", command.usage, "", command.summary);
    } else {
      std::fprintf(stream, "  %-38s %s\n", command.usage, command.summary);
    }
  }
}

int UsageError(const std::string& text) {
  Complain(text);
  std::fputs("Try 'kvs --help'.\n", stderr);
  return kExitFailure;
}

// The operands and options fit the command; else the reason.
std::string Misfit(const Command& command, const Arguments& arguments) {
  for (const std::string& option : arguments.options) {
    bool known = option == "--help" || option == "--wait";
    for (const std::string& allowed : command.options) known = known || option == allowed;
    if (!known) return std::string(command.name) + ": unknown option " + option;
  }
  if (const std::string* wait = arguments.Value("--wait"); wait && !WaitSeconds(*wait)) {
    return "--wait: not a number of seconds: " + *wait;
  }
  if (const std::string* format = arguments.Value("--format");
      format && *format != "cdb" && *format != "tsv" && *format != "jsonl") {
    return "--format: not cdb, tsv or jsonl: " + *format;
  }
  if (command.requiredOption != nullptr && !arguments.Has(command.requiredOption)) {
    return std::string(command.name) + ": " + command.requiredOption + " is needed";
  }
  const std::size_t given = arguments.operands.size();
  if (given < 1 + command.minOperands || given > 1 + command.maxOperands) {
    return std::string("usage: kvs ") + command.usage;
  }
  return "";
}

StoreHandle OpenOnce(const std::string& name, Access access) {
  switch (access) {
    case Access::kRead:
      return BdbOpenReadOnly(name.c_str());
    case Access::kWrite:
      return BdbOpen(name.c_str());
    case Access::kWriteOrCreate:
      return BdbOpenOrCreate(name.c_str(), STORE_SORTED | STORE_NOCASE);
    case Access::kOwn:
      break;
  }
  return nullptr;
}

int Run(const Command& command, const Arguments& arguments) {
  const std::string& storeName = arguments.operands.front();
  const std::string* wait = arguments.Value("--wait");
  const int waitSeconds = wait ? WaitSeconds(*wait).value_or(0) : 0;
  const Invocation invocation{
      nullptr, storeName,
      std::vector<std::string>(arguments.operands.begin() + 1, arguments.operands.end()),
      arguments, waitSeconds};
  if (command.access == Access::kOwn) return command.run(invocation);
  StoreHandle store =
      OpenWaiting([&] { return OpenOnce(storeName, command.access); }, waitSeconds);
  if (store == nullptr) {
    const int cause = BdbLastError();
    ComplainAboutStore(storeName, "cannot open");
    // A store too damaged to open fails its check, which says what it finds
    // in the file.
    if (command.run == RunCheck && cause == BDB_DAMAGED) {
      ReportRawFile(storeName);
      return kExitNotFound;
    }
    return kExitFailure;
  }
  Invocation opened = invocation;
  opened.store = store;
  int status = command.run(opened);
  if (!BdbClose(store) && status == kExitOk) {
    ComplainAboutStore(storeName, "close");
    status = kExitFailure;
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (!tool_support::OpenStandardStreams()) return kExitFailure;
  Arguments arguments;
  std::string error;
  if (!ParseArguments(argc, argv, &arguments, &error)) return UsageError(error);
  if (arguments.command == "help") {
    // "kvs help" is "kvs --help", and "kvs help COMMAND" "kvs COMMAND --help".
    arguments.help = true;
    arguments.command = arguments.operands.empty() ? "" : arguments.operands.front();
  }
  if (arguments.command.empty()) {
    if (arguments.help) {
      PrintUsage(stdout);
    } else {
      std::printf("kvs %s\n", KVSTOOLS_VERSION);
    }
    return WithOutputChecked(kExitOk);
  }
  const Command* command = FindCommand(arguments.command);
  if (command == nullptr) return UsageError("unknown command " + arguments.command);
  if (arguments.help) {
    std::printf("Usage: kvs %s\n  %s\n", command->usage, command->summary);
    return WithOutputChecked(kExitOk);
  }
  const std::string misfit = Misfit(*command, arguments);
  if (!misfit.empty()) return UsageError(misfit);
  return WithOutputChecked(Run(*command, arguments));
}
