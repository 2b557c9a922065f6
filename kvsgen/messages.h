// messages.h: what kvsgen writes to standard error.
#ifndef KVS_KVSGEN_MESSAGES_H
#define KVS_KVSGEN_MESSAGES_H

#include <string>

#include "tool_support/message_texts.h"

namespace kvsgen {

// "kvsgen: TEXT" and a line end on standard error.
void Complain(const std::string &text);
// "kvsgen: STORE: WHAT: CAUSE", the cause being the operating system's text
// for BdbLastSystemError() when the store's last failure had one, else the
// text of BdbLastError().
void ComplainAboutStore(const std::string &storeName, const std::string &what);
// Keys in messages read as tool_support::Quoted shows them.
using tool_support::Quoted;

}  // namespace kvsgen

#endif  // KVS_KVSGEN_MESSAGES_H
