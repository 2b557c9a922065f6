// template_fuzzer.cc: the input is a template. It is compiled into a fresh
// sorted, case-insensitive store the way kvsgen does it; every value stored
// must then read back ending in the NUL the loader puts after each block,
// and the store must open again holding the same keys.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/memory_file_system.h"
#include "kvsgen/template_loader.h"
#include "store/store.h"

namespace {

using kvs::fuzz::MemoryFileSystem;

constexpr char kName[] = "template.kvs";

void Check(bool condition) {
  if (!condition) std::abort();
}

// A directory of this process's own for the template file (the loader reads
// templates from the real file system), removed at exit.
class TemplateDirectory {
 public:
  TemplateDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kvs-fuzz-XXXXXX").string();
    Check(mkdtemp(pattern.data()) != nullptr);
    path_ = pattern;
  }
  ~TemplateDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string File() const { return (path_ / "input.tmpl").string(); }

 private:
  std::filesystem::path path_;
};

std::vector<std::string>* g_keys = nullptr;
int CollectKey(StoreHandle, const char* key, int32_t) {
  g_keys->emplace_back(key);
  return 0;
}

// The keys of the store, each checked to hold a value that ends in a NUL.
std::vector<std::string> CheckValues(StoreHandle store) {
  std::vector<std::string> keys;
  g_keys = &keys;
  Check(BdbWalk(store, 0, CollectKey) == 1);
  g_keys = nullptr;
  for (const std::string& key : keys) {
    int32_t size = 0;
    Check(BdbGetSize(store, key.c_str(), &size) == 1);
    Check(size >= 1);
    std::vector<char> value(static_cast<std::size_t>(size), '#');
    Check(BdbRead(store, key.c_str(), value.data(), size) == 1);
    Check(value.back() == '\0');
  }
  return keys;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static const TemplateDirectory directory;
  const std::string templatePath = directory.File();
  {
    std::FILE* file = std::fopen(templatePath.c_str(), "wb");
    Check(file != nullptr);
    Check(std::fwrite(data, 1, size, file) == size);
    Check(std::fclose(file) == 0);
  }

  MemoryFileSystem fs;
  kvs::fuzz::ScopedFileSystem installed(fs);
  StoreHandle store = BdbCreate(kName, STORE_SORTED | STORE_NOCASE);
  Check(store != nullptr);
  KvsLoadTemplate(store, templatePath.c_str());
  const std::vector<std::string> keys = CheckValues(store);
  Check(BdbClose(store) == 1);

  store = BdbOpen(kName);
  Check(store != nullptr);
  Check(CheckValues(store) == keys);
  Check(BdbClose(store) == 1);
  return 0;
}
