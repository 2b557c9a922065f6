// template_writer_test.cc: which records a template carries, and the
// groups written for them.
#include "kvs/template_writer.h"

#include <gtest/gtest.h>

#include <string>

namespace kvs_tool {
namespace {

using namespace std::string_literals;

TEST(TemplateWriterTest, WritesGroupsThatReadBackAsTheRecord) {
  const struct {
    std::string key, value, group;
  } cases[] = {
      {"alpha", "hello\0"s, "alpha\n5\nhello\n"},
      {"beta", "one\ntwo\0"s, "beta\n7\none\ntwo\n"},
      {"gamma", "\0"s, "gamma\n0\n\n"},
      {"nul", "a\0b\0"s, "nul\n3\na\0b\n"s},
      {"cr", "a\rb\r\0"s, "cr\n4\na\rb\r\r\n"},  // a CR LF after the block arrives as one LF
      {"crlf", "a\r\nb\r\r\n\0"s, "crlf\n7\na\r\r\nb\r\r\r\n\n"},
      {"\r", "x\0"s, "\r\r\n1\nx\n"},
      {"", "x\0"s, "\0\n1\nx\n"s},  // a NUL ends a key line's key
      {"\n", "x\0"s, "\n1\nx\n"},                  // what a blank key line gives
      {" ", "x\0"s, " \n1\nx\n"},                  // a first byte is never trimmed
      {" lead", "x\0"s, " lead\n1\nx\n"},
      {std::string(kMaxTemplateKey, 'k'), "\0"s, std::string(kMaxTemplateKey, 'k') + "\n0\n\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    EXPECT_EQ(nullptr, UnexpressibleReason(c.key, c.value));
    std::string group;
    AppendGroup(c.key, c.value, &group);
    EXPECT_EQ(c.group, group);
  }
  std::string longest(kMaxTemplateValue, 'v');
  longest.back() = '\0';
  EXPECT_EQ(nullptr, UnexpressibleReason("k", longest));
}

TEST(TemplateWriterTest, NamesWhatNoTemplateCarries) {
  const struct {
    std::string key, value;
    const char* reason;
  } cases[] = {
      {"k", "", "value does not end in a NUL"},
      {"k", "abc", "value does not end in a NUL"},
      {"k", std::string(kMaxTemplateValue, '\0') + "\0"s, "value longer than a group holds"},
      {"k", "a\x1a\0"s, "value holds byte 0x1A"},
      {"a\nb", "\0"s, "key holds a line end"},
      {"a\n", "\0"s, "key holds a line end"},
      {"a\x1a", "\0"s, "key holds byte 0x1A"},
      {std::string(kMaxTemplateKey + 1, 'k'), "\0"s, "key longer than a key line holds"},
      {"k ", "\0"s, "key ends in a blank, TAB or CR"},
      {"k\t", "\0"s, "key ends in a blank, TAB or CR"},
      {"k\r", "\0"s, "key ends in a blank, TAB or CR"},
      {" \r", "\0"s, "key ends in a blank, TAB or CR"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    const char* reason = UnexpressibleReason(c.key, c.value);
    ASSERT_NE(nullptr, reason);
    EXPECT_STREQ(c.reason, reason);
  }
}

}  // namespace
}  // namespace kvs_tool
