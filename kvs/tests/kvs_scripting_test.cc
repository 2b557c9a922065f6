// kvs_scripting_test.cc: the kvs commands and options for scripts (get
// --text, list -0, count, stats --json, "-", -h and help, --wait) and for
// damaged stores (check of a store that does not open, salvage), run as
// processes.
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "kvs/tests/kvs_program_fixture.h"
#include "store/store.h"

namespace {

using namespace std::string_literals;
using namespace kvs_test;

TEST_F(KvsProgram, ScriptingForms) {
  MakeStore("s.kvs", STORE_SORTED | STORE_NOCASE,
            {{"a", "text\0"s}, {"b", "raw"}, {"two\nlines", "\0\0"s}, {"q\"", ""}});
  WriteFile(File("value"), "from a file");
  const struct {
    const char* arguments;
    std::string input;
    int status;
    std::string out;
  } cases[] = {
      {"get s.kvs a --text", "", 0, "text"},
      {"get s.kvs b --text", "", 0, "raw"},
      {"get s.kvs two'\n'lines --text", "", 0, "\0"s},
      {"get s.kvs a", "", 0, "text\0"s},
      {"list s.kvs -0", "", 0, "a\0b\0q\"\0two\nlines\0"s},
      {"list s.kvs t -0", "", 0, "two\nlines\0"s},
      {"count s.kvs", "", 0, "4\n"},
      {"stats s.kvs --json", "", 0,
       "{\"store\": \"s.kvs\", \"flags\": 3, \"sorted\": true, \"nocase\": true, "
       "\"live_records\": 4, \"free_records\": 0, \"index_records\": 1, \"file_size\": 1340, "
       "\"live_value_bytes\": 10, \"slack_bytes\": 0, \"free_record_bytes\": 0}\n"},
      {"put s.kvs c -", "from standard input", 0, ""},
      {"put s.kvs d value", "", 0, ""},
      {"get -h", "", 0, "Usage: kvs get STORE KEY [--text]\n"},
      {"help list", "", 0, "Usage: kvs list STORE [PREFIX] [-0]\n"},
      {"get s.kvs -- -h", "", 1, ""},
      {"count s.kvs --wait x", "", 2, ""},
      {"count s.kvs --wait", "", 2, ""},
      {"count s.kvs -0", "", 2, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    const Result result = Kvs(c.arguments, c.input);
    EXPECT_EQ(c.status, result.status);
    if (c.status == 0) {
      EXPECT_EQ(c.out, result.out.substr(0, c.out.size()));
      EXPECT_EQ("", result.err);
    }
  }
  ExpectResult(Kvs("get s.kvs c"), 0, "from standard input", "");
  ExpectResult(Kvs("get s.kvs d"), 0, "from a file", "");
  EXPECT_EQ(0u, Kvs("help").out.find("Usage: kvs COMMAND STORE [ARGS] [--wait SECONDS]\n"));
  EXPECT_EQ(0u, Kvs("-h").out.find("Usage: kvs COMMAND"));
}

// --wait tries a locked store again until the lock goes or the time is up.
TEST_F(KvsProgram, WaitForALockedStore) {
  MakeStore("s.kvs", STORE_SORTED | STORE_NOCASE, {{"k", "v"}});
  StoreHandle writer = BdbOpen(File("s.kvs").c_str());
  ASSERT_NE(nullptr, writer);
  const auto start = std::chrono::steady_clock::now();
  ExpectResult(Kvs("get s.kvs k --wait 1"), 2, "", "kvs: s.kvs: cannot open: locked\n");
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));

  ASSERT_EQ(0, Shell("($K get s.kvs k --wait=20 > waited; echo $? > status) &"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(1, BdbClose(writer));
  for (int i = 0; i < 200 && ReadFile(File("status")).empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ("0\n", ReadFile(File("status")));
  EXPECT_EQ("v", ReadFile(File("waited")));
}

// Stores of six records with one deleted, damaged so that they do not open
// or their allocated list is cut: check lists what the file holds, and
// salvage copies what the list's walks both ways and the index can find.
TEST_F(KvsProgram, CheckAndSalvageADamagedStore) {
  struct Damage {
    const char* key;
    int field;  // 8 lNameLength, 12 lPrev, 16 lNext
    uint32_t value;
  };
  constexpr uint32_t kFar = 0x7F7F7F7F;
  const struct {
    const char* what;
    int32_t flags;
    bool header;  // the allocated list's first record set past the end
    std::vector<Damage> damage;
    const char* keys;
    int status;
    const char* summary;
  } cases[] = {
      {"header", STORE_SORTED, true, {}, "k0\nk1\nk3\nk4\nk5\n", 0, "; 0 of the 5"},
      {"lNext", 0, false, {{"k3", 16, kFar}}, "k0\nk1\nk3\nk4\nk5\n", 0, "; 0 of the 5"},
      {"unreadable", STORE_SORTED, false, {{"k3", 8, kFar}}, "k0\nk1\nk4\nk5\n", 1,
       "copied 4 records into n.kvs; 1 of the 5"},
      {"off both walks", 0, false, {{"k1", 16, 0}, {"k4", 12, 0}}, "k0\nk1\nk4\nk5\n", 1,
       "; 1 of the 5"},
      {"off both walks, indexed", STORE_SORTED, true, {{"k1", 16, 0}, {"k4", 12, 0}},
       "k0\nk1\nk3\nk4\nk5\n", 0, "; 0 of the 5"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (const char* name : {"d.kvs", "n.kvs"}) std::filesystem::remove(File(name));
    MakeStore("d.kvs", c.flags,
              {{"k0", "v0"}, {"k1", "v1"}, {"k2", "v2"}, {"k3", "v3"}, {"k4", "v4"}, {"k5", "v5"}});
    StoreHandle store = BdbOpen(File("d.kvs").c_str());
    ASSERT_NE(nullptr, store);
    EXPECT_EQ(1, BdbDelete(store, "k2"));
    EXPECT_EQ(1, BdbClose(store));
    std::string bytes = ReadFile(File("d.kvs"));
    if (c.header) bytes[7] = 0x7F;
    for (const Damage& damage : c.damage) {
      const std::size_t at = bytes.find(damage.key) - 32 + static_cast<std::size_t>(damage.field);
      for (unsigned i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(damage.value >> (8 * i));
    }
    WriteFile(File("d.kvs"), bytes);

    if (c.header) {
      const Result check = Kvs("check d.kvs");
      EXPECT_EQ(1, check.status);
      EXPECT_NE(std::string::npos, check.out.find("d.kvs: free list: walked forward: 1 records, "
                                                  "to its end\n"))
          << check.out;
      EXPECT_NE(std::string::npos, check.out.find("d.kvs: records tile the file: "))
          << check.out;
    }
    const Result salvage = Kvs("salvage d.kvs n.kvs");
    EXPECT_EQ(c.status, salvage.status);
    EXPECT_NE(std::string::npos, salvage.out.find(c.summary)) << salvage.out;
    ExpectResult(Kvs("list n.kvs"), 0, c.keys, "");
    ExpectResult(Kvs("get n.kvs k5"), 0, "v5", "");
    ExpectResult(Kvs("check n.kvs"), 0, "n.kvs: sound\n", "");
    EXPECT_EQ(bytes, ReadFile(File("d.kvs")));
  }
  ExpectResult(Kvs("salvage d.kvs n.kvs"), 2, "", "kvs: n.kvs: cannot create: the file exists");
  WriteFile(File("text"), "not a store");
  ExpectResult(Kvs("salvage text x.kvs"), 2, "", "kvs: text: salvage: not a store");
}

}  // namespace
