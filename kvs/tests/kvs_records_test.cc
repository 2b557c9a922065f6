// kvs_records_test.cc: kvs dump-records, load, import and create run as
// processes: byte-exact round trips over generated stores of every kind,
// each input format, and inputs that are refused or partly left out.
#include <random>
#include <string>
#include <vector>

#include "kvs/tests/kvs_program_fixture.h"
#include "store/store.h"

namespace {

using namespace std::string_literals;
using namespace kvs_test;

std::string CdbRecord(const std::string& key, const std::string& value) {
  std::string record = "+";
  record.append(std::to_string(key.size())).append(",").append(std::to_string(value.size()));
  return record.append(":").append(key).append("->").append(value).append("\n");
}

// A dump of random records: keys of any byte but NUL (letters often, so
// that a case-folding store meets keys that differ in case only), values
// of any byte, a few of them long, and the keys "\n" and "Index".
std::string GeneratedDump(unsigned seed, int32_t flags) {
  std::mt19937 random(seed);
  auto bytes = [&](std::size_t length, bool key) {
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
      const auto pick =
          static_cast<unsigned>(random() % 4 == 0 ? 'A' + random() % 3 : random() % 256);
      text += static_cast<char>(key && pick == 0 ? 'a' : pick);
    }
    return text;
  };
  std::string dump = CdbRecord("\0"s, std::to_string(flags)) + CdbRecord("\n", "") +
                     CdbRecord("Index", bytes(3, false));
  for (int i = 0; i < 300; ++i) {
    const std::size_t valueLength = i % 50 == 0 ? 5000 + random() % 3000 : random() % 40;
    dump += CdbRecord(bytes(1 + random() % 12, true), bytes(valueLength, false));
  }
  return dump + "\n";
}

// A store loaded from a generated dump, dumped and loaded again: the same
// dump and the same file, on stores of every kind.
TEST_F(KvsProgram, DumpThenLoadGivesTheSameStoreByteForByte) {
  for (const int32_t flags : {0, STORE_SORTED, STORE_NOCASE, STORE_SORTED | STORE_NOCASE}) {
    for (const unsigned seed : {1u, 2u}) {
      SCOPED_TRACE(std::to_string(flags) + " " + std::to_string(seed));
      for (const char* name : {"a.kvs", "b.kvs"}) std::filesystem::remove(File(name));
      WriteFile(File("gen.cdb"), GeneratedDump(seed, flags));
      ExpectResult(Kvs("load a.kvs gen.cdb"), 0, "", "");
      const Result dump = Kvs("dump-records a.kvs");
      ExpectResult(dump, 0, dump.out, "");
      EXPECT_EQ(0u, dump.out.find(CdbRecord("\0"s, std::to_string(flags))));
      ExpectResult(Kvs("load b.kvs -", dump.out), 0, "", "");
      EXPECT_EQ(ReadFile(File("a.kvs")), ReadFile(File("b.kvs")));
      ExpectResult(Kvs("dump-records b.kvs"), 0, dump.out, "");
      ExpectResult(Kvs("check b.kvs"), 0, "b.kvs: sound\n", "");
    }
  }
}

// kvsgen's store of the example template comes back the same; a store
// changed by puts and deletes comes back with the same records.
TEST_F(KvsProgram, DumpThenLoadCarriesKvsgenAndChangedStores) {
  const std::filesystem::path example =
      std::filesystem::path(KVS_PAGE).parent_path().parent_path() / "examples/messages.tmpl";
  std::string quoted = "'";
  ASSERT_EQ(0, Kvsgen(quoted.append(example.string()).append("'"), "gen.kvs"));
  ASSERT_EQ(0, Shell("$K dump-records gen.kvs | $K load again.kvs"));
  EXPECT_EQ(ReadFile(File("gen.kvs")), ReadFile(File("again.kvs")));

  MakeStore("changed.kvs", 0, {{"b", "1"}, {"a", "\0\n\0"s}, {"c", ""}, {"gone", "x"}});
  StoreHandle store = BdbOpen(File("changed.kvs").c_str());
  ASSERT_NE(nullptr, store);
  EXPECT_EQ(1, BdbDelete(store, "gone"));
  EXPECT_EQ(1, BdbPut(store, "b", "longer value", 12));
  EXPECT_EQ(1, BdbClose(store));
  const std::string expected = CdbRecord("\0"s, "0") + CdbRecord("a", "\0\n\0"s) +
                               CdbRecord("c", "") + CdbRecord("b", "longer value") + "\n";
  ExpectResult(Kvs("dump-records changed.kvs"), 0, expected, "");
  ASSERT_EQ(0, Shell("$K dump-records changed.kvs | $K load copy.kvs"));
  ExpectResult(Kvs("dump-records copy.kvs"), 0, expected, "");
}

