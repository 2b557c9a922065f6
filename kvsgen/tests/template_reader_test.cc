// template_reader_test.cc: the reader's own translation, including a CR
// LF pair split by a buffer refill, and its line limit.
#include "kvsgen/template_reader.h"

#include <gtest/gtest.h>

#include <cstring>

#include "kvsgen/tests/test_support.h"

namespace {

using kvsgen::TemplateReader;

TEST(TemplateReader, TranslatesTheSameWhateverTheBufferSize) {
  kvsgen_test::TempDir dir;
  const std::string path = dir.File("t.txt");
  kvsgen_test::WriteFile(path, "k\r\n\r\rx\r\n\n\r\r\nend\r\x1A" "after the end");
  for (std::size_t bufferSize = 1; bufferSize <= 9; ++bufferSize) {
    TemplateReader reader(bufferSize);
    ASSERT_TRUE(reader.Open(path.c_str()));
    std::string text;
    for (int byte; (byte = reader.Get()) != TemplateReader::kEnd;) text += static_cast<char>(byte);
    EXPECT_EQ(text, "k\n\r\rx\n\n\r\nend\r") << "buffer size " << bufferSize;
    EXPECT_EQ(reader.Get(), TemplateReader::kEnd);
  }
}

TEST(TemplateReader, ReadLineStopsAfterTheLineEndOrTheLimit) {
  kvsgen_test::TempDir dir;
  const std::string path = dir.File("t.txt");
  kvsgen_test::WriteFile(path, "abcdef\r\nxy");
  TemplateReader reader;
  ASSERT_TRUE(reader.Open(path.c_str()));
  char line[5];
  for (const char *expected : {"abcd", "ef\n", "xy", ""}) {
    EXPECT_EQ(reader.ReadLine(line, 4), std::strlen(expected));
    EXPECT_STREQ(line, expected);
  }
}

}  // namespace
