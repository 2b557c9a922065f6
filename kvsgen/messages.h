// messages.h: what kvsgen writes to standard error.
#ifndef KVS_KVSGEN_MESSAGES_H
#define KVS_KVSGEN_MESSAGES_H

#include <string>

namespace kvsgen {

// "kvsgen: TEXT" and a line end on standard error.
void Complain(const std::string &text);
// "kvsgen: STORE: WHAT: CAUSE", the cause being the text of BdbLastError().
void ComplainAboutStore(const std::string &storeName, const std::string &what);
// A key as a message shows it: in quotes, bytes outside printable ASCII (and
// the quote and backslash) written as \xNN.
std::string Quoted(const std::string &key);

}  // namespace kvsgen

#endif  // KVS_KVSGEN_MESSAGES_H
