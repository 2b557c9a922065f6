// store_bench.cc: micro-benchmarks of the record store through its public
// interface (store/store.h), with the same random lookups in a tinycdb file of
// the same records when libcdb is available, so that both rates come from one
// run on one machine.
//
// Store sizes come from KVS_BENCH_SIZES (comma-separated record counts,
// default "10000,100000"); stores without the sorted index have the same
// sizes unless KVS_BENCH_UNSORTED_SIZES is set (set but empty for none).
// Work files go to KVS_BENCH_DIR, or to a fresh folder in the system's
// temporary directory that is removed at exit.
//
// Every benchmark reports items_per_second, one item being one operation
// (a lookup, an update, a delete with its re-put, a listing, a compaction,
// a build of a whole store). The unsorted-sorted benchmarks alternate the
// two kinds of store within one benchmark and give the ratio of their rates
// as a counter, so that the machine's drift falls on both alike.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "store/store.h"

#ifndef KVS_BENCH_HAVE_CDB
#define KVS_BENCH_HAVE_CDB 0
#endif
#if KVS_BENCH_HAVE_CDB
#include <cdb.h>
#endif

namespace {

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------
// Records: the same shapes as bench/gen_template writes (keys of 8 to 40
// printable bytes with no blank at either end, unique when letter case is
// ignored; values of 16 to 400 printable bytes), from one seeded stream.

struct Record {
  std::string key;
  std::string value;
};

constexpr std::size_t kKeyMin = 8, kKeyMax = 40;
constexpr std::size_t kValueMin = 16, kValueMax = 400;
constexpr std::size_t kAbsentKeys = 10000;  // keys looked up but never stored
constexpr uint64_t kSeed = 20240607;

std::string Folded(const std::string &key) {
  std::string folded = key;
  for (char &byte : folded) {
    if (byte >= 'A' && byte <= 'Z') byte = static_cast<char>(byte - 'A' + 'a');
  }
  return folded;
}

// The first count + kAbsentKeys records of the stream: the first count are
// stored, the rest serve as absent keys. The stream does not depend on
// count, so each size's records begin with the smaller sizes' records.
class RecordSet {
 public:
  explicit RecordSet(std::size_t count) : count_(count) {
    std::mt19937_64 rng(kSeed);
    std::uniform_int_distribution<int> edge(0x21, 0x7E), inner(0x20, 0x7E);
    std::uniform_int_distribution<std::size_t> keyLength(kKeyMin, kKeyMax);
    std::uniform_int_distribution<std::size_t> valueLength(kValueMin, kValueMax);
    std::unordered_set<std::string> seen;
    while (records_.size() < count + kAbsentKeys) {
      std::string key(keyLength(rng), ' ');
      for (char &byte : key) byte = static_cast<char>(inner(rng));
      key.front() = static_cast<char>(edge(rng));
      key.back() = static_cast<char>(edge(rng));
      if (!seen.insert(Folded(key)).second) continue;
      std::string value(valueLength(rng), ' ');
      for (char &byte : value) byte = static_cast<char>(inner(rng));
      records_.push_back({std::move(key), std::move(value)});
    }
    // Lookups and updates visit the stored keys in this random order.
    order_.resize(count);
    for (std::size_t i = 0; i < count; ++i) order_[i] = i;
    std::shuffle(order_.begin(), order_.end(), rng);
  }

  std::size_t count() const { return count_; }
  const Record &Stored(std::size_t i) const { return records_[order_[i % count_]]; }
  const Record &Absent(std::size_t i) const { return records_[count_ + i % kAbsentKeys]; }
  const Record &InLoadOrder(std::size_t i) const { return records_[i]; }

