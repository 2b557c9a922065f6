// tsv_records.cc: records as lines of key TAB value, with backslash escapes.
#include <string>

#include "kvs/record_formats.h"

namespace kvs_tool {
namespace {

// Undoes the escapes of one field; false for a backslash that starts none.
bool Unescape(std::string_view field, std::string* out) {
  out->clear();
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '\\') {
      *out += field[i];
      continue;
    }
    if (++i == field.size()) return false;
    switch (field[i]) {
      case 't': *out += '\t'; break;
      case 'n': *out += '\n'; break;
      case 'r': *out += '\r'; break;
      case '0': *out += '\0'; break;
      case '\\': *out += '\\'; break;
      default: return false;
    }
  }
  return true;
}

}  // namespace

std::string ParseTsvRecords(std::string_view input, ParsedInput* out) {
  const auto parseLine = [](std::string_view line, std::size_t number,
                            ParsedInput& parsed) -> std::string {
    const std::size_t tab = line.find('\t');
    if (tab == std::string_view::npos) return "no TAB between key and value";
    InputRecord record{"", "", number};
    if (!Unescape(line.substr(0, tab), &record.key) ||
        !Unescape(line.substr(tab + 1), &record.value)) {
      return "a backslash that is not one of \\t \\n \\r \\0 \\\\";
    }
    parsed.records.push_back(std::move(record));
    return "";
  };
  return ParseLines(input, out, parseLine);
}

}  // namespace kvs_tool
