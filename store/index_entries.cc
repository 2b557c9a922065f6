// index_entries.cc: the blocks of the in-memory KeyIndex and their keys.
#include "store/index_entries.h"

#include <algorithm>
#include <new>

#include "store/errors.h"

namespace kvs {

void IndexEntries::Locate(std::size_t position, std::size_t* block, std::size_t* index) const {
  std::size_t b = 0;
  while (b + 1 < blocks_.size() && position >= blocks_[b].size()) {
    position -= blocks_[b].size();
    ++b;
  }
  *block = b;
  *index = position;
}

int32_t IndexEntries::at(std::size_t position) const {
  std::size_t b = 0, i = 0;
  Locate(position, &b, &i);
  return blocks_.at(b).at(i).offset;
}

const char* IndexEntries::KeyAt(std::size_t position, std::size_t* length) const {
  std::size_t b = 0, i = 0;
  Locate(position, &b, &i);
  const Entry& entry = blocks_.at(b).at(i);
  *length = entry.keyLength;
  return KeyOf(entry);
}

void IndexEntries::clear() {
  blocks_.clear();
  keys_.clear();
  removedKeyBytes_ = 0;
  size_ = 0;
}

bool IndexEntries::Insert(std::size_t position, int32_t entry, const char* key,
                          std::size_t length) {
  const std::size_t keyAt = keys_.size();
  try {
    keys_.insert(keys_.end(), key, key + length);
    const Entry added{entry, static_cast<uint32_t>(keyAt), static_cast<uint32_t>(length)};
    if (blocks_.empty()) {
      blocks_.emplace_back(1, added);
    } else {
      // Appending goes straight to the last block.
      std::size_t b = blocks_.size() - 1, i = blocks_.back().size();
      if (position < size_) Locate(position, &b, &i);
      if (blocks_[b].size() >= 2 * kBlockEntries) {
        // A full block splits in two halves first, each with room again.
        std::vector<Entry> upper(blocks_[b].begin() + kBlockEntries, blocks_[b].end());
        blocks_.insert(blocks_.begin() + static_cast<std::ptrdiff_t>(b) + 1, std::move(upper));
        blocks_[b].resize(kBlockEntries);
        if (i > kBlockEntries) {
          ++b;
          i -= kBlockEntries;
        }
      }
      std::vector<Entry>& target = blocks_[b];
      target.insert(target.begin() + static_cast<std::ptrdiff_t>(i), added);
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
  std::vector<Entry>& block = blocks_[b];
  removedKeyBytes_ += block[i].keyLength;
  block.erase(block.begin() + static_cast<std::ptrdiff_t>(i));
  if (block.empty()) blocks_.erase(blocks_.begin() + static_cast<std::ptrdiff_t>(b));
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
  for (std::vector<Entry>& block : blocks_) {
    for (Entry& entry : block) {
      const char* key = KeyOf(entry);
      entry.keyAt = static_cast<uint32_t>(kept.size());
      kept.insert(kept.end(), key, key + entry.keyLength);
    }
  }
  keys_ = std::move(kept);
  removedKeyBytes_ = 0;
}

std::size_t IndexEntries::Find(int32_t entry) const {
  std::size_t position = 0;
  for (const std::vector<Entry>& block : blocks_) {
    for (const Entry& e : block) {
      if (e.offset == entry) return position;
      ++position;
    }
  }
  return size_;
}

void IndexEntries::CopyTo(int32_t* out) const {
  for (const std::vector<Entry>& block : blocks_) {
    for (const Entry& e : block) *out++ = e.offset;
  }
}

}  // namespace kvs
