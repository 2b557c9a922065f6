// cdb_records.cc: records in cdb's "+klen,dlen:key->value" form, written and
// read, with the flags record that opens a dump.
#include <limits>
#include <string>

#include "kvs/record_formats.h"

namespace kvs_tool {
namespace {

// Takes decimal digits up to the byte stop; false when there are none, the
// number is larger than a store value can be, or stop does not follow.
bool TakeLength(std::string_view input, std::size_t* at, char stop, std::size_t* length) {
  const std::size_t start = *at;
  std::size_t number = 0;
  while (*at < input.size() && input[*at] >= '0' && input[*at] <= '9') {
    number = number * 10 + static_cast<std::size_t>(input[*at] - '0');
    if (number > static_cast<std::size_t>(std::numeric_limits<int32_t>::max())) return false;
    ++*at;
  }
  if (*at == start || *at >= input.size() || input[*at] != stop) return false;
  ++*at;
  *length = number;
  return true;
}

bool TakeText(std::string_view input, std::size_t* at, std::string_view text) {
  if (input.substr(*at, text.size()) != text) return false;
  *at += text.size();
  return true;
}

// The flags word of a flags record's value: decimal digits alone.
std::optional<int32_t> FlagsOf(std::string_view value) {
  if (value.empty() || value.size() > 9) return std::nullopt;
  int32_t flags = 0;
  for (const char c : value) {
    if (c < '0' || c > '9') return std::nullopt;
    flags = flags * 10 + (c - '0');
  }
  return flags;
}

}  // namespace

void AppendCdbRecord(std::string_view key, std::string_view value, std::string* out) {
  *out += '+';
  *out += std::to_string(key.size());
  *out += ',';
  *out += std::to_string(value.size());
  *out += ':';
  out->append(key);
  *out += "->";
  out->append(value);
  *out += '\n';
}

void AppendFlagsRecord(int32_t flags, std::string* out) {
  AppendCdbRecord(std::string_view("\0", 1), std::to_string(flags), out);
}

std::string ParseCdbRecords(std::string_view input, ParsedInput* out) {
  ParsedInput parsed;
  std::size_t at = 0;
  for (std::size_t number = 1;; ++number) {
    const std::string where = "record " + std::to_string(number) + ": ";
    if (at >= input.size()) return where + "the input ends before the empty line that ends it";
    if (input[at] == '\n') {
      if (at + 1 != input.size()) return where + "bytes follow the empty line that ends the input";
      break;
    }
    std::size_t keyLength = 0, valueLength = 0;
    if (!TakeText(input, &at, "+") || !TakeLength(input, &at, ',', &keyLength) ||
        !TakeLength(input, &at, ':', &valueLength)) {
      return where + "not of the form +klen,dlen:key->value";
    }
    if (input.size() - at < keyLength) return where + "the input ends inside the key";
    std::string key(input.substr(at, keyLength));
    at += keyLength;
    if (!TakeText(input, &at, "->")) return where + "no \"->\" after the key";
    if (input.size() - at < valueLength) return where + "the input ends inside the value";
    std::string value(input.substr(at, valueLength));
    at += valueLength;
    if (!TakeText(input, &at, "\n")) return where + "no line end after the value";
    if (number == 1 && key == std::string_view("\0", 1)) {
      parsed.flags = FlagsOf(value);
      if (!parsed.flags) return where + "the flags record holds no flags word";
      continue;
    }
    parsed.records.push_back(InputRecord{std::move(key), std::move(value), number});
  }
  *out = std::move(parsed);
  return "";
}

}  // namespace kvs_tool
