// template_writer.cc: records as template groups, and the records that no
// group can carry.
#include "kvs/template_writer.h"

namespace kvs_tool {
namespace {

constexpr char kEndOfFileMark = '\x1A';

bool HoldsCrLf(std::string_view bytes) { return bytes.find("\r\n") != std::string_view::npos; }

bool IsTrimmedAtEnd(char byte) { return byte == ' ' || byte == '\t' || byte == '\r'; }

const char* KeyProblem(std::string_view key) {
  if (key.empty()) return "empty key";
  // A lone LF is what a blank key line gives; any other LF ends the line.
  if (key == "\n") return nullptr;
  if (key.find('\n') != std::string_view::npos) return "key holds a line end";
  if (key.find(kEndOfFileMark) != std::string_view::npos) return "key holds byte 0x1A";
  if (key.size() > kMaxTemplateKey) return "key longer than a key line holds";
  // The first byte of a key line is never trimmed, but a lone CR before the
  // line's LF would make a CR LF pair.
  if (IsTrimmedAtEnd(key.back()) && (key.size() > 1 || key[0] == '\r')) {
    return "key ends in a blank, TAB or CR";
  }
  return nullptr;
}

const char* ValueProblem(std::string_view value) {
  if (value.empty() || value.back() != '\0') return "value does not end in a NUL";
  if (value.size() > kMaxTemplateValue) return "value longer than a group holds";
  const std::string_view data = value.substr(0, value.size() - 1);
  if (HoldsCrLf(data)) return "value holds CR LF";
  if (data.find(kEndOfFileMark) != std::string_view::npos) return "value holds byte 0x1A";
  return nullptr;
}

}  // namespace

const char* UnexpressibleReason(std::string_view key, std::string_view value) {
  const char* problem = KeyProblem(key);
  return problem != nullptr ? problem : ValueProblem(value);
}

void AppendGroup(std::string_view key, std::string_view value, std::string* out) {
  out->append(key);
  if (key != "\n") out->push_back('\n');
  const std::string_view data = value.substr(0, value.size() - 1);
  *out += std::to_string(data.size());
  out->push_back('\n');
  out->append(data);
  // The byte after the block becomes the NUL. After a CR it must not be a
  // lone LF, which would pair with the CR; a CR LF pair arrives as one LF.
  if (!data.empty() && data.back() == '\r') out->push_back('\r');
  out->push_back('\n');
}

}  // namespace kvs_tool
