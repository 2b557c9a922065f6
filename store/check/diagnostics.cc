// diagnostics.cc: the dumps of the allocated and free lists, the chain
// counts, and walks of a chain with a caller's callback.
#include <cstdio>

#include "store/records/chains.h"
#include "store/errors.h"
#include "store/ops/lifecycle.h"

namespace kvs {
namespace {

VisitResult DumpRecordVisitor(SlotFile* /*slot*/, const char* key, const RecordHeader& header,
                              void* userData) {
  auto* stream = static_cast<std::FILE*>(userData);
  std::fprintf(stream, "\n");
  std::fprintf(stream, "Name:             %s\n", key);
  std::fprintf(stream, "lBytesAllocated:  %li\n", static_cast<long>(header.lBytesAllocated));
  std::fprintf(stream, "lBytesUsed:       %li\n", static_cast<long>(header.lBytesUsed));
  std::fprintf(stream, "lNameLength:      %li\n", static_cast<long>(header.lNameLength));
  std::fprintf(stream, "lPrev:            %li\n", static_cast<long>(header.lPrev));
  std::fprintf(stream, "lNext:            %li\n", static_cast<long>(header.lNext));
  return VisitResult::GoOn();
}

struct CallbackData {
  StoreHandle store;
  RecordCallbackWithContext callback;
  void* context;
};

// A callback's non-zero result stops the walk.
VisitResult RecordCallbackVisitor(SlotFile* /*slot*/, const char* key, const RecordHeader& header,
                                  void* userData) {
  const auto* data = static_cast<CallbackData*>(userData);
  const int result = data->callback(data->store, key, header.lBytesUsed, data->context);
  return result == 0 ? VisitResult::GoOn() : VisitResult::Stop(result);
}

// A plain RecordCallback rides as the context of one with context.
int CallWithoutContext(StoreHandle store, const char* key, int32_t lBytesUsed, void* context) {
  return (*static_cast<RecordCallback*>(context))(store, key, lBytesUsed);
}

int WalkWithContext(StoreHandle store, int list, RecordCallbackWithContext callback,
                    void* context) {
  StoreSlot* slot = UsableSlot(store);
  if (slot == nullptr || callback == nullptr) return 0;
  const StoreHeader& h = slot->header;
  const ListHead& chain = list == 0 ? h.lhAllocated : list == 1 ? h.lhFree : h.lhIndex;
  CallbackData data{slot, callback, context};
  WalkChain(slot, chain.lFirst, RecordCallbackVisitor, &data);
  return 1;
}

void DumpChain(StoreHandle store, std::FILE* stream, ListHead StoreHeader::*chain,
               const char* banner) {
  StoreSlot* slot = UsableSlot(store);
  if (slot == nullptr || stream == nullptr) return;
  const int32_t first = (slot->header.*chain).lFirst;
  std::fputs(banner, stream);
  if (first > 0) WalkChain(slot, first, DumpRecordVisitor, stream);
}

}  // namespace
}  // namespace kvs

using namespace kvs;

extern "C" void BdbDumpAllocated(StoreHandle store, FILE* stream) {
  PublicCall(0, BDB_IO, [&] {
    DumpChain(store, stream, &StoreHeader::lhAllocated, "\n*** Dumping allocated list...\n");
    return 1;
  });
}

extern "C" void BdbDumpFree(StoreHandle store, FILE* stream) {
  PublicCall(0, BDB_IO, [&] {
    DumpChain(store, stream, &StoreHeader::lhFree, "\n*** Dumping free list...\n");
    return 1;
  });
}

extern "C" int BdbGetStats(StoreHandle store, StoreStats* stats) {
  return PublicCall(0, BDB_INVALID_ARGUMENT, [&] {
    StoreSlot* slot = UsableSlot(store);
    if (slot == nullptr || stats == nullptr) return 0;
    const StoreHeader& h = slot->header;
    stats->lAllocatedCount = h.lhAllocated.lCount;
    stats->lFreeCount = h.lhFree.lCount;
    stats->lIndexCount = h.lhIndex.lCount;
    stats->lFlags = h.lFlags;
    return 1;
  });
}

extern "C" int BdbWalk(StoreHandle store, int list, RecordCallback callback) {
  return PublicCall(0, BDB_INVALID_ARGUMENT, [&] {
    if (callback == nullptr) return WalkWithContext(store, list, nullptr, nullptr);
    return WalkWithContext(store, list, CallWithoutContext, &callback);
  });
}

extern "C" int BdbWalkWithContext(StoreHandle store, int list, RecordCallbackWithContext callback,
                                  void* context) {
  return PublicCall(0, BDB_INVALID_ARGUMENT,
                    [&] { return WalkWithContext(store, list, callback, context); });
}
