// template_writer.h: writing store records as the groups of a kvsgen
// template, so that kvsgen puts back exactly the same key and value.
//
// A group is the key line (the key and LF), the length line (N and LF) and
// a data block of N bytes followed by one more byte, which kvsgen replaces
// with the NUL that ends every value it stores. Templates are read in text
// mode: CR LF arrives as LF, 0x1A ends the file, and trailing blanks, TABs
// and CRs of a key line are dropped. A record is written only when that
// reading gives back its key and value exactly; no record is ever altered
// to fit. Cannot be carried: a value that does not end in NUL, is longer
// than a group holds or holds 0x1A; a key longer than a key line holds,
// holding 0x1A or an LF (except the key "\n" of a blank line), or ending in
// a blank, TAB or CR after its first byte.
#ifndef KVS_KVS_TEMPLATE_WRITER_H
#define KVS_KVS_TEMPLATE_WRITER_H

#include <cstddef>
#include <string>
#include <string_view>

namespace kvs_tool {

// The longest key a key line carries (1279 bytes with its LF) and the
// longest value a group gives (N = 31743 data bytes and the NUL).
constexpr std::size_t kMaxTemplateKey = 1278;
constexpr std::size_t kMaxTemplateValue = 31744;

// Why the record cannot be written as a group; null when it can.
const char* UnexpressibleReason(std::string_view key, std::string_view value);

// Appends the group for an expressible record to out.
void AppendGroup(std::string_view key, std::string_view value, std::string* out);

}  // namespace kvs_tool

#endif  // KVS_KVS_TEMPLATE_WRITER_H
