// message_texts.h: the pieces of text that the console tools' messages share,
// so that a key reads the same from kvs and kvsgen.
#ifndef KVS_TOOL_SUPPORT_MESSAGE_TEXTS_H
#define KVS_TOOL_SUPPORT_MESSAGE_TEXTS_H

#include <string>

namespace tool_support {

// A key as a message shows it: in quotes, bytes outside printable ASCII (and
// the quote and backslash) written as \xNN.
std::string Quoted(const std::string& key);

}  // namespace tool_support

#endif  // KVS_TOOL_SUPPORT_MESSAGE_TEXTS_H