 private:
  std::size_t count_;
  std::vector<Record> records_;
  std::vector<std::size_t> order_;
};

const RecordSet &Records(std::size_t count) {
  static std::map<std::size_t, std::unique_ptr<RecordSet>> sets;
  auto &set = sets[count];
  if (!set) set = std::make_unique<RecordSet>(count);
  return *set;
}

int32_t Length(const std::string &text) { return static_cast<int32_t>(text.size()); }

// ---------------------------------------------------------------------------
// Work files: one folder for the run, base stores built once per size and
// kind, and a fresh copy of a base for every benchmark call that changes it.

class WorkFolder {
 public:
  WorkFolder() {
    const char *chosen = std::getenv("KVS_BENCH_DIR");
    if (chosen != nullptr && *chosen != '\0') {
      path_ = chosen;
    } else {
      path_ = fs::temp_directory_path() / ("kvs-bench-" + std::to_string(::getpid()));
      owned_ = true;
    }
    fs::create_directories(path_);
  }
  ~WorkFolder() {
    std::error_code ignored;
    if (owned_) fs::remove_all(path_, ignored);
  }
  fs::path File(const std::string &name) const { return path_ / name; }

 private:
  fs::path path_;
  bool owned_ = false;
};

WorkFolder &Work() {
  static WorkFolder folder;
  return folder;
}

enum class Kind { kSorted, kUnsorted, kSortedWithHoles };

const char *KindName(Kind kind) {
  switch (kind) {
    case Kind::kSorted: return "sorted";
    case Kind::kUnsorted: return "unsorted";
    case Kind::kSortedWithHoles: return "sorted-holes";
  }
  return "";
}

// Builds a store the way kvsgen does (puts in template order, held in
// memory, then one compaction), so that the benchmarks start from the
// layout users have.
void BuildStore(const fs::path &path, std::size_t count, bool sorted) {
  const int32_t flags = sorted ? STORE_SORTED | STORE_NOCASE : STORE_NOCASE;
  StoreHandle store = BdbCreate(path.c_str(), flags);
  if (store == nullptr) throw std::runtime_error("cannot create " + path.string());
  BdbHoldWrites(store);  // built as kvsgen builds: written once, by the compaction
  const RecordSet &records = Records(count);
  bool ok = true;
  for (std::size_t i = 0; ok && i < count; ++i) {
    const Record &record = records.InLoadOrder(i);
    ok = BdbPut(store, record.key.c_str(), record.value.data(), Length(record.value)) != 0;
  }
  ok = ok && BdbCompact(store) != 0;
  BdbClose(store);
  if (!ok) throw std::runtime_error("put or compaction failed building " + path.string());
}

// A copy of the sorted store that lost every tenth key, so that compaction
// has free records to drop.
void PunchHoles(const fs::path &path, std::size_t count, const fs::path &sorted) {
  fs::copy_file(sorted, path, fs::copy_options::overwrite_existing);
  StoreHandle store = BdbOpen(path.c_str());
  if (store == nullptr) throw std::runtime_error("cannot open " + path.string());
  BdbHoldWrites(store);
  const RecordSet &records = Records(count);
  bool ok = true;
  for (std::size_t i = 3; ok && i < count; i += 10) {
    ok = BdbDelete(store, records.InLoadOrder(i).key.c_str()) != 0;
  }
  ok = BdbClose(store) != 0 && ok;
  if (!ok) throw std::runtime_error("delete failed in " + path.string());
}

const fs::path &BaseStore(std::size_t count, Kind kind) {
  static std::map<std::pair<std::size_t, Kind>, fs::path> bases;
  auto found = bases.find({count, kind});
  if (found != bases.end()) return found->second;
  fs::path path = Work().File(std::string("base-") + KindName(kind) + "-" +
                              std::to_string(count) + ".kvs");
  if (kind == Kind::kSortedWithHoles) {
    PunchHoles(path, count, BaseStore(count, Kind::kSorted));
  } else {
    BuildStore(path, count, kind == Kind::kSorted);
  }
  return bases.emplace(std::make_pair(count, kind), path).first->second;
}

// An open copy of a base store, closed and deleted when it goes. Every
// stored key is looked up once first, so the benchmarks time a store in
// steady use: an open leaves a large index in the file until its lookups
// have paid for loading it (store/first_lookups shows that cost).
class StoreCopy {
 public:
  StoreCopy(std::size_t count, Kind kind) : path_(Work().File("work.kvs")) {
    fs::copy_file(BaseStore(count, kind), path_, fs::copy_options::overwrite_existing);
    handle_ = BdbOpen(path_.c_str());
    if (handle_ == nullptr) throw std::runtime_error("cannot open " + path_.string());
    const RecordSet &records = Records(count);
    for (std::size_t i = 0; i < count; ++i) {
      BdbGetSize(handle_, records.InLoadOrder(i).key.c_str(), nullptr);
    }
  }
  ~StoreCopy() {
    BdbClose(handle_);
    std::error_code ignored;
    fs::remove(path_, ignored);
  }
  StoreCopy(const StoreCopy &) = delete;
  StoreCopy &operator=(const StoreCopy &) = delete;
  StoreHandle handle() const { return handle_; }

