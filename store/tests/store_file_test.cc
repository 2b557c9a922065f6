// store_file_test.cc: the platform file system against the StoreFile and
// FileSystem contract. The same cases run natively and in the Windows build,
// so they hold both implementations to one behaviour.
#include "store/os/store_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "store/tests/fault_injecting_file_system.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kvs {
namespace {

namespace fs = std::filesystem;

class StoreFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    // Unique per run, since other builds may run the same tests at once.
    dir_ = fs::temp_directory_path() / (std::string("kvs_file_") + info->name() + "_" +
                                        std::to_string(std::random_device()()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Path(const char* name) const { return (dir_ / name).string(); }

  void MakeFile(const char* name, const std::string& bytes) const {
    std::ofstream(Path(name), std::ios::binary) << bytes;
  }

  std::string Contents(const char* name) const {
    std::ifstream in(Path(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  static std::string ReadAll(StoreFile& file, std::size_t n) {
    std::string bytes(n, '\x7f');
    bytes.resize(file.Read(bytes.data(), n));
    return bytes;
  }

  std::unique_ptr<StoreFile> Open(const char* name, OpenMode mode, OpenError* error = nullptr) {
    return PlatformFileSystem().Open(Path(name).c_str(), mode, error);
  }

  fs::path dir_;
};

TEST_F(StoreFileTest, WrittenBytesCountAndReadBackShortAtEnd) {
  auto file = Open("a", OpenMode::kCreate);
  ASSERT_TRUE(file);
  EXPECT_EQ(file->Write("hello", 5), 5u);
  EXPECT_EQ(file->Length(), 5);  // without a Flush
  EXPECT_EQ(file->Tell(), 5);
  EXPECT_EQ(ReadAll(*file, 4), "");
  ASSERT_TRUE(file->Seek(1));
  EXPECT_EQ(ReadAll(*file, 10), "ello");
  EXPECT_EQ(file->Tell(), 5);
  EXPECT_FALSE(file->Seek(-1));
  // Writing past the end fills the gap with zeros.
  ASSERT_TRUE(file->Seek(8));
  EXPECT_EQ(file->Write("!", 1), 1u);
  EXPECT_EQ(file->Length(), 9);
  EXPECT_TRUE(file->Flush());
  EXPECT_TRUE(file->Sync());
  file.reset();
  EXPECT_EQ(Contents("a"), std::string("hello\0\0\0!", 9));
}

TEST_F(StoreFileTest, SetLengthGrowsWithZerosShrinksAndKeepsThePosition) {
  auto file = Open("a", OpenMode::kCreate);
  ASSERT_TRUE(file);
  ASSERT_EQ(file->Write("abc", 3), 3u);
  const int64_t grown = 70000;  // more than one chunk of zeros
  ASSERT_TRUE(file->SetLength(grown));
  EXPECT_EQ(file->Length(), grown);
  EXPECT_EQ(file->Tell(), 3);
  EXPECT_EQ(ReadAll(*file, 80000), std::string(grown - 3, '\0'));

  ASSERT_TRUE(file->Seek(1));
  ASSERT_TRUE(file->SetLength(2));
  EXPECT_EQ(file->Length(), 2);
  EXPECT_EQ(file->Tell(), 1);
  EXPECT_EQ(ReadAll(*file, 5), "b");
  EXPECT_FALSE(file->SetLength(-1));
  EXPECT_EQ(file->Length(), 2);
}

TEST_F(StoreFileTest, OpenModes) {
  MakeFile("old", "previous bytes");
  OpenError error = OpenError::kNone;

  EXPECT_FALSE(Open("missing", OpenMode::kRead, &error));
  EXPECT_EQ(error, OpenError::kOther);
  EXPECT_FALSE(Open("missing", OpenMode::kUpdate, &error));
  EXPECT_EQ(error, OpenError::kOther);
  EXPECT_FALSE(fs::exists(Path("missing")));
  EXPECT_FALSE(Open(".", OpenMode::kRead, &error)) << "a directory is no file";
  EXPECT_FALSE(Open(".", OpenMode::kUpdate, &error));

  EXPECT_FALSE(Open("old", OpenMode::kCreateExclusive, &error));
  EXPECT_EQ(error, OpenError::kExists);
  EXPECT_EQ(Contents("old"), "previous bytes");
  ASSERT_TRUE(Open("new", OpenMode::kCreateExclusive, &error));
  EXPECT_EQ(error, OpenError::kNone);
  EXPECT_EQ(Contents("new"), "");

  {
    auto reader = Open("old", OpenMode::kRead, &error);
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->Write("x", 1), 0u) << "read-only";
    EXPECT_EQ(ReadAll(*reader, 8), "previous");
  }
  {
    auto updater = Open("old", OpenMode::kUpdate);
    ASSERT_TRUE(updater);
    EXPECT_EQ(updater->Write("P", 1), 1u);
  }
  EXPECT_EQ(Contents("old"), "Previous bytes");

  auto created = Open("old", OpenMode::kCreate);
  ASSERT_TRUE(created);
  EXPECT_EQ(created->Length(), 0) << "kCreate truncates";
}

// The store reads a file's magic through a second, read-only open while the
// file is open for update elsewhere.
TEST_F(StoreFileTest, SecondReadOnlyOpenSeesEveryWrittenByte) {
  auto writer = Open("a", OpenMode::kCreate);
  ASSERT_TRUE(writer);
  ASSERT_EQ(writer->Write("BDB0", 4), 4u);
  auto reader = Open("a", OpenMode::kRead);
  ASSERT_TRUE(reader);
  EXPECT_EQ(reader->Length(), 4);
  EXPECT_EQ(ReadAll(*reader, 128), "BDB0");
}

TEST_F(StoreFileTest, ReplaceAndDelete) {
  MakeFile("from", "new");
  MakeFile("to", "old");
  FileSystem& files = PlatformFileSystem();
  ASSERT_TRUE(files.Replace(Path("from").c_str(), Path("to").c_str()));
  EXPECT_FALSE(fs::exists(Path("from")));
  EXPECT_EQ(Contents("to"), "new");

  EXPECT_FALSE(files.Replace(Path("from").c_str(), Path("to").c_str()));
  EXPECT_EQ(Contents("to"), "new");
  ASSERT_TRUE(files.Replace(Path("to").c_str(), Path("moved").c_str()));
  EXPECT_EQ(Contents("moved"), "new");

  EXPECT_TRUE(files.Delete(Path("moved").c_str()));
  EXPECT_FALSE(fs::exists(Path("moved")));
  EXPECT_FALSE(files.Delete(Path("moved").c_str()));
}

// Only regular files open: a FIFO would make the open or a read wait
// without end, and a device holds no store.
TEST_F(StoreFileTest, OnlyRegularFilesOpen) {
#ifdef _WIN32
  const std::vector<std::string> names = {"NUL", "CON"};
#else
  ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0600), 0);
  const std::vector<std::string> names = {Path("fifo"), "/dev/null"};
#endif
  for (const std::string& name : names) {
    for (OpenMode mode : {OpenMode::kRead, OpenMode::kUpdate, OpenMode::kCreate}) {
      EXPECT_FALSE(PlatformFileSystem().Open(name.c_str(), mode))
          << name << " in mode " << static_cast<int>(mode);
    }
  }
}

#ifndef _WIN32
// In a process started with its standard streams closed, no file takes
// descriptor 0, 1 or 2, which the C library reads input from and writes
// messages to.
TEST_F(StoreFileTest, NoFileTakesAStandardDescriptor) {
  int saved[3];
  for (int fd = 0; fd < 3; ++fd) ASSERT_GE(saved[fd] = ::fcntl(fd, F_DUPFD_CLOEXEC, 3), 3);
  std::fflush(nullptr);
  for (int fd = 0; fd < 3; ++fd) ::close(fd);
  bool opened = true, taken = false;
  {
    std::vector<std::unique_ptr<StoreFile>> files;
    for (OpenMode mode : {OpenMode::kCreate, OpenMode::kUpdate, OpenMode::kRead,
                          OpenMode::kOpenOrCreate}) {
      files.push_back(Open("a", mode));
    }
    files.push_back(Open("b", OpenMode::kCreateExclusive));
    for (const auto& file : files) opened = opened && file != nullptr;
    for (int fd = 0; fd < 3; ++fd) taken = taken || ::fcntl(fd, F_GETFD) != -1;
  }
  for (int fd = 0; fd < 3; ++fd) {
    ::dup2(saved[fd], fd);
    ::close(saved[fd]);
  }
  EXPECT_TRUE(opened);
  EXPECT_FALSE(taken);
}
#endif

TEST_F(StoreFileTest, ActiveFileSystemIsThePlatformsUnlessOneIsInstalled) {
  EXPECT_EQ(&ActiveFileSystem(), &PlatformFileSystem());
  testing::FaultInjectingFileSystem faulty;
  {
    testing::ScopedFileSystem installed(faulty);
    EXPECT_EQ(&ActiveFileSystem(), &faulty);
  }
  EXPECT_EQ(&ActiveFileSystem(), &PlatformFileSystem());
}

// The double's growth knobs are what the store's full-disk tests rely on.
TEST_F(StoreFileTest, FaultInjectionFailsChosenCalls) {
  testing::FaultInjectingFileSystem faulty;
  faulty.FailGrowthAfter(1);
  auto file = faulty.Open(Path("a").c_str(), OpenMode::kCreate);
  ASSERT_TRUE(file);
  EXPECT_TRUE(file->SetLength(10));
  EXPECT_FALSE(file->SetLength(20));
  EXPECT_EQ(file->Length(), 10);
  EXPECT_TRUE(file->SetLength(5)) << "shrinking never fails";
  EXPECT_EQ(faulty.growths(), 1);

  faulty.FailWriteAfter(0);
  EXPECT_EQ(file->Write("x", 1), 0u);
  EXPECT_EQ(file->Length(), 5);
  faulty.Heal();
  EXPECT_EQ(file->Write("x", 1), 1u);
  EXPECT_TRUE(file->SetLength(20));

  faulty.FailOpenOf(".000");
  OpenError error = OpenError::kNone;
  EXPECT_FALSE(faulty.Open(Path("s.000").c_str(), OpenMode::kCreate, &error));
  EXPECT_EQ(error, OpenError::kOther);
  EXPECT_FALSE(fs::exists(Path("s.000")));
  faulty.FailReplace();
  EXPECT_FALSE(faulty.Replace(Path("a").c_str(), Path("b").c_str()));
  EXPECT_TRUE(fs::exists(Path("a")));
}

}  // namespace
}  // namespace kvs
