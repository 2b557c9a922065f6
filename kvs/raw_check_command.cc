// raw_check_command.cc: what kvs check says of a store that does not open:
// the header's fields, how far each chain's walks go, how far the records
// tile the file, and how many live records kvs salvage could copy, read
// from the file's bytes.
#include <cstdio>
#include <string>

#include "kvs/commands.h"
#include "kvs/input_files.h"
#include "kvs/raw_store.h"

namespace kvs_tool {
namespace {

const char* const kChainNames[] = {"allocated list", "free list", "index list"};

void ReportChain(const std::string& name, const RawStore& store, int chain) {
  const RawHead head = store.Head(chain);
  std::printf("%s: %s: first %ld, last %ld, count %ld\n", name.c_str(), kChainNames[chain],
              static_cast<long>(head.first), static_cast<long>(head.last),
              static_cast<long>(head.count));
  for (const bool forward : {true, false}) {
    const RawWalk walk = store.Walk(chain, forward);
    std::string end = walk.reachedEnd ? "to its end" : "then stops: " + walk.stop;
    if (walk.reachedEnd && !walk.offsets.empty() &&
        walk.offsets.back() != (forward ? head.last : head.first)) {
      end += ", not at the head's " + std::string(forward ? "last" : "first") + " record";
    }
    std::printf("%s: %s: walked %s: %zu records, %s\n", name.c_str(), kChainNames[chain],
                forward ? "forward" : "backward", walk.offsets.size(), end.c_str());
  }
}

}  // namespace

void ReportRawFile(const std::string& storeName) {
  std::string bytes;
  if (!ReadWholeFile(storeName, &bytes)) return;
  const RawStore store(std::move(bytes));
  const char* name = storeName.c_str();
  std::printf("%s: raw file: %lld bytes\n", name, static_cast<long long>(store.size()));
  if (!store.HasHeader() || !store.HasMagic()) {
    std::printf("%s: header: %s\n", name,
                store.HasHeader() ? "no store magic" : "shorter than a store header");
    return;
  }
  const int32_t flags = store.Flags();
  std::printf("%s: header: magic BDB0, flags %ld%s%s\n", name, static_cast<long>(flags),
              (flags & 1) != 0 ? " sorted" : "", (flags & 2) != 0 ? " nocase" : "");
  for (int chain = 0; chain < 3; ++chain) ReportChain(storeName, store, chain);
  std::string stop;
  const auto tiles = store.Tiles(&stop);
  std::printf("%s: records tile the file: %zu records, %s\n", name, tiles.size(),
              stop.empty() ? "to its end" : ("then stops: " + stop).c_str());
  std::printf("%s: live records found: %zu of %ld counted (kvs salvage copies them)\n", name,
              FindLiveRecords(store).size(), static_cast<long>(store.Head(0).count));
}

}  // namespace kvs_tool