 private:
  fs::path path_;
  StoreHandle handle_ = nullptr;
};

// Runs body inside a benchmark, turning a failed set-up into a skipped
// benchmark with the reason instead of an aborted run.
template <typename Body>
void Guarded(benchmark::State &state, Body body) {
  try {
    body();
  } catch (const std::exception &error) {
    state.SkipWithError(error.what());
  }
}

// ---------------------------------------------------------------------------
// Store benchmarks.

// One lookup: the size, then the value read into a buffer of that size.
bool StoreFinds(StoreHandle store, const Record &record, std::vector<char> &buffer) {
  int32_t size = 0;
  return BdbGetSize(store, record.key.c_str(), &size) != 0 &&
         BdbRead(store, record.key.c_str(), buffer.data(), size) != 0;
}

void StoreLookup(benchmark::State &state, std::size_t count, Kind kind, bool present) {
  Guarded(state, [&] {
    StoreCopy store(count, kind);
    const RecordSet &records = Records(count);
    std::vector<char> buffer(kValueMax);
    std::size_t i = 0;
    for (auto _ : state) {
      const Record &record = present ? records.Stored(i) : records.Absent(i);
      ++i;
      const bool found = StoreFinds(store.handle(), record, buffer);
      if (found != present) {
        state.SkipWithError(present ? "a stored key was not found" : "an absent key was found");
        break;
      }
      benchmark::DoNotOptimize(buffer.data());
    }
    state.SetItemsProcessed(state.iterations());
  });
}

// Puts into a copy of the sorted store, one stored key after the other,
// with the value that valueFor(record, i) makes for the i-th put.
template <typename ValueFor>
void StorePuts(benchmark::State &state, std::size_t count, ValueFor valueFor) {
  Guarded(state, [&] {
    StoreCopy store(count, Kind::kSorted);
    const RecordSet &records = Records(count);
    std::size_t i = 0;
    std::string value;
    for (auto _ : state) {
      const Record &record = records.Stored(i);
      valueFor(record, i++, value);
      if (!BdbPut(store.handle(), record.key.c_str(), value.data(), Length(value))) {
        state.SkipWithError("put failed");
        break;
      }
    }
    state.SetItemsProcessed(state.iterations());
  });
}

// A put of a value of the same length as the key's: it fits the record.
void StoreUpdateInPlace(benchmark::State &state, std::size_t count) {
  StorePuts(state, count, [](const Record &record, std::size_t, std::string &value) {
    value.assign(record.value.rbegin(), record.value.rend());
  });
}

// A put of a value larger than any record's room: the record moves. The
// value grows by kValueMax + 1 each time a key comes round again, so every
// put relocates.
void StoreUpdateRelocate(benchmark::State &state, std::size_t count) {
  StorePuts(state, count, [count](const Record &record, std::size_t i, std::string &value) {
    const std::size_t round = i / count + 1;
    value.assign(record.value.size() + round * (kValueMax + 1), 'r');
  });
}

// After count / 10 deletes, a put that relocates another key's value: first
// fit looks over a free list of count / 10 records and more (each relocation
// frees the record it leaves). A fixed number of iterations, count / 10, so
// that every run meets the same lists.
void StoreFreeReuse(benchmark::State &state, std::size_t count, Kind kind) {
  Guarded(state, [&] {
    StoreCopy store(count, kind);
    const RecordSet &records = Records(count);
    const std::size_t deleted = count / 10;
    for (std::size_t i = 0; i < deleted; ++i) {
      if (!BdbDelete(store.handle(), records.Stored(i).key.c_str())) {
        state.SkipWithError("delete failed");
        return;
      }
    }
    std::size_t i = deleted;
    std::string value;
    for (auto _ : state) {
      const Record &record = records.Stored(i++);
      value.assign(record.value.size() + kValueMax + 1, 'r');
      if (!BdbPut(store.handle(), record.key.c_str(), value.data(), Length(value))) {
        state.SkipWithError("put failed");
        break;
      }
    }
    state.SetItemsProcessed(state.iterations());
  });
}

// A delete and a put of the same record, so the store keeps its size.
void StoreDeleteReput(benchmark::State &state, std::size_t count) {
  Guarded(state, [&] {
    StoreCopy store(count, Kind::kSorted);
    const RecordSet &records = Records(count);
    std::size_t i = 0;
    for (auto _ : state) {
      const Record &record = records.Stored(i++);
      if (!BdbDelete(store.handle(), record.key.c_str()) ||
          !BdbPut(store.handle(), record.key.c_str(), record.value.data(),
                  Length(record.value))) {
        state.SkipWithError("delete or put failed");
        break;
      }
    }
    state.SetItemsProcessed(state.iterations());
  });
}

// The keys beginning with the first two bytes of a stored key: about
// count / 95 / 95 keys, since key bytes are spread over 95 values (letters
// fold, so somewhat more).
void StoreListPrefix(benchmark::State &state, std::size_t count) {
  Guarded(state, [&] {
    StoreCopy store(count, Kind::kSorted);
    const RecordSet &records = Records(count);
    std::size_t i = 0, listed = 0;
    for (auto _ : state) {
      const std::string prefix = records.Stored(i++).key.substr(0, 2);
      int32_t found = 0;
      char *keys = BdbListPrefix(store.handle(), prefix.c_str(), &found);
      if (keys == nullptr) {
        state.SkipWithError("no key listed for a stored key's prefix");
        break;
      }
      listed += static_cast<std::size_t>(found);
      BdbFree(keys);
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["keys_per_list"] = benchmark::Counter(
        static_cast<double>(listed), benchmark::Counter::kAvgIterations);
  });
}

// Both kinds of store alternated in one benchmark, each side timed apart:
// the counters give the rate of each per second of wall time, and the
// unsorted store's over the sorted store's.
template <typename Side>
void Alternated(benchmark::State &state, double itemsPerSide, Side side) {
  using Clock = std::chrono::steady_clock;
  Clock::duration times[2] = {};
  std::size_t round = 0;
  bool right = true;
  for (auto _ : state) {
    // Each round swaps which goes first.
    for (std::size_t turn = 0; right && turn < 2; ++turn) {
      const bool sorted = (round + turn) % 2 == 0;
      const auto start = Clock::now();
      right = side(sorted, round);
      times[sorted ? 1 : 0] += Clock::now() - start;
    }
    if (!right) {
      state.SkipWithError("a store gave a wrong answer or failed");
      break;
    }
    ++round;
  }
  const double unsortedSeconds = std::chrono::duration<double>(times[0]).count();
  const double sortedSeconds = std::chrono::duration<double>(times[1]).count();
  const double items = itemsPerSide * static_cast<double>(round);
  if (unsortedSeconds > 0 && sortedSeconds > 0) {
    state.counters["unsorted_per_s"] = items / unsortedSeconds;
    state.counters["sorted_per_s"] = items / sortedSeconds;
    state.counters["unsorted_over_sorted"] = sortedSeconds / unsortedSeconds;
  }
  state.SetItemsProcessed(static_cast<int64_t>(2 * items));
}

// A whole store built as kvsgen builds it (BuildStore: puts in a held run,
// then the compaction and the close), unsorted and sorted alternated.
void BuildBothKinds(benchmark::State &state, std::size_t count) {
  Guarded(state, [&] {
    Records(count);  // made before the clock runs
    const fs::path paths[2] = {Work().File("build-unsorted.kvs"), Work().File("build-sorted.kvs")};
    Alternated(state, static_cast<double>(count), [&](bool sorted, std::size_t) {
      const fs::path &path = paths[sorted ? 1 : 0];
      std::error_code ignored;
      fs::remove(path, ignored);
      BuildStore(path, count, sorted);
      return true;
    });
    for (const fs::path &path : paths) {
      std::error_code ignored;
      fs::remove(path, ignored);
    }
  });
}

// Warm lookups in both kinds of store (of the same records, built alike),
// alternated in batches of kBothKindsBatch, each a StoreFinds of a stored
// key.
constexpr std::size_t kBothKindsBatch = 50000;

void LookupBothKinds(benchmark::State &state, std::size_t count) {
  Guarded(state, [&] {
    StoreCopy unsorted(count, Kind::kUnsorted);
    const fs::path sortedPath = Work().File("work-sorted.kvs");
    fs::copy_file(BaseStore(count, Kind::kSorted), sortedPath,
                  fs::copy_options::overwrite_existing);
    StoreHandle sorted = BdbOpen(sortedPath.c_str());
    if (sorted == nullptr) throw std::runtime_error("cannot open " + sortedPath.string());
    const RecordSet &records = Records(count);
    std::vector<char> buffer(kValueMax);
    // One batch each before the clock runs: both stores warm.
    for (StoreHandle store : {unsorted.handle(), sorted}) {
      for (std::size_t i = 0; i < kBothKindsBatch; ++i) StoreFinds(store, records.Stored(i), buffer);
    }
    Alternated(state, static_cast<double>(kBothKindsBatch), [&](bool isSorted, std::size_t round) {
      StoreHandle store = isSorted ? sorted : unsorted.handle();
      std::size_t right = 0;
      const std::size_t first = round * kBothKindsBatch;
      for (std::size_t i = first; i < first + kBothKindsBatch; ++i) {
        right += StoreFinds(store, records.Stored(i), buffer);
      }
      benchmark::DoNotOptimize(buffer.data());
      return right == kBothKindsBatch;
    });
    BdbClose(sorted);
    std::error_code ignored;
    fs::remove(sortedPath, ignored);
  });
}

// Compaction of a store of which one tenth of the keys were deleted; every
// iteration starts from a fresh copy, made with the timer stopped.
void StoreCompact(benchmark::State &state, std::size_t count) {
  Guarded(state, [&] {
    for (auto _ : state) {
      state.PauseTiming();
      auto store = std::make_unique<StoreCopy>(count, Kind::kSortedWithHoles);
      state.ResumeTiming();
      if (!BdbCompact(store->handle())) {
        state.SkipWithError("compaction failed");
        break;
      }
      state.PauseTiming();
      store.reset();
      state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations());
  });
}

// The first lookups after a read-only open, the open and close included:
// lookups items per iteration. Until about count / 32 lookups the index is
// searched where it lies in the file; then its entries are loaded, and the
// lookups after that are the warm ones of store/lookup_hit.
void StoreFirstLookups(benchmark::State &state, std::size_t count, std::size_t lookups) {
  Guarded(state, [&] {
    const fs::path &path = BaseStore(count, Kind::kSorted);
    const RecordSet &records = Records(count);
    std::vector<char> buffer(kValueMax);
    std::size_t next = 0;
    for (auto _ : state) {
      StoreHandle store = BdbOpenReadOnly(path.c_str());
      bool right = store != nullptr;
      for (std::size_t i = 0; right && i < lookups; ++i) {
        right = StoreFinds(store, records.Stored(next++), buffer);
      }
      BdbClose(store);
      if (!right) {
        state.SkipWithError("a stored key was not found");
        break;
      }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(lookups));
  });
}

// ---------------------------------------------------------------------------
// tinycdb: the same records in a cdb file, found and read the same way.

#if KVS_BENCH_HAVE_CDB
const fs::path &BaseCdb(std::size_t count) {
  static std::map<std::size_t, fs::path> bases;
  auto found = bases.find(count);
  if (found != bases.end()) return found->second;
  fs::path path = Work().File("base-" + std::to_string(count) + ".cdb");
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) throw std::runtime_error("cannot create " + path.string());
  struct cdb_make maker;
  bool ok = cdb_make_start(&maker, fd) == 0;
  const RecordSet &records = Records(count);
  for (std::size_t i = 0; ok && i < count; ++i) {
    const Record &record = records.InLoadOrder(i);
    ok = cdb_make_add(&maker, record.key.data(), static_cast<unsigned>(record.key.size()),
                      record.value.data(), static_cast<unsigned>(record.value.size())) == 0;
  }
  ok = ok && cdb_make_finish(&maker) == 0;
  ::close(fd);
  if (!ok) throw std::runtime_error("cannot write " + path.string());
  return bases.emplace(count, path).first->second;
}

// An open cdb file: descriptor and reader, released when it goes.
class CdbReader {
 public:
  explicit CdbReader(const fs::path &path) : fd_(::open(path.c_str(), O_RDONLY)) {
    if (fd_ < 0 || cdb_init(&cdb_, fd_) != 0) {
      if (fd_ >= 0) ::close(fd_);
      throw std::runtime_error("cannot open " + path.string());
    }
  }
  ~CdbReader() {
    cdb_free(&cdb_);
    ::close(fd_);
  }
  CdbReader(const CdbReader &) = delete;
  CdbReader &operator=(const CdbReader &) = delete;
  struct cdb *get() { return &cdb_; }

