// messages.h: what kvs writes to standard error, and binary standard
// streams.
#ifndef KVS_KVS_MESSAGES_H
#define KVS_KVS_MESSAGES_H

#include <string>

#include "tool_support/message_texts.h"

namespace kvs_tool {

// "kvs: TEXT" and a line end on standard error.
void Complain(const std::string& text);
// "kvs: STORE: WHAT: CAUSE", the cause being the operating system's text
// for BdbLastSystemError() when the store's last failure had one, else the
// text of BdbLastError(); without WHAT when it is empty.
void ComplainAboutStore(const std::string& storeName, const std::string& what);
// "kvs: NAME: WHAT: CAUSE" for a failure of the tool's own file access, the
// cause being the C library's text for the error number.
void ComplainAboutFile(const std::string& name, const std::string& what, int error);
// The status a command ends with: its own, or, when any write to standard
// output failed (also one the store's dumps and check made), kExitFailure
// after a message saying so.
int WithOutputChecked(int status);
// Keys in messages read as tool_support::Quoted shows them.
using tool_support::Quoted;
// Makes standard input or output binary (Windows would translate line ends).
void UseBinaryStdout();
void UseBinaryStdin();

}  // namespace kvs_tool

#endif  // KVS_KVS_MESSAGES_H
