// The buffered store file's views after pages leave memory or are cut
// short: a view never shows bytes a page no longer holds. Deferred ranges:
// bytes the layer above has not produced are never shown or committed.
#include "store/pager/buffered_file.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "store/os/store_file.h"
#include "store/tests/store_test_util.h"

namespace kvs_test {
namespace {

using kvs::BufferedFile;
using kvs::OpenMode;
using kvs::PlatformFileSystem;

constexpr int64_t kPage = BufferedFile::kPageSize;

class BufferedFileTest : public StoreTest {
 protected:
  // A buffered file over a new file holding pages whole pages, page i of
  // bytes 'a' + i, written and committed.
  std::unique_ptr<BufferedFile> Filled(const std::string& name, int pages) {
    auto file = std::make_unique<BufferedFile>(
        PlatformFileSystem().Open(Path(name).c_str(), OpenMode::kCreate));
    for (int i = 0; i < pages; ++i) {
      const std::vector<unsigned char> page(static_cast<std::size_t>(kPage),
                                            static_cast<unsigned char>('a' + i));
      EXPECT_EQ(page.size(), file->Write(page.data(), page.size()));
    }
    EXPECT_TRUE(file->Flush());
    return file;
  }
  // The byte at offset as a view shows it (ViewLoaded, else View).
  static int ViewedByte(BufferedFile& file, int64_t offset) {
    const unsigned char* bytes = file.ViewLoaded(offset, 1);
    if (bytes == nullptr) bytes = file.View(offset, 1);
    return bytes == nullptr ? -1 : *bytes;
  }
};

TEST_F(BufferedFileTest, ViewsFollowPagesThatLeaveMemoryOrAreCut) {
  // Each row: what happens after every page was seen whole, then the byte a
  // view must show at offset.
  struct Row {
    const char* what;
    void (*change)(BufferedFile&);
    int64_t offset;
    int expected;
  };
  const std::vector<Row> rows = {
      {"cut inside page 0, grown again", [](BufferedFile& f) {
         ASSERT_TRUE(f.SetLength(100));
         ASSERT_TRUE(f.SetLength(2 * kPage));
       }, 5000, 0},
      {"cut at page 1, grown again", [](BufferedFile& f) {
         ASSERT_TRUE(f.SetLength(kPage));
         ASSERT_TRUE(f.SetLength(3 * kPage));
       }, kPage + 7, 0},
      {"changes discarded", [](BufferedFile& f) {
         const unsigned char z = 'z';
         ASSERT_TRUE(f.Seek(10));
         ASSERT_EQ(1u, f.Write(&z, 1));
         f.DiscardChanges();
       }, 10, 'a'},
      {"pages shed while written behind", [](BufferedFile& f) {
         // A budget of two pages: writing eight more sheds the pages seen.
         f.WriteBehind(static_cast<std::size_t>(2 * kPage));
         const std::vector<unsigned char> page(static_cast<std::size_t>(kPage), 'x');
         ASSERT_TRUE(f.Seek(3 * kPage));
         for (int i = 0; i < 8; ++i) ASSERT_EQ(page.size(), f.Write(page.data(), page.size()));
       }, kPage + 3, 'b'},
  };
  int number = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    auto file = Filled("file" + std::to_string(number++) + ".kvs", 3);
    for (int i = 0; i < 3; ++i) ASSERT_EQ('a' + i, ViewedByte(*file, i * kPage + 1));
    row.change(*file);
    EXPECT_EQ(row.expected, ViewedByte(*file, row.offset));
  }
}

TEST_F(BufferedFileTest, AViewsRunEndsWithItsPageOrTheImage) {
  // Three whole pages, the last cut to 100 bytes: the run a view of 10
  // bytes at offset reports, and the byte at its end.
  struct Row {
    int64_t offset;
    std::size_t run;
  };
  const std::vector<Row> rows = {
      {kPage - 30, 30},       // to the end of page 0
      {kPage - 5, 10},        // across pages 0 and 1: a copy of the 10 bytes only
      {2 * kPage + 40, 60},   // to the end of the image
  };
  auto file = Filled("runs.kvs", 3);
  ASSERT_TRUE(file->SetLength(2 * kPage + 100));
  for (const Row& row : rows) {
    SCOPED_TRACE(row.offset);
    std::size_t run = 0;
    const unsigned char* bytes = file->ViewRun(row.offset, 10, &run);
    ASSERT_NE(nullptr, bytes);
    EXPECT_EQ(row.run, run);
    EXPECT_EQ(ViewedByte(*file, row.offset + static_cast<int64_t>(run) - 1), bytes[run - 1]);
  }
}

TEST_F(BufferedFileTest, ADeferredRangeIsNeverShownOrCommittedUnproduced) {
  // The range is [kPage + 100, kPage + 200); each row accesses it once, then
  // says whether the access succeeded and whether a commit is refused.
  struct Row {
    const char* what;
    bool (*access)(BufferedFile&);
    bool succeeds;
    bool takeBack;  // the range is taken back (and so produced) before the commit
  };
  static const unsigned char kBytes[300] = {};
  const std::vector<Row> rows = {
      {"a write that runs on from the start",
       [](BufferedFile& f) { return f.Seek(kPage + 50) && f.Write(kBytes, 100) == 100; }, true,
       true},
      {"a read of what was written before it", [](BufferedFile& f) {
         unsigned char out[10];
         return f.Seek(kPage + 90) && f.Read(out, 10) == 10;
       }, true, true},
      {"a read inside it", [](BufferedFile& f) {
         unsigned char out[10];
         return f.Seek(kPage + 150) && f.Read(out, 10) == 10;
       }, false, true},
      {"a view across it", [](BufferedFile& f) { return f.View(kPage + 50, 200) != nullptr; },
       false, true},
      {"a view's run before it", [](BufferedFile& f) {
         std::size_t run = 0;
         return f.ViewRun(kPage + 50, 10, &run) != nullptr && run <= 50;
       }, true, true},
      {"a write inside it",
       [](BufferedFile& f) { return f.Seek(kPage + 150) && f.Write(kBytes, 10) == 10; }, false,
       true},
      {"nothing, and no take back before the commit", [](BufferedFile&) { return true; }, true,
       false},
  };
  int number = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    auto file = Filled("deferred" + std::to_string(number++) + ".kvs", 3);
    ASSERT_TRUE(file->DeferRange(kPage + 100, kPage + 200));
    EXPECT_EQ(row.succeeds, row.access(*file));
    if (row.takeBack) {
      EXPECT_LE(0, file->TakeDeferredRange(kPage + 100));
    }
    EXPECT_EQ(row.takeBack, file->Flush());
  }
}

}  // namespace
}  // namespace kvs_test
