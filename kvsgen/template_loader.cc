// template_loader.cc: reads a template group by group and puts each group
// into the store.
#include "kvsgen/template_loader.h"

#include <cstddef>
#include <cstring>
#include <vector>

#include "kvsgen/kvs_facade.h"
#include "kvsgen/template_reader.h"

namespace {

// The data buffer bounds a stored value, its closing NUL included; larger
// blocks are cut to it. Each line buffer takes a line of one byte less than
// its size, so that the NUL always fits.
constexpr int32_t kDataBufferSize = 31744;  // 0x7C00
constexpr std::size_t kKeyBufferSize = 1280;
constexpr std::size_t kLengthBufferSize = 32;

bool IsTrimmedByte(char byte) {
  return byte == '\0' || byte == '\r' || byte == '\t' || byte == '\n' || byte == ' ';
}

bool IsLeadingSpace(unsigned char byte) {
  return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\v' || byte == '\f' ||
         byte == '\r';
}

// N of a length line: leading white space, an optional sign, then digits up
// to the first other byte. No digits give 0; the value wraps modulo 2^32.
int32_t ParseLength(const char *line) {
  const auto *byte = reinterpret_cast<const unsigned char *>(line);
  while (IsLeadingSpace(*byte)) ++byte;
  const bool negative = *byte == '-';
  if (*byte == '+' || *byte == '-') ++byte;
  uint32_t value = 0;
  for (; *byte >= '0' && *byte <= '9'; ++byte) {
    value = value * 10u + static_cast<uint32_t>(*byte - '0');
  }
  if (negative) value = 0u - value;
  return static_cast<int32_t>(value);
}

// The value length of a group: N + 1 in wrapping 32-bit arithmetic (so N of
// -1 gives 0 and N of 2147483647 a negative length), cut to the data buffer.
int32_t ValueLength(int32_t n) {
  const auto length = static_cast<int32_t>(static_cast<uint32_t>(n) + 1u);
  return length >= kDataBufferSize ? kDataBufferSize : length;
}

// Reads a group's value of length bytes (1 to kDataBufferSize) into data:
// the block's bytes, zeros where the file ended early, and a NUL last, which
// takes the place of the byte that follows the block.
void ReadValue(kvsgen::TemplateReader &reader, char *data, int32_t length) {
  const auto size = static_cast<std::size_t>(length);
  const std::size_t delivered = reader.ReadBlock(data, size);
  std::memset(data + delivered, 0, size - delivered);
  data[size - 1] = '\0';
}

// Puts every group of the template; true when at least one put succeeded.
// A group whose length is 0 or less is skipped without reading further, so
// the next line is taken as a key line.
bool PutGroups(StoreHandle store, kvsgen::TemplateReader &reader, std::vector<char> &key,
               std::vector<char> &data) {
  bool anyPut = false;
  char lengthLine[kLengthBufferSize];
  while (reader.ReadLine(key.data(), kKeyBufferSize - 1) > 0) {
    TrimLineEnd(key.data());
    if (reader.ReadLine(lengthLine, kLengthBufferSize - 1) == 0) break;
    TrimLineEnd(lengthLine);
    const int32_t length = ValueLength(ParseLength(lengthLine));
    if (length <= 0) continue;
    ReadValue(reader, data.data(), length);
    if (KvsPut(store, key.data(), length, data.data())) anyPut = true;
  }
  return anyPut;
}

// Loads the template; the file and buffers are released before returning,
// so that the compaction that follows runs with the template closed.
bool LoadGroups(StoreHandle store, const char *templatePath) {
  kvsgen::TemplateReader reader;
  if (templatePath == nullptr || !reader.Open(templatePath)) return false;
  std::vector<char> key(kKeyBufferSize);
  std::vector<char> data(static_cast<std::size_t>(kDataBufferSize));
  return PutGroups(store, reader, key, data);
}

}  // namespace

int32_t KvsLoadTemplate(StoreHandle store, const char *templatePath) {
  // The puts are held in memory: the compaction that follows writes them
  // once, into the new file, and the store's file stays as it was until the
  // new one takes its name. Without a compaction the close writes them.
  BdbHoldWrites(store);
  try {
    if (!LoadGroups(store, templatePath)) return 0;
  } catch (...) {  // only the buffers' allocation can throw, before any put
    return 0;
  }
  return BdbCompact(store);
}

void TrimLineEnd(char *line) {
  if (line == nullptr) return;
  char *position = line + std::strlen(line);
  while (position > line && IsTrimmedByte(*position)) {
    *position = '\0';
    --position;
  }
}