 private:
  int fd_;
  struct cdb cdb_ {};
};

// tinycdb's lookup: find, then read the value.
bool CdbFinds(struct cdb *cdb, const Record &record, std::vector<char> &buffer) {
  return cdb_find(cdb, record.key.data(), static_cast<unsigned>(record.key.size())) > 0 &&
         cdb_read(cdb, buffer.data(), cdb_datalen(cdb), cdb_datapos(cdb)) == 0;
}

void CdbLookup(benchmark::State &state, std::size_t count, bool present) {
  Guarded(state, [&] {
    CdbReader reader(BaseCdb(count));
    const RecordSet &records = Records(count);
    std::vector<char> buffer(kValueMax);
    std::size_t i = 0;
    for (auto _ : state) {
      const Record &record = present ? records.Stored(i) : records.Absent(i);
      ++i;
      const bool found = CdbFinds(reader.get(), record, buffer);
      if (found != present) {
        state.SkipWithError(present ? "a stored key was not found" : "an absent key was found");
        break;
      }
      benchmark::DoNotOptimize(buffer.data());
    }
    state.SetItemsProcessed(state.iterations());
  });
}
// Store and tinycdb lookups of the same keys in one benchmark, alternated in
// batches of kPairBatch and each batch timed: the load of a shared machine
// drifts within seconds, and alternating every few tens of milliseconds puts
// the same drift on both. A batch is long enough for each side to run as it
// would alone, its tables back in the processor's caches after the other's
// batch (batches of 1,000 cost the store about a fifth of its rate, tinycdb
// less). One iteration is one batch of each. The counters give both rates
// per second of wall time and their ratio.
constexpr std::size_t kPairBatch = 50000;

void PairedLookup(benchmark::State &state, std::size_t count, bool present) {
  Guarded(state, [&] {
    StoreCopy store(count, Kind::kSorted);
    CdbReader reader(BaseCdb(count));
    const RecordSet &records = Records(count);
    std::vector<char> buffer(kValueMax);
    using Clock = std::chrono::steady_clock;
    Clock::duration storeTime{}, cdbTime{};
    std::size_t next = 0;
    const auto batch = [&](auto finds, std::size_t first, Clock::duration &time) {
      const auto start = Clock::now();
      std::size_t right = 0;
      for (std::size_t i = first; i < first + kPairBatch; ++i) {
        right += finds(present ? records.Stored(i) : records.Absent(i)) == present;
      }
      time += Clock::now() - start;
      return right == kPairBatch;
    };
    for (auto _ : state) {
      const bool storeRight = batch(
          [&](const Record &record) { return StoreFinds(store.handle(), record, buffer); },
          next, storeTime);
      const bool cdbRight = batch(
          [&](const Record &record) { return CdbFinds(reader.get(), record, buffer); }, next,
          cdbTime);
      next += kPairBatch;
      if (!storeRight || !cdbRight) {
        state.SkipWithError(present ? "a stored key was not found" : "an absent key was found");
        break;
      }
      benchmark::DoNotOptimize(buffer.data());
    }
    const double lookups = static_cast<double>(next);
    const double storeSeconds = std::chrono::duration<double>(storeTime).count();
    const double cdbSeconds = std::chrono::duration<double>(cdbTime).count();
    if (storeSeconds > 0 && cdbSeconds > 0) {
      state.counters["store_per_s"] = lookups / storeSeconds;
      state.counters["cdb_per_s"] = lookups / cdbSeconds;
      state.counters["store_over_cdb"] = cdbSeconds / storeSeconds;
    }
  });
}

// A program that opens a store to read one value: open (read-only), one
// lookup with its read, close; store and tinycdb alternated key by key over
// kOpenKeys keys per iteration, each open timed. The counters give the
// medians over every open of the run (µs) and the rates and ratio that
// they make, as the paired lookups give theirs.
constexpr std::size_t kOpenKeys = 50;

void PairedOpenLookupClose(benchmark::State &state, std::size_t count) {
  Guarded(state, [&] {
    const fs::path &storePath = BaseStore(count, Kind::kSorted);
    const fs::path &cdbPath = BaseCdb(count);
    const RecordSet &records = Records(count);
    std::vector<char> buffer(kValueMax);
    using Clock = std::chrono::steady_clock;
    std::vector<double> storeTimes, cdbTimes;
    std::size_t next = 0;
    const auto timed = [](auto body, std::vector<double> &times) {
      const auto start = Clock::now();
      const bool right = body();
      times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
      return right;
    };
    for (auto _ : state) {
      bool right = true;
      for (std::size_t k = 0; right && k < kOpenKeys; ++k) {
        const Record &record = records.Stored(next++);
        right = timed([&] {
          StoreHandle store = BdbOpenReadOnly(storePath.c_str());
          const bool found = store != nullptr && StoreFinds(store, record, buffer);
          return BdbClose(store) != 0 && found;
        }, storeTimes);
        right = right && timed([&] {
          CdbReader reader(cdbPath);
          return CdbFinds(reader.get(), record, buffer);
        }, cdbTimes);
      }
      if (!right) {
        state.SkipWithError("a stored key was not found");
        break;
      }
      benchmark::DoNotOptimize(buffer.data());
    }
    const auto median = [](std::vector<double> &times) {
      const auto middle = times.begin() + static_cast<std::ptrdiff_t>(times.size() / 2);
      std::nth_element(times.begin(), middle, times.end());
      return *middle;
    };
    if (!storeTimes.empty() && storeTimes.size() == cdbTimes.size()) {
      const double storeMedian = median(storeTimes), cdbMedian = median(cdbTimes);
      state.counters["store_median_us"] = storeMedian;
      state.counters["cdb_median_us"] = cdbMedian;
      state.counters["store_per_s"] = 1e6 / storeMedian;
      state.counters["cdb_per_s"] = 1e6 / cdbMedian;
      state.counters["store_over_cdb"] = cdbMedian / storeMedian;
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kOpenKeys));
  });
}
#endif

