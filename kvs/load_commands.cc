// load_commands.cc: the commands that fill a store from records: kvs
// create, load (a dump of dump-records, into a new store) and import (cdb,
// tsv or jsonl records, into a store that may exist).
#include <cstdio>
#include <string>

#include "kvs/bulk_load.h"
#include "kvs/commands.h"
#include "kvs/input_files.h"
#include "kvs/messages.h"
#include "kvs/record_formats.h"
#include "kvs/store_open.h"

namespace kvs_tool {
namespace {

// The flags that --unsorted and --case-sensitive leave of the default
// (sorted, case-insensitive: as kvsgen creates a store).
int32_t FlagsFromOptions(const Arguments& arguments) {
  int32_t flags = STORE_SORTED | STORE_NOCASE;
  if (arguments.Has("--unsorted")) flags &= ~STORE_SORTED;
  if (arguments.Has("--case-sensitive")) flags &= ~STORE_NOCASE;
  return flags;
}

// Reads and parses the input named by the operand after STORE ("-", or
// none, for standard input); status 0, or 2 having said why.
int ReadRecords(const Invocation& invocation, const std::string& format, ParsedInput* input,
                std::string* inputName) {
  const std::string name = invocation.operands.empty() ? "-" : invocation.operands[0];
  *inputName = InputName(name);
  std::string bytes;
  if (!ReadInput(name, &bytes)) return kExitFailure;
  std::string problem;
  if (format == "cdb") {
    problem = ParseCdbRecords(bytes, input);
  } else if (format == "tsv") {
    problem = ParseTsvRecords(bytes, input);
  } else {
    problem = ParseJsonlRecords(bytes, input);
  }
  if (problem.empty()) return kExitOk;
  Complain(*inputName + ": " + problem);
  return kExitFailure;
}

// Puts the records and closes the store, unless a refused put leaves a
// part of the run in memory; then, for a store made for the run, removes
// the store, which the run has not touched.
int PutAndClose(StoreHandle store, const Invocation& invocation, const std::string& inputName,
                const ParsedInput& input, bool madeForRun) {
  bool mayClose = true;
  int status = PutAllRecords(store, invocation.storeName, inputName, input, &mayClose);
  if (!mayClose) {
    if (madeForRun) std::remove(invocation.storeName.c_str());
    return status;
  }
  if (!BdbClose(store) && status != kExitFailure) {
    ComplainAboutStore(invocation.storeName, "close");
    status = kExitFailure;
  }
  return status;
}

}  // namespace

int RunCreate(const Invocation& invocation) {
  StoreHandle store = CreateNewStore(invocation.storeName, FlagsFromOptions(invocation.arguments),
                                     invocation.waitSeconds);
  if (store == nullptr) return kExitFailure;
  if (BdbClose(store)) return kExitOk;
  ComplainAboutStore(invocation.storeName, "close");
  return kExitFailure;
}

int RunLoad(const Invocation& invocation) {
  ParsedInput input;
  std::string inputName;
  if (const int status = ReadRecords(invocation, "cdb", &input, &inputName); status != kExitOk) {
    return status;
  }
  const int32_t flags = input.flags.value_or(FlagsFromOptions(invocation.arguments));
  StoreHandle store = CreateNewStore(invocation.storeName, flags, invocation.waitSeconds);
  if (store == nullptr) return kExitFailure;
  return PutAndClose(store, invocation, inputName, input, true);
}

int RunImport(const Invocation& invocation) {
  const std::string* format = invocation.arguments.Value("--format");
  ParsedInput input;
  std::string inputName;
  if (const int status = ReadRecords(invocation, *format, &input, &inputName); status != kExitOk) {
    return status;
  }
  const std::string& name = invocation.storeName;
  const int32_t flags = FlagsFromOptions(invocation.arguments);
  StoreHandle store = OpenWaiting([&] { return BdbOpenOrCreate(name.c_str(), flags); },
                                  invocation.waitSeconds);
  if (store == nullptr) {
    ComplainAboutStore(name, "cannot open");
    return kExitFailure;
  }
  return PutAndClose(store, invocation, inputName, input, false);
}

}  // namespace kvs_tool
