// template_writer.cc: records as template groups, and the records that no
// group can carry.
//
// Text mode changes only a CR that is followed by LF, so a group is written
// with its bytes as they are, except that an LF following a CR is written
// as CR LF: the first CR then arrives unchanged (a CR follows it) and the
// pair arrives as the LF. That carries CR LF inside a value, a value whose
// data ends in CR, and the key "\r".
#include "kvs/template_writer.h"

namespace kvs_tool {
namespace {

constexpr char kEndOfFileMark = '\x1A';

bool IsTrimmedAtEnd(char byte) { return byte == ' ' || byte == '\t' || byte == '\r'; }

const char* KeyProblem(std::string_view key) {
  // A blank key line gives the key "\n"; any other LF ends the line.
  if (key != "\n" && key.find('\n') != std::string_view::npos) return "key holds a line end";
  if (key.find(kEndOfFileMark) != std::string_view::npos) return "key holds byte 0x1A";
  if (key.size() > kMaxTemplateKey) return "key longer than a key line holds";
  // The first byte of a key line is never trimmed, any later one may be.
  if (key.size() > 1 && IsTrimmedAtEnd(key.back())) return "key ends in a blank, TAB or CR";
  return nullptr;
}

const char* ValueProblem(std::string_view value) {
  if (value.empty() || value.back() != '\0') return "value does not end in a NUL";
  if (value.size() > kMaxTemplateValue) return "value longer than a group holds";
  if (value.find(kEndOfFileMark) != std::string_view::npos) return "value holds byte 0x1A";
  return nullptr;
}

// Appends bytes, an LF that follows a CR (after in, the byte before them)
// as CR LF.
void AppendText(std::string_view bytes, std::string* out) {
  for (const char byte : bytes) {
    if (byte == '\n' && !out->empty() && out->back() == '\r') out->push_back('\r');
    out->push_back(byte);
  }
}

}  // namespace

const char* UnexpressibleReason(std::string_view key, std::string_view value) {
  const char* problem = KeyProblem(key);
  return problem != nullptr ? problem : ValueProblem(value);
}

void AppendGroup(std::string_view key, std::string_view value, std::string* out) {
  std::string group;
  if (key.empty()) {
    group.push_back('\0');  // a key line that begins with NUL gives the empty key
  } else {
    group.append(key);
  }
  if (key != "\n") group.push_back('\n');
  const std::string_view data = value.substr(0, value.size() - 1);
  group += std::to_string(data.size());
  group.push_back('\n');
  group.append(data);
  group.push_back('\n');  // the byte kvsgen replaces with the NUL
  std::string text;
  AppendText(group, &text);
  out->append(text);
}

}  // namespace kvs_tool
