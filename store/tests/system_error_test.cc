// system_error_test.cc: the operating system's code behind a failed call
// (BdbLastSystemError), kept and reset with BdbLastError, and its text.
#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "store/errors.h"
#include "store/tests/store_test_util.h"

namespace kvs_test {
namespace {

#ifdef _WIN32
constexpr int kNoSuchFile = ERROR_FILE_NOT_FOUND;
#else
constexpr int kNoSuchFile = ENOENT;
#endif

class SystemErrorTest : public StoreTest {};

TEST_F(SystemErrorTest, AFailedSystemCallIsTheCauseUntilTheNextCall) {
  const std::string missing = Path("missing.kvs");
  const struct {
    const char* name;
    bool (*call)(const char* fileName);
  } opens[] = {
      {"BdbOpen", [](const char* n) { return BdbOpen(n) != nullptr; }},
      {"BdbOpenReadOnly", [](const char* n) { return BdbOpenReadOnly(n) != nullptr; }},
      {"BdbIsStoreFile", [](const char* n) { return BdbIsStoreFile(n) != 0; }},
  };
  for (const auto& open : opens) {
    SCOPED_TRACE(open.name);
    EXPECT_FALSE(open.call(missing.c_str()));
    EXPECT_EQ(BDB_IO, BdbLastError());
    EXPECT_EQ(kNoSuchFile, BdbLastSystemError());
  }

  // A cause of the store's own has no system code, and a success clears it.
  const std::string name = Path("s.kvs");
  MakeStore(name, STORE_SORTED, {{"k", "v"}});
  StoreHandle store = Open(name);
  ASSERT_NE(nullptr, store);
  const struct {
    const char* name;
    bool (*call)(StoreHandle store, const char* fileName);
    int cause;
  } others[] = {
      {"absent key", [](StoreHandle s, const char*) { return BdbGetSize(s, "x", nullptr) != 0; },
       BDB_ABSENT},
      {"locked", [](StoreHandle, const char* n) { return BdbOpen(n) != nullptr; }, BDB_LOCKED},
      {"success", [](StoreHandle s, const char*) { return BdbGetSize(s, "k", nullptr) == 0; },
       BDB_OK},
  };
  for (const auto& other : others) {
    SCOPED_TRACE(other.name);
    EXPECT_EQ(nullptr, BdbOpen(missing.c_str()));
    EXPECT_FALSE(other.call(store, name.c_str()));
    EXPECT_EQ(other.cause, BdbLastError());
    EXPECT_EQ(0, BdbLastSystemError());
  }

#ifndef _WIN32
  if (::geteuid() != 0) {  // root opens whatever the mode says
    EXPECT_EQ(1, BdbClose(store));
    ASSERT_EQ(0, ::chmod(name.c_str(), 0444));
    EXPECT_EQ(nullptr, BdbOpen(name.c_str()));
    EXPECT_EQ(BDB_IO, BdbLastError());
    EXPECT_EQ(EACCES, BdbLastSystemError());
  }
#endif
}

// Only the first cause noted in a call is reported, and a system code only
// with the cause it explains.
TEST_F(SystemErrorTest, ASystemCodeBelongsToTheFirstCauseOnly) {
  kvs::SetError(BDB_OK);
  kvs::NoteError(BDB_DAMAGED);
  kvs::NoteSystemError(EIO, false, false);
  EXPECT_EQ(BDB_DAMAGED, kvs::CurrentError());
  EXPECT_EQ(0, kvs::CurrentSystemError());
  kvs::SetError(BDB_OK);
  kvs::NoteSystemError(EIO, false, false);
  kvs::NoteSystemError(kNoSuchFile, false, false);
  EXPECT_EQ(BDB_IO, kvs::CurrentError());
  EXPECT_EQ(EIO, kvs::CurrentSystemError());
}

TEST(SystemErrorText, IsTheSystemsTextOnOneLine) {
  EXPECT_STREQ("no error", BdbSystemErrorText(0));
#ifndef _WIN32
  EXPECT_STREQ(std::strerror(ENOENT), BdbSystemErrorText(ENOENT));
#endif
  for (const int code : {kNoSuchFile, 0x7FFF0000}) {
    const std::string text = BdbSystemErrorText(code);
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(std::string::npos, text.find_first_of("\r\n")) << text;
    EXPECT_NE('.', text.back()) << text;
  }
}

}  // namespace
}  // namespace kvs_test