// ---------------------------------------------------------------------------
// Registration: names are "<library>/<operation>/<kind>/<records>", which
// bench/run.sh reads to pair the store's lookups with tinycdb's.

std::vector<std::size_t> SizesFrom(const char *variable, const char *fallback) {
  const char *text = std::getenv(variable);  // set but empty: no sizes
  const std::string list = text != nullptr ? text : fallback;
  std::vector<std::size_t> sizes;
  std::size_t start = 0;
  while (start < list.size()) {
    std::size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    const std::string item = list.substr(start, end - start);
    if (!item.empty()) sizes.push_back(static_cast<std::size_t>(std::stoull(item)));
    start = end + 1;
  }
  return sizes;
}

// Registers fn(state, count, args...) as "<operation>/<count>".
template <typename Fn, typename... Args>
benchmark::internal::Benchmark *Register(const char *operation, std::size_t count, Fn fn,
                                         Args... args) {
  std::string name = operation;
  name += '/';
  name += std::to_string(count);
  return benchmark::RegisterBenchmark(name.c_str(), fn, count, args...)
      ->Unit(benchmark::kMicrosecond);
}

void RegisterAll() {
  for (std::size_t count : SizesFrom("KVS_BENCH_SIZES", "10000,100000")) {
    Register("store/lookup_hit/sorted", count, StoreLookup, Kind::kSorted, true);
    Register("store/lookup_miss/sorted", count, StoreLookup, Kind::kSorted, false);
#if KVS_BENCH_HAVE_CDB
    Register("cdb/lookup_hit/hashed", count, CdbLookup, true);
    Register("cdb/lookup_miss/hashed", count, CdbLookup, false);
    Register("pair/lookup_hit/sorted-hashed", count, PairedLookup, true);
    Register("pair/lookup_miss/sorted-hashed", count, PairedLookup, false);
    Register("pair/open_lookup_close/sorted-hashed", count, PairedOpenLookupClose);
#endif
    // Lookups after an open: searched in the file, then (past count / 32)
    // through the loaded entries.
    for (const std::size_t lookups : {std::size_t{1}, std::size_t{64}, count / 32, count}) {
      const std::string operation = "store/first_" + std::to_string(lookups) + "_lookups/sorted";
      Register(operation.c_str(), count, StoreFirstLookups, lookups);
    }
    Register("store/update_in_place/sorted", count, StoreUpdateInPlace);
    Register("store/update_relocate/sorted", count, StoreUpdateRelocate);
    Register("store/delete_reput/sorted", count, StoreDeleteReput);
    for (const Kind kind : {Kind::kSorted, Kind::kUnsorted}) {
      const std::string operation = std::string("store/free_reuse/") + KindName(kind);
      Register(operation.c_str(), count, StoreFreeReuse, kind)->Iterations(
          static_cast<benchmark::IterationCount>(count / 10));
    }
    Register("store/list_prefix/sorted", count, StoreListPrefix);
    Register("store/compact/sorted-holes", count, StoreCompact);
  }
  const char *sizes = std::getenv("KVS_BENCH_UNSORTED_SIZES") != nullptr
                          ? "KVS_BENCH_UNSORTED_SIZES"
                          : "KVS_BENCH_SIZES";
  for (std::size_t count : SizesFrom(sizes, "10000,100000")) {
    Register("store/lookup_hit/unsorted", count, StoreLookup, Kind::kUnsorted, true);
    Register("store/lookup_miss/unsorted", count, StoreLookup, Kind::kUnsorted, false);
    Register("store/lookup_hit/unsorted-sorted", count, LookupBothKinds);
    Register("store/build_held/unsorted-sorted", count, BuildBothKinds);
  }
}

}  // namespace

int main(int argc, char **argv) {
  RegisterAll();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::AddCustomContext("tinycdb", KVS_BENCH_HAVE_CDB ? "linked" : "not available");
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
