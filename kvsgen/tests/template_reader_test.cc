// template_reader_test.cc: text-mode translation and line reading of the
// template reader, including translations that straddle a buffer refill.
#include "kvsgen/template_reader.h"

#include <gtest/gtest.h>

#include <string>

#include "kvsgen/tests/test_support.h"

namespace {

using kvsgen::TemplateReader;

std::string ReadAll(TemplateReader &reader) {
  std::string text;
  for (int byte = reader.Get(); byte != TemplateReader::kEnd; byte = reader.Get()) {
    text += static_cast<char>(byte);
  }
  return text;
}

TEST(TemplateReader, TranslatesLineEndsWhateverTheBufferSize) {
  kvsgen_test::TempDir dir;
  const std::string path = dir.File("t.txt");
  kvsgen_test::WriteFile(path, "k\r\n\r\rx\r\n\n\r\r\nend\r");
  for (std::size_t bufferSize = 1; bufferSize <= 9; ++bufferSize) {
    TemplateReader reader(bufferSize);
    ASSERT_TRUE(reader.Open(path.c_str()));
    EXPECT_EQ(ReadAll(reader), "k\n\r\rx\n\n\r\nend\r") << "buffer size " << bufferSize;
  }
}

TEST(TemplateReader, ByteOneAEndsTheFileForGood) {
  kvsgen_test::TempDir dir;
  const std::string path = dir.File("t.txt");
  kvsgen_test::WriteFile(path, "ab\r\x1A\ncd");
  TemplateReader reader(2);
  ASSERT_TRUE(reader.Open(path.c_str()));
  EXPECT_EQ(ReadAll(reader), "ab\r");
  EXPECT_EQ(reader.Get(), TemplateReader::kEnd);
  char line[8];
  EXPECT_EQ(reader.ReadLine(line, 7), 0u);
  EXPECT_STREQ(line, "");
}

TEST(TemplateReader, ReadLineStopsAfterLineEndOrLimit) {
  kvsgen_test::TempDir dir;
  const std::string path = dir.File("t.txt");
  kvsgen_test::WriteFile(path, std::string("abcdef\r\nx\0y", 11));
  TemplateReader reader;
  ASSERT_TRUE(reader.Open(path.c_str()));
  char line[5];
  EXPECT_EQ(reader.ReadLine(line, 4), 4u);
  EXPECT_STREQ(line, "abcd");
  EXPECT_EQ(reader.ReadLine(line, 4), 3u);
  EXPECT_STREQ(line, "ef\n");
  EXPECT_EQ(reader.ReadLine(line, 4), 3u);  // a NUL is data like any other byte
  EXPECT_EQ(std::string(line, 3), std::string("x\0y", 3));
  EXPECT_EQ(reader.ReadLine(line, 4), 0u);
}

TEST(TemplateReader, ReadBlockIsShortOnlyAtTheEnd) {
  kvsgen_test::TempDir dir;
  const std::string path = dir.File("t.txt");
  kvsgen_test::WriteFile(path, "one\r\ntwo");
  TemplateReader reader(3);
  ASSERT_TRUE(reader.Open(path.c_str()));
  char block[16];
  EXPECT_EQ(reader.ReadBlock(block, 5), 5u);
  EXPECT_EQ(std::string(block, 5), "one\nt");
  EXPECT_EQ(reader.ReadBlock(block, 16), 2u);
  EXPECT_EQ(std::string(block, 2), "wo");
}

TEST(TemplateReader, MissingFileCannotBeOpened) {
  kvsgen_test::TempDir dir;
  TemplateReader reader;
  EXPECT_FALSE(reader.Open(dir.File("missing.txt").c_str()));
  EXPECT_EQ(reader.Get(), TemplateReader::kEnd);
}

}  // namespace
