// messages.cc: messages on standard error, one line each.
#include "kvsgen/messages.h"

#include <cstdio>

#include "store/store.h"

namespace kvsgen {

void Complain(const std::string &text) { std::fprintf(stderr, "kvsgen: %s\n", text.c_str()); }

void ComplainAboutStore(const std::string &storeName, const std::string &what) {
  Complain(storeName + ": " + what + ": " + BdbErrorText(BdbLastError()));
}

std::string Quoted(const std::string &key) {
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

}  // namespace kvsgen
