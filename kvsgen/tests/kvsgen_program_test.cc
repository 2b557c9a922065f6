// kvsgen_program_test.cc: the kvsgen program run as a process in a
// temporary directory: usage line, silence, exit status and the store file.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "kvsgen/tests/test_support.h"

#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace {

using kvsgen_test::ReadFile;
using kvsgen_test::WriteFile;
using namespace std::string_literals;

class KvsgenProgram : public ::testing::Test {
 protected:
  struct Run {
    int status;
    std::string out, err;
  };

  // Runs kvsgen with arguments in the temporary directory.
  Run Kvsgen(const std::string &arguments) {
    std::string program = KVSGEN_PATH;
#ifdef _WIN32
    if (program[0] == '/') program = "Z:" + program;  // a Unix build tree, seen from Windows
    const std::string cd = "\"cd /d \"", end = "\"";  // cmd drops the outer quotes
#else
    const std::string cd = "cd \"", end = "";
#endif
    int status = std::system((cd + dir_.path().string() + "\" && \"" + program + "\" " +
                              arguments + " > out 2> err" + end).c_str());
#ifndef _WIN32
    status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
    Run run{status, ReadFile(dir_.File("out")), ReadFile(dir_.File("err"))};
#ifdef _WIN32
    // Standard error is a text stream there: its lines end in CR LF.
    for (std::size_t at; (at = run.err.find("\r\n")) != std::string::npos;) run.err.erase(at, 1);
#endif
    std::filesystem::remove(dir_.File("out"));
    std::filesystem::remove(dir_.File("err"));
    return run;
  }

  // Runs kvsgen; true when it ended with status 0 and printed exactly
  // expectedOutput and nothing on standard error.
  bool Succeeds(const std::string &arguments, const std::string &expectedOutput = "") {
    const Run run = Kvsgen(arguments);
    EXPECT_EQ(run.out, expectedOutput) << arguments;
    EXPECT_EQ(run.err, "") << arguments;
    return run.status == 0 && run.out == expectedOutput && run.err.empty();
  }

  // Files in the directory: the template and the store, and no other.
  std::ptrdiff_t FileCount() const {
    const std::filesystem::directory_iterator files(dir_.path());
    return std::distance(begin(files), end(files));
  }

  kvsgen_test::TempDir dir_;
  std::string store_ = dir_.File("s.kvs"), template_ = dir_.File("t.tmpl");
};

TEST_F(KvsgenProgram, WrongArgumentCountsPrintOnlyTheUsageLine) {
  WriteFile(template_, "");
  for (const char *arguments : {"", "t.tmpl", "t.tmpl s.kvs extra"}) {
    EXPECT_TRUE(Succeeds(arguments, "Usage:   kvsgen <template-file> <DB-file(.kvs)> "));
    EXPECT_EQ(FileCount(), 1);
  }
}

// The worked example with either line end, into a new store or in place of
// a file that is no store.
TEST_F(KvsgenProgram, CompilesTheExampleIntoANewStoreOrInPlaceOfAFileThatIsNoStore) {
  const struct {
    const char *previous, *lineEnd;
  } cases[] = {{nullptr, "\n"}, {nullptr, "\r\n"}, {"", "\n"}, {"plain text\n", "\r\n"}};
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.previous ? "in place of a file, " : "new, ") +
                 (c.lineEnd[0] == '\r' ? "CR LF" : "LF"));
    std::filesystem::remove(store_);
    if (c.previous != nullptr) WriteFile(store_, c.previous);
    WriteFile(template_, kvsgen_test::WorkedExampleTemplate(c.lineEnd));
    EXPECT_TRUE(Succeeds("t.tmpl s.kvs"));
    EXPECT_EQ(ReadFile(store_), kvsgen_test::WorkedExampleStoreBytes());
    EXPECT_EQ(FileCount(), 2);
  }
  WriteFile(template_, "");
  EXPECT_TRUE(Succeeds("t.tmpl new.kvs"));
  EXPECT_EQ(ReadFile(dir_.File("new.kvs")), kvsgen_test::FreshSortedStoreBytes());
}

TEST_F(KvsgenProgram, AnExistingStoreKeepsItsFlagsAndADamagedOneIsLeftUntouched) {
  StoreHandle store = BdbCreate(store_.c_str(), 0);
  ASSERT_EQ(BdbPut(store, "old", "x", 1), 1);
  BdbClose(store);
  WriteFile(template_, "new\n2\nab\nOLD\n1\ny\n");
  EXPECT_TRUE(Succeeds("t.tmpl s.kvs"));
  // Compacted, still unsorted and case-sensitive: the header and three
  // records, no Index record.
  EXPECT_EQ(ReadFile(store_).size(), 128u + (32 + 3 + 1) + (32 + 3 + 3) + (32 + 3 + 2));
  EXPECT_EQ(ReadFile(store_).substr(40, 4), kvsgen_test::Le32(0));  // its flags

  WriteFile(store_, kvsgen_test::DamagedStoreBytes());
  const Run run = Kvsgen("t.tmpl s.kvs");
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "kvsgen: s.kvs: cannot open: damaged store\n");
  EXPECT_EQ(ReadFile(store_), kvsgen_test::DamagedStoreBytes());
  EXPECT_EQ(FileCount(), 2);
}

