// kvs_program_fixture.h: the kvs program run as a process, for the tests
// of its commands: a scratch directory per test, runs of kvs, kvsgen and the
// shell in it, and stores made through the library.
#ifndef KVS_KVS_TESTS_KVS_PROGRAM_FIXTURE_H
#define KVS_KVS_TESTS_KVS_PROGRAM_FIXTURE_H

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <random>
#include <string>
#include <utility>

#include "store/store.h"

namespace kvs_test {
inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

struct Result {
  int status;
  std::string out, err;
};

class KvsProgram : public ::testing::Test {
 protected:
  KvsProgram() {
    std::random_device random;
    do {
      dir_ = std::filesystem::temp_directory_path() / ("kvs_test_" + std::to_string(random()));
    } while (!std::filesystem::create_directory(dir_));
  }
  ~KvsProgram() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  std::string File(const std::string& name) const { return (dir_ / name).string(); }

  // Runs a program in the directory with arguments (shell words), input on
  // its standard input and its standard output going to output.
  Result RunIn(const std::string& program, const std::string& arguments,
               const std::string& input = "", const std::string& output = "out") {
    WriteFile(File("in"), input);
    const std::string command = "cd '" + dir_.string() + "' && '" + program + "' " + arguments +
                                " < in > " + output + " 2> err";
    const int status = std::system(command.c_str());
    Result result{WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(File("out")),
                  ReadFile(File("err"))};
    for (const char* name : {"in", "out", "err"}) std::filesystem::remove(File(name));
    return result;
  }
  // Runs a shell command in the directory, with $K for kvs and $G for
  // kvsgen; its exit status.
  int Shell(const std::string& command) {
    const std::string line = "cd '" + dir_.string() + "' && K='" KVS_PATH "' && G='" KVSGEN_PATH
                             "' && " + command;
    const int status = std::system(line.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  Result Kvs(const std::string& arguments, const std::string& input = "",
             const std::string& output = "out") {
    return RunIn(KVS_PATH, arguments, input, output);
  }
  int Kvsgen(const std::string& templ, const std::string& store) {
    return RunIn(KVSGEN_PATH, templ + " " + store).status;
  }

  // A store of the given flags holding the entries, made through the library.
  void MakeStore(const std::string& name, int32_t flags,
                 std::initializer_list<std::pair<std::string, std::string>> entries) {
    StoreHandle store = BdbCreate(File(name).c_str(), flags);
    ASSERT_NE(nullptr, store);
    for (const auto& [key, value] : entries) {
      EXPECT_EQ(1, BdbPut(store, key.c_str(), value.data(), static_cast<int32_t>(value.size())));
    }
    EXPECT_EQ(1, BdbClose(store));
  }

  std::filesystem::path dir_;
};

inline void ExpectResult(const Result& result, int status, const std::string& out,
                         const std::string& errPart) {
  EXPECT_EQ(status, result.status);
  EXPECT_EQ(out, result.out);
  if (errPart.empty()) {
    EXPECT_EQ("", result.err);
  } else {
    EXPECT_NE(std::string::npos, result.err.find(errPart)) << result.err;
  }
}

}  // namespace kvs_test

#endif  // KVS_KVS_TESTS_KVS_PROGRAM_FIXTURE_H
