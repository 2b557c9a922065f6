// standard_streams.h: what the console tools do first: make sure that their
// standard input, output and error are open.
//
// A program started with one of them closed would give that number to the
// next file it opens, and the C library would then read its input from that
// file or write its messages into it. The store never lets its own files
// take those numbers; this keeps every other file a tool opens from taking
// them too, and keeps its messages out of whatever file would.
#ifndef KVS_TOOL_SUPPORT_STANDARD_STREAMS_H
#define KVS_TOOL_SUPPORT_STANDARD_STREAMS_H

namespace tool_support {

// Opens the null device on each of descriptors 0, 1 and 2 that is closed
// (POSIX; on Windows it does nothing). False when one of them stays closed.
bool OpenStandardStreams();

// True when OpenStandardStreams found standard input closed: it then reads
// as empty, which a program may refuse to take as input.
bool StandardInputWasClosed();

}  // namespace tool_support

#endif  // KVS_TOOL_SUPPORT_STANDARD_STREAMS_H