// Each input format, into a new store of the flags asked for; the store's
// records as dump-records shows them.
TEST_F(KvsProgram, ImportReadsEachFormat) {
  const struct {
    const char* arguments;
    std::string input;
    std::string records;  // after the flags record
  } cases[] = {
      {"import s.kvs --format cdb", CdbRecord("\0"s, "0") + CdbRecord("k", "a\0b"s) + "\n",
       CdbRecord("k", "a\0b"s)},
      {"import s.kvs - --format tsv --unsorted",
       "b\tline\\none\\ttab\\\\\\0\nA\\tkey\t\nk\tv1\nk\tv2",
       CdbRecord("b", "line\none\ttab\\\0"s) + CdbRecord("A\tkey", "") + CdbRecord("k", "v2")},
      {"import s.kvs --format=jsonl --case-sensitive",
       "{\"key\": \"k\\u00e9\", \"value\": \"\\ud83d\\ude00 \\\"q\\\" \\u0000\"}\n  \n"
       "{\"value\":\"2\",\"key\":\"K\\n\"}\n",
       CdbRecord("k\xc3\xa9", "\xf0\x9f\x98\x80 \"q\" \0"s) + CdbRecord("K\n", "2")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    std::filesystem::remove(File("s.kvs"));
    ExpectResult(Kvs(c.arguments, c.input), 0, "", "");
    const Result dump = Kvs("dump-records s.kvs");
    EXPECT_EQ(0, dump.status);
    EXPECT_EQ(c.records + "\n", dump.out.substr(dump.out.find('\n') + 1));
  }
  // Into an existing store, whose flags stay.
  ExpectResult(Kvs("import s.kvs --format tsv --unsorted", "x\ty\n"), 0, "", "");
  ExpectResult(Kvs("get s.kvs x"), 0, "y", "");
  EXPECT_EQ(0u, Kvs("dump-records s.kvs").out.find(CdbRecord("\0"s, "1")));
}

// Inputs not of their format are refused before a store is made or touched;
// records no store can hold are named and left out (status 1).
TEST_F(KvsProgram, LoadAndImportRefuseWhatTheyCannotCarry) {
  const std::string good = CdbRecord("\0"s, "3") + CdbRecord("k", "v");
  const struct {
    const char* arguments;
    std::string input;
    int status;
    const char* errPart;
  } cases[] = {
      {"load s.kvs", good, 2, "standard input: record 3: the input ends before the empty line"},
      {"load s.kvs", good + "\nx", 2, "record 3: bytes follow the empty line"},
      {"load s.kvs", "+1,1:k=>v\n\n", 2, "record 1: no \"->\" after the key"},
      {"load s.kvs", "+1,9:k->v\n\n", 2, "record 1: the input ends inside the value"},
      {"load s.kvs", "+1,x:k->v\n\n", 2, "record 1: not of the form +klen,dlen:key->value"},
      {"load s.kvs", "+1,1:\0->x\n\n"s, 2, "record 1: the flags record holds no flags word"},
      {"import s.kvs --format tsv", "k\tv\nno tab\n", 2, "line 2: no TAB between key and value"},
      {"import s.kvs --format tsv", "k\\x\tv\n", 2, "line 1: a backslash that is not one of"},
      {"import s.kvs --format jsonl", "{\"key\":\"k\"}\n", 2, "line 1: no \"key\" or no \"value\""},
      {"import s.kvs --format jsonl", "{\"key\":\"k\",\"value\":\"v\",\"x\":\"\"}", 2,
       "line 1: a member other than"},
      {"import s.kvs --format jsonl", "{\"key\":\"\\udc00\",\"value\":\"\"}", 2,
       "line 1: a member value that is not a JSON string"},
      {"import s.kvs", "", 2, "import: --format is needed"},
      {"import s.kvs --format csv", "", 2, "--format: not cdb, tsv or jsonl: csv"},
      {"load s.kvs missing.cdb", "", 2, "kvs: missing.cdb: cannot read: No such file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    ExpectResult(Kvs(c.arguments, c.input), c.status, "", c.errPart);
    EXPECT_FALSE(std::filesystem::exists(File("s.kvs")));
  }

  ExpectResult(Kvs("load s.kvs", good + CdbRecord("a\0b"s, "v") + CdbRecord("\0"s, "3") +
                                     CdbRecord(std::string(16385, 'k'), "") + "\n"),
               1, "", "standard input: record 3: \"a\\x00b\": left out: key holds a NUL byte\n");
  ExpectResult(Kvs("dump-records s.kvs"), 0, good + "\n", "");
  ExpectResult(Kvs("import s.kvs --format tsv", "\\0\tv\n"), 1, "", "line 1: \"\\x00\": left out");
  for (const char* arguments : {"load s.kvs", "create s.kvs"}) {
    ExpectResult(Kvs(arguments, good + "\n"), 2, "", "kvs: s.kvs: cannot create: the file exists");
  }
  ExpectResult(Kvs("dump-records s.kvs"), 0, good + "\n", "");
}

TEST_F(KvsProgram, CreateMakesAnEmptyStoreOfTheFlagsAsked) {
  const struct {
    const char* options;
    const char* flags;
  } cases[] = {{"", "3"}, {" --unsorted", "2"}, {" --case-sensitive", "1"},
               {" --unsorted --case-sensitive", "0"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    std::filesystem::remove(File("s.kvs"));
    ExpectResult(Kvs("create s.kvs"s + c.options), 0, "", "");
    ExpectResult(Kvs("dump-records s.kvs"), 0, CdbRecord("\0"s, c.flags) + "\n", "");
  }
}

}  // namespace
