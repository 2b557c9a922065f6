// input_files.h: the files kvs reads its input from, "-" meaning standard
// input.
#ifndef KVS_KVS_INPUT_FILES_H
#define KVS_KVS_INPUT_FILES_H

#include <string>

namespace kvs_tool {

// The name messages give the input: "standard input" for "-".
std::string InputName(const std::string& name);

// Every byte of the file, or of standard input for "-" (binary either way).
// False, having said why on standard error, when it cannot be read; a
// closed standard input is refused, since it reads as empty.
bool ReadInput(const std::string& name, std::string* bytes);
// Every byte of the file of that name, "-" too; false, having said why,
// when it cannot be read.
bool ReadWholeFile(const std::string& name, std::string* bytes);

}  // namespace kvs_tool

#endif  // KVS_KVS_INPUT_FILES_H
