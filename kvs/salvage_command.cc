// salvage_command.cc: kvs salvage STORE NEW: the live records that can be
// read from the bytes of a damaged store (raw_store.h), copied into a new
// store of its flags as one held run; says how many it copied and how many
// of those the store counts it could not. Status 1 when some could not be
// copied.
#include <cstdio>
#include <string>

#include "kvs/bulk_load.h"
#include "kvs/commands.h"
#include "kvs/input_files.h"
#include "kvs/messages.h"
#include "kvs/raw_store.h"
#include "kvs/store_open.h"

namespace kvs_tool {

int RunSalvage(const Invocation& invocation) {
  const std::string& damaged = invocation.storeName;
  const std::string& target = invocation.operands[0];
  // A store that still opens is held with a reader's lock while it is read,
  // so that no writer changes it meanwhile.
  StoreHandle reader = OpenWaiting([&] { return BdbOpenReadOnly(damaged.c_str()); },
                                   invocation.waitSeconds);
  if (reader == nullptr && BdbLastError() == BDB_LOCKED) {
    ComplainAboutStore(damaged, "cannot open");
    return kExitFailure;
  }
  std::string bytes;
  const bool read = ReadWholeFile(damaged, &bytes);
  if (reader != nullptr) BdbClose(reader);
  if (!read) return kExitFailure;
  const RawStore store(std::move(bytes));
  if (!store.HasHeader() || !store.HasMagic()) {
    Complain(damaged + ": salvage: not a store");
    return kExitFailure;
  }

  ParsedInput input;
  input.unit = "record at";
  for (const RawRecord& record : FindLiveRecords(store)) {
    input.records.push_back(InputRecord{std::string(store.Key(record)),
                                        std::string(store.Value(record)),
                                        static_cast<std::size_t>(record.offset)});
  }
  std::size_t copied = 0;
  for (const InputRecord& record : input.records) copied += UncarriableReason(record) == nullptr;

  StoreHandle out = CreateNewStore(target, store.Flags(), invocation.waitSeconds);
  if (out == nullptr) return kExitFailure;
  bool mayClose = true;
  int status = PutAllRecords(out, target, damaged, input, &mayClose);
  if (!mayClose) {
    std::remove(target.c_str());
    return status;
  }
  if (!BdbClose(out)) {
    ComplainAboutStore(target, "close");
    return kExitFailure;
  }
  if (status != kExitOk && status != kExitNotFound) return status;
  const long counted = store.Head(0).count;
  const long lost = counted > static_cast<long>(copied) ? counted - static_cast<long>(copied) : 0;
  std::printf("%s: copied %zu records into %s; %ld of the %ld the store counts could not be read\n",
              damaged.c_str(), copied, target.c_str(), lost, counted);
  return lost > 0 || status == kExitNotFound ? kExitNotFound : kExitOk;
}

}  // namespace kvs_tool
