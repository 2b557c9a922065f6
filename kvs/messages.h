// messages.h: what kvs writes to standard error, and binary standard
// streams.
#ifndef KVS_KVS_MESSAGES_H
#define KVS_KVS_MESSAGES_H

#include <string>

namespace kvs_tool {

// "kvs: TEXT" and a line end on standard error.
void Complain(const std::string& text);
// "kvs: STORE: WHAT: CAUSE", the cause being the text of BdbLastError();
// without WHAT when it is empty.
void ComplainAboutStore(const std::string& storeName, const std::string& what);
// A key as a message shows it: in quotes, bytes outside printable ASCII (and
// the quote and backslash) written as \xNN.
std::string Quoted(const std::string& key);
// Makes standard input or output binary (Windows would translate line ends).
void UseBinaryStdout();
void UseBinaryStdin();

}  // namespace kvs_tool

#endif  // KVS_KVS_MESSAGES_H
