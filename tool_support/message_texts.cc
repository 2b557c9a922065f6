// message_texts.cc: keys as the tools' messages show them.
#include "tool_support/message_texts.h"

namespace tool_support {

std::string Quoted(const std::string& key) {
  static const char kHex[] = "0123456789abcdef";
  std::string quoted = "\"";
  for (const char c : key) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte > 0x7E || byte == '"' || byte == '\\') {
      quoted += "\\x";
      quoted += kHex[byte >> 4];
      quoted += kHex[byte & 15];
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

}  // namespace tool_support
