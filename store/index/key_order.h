// key_order.h: the store's one key order.
//
// Keys compare as unsigned bytes up to their first NUL; in a STORE_NOCASE
// store the bytes 'A'..'Z' are folded to 'a'..'z' first. Never
// locale-dependent. Every comparison of keys in the store is
// CompareStoredKey or built on it; FoldedByte is the one case fold, and
// IndexForm the folded form in which plain byte order is this order.
#ifndef KVS_STORE_INDEX_KEY_ORDER_H
#define KVS_STORE_INDEX_KEY_ORDER_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "store/format/format.h"
#include "store/records/chains.h"
#include "store/records/slot_file.h"

namespace kvs {

// The byte as the key order sees it.
constexpr int FoldedByte(unsigned char byte, bool fold) {
  return fold && byte >= 'A' && byte <= 'Z' ? byte + ('a' - 'A') : int{byte};
}

// The key order itself: the NUL-terminated key against a stored key of
// storedLength bytes (ending early at a NUL it holds), over at most their
// first n bytes. Negative, 0 or positive as key sorts before, with or after.
int CompareKeyBytes(const char* key, const char* stored, std::size_t storedLength, std::size_t n,
                    bool fold);

// CompareKeyBytes with the slot's case fold.
int CompareStoredKey(const SlotFile* slot, const char* key, const char* stored,
                     std::size_t storedLength, std::size_t n);
// Two NUL-terminated keys over at most their first n bytes; 0 when n is 0.
int ComparePrefix(const SlotFile* slot, const char* a, const char* b, std::size_t n);
// Two NUL-terminated keys.
int CompareKeys(const SlotFile* slot, const char* a, const char* b);
// True when a stored key of storedLength bytes (ending early at a NUL it
// holds) equals key's length bytes (no NUL), as CompareKeyBytes compares.
// Inline: every lookup in place runs it.
bool StoredKeyEqualsFolded(const char* key, std::size_t length, const unsigned char* stored);
inline bool StoredKeyEquals(const char* key, std::size_t length, const unsigned char* stored,
                            std::size_t storedLength, bool fold) {
  if (storedLength < length || (storedLength > length && stored[length] != 0)) return false;
  if (length == 0 || std::memcmp(key, stored, length) == 0) return true;
  return fold && StoredKeyEqualsFolded(key, length, stored);
}

// The form in which the index holds a key and compares it: with 'A'..'Z'
// folded in a STORE_NOCASE store, so that plain unsigned byte order is the
// key order. (Folding a folded key changes nothing, so CompareStoredKey also
// compares a key with a held form correctly.) May use buffer.
std::string_view IndexForm(const SlotFile* slot, const char* key, std::size_t length,
                           std::string* buffer);
// Plain unsigned byte order of two forms.
int CompareForms(std::string_view a, std::string_view b);

// The first record of the chain from start whose key equals key, as a walk
// finds it; failed when the chain is damaged before a match.
RecordSearch FindKeyOnChain(SlotFile* slot, int32_t start, const char* key);

}  // namespace kvs

#endif  // KVS_STORE_INDEX_KEY_ORDER_H
