// template_loader.cc: reads a template group by group and puts each group
// into the store.
#include "kvsgen/template_loader.h"

#include <cstddef>
#include <cstring>
#include <vector>

#include "kvsgen/kvs_facade.h"
#include "kvsgen/template_load.h"
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

// True when ReadLine filled line up to its limit before the line's LF: the
// rest of the line is then skipped, so that it is not read as the next line.
bool LineCut(const char *line, std::size_t taken, std::size_t limit) {
  return taken == limit && line[taken - 1] != '\n';
}

// Reads the block of a group of length n into data as its value of length
// bytes (1 to kDataBufferSize): the block's first length - 1 bytes and a
// NUL, which takes the place of the byte that follows them. Of a block
// longer than the value the rest, and the byte after it, are skipped, so
// the next group is read where it begins. False when the file ends before
// the block's n bytes; the byte after them may be missing.
bool ReadValue(kvsgen::TemplateReader &reader, char *data, int32_t n, int32_t length) {
  const auto size = static_cast<std::size_t>(length);
  std::size_t delivered = reader.ReadBlock(data, size);
  data[size - 1] = '\0';
  const uint64_t whole = uint64_t{static_cast<uint32_t>(n)} + 1;  // n >= 0 when length > 0
  if (delivered == size && whole > size) {
    delivered += reader.SkipBlock(static_cast<std::size_t>(whole - size));
  }
  return delivered >= static_cast<uint32_t>(n);
}

// Puts every group of the template, reporting those that do not reach the
// store. A group whose length is -1 or less stores nothing and is skipped
// without reading further, so the next line is taken as a key line.
kvsgen::PutOutcome PutGroups(StoreHandle store, kvsgen::TemplateReader &reader,
                              std::vector<char> &key, std::vector<char> &data,
                              const kvsgen::GroupFailureReport &report) {
  kvsgen::PutOutcome outcome;
  auto fail = [&](std::size_t line, bool cutShort, int cause) {
    ++outcome.failed;
    report(kvsgen::GroupFailure{line, key.data(), cutShort, cause});
  };
  char lengthLine[kLengthBufferSize];
  for (;;) {
    const std::size_t line = reader.Line();
    const std::size_t keyTaken = reader.ReadLine(key.data(), kKeyBufferSize - 1);
    if (keyTaken == 0) break;
    if (LineCut(key.data(), keyTaken, kKeyBufferSize - 1)) reader.SkipLine();
    TrimLineEnd(key.data());
    const std::size_t lengthTaken = reader.ReadLine(lengthLine, kLengthBufferSize - 1);
    if (lengthTaken == 0) {
      fail(line, true, BDB_OK);
      break;
    }
    if (LineCut(lengthLine, lengthTaken, kLengthBufferSize - 1)) reader.SkipLine();
    TrimLineEnd(lengthLine);
    const int32_t n = ParseLength(lengthLine);
    const int32_t length = ValueLength(n);
    if (length <= 0) continue;
    if (!ReadValue(reader, data.data(), n, length)) {
      fail(line, true, BDB_OK);
    } else if (KvsPut(store, key.data(), length, data.data())) {
      ++outcome.stored;
    } else {
      fail(line, false, BdbLastError());
    }
  }
  return outcome;
}

}  // namespace

namespace kvsgen {

PutOutcome PutTemplate(StoreHandle store, TemplateReader &reader,
                       const GroupFailureReport &report) {
  // The puts are held in memory: the compaction that follows writes them
  // once, into the new file, and the store's file stays as it was until the
  // new one takes its name. Without a compaction the close writes them.
  // Measured pair by pair against a commit for every put (5 pairs): a fresh
  // store of 100,000 records takes 48 times as long without holding (CPU
  // time 96 times, from 59 to 108), its peak memory 115 MiB instead of 47.
  BdbHoldWrites(store);
  PutOutcome outcome;
  {
    std::vector<char> key(kKeyBufferSize);
    std::vector<char> data(static_cast<std::size_t>(kDataBufferSize));
    outcome = PutGroups(store, reader, key, data, report);
  }
  // The template and the buffers are released first, so that the
  // compaction runs with the template closed.
  reader.Close();
  return outcome;
}

}  // namespace kvsgen

int32_t KvsLoadTemplate(StoreHandle store, const char *templatePath) {
  kvsgen::TemplateReader reader;
  if (templatePath == nullptr || !reader.Open(templatePath)) return 0;
  try {
    const kvsgen::PutOutcome outcome =
        PutTemplate(store, reader, [](const kvsgen::GroupFailure &) {});
    if (outcome.stored == 0) return 0;
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
