// free_fit.cc: building the free list's mirror by a walk, following the
// chains' changes, and first fit through it.
#include "store/records/free_fit.h"

#include <new>

#include "store/errors.h"
#include "store/records/chains.h"

namespace kvs {

namespace {

bool SameHead(const ListHead& a, const ListHead& b) {
  return a.lFirst == b.lFirst && a.lLast == b.lLast && a.lCount == b.lCount;
}

struct Building {
  FreeRooms* rooms;
  int32_t previous = 0;
  bool mirrored = true;  // every record so far is mirrored
};

// Mirrors each record; a back link that does not lead to the record before
// stops the walk, since an unlink would then change a record elsewhere.
VisitResult MirrorVisitor(SlotFile* slot, const char* /*key*/, const RecordHeader& header,
                          void* userData) {
  auto* building = static_cast<Building*>(userData);
  const int32_t offset = VisitedRecordOffset(slot, header);
  building->mirrored = header.lPrev == building->previous &&
                       building->rooms->Linked(offset, RoomOf(header));
  if (!building->mirrored) return VisitResult::Stop();
  building->previous = offset;
  return VisitResult::GoOn();
}

// Walks the free list into the mirror; gives up when the walk fails or the
// list's links do not agree both ways. The walk's notes (a damaged record,
// short memory) are not the caller's: the caller walks the list itself and
// meets them there, if it gets so far.
void Build(SlotFile* slot) {
  FreeRooms& rooms = slot->freeRooms;
  const int error = t_lastError, systemError = t_lastSystemError;
  rooms.Begin();
  Building building{&rooms};
  bool walked = false;
  try {
    walked = WalkChain(slot, slot->header.lhFree.lFirst, MirrorVisitor, &building).end ==
             WalkResult::kChainEnd;
  } catch (const std::bad_alloc&) {
    walked = false;
  }
  t_lastError = error;
  t_lastSystemError = systemError;
  if (!walked || !building.mirrored || building.previous != slot->header.lhFree.lLast) {
    rooms.GiveUp();
    return;
  }
  rooms.InStepWith(slot->header.lhFree);
}

FreeRooms* BuiltRooms(SlotFile* slot) {
  FreeRooms& rooms = slot->freeRooms;
  return rooms.state() == FreeRooms::State::kBuilt ? &rooms : nullptr;
}

bool IsFreeList(const SlotFile* slot, const ListHead& chain) {
  return &chain == &slot->header.lhFree;
}

}  // namespace

RecordSearch FirstFreeFit(SlotFile* slot, int64_t need) {
  FreeRooms& rooms = slot->freeRooms;
  // A head the mirror did not follow means a change it missed: built anew.
  if (rooms.state() == FreeRooms::State::kBuilt &&
      !SameHead(rooms.mirrored(), slot->header.lhFree)) {
    rooms.Drop();
  }
  if (rooms.state() == FreeRooms::State::kUnbuilt) Build(slot);
  if (rooms.state() != FreeRooms::State::kBuilt) return RecordSearch::Failed();
  return RecordSearch::At(rooms.FirstFit(need));
}

void ChainLinked(SlotFile* slot, const ListHead& chain, int32_t R, const RecordHeader& header,
                 int32_t last) {
  FreeRooms* rooms = BuiltRooms(slot);
  if (rooms == nullptr) return;
  if (!IsFreeList(slot, chain)) {
    if (rooms->Holds(R) || rooms->Holds(last)) rooms->GiveUp();
    return;
  }
  if (last == rooms->mirrored().lLast && rooms->Linked(R, RoomOf(header))) {
    rooms->InStepWith(chain);
  } else {
    rooms->GiveUp();
  }
}

void ChainUnlinked(SlotFile* slot, const ListHead& chain, int32_t R, int32_t P, int32_t N) {
  FreeRooms* rooms = BuiltRooms(slot);
  if (rooms == nullptr) return;
  if (!IsFreeList(slot, chain)) {
    if (rooms->Holds(R) || rooms->Holds(P) || rooms->Holds(N)) rooms->GiveUp();
    return;
  }
  const bool neighbours = (P == 0 || rooms->Holds(P)) && (N == 0 || rooms->Holds(N));
  if (neighbours && rooms->Unlinked(R)) {
    rooms->InStepWith(chain);
  } else {
    rooms->GiveUp();
  }
}

void DropFreeFit(SlotFile* slot) { slot->freeRooms.Drop(); }

}  // namespace kvs
