// expected_output.h: what the tests expect to read: the test child's output
// in its "mixed" mode (shared with the child itself) and echolog32's reports.
#ifndef KVS_ECHOLOG_TESTS_EXPECTED_OUTPUT_H
#define KVS_ECHOLOG_TESTS_EXPECTED_OUTPUT_H

#include <string>
#include <vector>

namespace echolog {

struct ChildPiece {
  int stream;  // 1 standard output, 2 standard error
  std::string bytes;
};

// Pieces written one after another, NUL bytes and line ends included, some
// longer than one 64-byte chunk.
inline std::vector<ChildPiece> MixedPieces() {
  std::string block;
  for (int i = 0; i < 150; ++i) block += static_cast<char>('a' + i % 26);
  return {{1, std::string("out\0one\n", 8)},
          {2, "err one\n"},
          {1, block},
          {2, std::string("\0\0err\r\n", 7)},
          {1, "last"}};
}

inline std::string MixedOutput() {
  std::string all;
  for (const ChildPiece& piece : MixedPieces()) all += piece.bytes;
  return all;
}

inline std::string ReportLine(int code, const char* label, int line) {
  return "echolog32: Error " + std::to_string(code) + " from " + label + "     on line " +
         std::to_string(line) + "\n";
}

}  // namespace echolog

#endif  // KVS_ECHOLOG_TESTS_EXPECTED_OUTPUT_H
