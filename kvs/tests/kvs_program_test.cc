// kvs_program_test.cc: the kvs program run as a process on stores of every
// kind: what each command prints, its exit status and messages, stores that
// cannot be used, and templates exported and compiled back by kvsgen.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "kvs/tests/kvs_program_fixture.h"
#include "store/format/format.h"
#include "store/store.h"

namespace {

using namespace std::string_literals;
using namespace kvs_test;

TEST_F(KvsProgram, UsageHelpAndVersion) {
  const struct {
    const char* arguments;
    int status;
    const char* outPart;
    const char* errPart;
  } cases[] = {
      {"", 2, "", "kvs: no command given"},
      {"--help", 0, "kvs COMMAND STORE [ARGS]", ""},
      {"--version", 0, "kvs 1.0.0\n", ""},
      {"get --help", 0, "Usage: kvs get STORE KEY [--text]\n", ""},
      {"export --help", 0, "[--skip-unexpressible]", ""},
      {"fetch s.kvs", 2, "", "kvs: unknown command fetch"},
      {"get s.kvs", 2, "", "usage: kvs get STORE KEY"},
      {"get", 2, "", "usage: kvs get STORE KEY"},
      {"get s.kvs k extra", 2, "", "usage: kvs get STORE KEY"},
      {"dump s.kvs --all", 2, "", "dump: unknown option --all"},
      {"stats s.kvs --free", 2, "", "stats: unknown option --free"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    const Result result = Kvs(c.arguments);
    EXPECT_EQ(c.status, result.status);
    EXPECT_NE(std::string::npos, result.out.find(c.outPart)) << result.out;
    EXPECT_NE(std::string::npos, result.err.find(c.errPart)) << result.err;
    if (c.errPart[0] == '\0') {
      EXPECT_EQ("", result.err);
    }
  }
  EXPECT_FALSE(std::filesystem::exists(File("s.kvs")));
}

// Every command on a sorted, an unsorted and a case-folding unsorted store.
TEST_F(KvsProgram, CommandsOnEveryKindOfStore) {
  const struct {
    int32_t flags;
    const char *listAll, *listB;
  } kinds[] = {
      {STORE_SORTED, "Beta\nalpha\nbeta2\n", "beta2\n"},
      {0, "beta2\nalpha\nBeta\n", "beta2\n"},
      {STORE_NOCASE, "beta2\nalpha\nBeta\n", "beta2\nBeta\n"},
      {STORE_SORTED | STORE_NOCASE, "alpha\nBeta\nbeta2\n", "Beta\nbeta2\n"},
  };
  for (const auto& kind : kinds) {
    SCOPED_TRACE(kind.flags);
    std::filesystem::remove(File("s.kvs"));
    MakeStore("s.kvs", kind.flags, {{"beta2", "two"}, {"alpha", "one\0"s}, {"Beta", "B"}});
    ExpectResult(Kvs("get s.kvs alpha"), 0, "one\0"s, "");
    ExpectResult(Kvs("get s.kvs gamma"), 1, "", "kvs: s.kvs: \"gamma\": key absent");
    ExpectResult(Kvs("list s.kvs"), 0, kind.listAll, "");
    ExpectResult(Kvs("list s.kvs b"), 0, kind.listB, "");
    ExpectResult(Kvs("list s.kvs zz"), 0, "", "");

    // A value with NUL bytes from a file and from standard input.
    WriteFile(File("value"), "\0a\0\r\n\0"s);
    ExpectResult(Kvs("put s.kvs k1 value"), 0, "", "");
    ExpectResult(Kvs("put s.kvs k2", "x\0y"s), 0, "", "");
    ExpectResult(Kvs("get s.kvs k1"), 0, "\0a\0\r\n\0"s, "");
    ExpectResult(Kvs("get s.kvs k2"), 0, "x\0y"s, "");
    ExpectResult(Kvs("put s.kvs k3 nofile"), 2, "",
                 "kvs: nofile: cannot read: No such file or directory\n");
    ExpectResult(Kvs("put s.kvs k3 ."), 2, "", "kvs: .: cannot read: Is a directory\n");

    ExpectResult(Kvs("delete s.kvs alpha"), 0, "", "");
    ExpectResult(Kvs("delete s.kvs alpha"), 1, "", "kvs: s.kvs: \"alpha\": key absent");
    const Result stats = Kvs("stats s.kvs");
    EXPECT_EQ(0, stats.status);
    EXPECT_NE(std::string::npos, stats.out.find("live records:       4\n")) << stats.out;
    EXPECT_NE(std::string::npos, stats.out.find("free records:       1\n")) << stats.out;
    // beta2 3, Beta 1, k1 6, k2 3; the free record: 32 + "alpha" + 4.
    EXPECT_NE(std::string::npos, stats.out.find("live value bytes:   13\n")) << stats.out;
    EXPECT_NE(std::string::npos, stats.out.find("free record bytes:  41\n")) << stats.out;
    const Result dump = Kvs("dump s.kvs --free");
    EXPECT_EQ(0, dump.status);
    EXPECT_EQ(0u, dump.out.find("\n*** Dumping free list...\n\nName:             alpha\n"));
    EXPECT_NE(std::string::npos, Kvs("dump s.kvs").out.find("Name:             k2\n"));
    ExpectResult(Kvs("check s.kvs"), 0, "s.kvs: sound\n", "");
    ExpectResult(Kvs("compact s.kvs"), 0, "", "");
    EXPECT_NE(std::string::npos, Kvs("stats s.kvs").out.find("free records:       0\n"));
    ExpectResult(Kvs("get s.kvs Beta"), 0, "B", "");
  }
}

TEST_F(KvsProgram, PutCreatesASortedCaseFoldingStoreOnlyOnAMissingPath) {
  ExpectResult(Kvs("put new.kvs Key", "v"), 0, "", "");
  ExpectResult(Kvs("get new.kvs KEY"), 0, "v", "");
  ExpectResult(Kvs("put new.kvs ''", "empty"), 0, "", "");  // the empty key is listed too
  ExpectResult(Kvs("list new.kvs"), 0, "\nKey\n", "");
  ExpectResult(Kvs("get new.kvs ''"), 0, "empty", "");
  EXPECT_NE(std::string::npos, Kvs("stats new.kvs").out.find("flags:              3 (sorted nocase)"));
  WriteFile(File("text"), "plain text");
  ExpectResult(Kvs("put text k", "v"), 2, "", "kvs: text: cannot open: not a store");
  EXPECT_EQ("plain text", ReadFile(File("text")));
}

TEST_F(KvsProgram, StoresThatCannotBeUsed) {
  MakeStore("s.kvs", STORE_SORTED, {{"k", "v"}});
  const std::string sound = ReadFile(File("s.kvs"));
  std::string damaged = sound;
  damaged[7] = 0x7F;  // the allocated chain's first record lies past the end
  WriteFile(File("damaged.kvs"), damaged);
  const struct {
    const char* arguments;
    int status;
    const char* errPart;
  } cases[] = {
      {"get missing.kvs k", 2, "kvs: missing.kvs: cannot open: No such file or directory\n"},
      {"check missing.kvs", 2, "kvs: missing.kvs: cannot open: No such file or directory\n"},
      {"delete missing.kvs k", 2, "kvs: missing.kvs: cannot open: No such file or directory\n"},
      {"list damaged.kvs", 2, "kvs: damaged.kvs: cannot open: damaged store"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    ExpectResult(Kvs(c.arguments), c.status, "", c.errPart);
  }
  // The check of a store that does not open says what the raw file holds.
  const Result check = Kvs("check damaged.kvs");
  EXPECT_EQ(1, check.status);
  EXPECT_EQ("kvs: damaged.kvs: cannot open: damaged store\n", check.err);
  EXPECT_NE(std::string::npos,
            check.out.find("damaged.kvs: allocated list: walked forward: 0 records, then stops: "
                           "offset 2130707621 lies outside the records\n"))
      << check.out;
  EXPECT_EQ(damaged, ReadFile(File("damaged.kvs")));
  EXPECT_FALSE(std::filesystem::exists(File("missing.kvs")));

  // Held by a writer: every command is refused, and nothing changes.
  StoreHandle writer = BdbOpen(File("s.kvs").c_str());
  ASSERT_NE(nullptr, writer);
  for (const char* arguments : {"get s.kvs k", "export s.kvs", "put s.kvs k", "compact s.kvs"}) {
    SCOPED_TRACE(arguments);
    ExpectResult(Kvs(arguments, "w"), 2, "", "kvs: s.kvs: cannot open: locked");
  }
  // ... and a reader keeps writers out but lets readers in.
  EXPECT_EQ(1, BdbClose(writer));
  StoreHandle reader = BdbOpenReadOnly(File("s.kvs").c_str());
  ASSERT_NE(nullptr, reader);
  ExpectResult(Kvs("get s.kvs k"), 0, "v", "");
  ExpectResult(Kvs("delete s.kvs k"), 2, "", "kvs: s.kvs: cannot open: locked");
  EXPECT_EQ(1, BdbClose(reader));
  EXPECT_EQ(sound, ReadFile(File("s.kvs")));
}

// Started with standard streams closed, the tools never let a store take
// their place: messages and input do not reach it, and a closed standard
// input is no value to put.
TEST_F(KvsProgram, ClosedStandardStreamsNeverReachTheStore) {
  WriteFile(File("value"), "new");
  WriteFile(File("t.tmpl"), "k\n1\nv\nk3\n1\nx\n");
  const struct {
    const char* command;
    int status;
  } cases[] = {
      {"$K delete s.kvs no-such-key 2>&-", 1},
      {"$K put s.kvs k /nonexistent 2>&-", 2},
      {"$K put s.kvs k <&- 2>closed-err", 2},
      {"$K put s.kvs k2 value <&- >&- 2>&-", 0},
      {"$K get s.kvs k >&- 2>&-", 0},
      {"$G t.tmpl s.kvs <&- >&- 2>&-", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    std::filesystem::remove(File("s.kvs"));
    MakeStore("s.kvs", STORE_SORTED | STORE_NOCASE, {{"k", "v\0"s}});
    EXPECT_EQ(c.status, Shell(c.command));
    ExpectResult(Kvs("check s.kvs"), 0, "s.kvs: sound\n", "");
    ExpectResult(Kvs("get s.kvs k"), 0, "v\0"s, "");
  }
  EXPECT_EQ("kvs: standard input: closed\n", ReadFile(File("closed-err")));
  EXPECT_EQ(0, Kvs("get s.kvs k3").status);
}

// Two first puts at once into a missing store: each one that reports
// success holds, the other gives way ("locked"), and the store is whole.
// kvsgen making the same store at the same moment gives way too.
TEST_F(KvsProgram, FirstPutsAtOnceLoseNothing) {
  WriteFile(File("va"), "a\0"s);  // as kvsgen stores the template's value
  WriteFile(File("vb"), "b");
  WriteFile(File("t.tmpl"), "keyA\n1\na\n");
  const std::string first[] = {"$K put n.kvs keyA va", "$G t.tmpl n.kvs"};
  for (int i = 0; i < 50; ++i) {
    SCOPED_TRACE(i);
    std::filesystem::remove(File("n.kvs"));
    const int status = Shell("(" + first[i % 2] + " 2>erra & $K put n.kvs keyB vb 2>errb; b=$?; " +
                             "wait $!; a=$?; exit $((a * 10 + b)))");
    for (const auto& [key, value, code, err] :
         {std::tuple{"keyA", "a\0"s, status / 10, "erra"}, {"keyB", "b"s, status % 10, "errb"}}) {
      EXPECT_TRUE(code == 0 || code == 2) << status;
      if (code == 0) {
        ExpectResult(Kvs("get n.kvs "s + key), 0, value, "");
      } else {
        EXPECT_NE(std::string::npos, ReadFile(File(err)).find(": locked\n")) << ReadFile(File(err));
      }
    }
    ExpectResult(Kvs("check n.kvs"), 0, "n.kvs: sound\n", "");
  }
}

TEST_F(KvsProgram, AReadOnlyStoreIsReadAndLeftAsItWas) {
  MakeStore("ro.kvs", STORE_SORTED | STORE_NOCASE, {{"k", "v\0"s}, {"gone", "x"}});
  StoreHandle store = BdbOpen(File("ro.kvs").c_str());
  ASSERT_EQ(1, BdbDelete(store, "gone"));
  ASSERT_EQ(1, BdbClose(store));
  const std::string before = ReadFile(File("ro.kvs"));
  ASSERT_EQ(0, ::chmod(File("ro.kvs").c_str(), 0444));
  for (const char* arguments : {"get ro.kvs k", "list ro.kvs", "stats ro.kvs", "dump ro.kvs",
                                "dump ro.kvs --free", "check ro.kvs", "export ro.kvs"}) {
    SCOPED_TRACE(arguments);
    const Result result = Kvs(arguments);
    EXPECT_EQ(0, result.status);
    EXPECT_EQ("", result.err);
  }
  if (::geteuid() != 0) {  // root writes whatever the mode says
    ExpectResult(Kvs("put ro.kvs k", "w"), 2, "", "kvs: ro.kvs: cannot open: Permission denied\n");
    ExpectResult(Kvs("compact ro.kvs"), 2, "", "kvs: ro.kvs: cannot open: Permission denied\n");
  }
  EXPECT_EQ(before, ReadFile(File("ro.kvs")));
  EXPECT_FALSE(std::filesystem::exists(File("ro.kvs-journal")));
}

// Standard output on a full device: every command that writes to it, the
// library's dumps and check included, fails with a message, small outputs
// at the final flush and long ones while they are written.
TEST_F(KvsProgram, AFailedWriteToStandardOutputFailsTheCommand) {
  if (!std::filesystem::exists("/dev/full")) {
    GTEST_SKIP() << "no /dev/full";
  }
  MakeStore("s.kvs", STORE_SORTED, {{"k", "v\0"s}});
  StoreHandle handle = BdbCreate(File("long.kvs").c_str(), 0);
  ASSERT_NE(nullptr, handle);
  for (int i = 0; i < 400; ++i) {
    const std::string key = "key number " + std::to_string(i);
    EXPECT_EQ(1, BdbPut(handle, key.c_str(), "value", 6));
    if (i % 2 == 0) {
      EXPECT_EQ(1, BdbDelete(handle, key.c_str()));
    }
  }
  EXPECT_EQ(1, BdbClose(handle));
  std::vector<std::string> runs = {"get s.kvs k", "get --help", "--help", "--version"};
  for (const char* store : {"s.kvs", "long.kvs"}) {
    for (const char* command : {"list", "stats", "dump", "dump --free", "check", "export"}) {
      runs.push_back(std::string(command) + " " + store);
    }
  }
  for (const std::string& arguments : runs) {
    SCOPED_TRACE(arguments);
    const Result result = Kvs(arguments, "", "/dev/full");
    EXPECT_EQ(2, result.status);
    EXPECT_EQ(0u, result.err.find("kvs: standard output: write failed")) << result.err;
  }
}

// Every command and option that kvs(1) names is in kvs --help, and every
// one that --help names is in the page.
TEST_F(KvsProgram, ThePageAndTheUsageNameTheSameCommandsAndOptions) {
  // The page's escaped hyphens ("\\-") read as plain ones.
  std::string page;
  for (const char c : ReadFile(KVS_PAGE)) {
    if (c == '-' && !page.empty() && page.back() == '\\') page.pop_back();
    page += c;
  }
  const std::size_t from = page.find(".SH COMMANDS\n");
  ASSERT_NE(std::string::npos, from);
  const std::string pageCommands = page.substr(from, page.find("\n.SH ", from + 1) - from);
  const std::string usage = Kvs("--help").out;
  // The first group of every match of pattern in text.
  auto matches = [](const std::string& text, const char* pattern) {
    const std::regex regex(pattern);
    std::set<std::string> found;
    for (std::sregex_iterator i(text.begin(), text.end(), regex), end; i != end; ++i) {
      found.insert((*i)[1]);
    }
    return found;
  };
  // The page's commands begin the items of its COMMANDS, the usage's its
  // indented lines.
  const std::set<std::string> commands =
      matches(pageCommands, "\n\\.TP\n\\.B[IR]? \"?([a-z-]+)");
  EXPECT_EQ(15u, commands.size());
  EXPECT_EQ(commands, matches(usage, "\n  ([a-z-]+) "));
  EXPECT_EQ(matches(page, "(--[a-z][a-z-]*)"), matches(usage, "(--[a-z][a-z-]*)"));
}

// A template of random groups whose lines are short runs of letters,
// blanks, TABs, CRs and NULs, with LF or CR LF line ends, blocks that span
// lines and lengths that do not always match: whatever kvsgen makes of it.
std::string GeneratedTemplate(unsigned seed) {
  std::mt19937 random(seed);
  const std::string bytes = "aAbB \t\r\0\n"s;
  auto text = [&](std::size_t most) {
    std::string line;
    for (std::size_t n = random() % (most + 1); n > 0; --n) line += bytes[random() % bytes.size()];
    return line;
  };
  std::string templ;
  for (int group = 0; group < 60; ++group) {
    const std::string lineEnd = random() % 2 ? "\n" : "\r\n";
    std::string key = text(6);
    key.erase(std::remove(key.begin(), key.end(), '\n'), key.end());
    templ += key + lineEnd + std::to_string(static_cast<int>(random() % 40) - 1) + lineEnd +
             text(40) + lineEnd;
  }
  return templ;
}

// Templates that kvsgen compiles, exported and compiled again into a fresh
// path: the same file, byte for byte.
TEST_F(KvsProgram, ExportCompilesBackIntoTheSameStore) {
  std::string big;
  for (int i = 0; i < 40; ++i) big += "line " + std::to_string(i) + " of a longer value\n";
  const std::string templates[] = {
      "alpha\n5\nhello\nbeta\n7\none\ntwo\ngamma\n0\n\n",
      "multi\r\n8\r\none\r\ntwo\r\n\r\nlast  \t\r\n3\r\nabc\r\n",
      "Hello\n2\nhi\nHELLO\n3\nbye\nhello\n1\nx\nother\n0\n\n",
      "cr\n4\na\rb\r\r\nnul\n3\na\0b\n \n1\n \nbig\n" + std::to_string(big.size()) + "\n" + big +
          "\n\n4\nkey?\nk\n4\nshort"s,
  };
  std::vector<std::string> all(std::begin(templates), std::end(templates));
  all.push_back(GeneratedTemplate(1));
  all.push_back(GeneratedTemplate(2));
  int n = 0;
  for (const std::string& templ : all) {
    SCOPED_TRACE(n);
    const std::string name = std::to_string(n++);
    WriteFile(File(name + ".tmpl"), templ);
    // A generated template may end in a group cut short by the end of the
    // file, which kvsgen names and leaves out (status 1).
    const int status = Kvsgen(name + ".tmpl", name + ".kvs");
    EXPECT_TRUE(status == 0 || (status == 1 && n > static_cast<int>(std::size(templates))));
    const Result exported = Kvs("export " + name + ".kvs");
    ExpectResult(exported, 0, exported.out, "");
    WriteFile(File(name + "-export.tmpl"), exported.out);
    EXPECT_EQ(0, Kvsgen(name + "-export.tmpl", name + "-again.kvs"));
    const std::string original = ReadFile(File(name + ".kvs"));
    EXPECT_GT(original.size(), 1189u);  // more than a fresh store
    EXPECT_EQ(original, ReadFile(File(name + "-again.kvs")));
  }
}

// A store whose allocated chain is cut short (the third record's lNext set
// to 0) is refused whole: no part of a template, and status 2.
TEST_F(KvsProgram, ExportRefusesAStoreWhoseChainIsCut) {
  // The records lie end to end after the store header, and in a sorted store
  // after the Index record (its header, the key "Index" and 256 entries) too:
  // a header, a 3-byte key and a 2-byte value each. lNext is a header's fifth
  // word.
  using kvs::kRecordHeaderSize, kvs::kStoreHeaderSize;
  constexpr int32_t kSortedFirst = kStoreHeaderSize + kRecordHeaderSize + 5 + 4 * 256;
  constexpr int32_t kRecordSize = kRecordHeaderSize + 3 + 2, kNext = 16;
  for (const auto& [flags, first] : {std::pair{STORE_SORTED, kSortedFirst}, {0, kStoreHeaderSize}}) {
    SCOPED_TRACE(flags);
    std::filesystem::remove(File("cut.kvs"));
    MakeStore("cut.kvs", flags,
              {{"k00", "a\0"s}, {"k01", "b\0"s}, {"k02", "c\0"s}, {"k03", "d\0"s}});
    std::string bytes = ReadFile(File("cut.kvs"));
    bytes.replace(static_cast<std::size_t>(first + 2 * kRecordSize + kNext), 4, 4, '\0');
    WriteFile(File("cut.kvs"), bytes);
    ExpectResult(Kvs("export cut.kvs"), 2, "", "kvs: cut.kvs: export: damaged store\n");
  }
}

TEST_F(KvsProgram, UnexpressibleRecordsAreNamedNotAltered) {
  MakeStore("u.kvs", 0,
            {{"fine", "ok\0"s}, {"raw", "no nul"}, {"crlf", "a\r\nb\0"s}, {"eof", "\x1a\0"s},
             {"blank ", "x\0"s}, {"two\nlines", "x\0"s}, {std::string(1279, 'k'), "\0"s}});
  const std::string before = ReadFile(File("u.kvs"));
  const std::pair<std::string, std::string> named[] = {
      {"\"raw\"", "value does not end in a NUL"},
      {"\"eof\"", "value holds byte 0x1A"},
      {"\"blank \"", "key ends in a blank, TAB or CR"},
      {"\"two\\x0alines\"", "key holds a line end"},
      {"kk\"", "key longer than a key line holds"}};
  for (const bool skip : {false, true}) {
    SCOPED_TRACE(skip);
    const Result result = Kvs(skip ? "export u.kvs --skip-unexpressible" : "export u.kvs");
    EXPECT_EQ(skip ? 0 : 1, result.status);
    EXPECT_EQ("fine\n2\nok\ncrlf\n4\na\r\r\nb\n", result.out);
    for (const auto& [key, reason] : named) {
      const std::string line = key + (skip ? ": skipped: " : ": ") + reason + "\n";
      EXPECT_NE(std::string::npos, result.err.find(line)) << line;
    }
  }
  EXPECT_EQ(before, ReadFile(File("u.kvs")));
}

}  // namespace
