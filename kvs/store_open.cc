// store_open.cc: opening and creating stores for kvs, with --wait.
#include "kvs/store_open.h"

#include <chrono>
#include <filesystem>
#include <thread>

#include "kvs/messages.h"

namespace kvs_tool {

std::optional<int> WaitSeconds(const std::string& text) {
  if (text.empty() || text.size() > 7) return std::nullopt;
  int seconds = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    seconds = seconds * 10 + (c - '0');
  }
  return seconds;
}

StoreHandle OpenWaiting(const std::function<StoreHandle()>& open, int waitSeconds) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::seconds(waitSeconds);
  for (;;) {
    StoreHandle store = open();
    if (store != nullptr || BdbLastError() != BDB_LOCKED || Clock::now() >= deadline) {
      return store;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

StoreHandle CreateNewStore(const std::string& name, int32_t flags, int waitSeconds) {
  std::error_code error;
  const auto type = std::filesystem::symlink_status(name, error).type();
  if (type != std::filesystem::file_type::not_found) {
    Complain(name + ": cannot create: " +
             (type == std::filesystem::file_type::none ? error.message() : "the file exists"));
    return nullptr;
  }
  StoreHandle store = OpenWaiting(
      [&] { return BdbOpenOrCreate(name.c_str(), flags & (STORE_SORTED | STORE_NOCASE)); },
      waitSeconds);
  if (store == nullptr) ComplainAboutStore(name, "cannot create");
  return store;
}

}  // namespace kvs_tool
