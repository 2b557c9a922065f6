// index_entries.cc: the blocks of the in-memory KeyIndex and their keys.
#include "store/index/index_entries.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "store/errors.h"

namespace kvs {

void IndexEntries::Locate(std::size_t position, std::size_t* block, std::size_t* index) const {
  // The last block that starts at or before position (the last block for a
  // position past the end).
  const auto after = std::upper_bound(firsts_.begin(), firsts_.end(), position);
  const std::size_t b = after == firsts_.begin() ? 0 : static_cast<std::size_t>(after - firsts_.begin()) - 1;
  *block = b;
  *index = position - (firsts_.empty() ? 0 : firsts_[b]);
}

uint64_t IndexEntries::PrefixOf(const char* key, std::size_t length) {
  uint64_t prefix = 0;
  for (std::size_t i = 0; i < 8; ++i) {
    const unsigned char byte = i < length ? static_cast<unsigned char>(key[i]) : 0;
    prefix = prefix << 8 | byte;
  }
  return prefix;
}

bool IndexEntries::KeyBelow(const Key& held, uint64_t prefix, const char* key,
                            std::size_t length) const {
  if (held.prefix != prefix) return held.prefix < prefix;
  const std::size_t common = std::min<std::size_t>(held.keyLength, length);
  const int c = common > 0 ? std::memcmp(KeyOf(held), key, common) : 0;
  return c != 0 ? c < 0 : held.keyLength < length;
}

std::size_t IndexEntries::LowerBound(const char* key, std::size_t length) const {
  if (!keyed_) return size_;  // nothing to compare
  const uint64_t prefix = PrefixOf(key, length);
  // The blocks' last prefixes lie together: most steps decide on them.
  std::size_t lo = 0, hi = blocks_.size();
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    const uint64_t last = lastPrefixes_[mid];
    if (last != prefix ? last < prefix : KeyBelow(blocks_[mid].keys.back(), prefix, key, length)) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  if (lo == blocks_.size()) return size_;
  const std::vector<Key>& block = blocks_[lo].keys;
  std::size_t first = 0, last = block.size();
  while (first < last) {
    const std::size_t mid = first + (last - first) / 2;
    if (KeyBelow(block[mid], prefix, key, length)) {
      first = mid + 1;
    } else {
      last = mid;
    }
  }
  return firsts_[lo] + first;
}

int32_t IndexEntries::at(std::size_t position) const {
  std::size_t b = 0, i = 0;
  Locate(position, &b, &i);
  return blocks_.at(b).offsets.at(i);
}

const char* IndexEntries::KeyAt(std::size_t position, std::size_t* length) const {
  if (!keyed_) {
    *length = 0;
    return "";
  }
  std::size_t b = 0, i = 0;
  Locate(position, &b, &i);
  const Key& key = blocks_.at(b).keys.at(i);
  *length = key.keyLength;
  return KeyOf(key);
}

void IndexEntries::clear() {
  blocks_.clear();
  firsts_.clear();
  lastPrefixes_.clear();
  keys_.clear();
  removedKeyBytes_ = 0;
  size_ = 0;
}

bool IndexEntries::Insert(std::size_t position, int32_t entry, const char* key,
                          std::size_t length) {
  const std::size_t keyAt = keys_.size();
  try {
    if (keyed_) keys_.insert(keys_.end(), key, key + length);
    const Key added{keyed_ ? PrefixOf(key, length) : 0, static_cast<uint32_t>(keyAt),
                    static_cast<uint32_t>(keyed_ ? length : 0)};
    if (blocks_.empty()) {
      firsts_.reserve(1);
      lastPrefixes_.reserve(1);
      Block first;
      first.offsets.assign(1, entry);
      if (keyed_) first.keys.assign(1, added);
      blocks_.push_back(std::move(first));
      firsts_.push_back(0);
      if (keyed_) lastPrefixes_.push_back(added.prefix);
    } else {
      // Appending goes straight to the last block.
      std::size_t b = blocks_.size() - 1, i = blocks_.back().size();
      if (position < size_) Locate(position, &b, &i);
      if (blocks_[b].size() >= 2 * kBlockEntries) {
        // A full block splits in two halves first, each with room again.
        const auto half = static_cast<std::ptrdiff_t>(kBlockEntries);
        Block upper;
        upper.offsets.assign(blocks_[b].offsets.begin() + half, blocks_[b].offsets.end());
        if (keyed_) upper.keys.assign(blocks_[b].keys.begin() + half, blocks_[b].keys.end());
        firsts_.reserve(firsts_.size() + 1);
        if (keyed_) lastPrefixes_.reserve(lastPrefixes_.size() + 1);
        blocks_.insert(blocks_.begin() + static_cast<std::ptrdiff_t>(b) + 1, std::move(upper));
        firsts_.insert(firsts_.begin() + static_cast<std::ptrdiff_t>(b) + 1,
                       static_cast<uint32_t>(firsts_[b] + kBlockEntries));
        blocks_[b].offsets.resize(kBlockEntries);
        if (keyed_) {
          blocks_[b].keys.resize(kBlockEntries);
          lastPrefixes_.insert(lastPrefixes_.begin() + static_cast<std::ptrdiff_t>(b),
                               blocks_[b].keys.back().prefix);
        }
        if (i > kBlockEntries) {
          ++b;
          i -= kBlockEntries;
        }
      }
      Block& target = blocks_[b];
      // Room first (doubling), so that both arrays take the entry or
      // neither does.
      const std::size_t room = std::max<std::size_t>(2 * target.size(), 8);
      if (target.offsets.capacity() == target.size()) target.offsets.reserve(room);
      if (keyed_ && target.keys.capacity() == target.size()) target.keys.reserve(room);
      target.offsets.insert(target.offsets.begin() + static_cast<std::ptrdiff_t>(i), entry);
      if (keyed_) {
        target.keys.insert(target.keys.begin() + static_cast<std::ptrdiff_t>(i), added);
        lastPrefixes_[b] = target.keys.back().prefix;
      }
      for (std::size_t later = b + 1; later < firsts_.size(); ++later) ++firsts_[later];
    }
  } catch (const std::bad_alloc&) {
    NoteError(BDB_NO_MEMORY);
    keys_.resize(keyAt);
    return false;
  }
  ++size_;
  return true;
}

void IndexEntries::Erase(std::size_t position) {
  if (position >= size_) return;
  std::size_t b = 0, i = 0;
  Locate(position, &b, &i);
  Block& block = blocks_[b];
  if (keyed_) {
    removedKeyBytes_ += block.keys[i].keyLength;
    block.keys.erase(block.keys.begin() + static_cast<std::ptrdiff_t>(i));
  }
  block.offsets.erase(block.offsets.begin() + static_cast<std::ptrdiff_t>(i));
  for (std::size_t later = b + 1; later < firsts_.size(); ++later) --firsts_[later];
  if (block.offsets.empty()) {
    blocks_.erase(blocks_.begin() + static_cast<std::ptrdiff_t>(b));
    firsts_.erase(firsts_.begin() + static_cast<std::ptrdiff_t>(b));
    if (keyed_) lastPrefixes_.erase(lastPrefixes_.begin() + static_cast<std::ptrdiff_t>(b));
  } else if (keyed_) {
    lastPrefixes_[b] = block.keys.back().prefix;
  }
  --size_;
  if (removedKeyBytes_ > keys_.size() / 2 && removedKeyBytes_ > 4096) DropRemovedKeys();
}

void IndexEntries::DropRemovedKeys() {
  std::vector<char> kept;
  try {
    kept.reserve(keys_.size() - removedKeyBytes_);
  } catch (const std::bad_alloc&) {
    NoteError(BDB_NO_MEMORY);
    return;  // the removed keys stay until memory allows
  }
  for (Block& block : blocks_) {
    for (Key& held : block.keys) {
      const char* key = KeyOf(held);
      held.keyAt = static_cast<uint32_t>(kept.size());
      kept.insert(kept.end(), key, key + held.keyLength);
    }
  }
  keys_ = std::move(kept);
  removedKeyBytes_ = 0;
}

std::size_t IndexEntries::Find(int32_t entry) const {
  std::size_t position = 0;
  for (const Block& block : blocks_) {
    for (const int32_t offset : block.offsets) {
      if (offset == entry) return position;
      ++position;
    }
  }
  return size_;
}

void IndexEntries::CopyTo(int32_t* out) const {
  for (const Block& block : blocks_) out = std::copy(block.offsets.begin(), block.offsets.end(), out);
}

bool IndexEntries::TakeOffsetsOf(const IndexEntries& other) {
  if (other.size_ != size_) return false;
  auto block = blocks_.begin();
  std::size_t i = 0;
  other.VisitFrom(0, [&](int32_t entry) {
    if (i == block->offsets.size()) {
      ++block;
      i = 0;
    }
    block->offsets[i++] = entry;
    return true;
  });
  return true;
}

}  // namespace kvs
