// key_order.cc: comparing keys in the store's one order.
#include "store/index/key_order.h"

#include <algorithm>
#include <cstring>

#include "store/records/chains.h"

namespace kvs {

int CompareKeyBytes(const char* key, const char* stored, std::size_t storedLength, std::size_t n,
                    bool fold) {
  const std::size_t common = std::min(n, storedLength);
  for (std::size_t i = 0; i < common; ++i) {
    const int ca = FoldedByte(static_cast<unsigned char>(key[i]), fold);
    const int cb = FoldedByte(static_cast<unsigned char>(stored[i]), fold);
    if (ca != cb) return ca - cb;
    if (ca == 0) return 0;
  }
  // The stored key has ended: it sorts first unless key ends here too.
  return common < n ? FoldedByte(static_cast<unsigned char>(key[common]), fold) : 0;
}

int CompareStoredKey(const SlotFile* slot, const char* key, const char* stored,
                     std::size_t storedLength, std::size_t n) {
  return CompareKeyBytes(key, stored, storedLength, n, IsNoCase(*slot));
}

int ComparePrefix(const SlotFile* slot, const char* a, const char* b, std::size_t n) {
  // b's NUL ends it as a stored key's length would; it is compared with
  // a's byte there, which gives the same sign.
  std::size_t length = 0;
  while (length < n && b[length] != '\0') ++length;
  return CompareStoredKey(slot, a, b, length, n);
}

int CompareKeys(const SlotFile* slot, const char* a, const char* b) {
  return ComparePrefix(slot, a, b, SIZE_MAX);
}

bool StoredKeyEqualsFolded(const char* key, std::size_t length, const unsigned char* stored) {
  for (std::size_t i = 0; i < length; ++i) {
    if (FoldedByte(static_cast<unsigned char>(key[i]), true) != FoldedByte(stored[i], true)) {
      return false;
    }
  }
  return true;
}

std::string_view IndexForm(const SlotFile* slot, const char* key, std::size_t length,
                           std::string* buffer) {
  if (!IsNoCase(*slot)) return {key, length};
  buffer->assign(key, length);
  for (char& c : *buffer) c = static_cast<char>(FoldedByte(static_cast<unsigned char>(c), true));
  return *buffer;
}

int CompareForms(std::string_view a, std::string_view b) {
  const std::size_t common = std::min(a.size(), b.size());
  const int c = common > 0 ? std::memcmp(a.data(), b.data(), common) : 0;
  if (c != 0 || a.size() == b.size()) return c;
  return a.size() < b.size() ? -1 : 1;
}

namespace {

// Stops at the visited record, with its offset, when its key equals the key
// riding as the user data.
VisitResult KeyMatchVisitor(SlotFile* slot, const char* key, const RecordHeader& header,
                            void* userData) {
  if (CompareKeys(slot, key, static_cast<const char*>(userData)) != 0) return VisitResult::GoOn();
  return VisitResult::Stop(VisitedRecordOffset(slot, header));
}

}  // namespace

RecordSearch FindKeyOnChain(SlotFile* slot, int32_t start, const char* key) {
  const WalkResult walk = WalkChain(slot, start, KeyMatchVisitor, const_cast<char*>(key));
  return walk.end == WalkResult::kFailed ? RecordSearch::Failed() : RecordSearch::At(walk.value);
}

}  // namespace kvs