// Runs that fail: one line on standard error for each failure, nothing on
// standard output, a status that tells how far the run got, and no store
// made when the template cannot be read.
TEST_F(KvsgenProgram, EachFailureIsALineOnStandardErrorAndTheStatusTellsIt) {
  const std::string fine = "a\n1\nx\n";
  const struct {
    const char *name;
    std::string templateBytes, arguments;
    int status;
    const char *errors;
    bool storeMade;
  } cases[] = {
      {"missing template", fine, "missing.tmpl s.kvs", 2,
       "kvsgen: missing.tmpl: cannot open: No such file or directory\n", false},
#ifndef _WIN32
      {"template that is a directory", fine, ". s.kvs", 2,
       "kvsgen: .: cannot open: Is a directory\n", false},
      {"missing directory", fine, "t.tmpl missing/s.kvs", 2,
       "kvsgen: missing/s.kvs: cannot open: No such file or directory\n", false},
#endif
      {"block cut short", fine + "cut\n9\nshort\n", "t.tmpl s.kvs", 1,
       "kvsgen: t.tmpl:4: key \"cut\": cut short by the end of the file, not stored\n", true},
      {"blank line at the end", fine + "\n", "t.tmpl s.kvs", 1,
       "kvsgen: t.tmpl:4: key \"\\x0a\": cut short by the end of the file, not stored\n", true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(store_);
    WriteFile(template_, c.templateBytes);
    const Run run = Kvsgen(c.arguments);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, c.errors);
    EXPECT_EQ(FileCount(), c.storeMade ? 2 : 1);
  }
}

#ifndef _WIN32
// A store at its 2 GiB limit (a sparse file): the groups that fit are
// stored, the others are counted in one line naming the first, and the
// status is 1. The compaction then leaves only the live records.
TEST_F(KvsgenProgram, AtTheStoreSizeLimitWhatFitsIsStoredAndTheRestCounted) {
  StoreHandle store = BdbCreate(store_.c_str(), STORE_SORTED | STORE_NOCASE);
  ASSERT_EQ(BdbPut(store, "old", "x", 1), 1);
  BdbClose(store);
  std::filesystem::resize_file(store_, INT32_MAX - 100);  // room for 100 bytes: two small records
  WriteFile(template_, "a\n1\nx\nbig\n200\n" + std::string(200, 'y') + "\nb\n1\nx\nbigger\n300\n" +
                           std::string(300, 'z') + "\n");
  const Run run = Kvsgen("t.tmpl s.kvs");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err,
            "kvsgen: s.kvs: no space: 2 groups not stored, the first at t.tmpl:4, key \"big\"\n");
  store = KvsOpen(store_.c_str());
  ASSERT_NE(store, nullptr);
  const std::map<std::string, std::string> expected{
      {"a", "x"s + '\0'}, {"b", "x"s + '\0'}, {"old", "x"}};
  EXPECT_EQ(kvsgen_test::StoreContents(store), expected);
  KvsClose(store);
  EXPECT_LT(std::filesystem::file_size(store_), 4096u);
}
#endif

// The manual page's synopsis names the operands of the usage line that
// --help prints, and neither names an option: kvsgen has none but --version,
// which the page alone shows.
TEST_F(KvsgenProgram, TheManualPageAndTheUsageLineNameTheSameArguments) {
  const Run help = Kvsgen("--help");
  EXPECT_EQ(help.status, 0);
  std::set<std::string> usageOperands, pageOperands;
  const std::string &usage = help.out;
  for (std::size_t at = usage.find('<'); at != std::string::npos; at = usage.find('<', at + 1)) {
    usageOperands.insert(usage.substr(at + 1, usage.find_first_of("(>", at) - at - 1));
  }
  const std::string page = ReadFile(KVSGEN_PAGE);
  const std::size_t from = page.find(".SH SYNOPSIS");
  std::istringstream synopsis(page.substr(from, page.find(".SH DESCRIPTION") - from));
  for (std::string line; std::getline(synopsis, line);) {
    if (line.rfind(".I ", 0) == 0) pageOperands.insert(line.substr(3));
  }
  EXPECT_EQ(usageOperands, (std::set<std::string>{"template-file", "DB-file"}));
  EXPECT_EQ(pageOperands, usageOperands);
  EXPECT_FALSE(std::regex_search(usage, std::regex(" --?[A-Za-z]")));
  const std::regex pageOption(R"((^\.B[IR]? |\\fB)\\-(?!\\-version\b))", std::regex::multiline);
  EXPECT_FALSE(std::regex_search(page, pageOption));
  const Run version = Kvsgen("--version");
  EXPECT_EQ(version.status, 0);
#ifdef _WIN32
  const std::string lineEnd = "\r\n";  // standard output is a text stream there
#else
  const std::string lineEnd = "\n";
#endif
  EXPECT_EQ(version.out, "kvsgen 1.0.0" + lineEnd);
}

}  // namespace
