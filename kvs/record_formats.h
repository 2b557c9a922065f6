// record_formats.h: the record streams that kvs dump-records writes and
// kvs load and kvs import read: cdb's "+klen,dlen:key->value" records, lines
// of key TAB value, and lines of JSON objects.
//
// A dump begins with a flags record whose key is the single byte NUL, which
// no key of a store can be (keys end at their first NUL), and whose value is
// the store's flags word in decimal. Parsing only splits the input into
// records; which of them a store can take is for the loader to say.
#ifndef KVS_KVS_RECORD_FORMATS_H
#define KVS_KVS_RECORD_FORMATS_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kvs_tool {

struct InputRecord {
  std::string key, value;
  std::size_t where;  // its number in the input (record or line), from 1
};

struct ParsedInput {
  std::vector<InputRecord> records;
  std::optional<int32_t> flags;  // from a leading flags record
  const char* unit = "record";   // what InputRecord::where counts
};

// Appends one record in cdb's form, and the flags record that opens a dump.
void AppendCdbRecord(std::string_view key, std::string_view value, std::string* out);
void AppendFlagsRecord(int32_t flags, std::string* out);

// Splits input into lines, each ended by an LF (the last may lack it), and
// hands each with its number to parseLine(line, number, parsed), which adds
// the line's record to parsed, or passes over the line, and returns what is
// wrong with it ("" when nothing is). The first problem comes back as
// "line N: ...", with nothing kept.
template <typename ParseLine>
std::string ParseLines(std::string_view input, ParsedInput* out, ParseLine parseLine) {
  ParsedInput parsed;
  parsed.unit = "line";
  std::size_t at = 0;
  for (std::size_t number = 1; at < input.size(); ++number) {
    std::size_t end = input.find('\n', at);
    if (end == std::string_view::npos) end = input.size();
    const std::string problem = parseLine(input.substr(at, end - at), number, parsed);
    if (!problem.empty()) return "line " + std::to_string(number) + ": " + problem;
    at = end + 1;
  }
  *out = std::move(parsed);
  return "";
}

// Each parses a whole input; an empty string on success, else what is wrong
// and where ("record 3: ...", "line 7: ..."), with nothing kept.
//
// cdb: records "+klen,dlen:key->value\n", then one empty line, which must
// end the input (a dump cut short lacks it). A first record with the key
// NUL is the flags record.
std::string ParseCdbRecords(std::string_view input, ParsedInput* out);
// tsv: one record a line, "key TAB value", in both of which \t, \n, \r, \0
// and \\ stand for TAB, LF, CR, NUL and the backslash; no other byte is
// changed. An LF ends every line; the last line may lack it.
std::string ParseTsvRecords(std::string_view input, ParsedInput* out);
// jsonl: one object a line with the string members "key" and "value" and no
// others; JSON's escapes, \u ones (surrogate pairs too) giving UTF-8. Lines
// of blanks alone are passed over.
std::string ParseJsonlRecords(std::string_view input, ParsedInput* out);

}  // namespace kvs_tool

#endif  // KVS_KVS_RECORD_FORMATS_H
