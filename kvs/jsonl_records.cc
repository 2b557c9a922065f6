// jsonl_records.cc: records as lines of JSON objects {"key": ..., "value": ...}.
#include <cstdint>
#include <string>

#include "kvs/record_formats.h"

namespace kvs_tool {
namespace {

class LineReader {
 public:
  explicit LineReader(std::string_view line) : line_(line) {}

  void SkipBlanks() {
    while (at_ < line_.size() && (line_[at_] == ' ' || line_[at_] == '\t' || line_[at_] == '\r')) {
      ++at_;
    }
  }
  bool Take(char c) {
    SkipBlanks();
    if (at_ >= line_.size() || line_[at_] != c) return false;
    ++at_;
    return true;
  }
  bool AtEnd() {
    SkipBlanks();
    return at_ == line_.size();
  }

  // A JSON string; raw bytes inside it are taken as they are.
  bool String(std::string* out) {
    out->clear();
    if (!Take('"')) return false;
    while (at_ < line_.size()) {
      const char c = line_[at_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        *out += c;
        continue;
      }
      if (at_ >= line_.size()) return false;
      switch (line_[at_++]) {
        case '"': *out += '"'; break;
        case '\\': *out += '\\'; break;
        case '/': *out += '/'; break;
        case 'b': *out += '\b'; break;
        case 'f': *out += '\f'; break;
        case 'n': *out += '\n'; break;
        case 'r': *out += '\r'; break;
        case 't': *out += '\t'; break;
        case 'u':
          if (!CodePoint(out)) return false;
          break;
        default: return false;
      }
    }
    return false;
  }

 private:
  bool Hex4(uint32_t* unit) {
    if (line_.size() - at_ < 4) return false;
    *unit = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = line_[at_++];
      uint32_t digit = 0;
      if (c >= '0' && c <= '9') {
        digit = static_cast<uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        digit = static_cast<uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        digit = static_cast<uint32_t>(c - 'A' + 10);
      } else {
        return false;
      }
      *unit = *unit * 16 + digit;
    }
    return true;
  }

  // After "\u": one code point, two escapes for a surrogate pair, as UTF-8.
  bool CodePoint(std::string* out) {
    uint32_t point = 0;
    if (!Hex4(&point)) return false;
    if (point >= 0xDC00 && point <= 0xDFFF) return false;
    if (point >= 0xD800 && point <= 0xDBFF) {
      uint32_t low = 0;
      if (line_.substr(at_, 2) != "\\u") return false;
      at_ += 2;
      if (!Hex4(&low) || low < 0xDC00 || low > 0xDFFF) return false;
      point = 0x10000 + ((point - 0xD800) << 10) + (low - 0xDC00);
    }
    auto byte = [out](uint32_t b) { *out += static_cast<char>(b); };
    if (point < 0x80) {
      byte(point);
    } else if (point < 0x800) {
      byte(0xC0 | (point >> 6));
      byte(0x80 | (point & 0x3F));
    } else if (point < 0x10000) {
      byte(0xE0 | (point >> 12));
      byte(0x80 | ((point >> 6) & 0x3F));
      byte(0x80 | (point & 0x3F));
    } else {
      byte(0xF0 | (point >> 18));
      byte(0x80 | ((point >> 12) & 0x3F));
      byte(0x80 | ((point >> 6) & 0x3F));
      byte(0x80 | (point & 0x3F));
    }
    return true;
  }

  std::string_view line_;
  std::size_t at_ = 0;
};

// One object of exactly the members "key" and "value"; else what is wrong.
const char* ParseObject(std::string_view line, InputRecord* record) {
  LineReader reader(line);
  if (!reader.Take('{')) return "not a JSON object";
  bool haveKey = false, haveValue = false;
  std::string name, text;
  do {
    if (!reader.String(&name)) return "a member name that is not a JSON string";
    if (!reader.Take(':')) return "no ':' after a member name";
    if (!reader.String(&text)) return "a member value that is not a JSON string";
    if (name == "key" && !haveKey) {
      record->key = text;
      haveKey = true;
    } else if (name == "value" && !haveValue) {
      record->value = text;
      haveValue = true;
    } else {
      return "a member other than one \"key\" and one \"value\"";
    }
  } while (reader.Take(','));
  if (!reader.Take('}') || !reader.AtEnd()) return "not one JSON object on the line";
  if (!haveKey || !haveValue) return "no \"key\" or no \"value\"";
  return nullptr;
}

}  // namespace

std::string ParseJsonlRecords(std::string_view input, ParsedInput* out) {
  const auto parseLine = [](std::string_view line, std::size_t number,
                            ParsedInput& parsed) -> std::string {
    if (LineReader(line).AtEnd()) return "";  // blanks alone
    InputRecord record{"", "", number};
    if (const char* problem = ParseObject(line, &record)) return problem;
    parsed.records.push_back(std::move(record));
    return "";
  };
  return ParseLines(input, out, parseLine);
}

}  // namespace kvs_tool
