// index_entries.cc: the blocks of the in-memory KeyIndex.
#include "store/index_entries.h"

#include <algorithm>
#include <new>

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
  return blocks_.at(b).at(i);
}

void IndexEntries::clear() {
  blocks_.clear();
  size_ = 0;
}

bool IndexEntries::Assign(const std::vector<int32_t>& entries) {
  try {
    std::vector<std::vector<int32_t>> blocks;
    for (std::size_t at = 0; at < entries.size(); at += kBlockEntries) {
      const std::size_t end = std::min(entries.size(), at + kBlockEntries);
      blocks.emplace_back(entries.begin() + static_cast<std::ptrdiff_t>(at),
                          entries.begin() + static_cast<std::ptrdiff_t>(end));
    }
    blocks_ = std::move(blocks);
  } catch (const std::bad_alloc&) {
    return false;
  }
  size_ = entries.size();
  return true;
}

bool IndexEntries::Insert(std::size_t position, int32_t entry) {
  try {
    if (blocks_.empty()) {
      blocks_.emplace_back(1, entry);
      size_ = 1;
      return true;
    }
    std::size_t b = 0, i = 0;
    Locate(position, &b, &i);
    std::vector<int32_t>& block = blocks_[b];
    if (block.size() >= 2 * kBlockEntries) {
      // A full block splits in two halves first, each with room again.
      std::vector<int32_t> upper(block.begin() + kBlockEntries, block.end());
      blocks_.insert(blocks_.begin() + static_cast<std::ptrdiff_t>(b) + 1, std::move(upper));
      blocks_[b].resize(kBlockEntries);
      if (i > kBlockEntries) {
        ++b;
        i -= kBlockEntries;
      }
    }
    std::vector<int32_t>& target = blocks_[b];
    target.insert(target.begin() + static_cast<std::ptrdiff_t>(i), entry);
  } catch (const std::bad_alloc&) {
    return false;
  }
  ++size_;
  return true;
}

void IndexEntries::Erase(std::size_t position) {
  if (position >= size_) return;
  std::size_t b = 0, i = 0;
  Locate(position, &b, &i);
  std::vector<int32_t>& block = blocks_[b];
  block.erase(block.begin() + static_cast<std::ptrdiff_t>(i));
  if (block.empty()) blocks_.erase(blocks_.begin() + static_cast<std::ptrdiff_t>(b));
  --size_;
}

std::size_t IndexEntries::Find(int32_t entry) const {
  std::size_t position = 0;
  for (const std::vector<int32_t>& block : blocks_) {
    const auto found = std::find(block.begin(), block.end(), entry);
    if (found != block.end()) return position + static_cast<std::size_t>(found - block.begin());
    position += block.size();
  }
  return size_;
}

void IndexEntries::CopyTo(int32_t* out) const {
  for (const std::vector<int32_t>& block : blocks_) out = std::copy(block.begin(), block.end(), out);
}

}  // namespace kvs
