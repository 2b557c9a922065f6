#!/usr/bin/env bash
# bench/run.sh: times kvsgen against other tools that build a keyed file from
# the same records, then runs the store's micro-benchmarks (store_bench).
#
#   bench/run.sh [--sizes LIST] [--runs K] [--timeout SECONDS] [--seed N]
#                [--micro-sizes LIST | --no-micro] [--min-time SECONDS]
#                [--lookup-repetitions K]
#                [--ordered-limit X] [--strict] [--no-install] [--work DIR]
#
# Steps: build kvsgen and store_bench in Release (build/bench-release);
# install the tools compared with from Debian's packages when missing;
# generate the records of each size once (bench/gen_template); for each size
# run K rounds, each timing every run once in the same order, so that load
# from other work on the machine falls on all of them alike; print Markdown
# tables of medians and of kvsgen's figures divided by each run's
# (bench/report.py), with the derived checks; then store_bench.
#
# The exit status is 0 unless a step cannot be done (the build, the records),
# or --strict is given and a check fails. A run that exceeds --timeout is
# stopped and reported as timed out.
set -euo pipefail
cd "$(dirname "$0")/.."

sizes=100000,400000
sizes_given=0
runs=3
timeout_seconds=1200
seed=1
micro=1
micro_sizes=""
min_time=0.5
lookup_repetitions=7
ordered_limit=1
strict=0
install=1
work=build/bench-work
build=build/bench-release

usage() {
  sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
  cat <<'EOF'

Options:
  --sizes LIST        record counts, comma-separated (default 100000,400000)
  --runs K            rounds per size (default 3)
  --timeout SECONDS   bound on each timed run (default 1200)
  --seed N            seed of the records (default 1)
  --micro-sizes LIST  store_bench sizes (default 10000,100000, or --sizes
                      when --sizes is given)
  --no-micro          leave store_bench out
  --min-time SECONDS  store_bench's minimum time per benchmark (default 0.5)
  --lookup-repetitions K
                      processes of the second pass, each running every
                      paired lookup benchmark once (default 7)
  --ordered-limit X   limit of kvsgen's time over each ordered store's (default 1)
  --strict            exit with status 1 when a check fails
  --no-install        never call apt-get
  --work DIR          records, outputs and figures (default build/bench-work)
EOF
}

while [ $# -gt 0 ]; do
  case $1 in
    --sizes) sizes=$2; sizes_given=1; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --timeout) timeout_seconds=$2; shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    --micro-sizes) micro_sizes=$2; shift 2 ;;
    --no-micro) micro=0; shift ;;
    --micro) micro=1; shift ;;
    --min-time) min_time=$2; shift 2 ;;
    --lookup-repetitions) lookup_repetitions=$2; shift 2 ;;
    --ordered-limit) ordered_limit=$2; shift 2 ;;
    --strict) strict=1; shift ;;
    --no-install) install=0; shift ;;
    --work) work=$2; shift 2 ;;
    -h | --help) usage; exit 0 ;;
    *) echo "run.sh: unknown argument '$1' (see --help)" >&2; exit 2 ;;
  esac
done
if [ -z "$micro_sizes" ]; then
  if [ $sizes_given -eq 1 ]; then micro_sizes=$sizes; else micro_sizes=10000,100000; fi
fi
IFS=, read -r -a size_list <<<"$sizes"
for size in "${size_list[@]}"; do
  [[ $size =~ ^[1-9][0-9]*$ ]] || { echo "run.sh: bad size '$size'" >&2; exit 2; }
done
[[ $runs =~ ^[1-9][0-9]*$ ]] || { echo "run.sh: bad run count '$runs'" >&2; exit 2; }
[[ $lookup_repetitions =~ ^[1-9][0-9]*$ ]] ||
  { echo "run.sh: bad lookup repetitions '$lookup_repetitions'" >&2; exit 2; }

# ---------------------------------------------------------------------------
# The tools compared with, from Debian's packages.

packages=(tinycdb db5.3-util gdbmtool lmdb-utils sqlite3 time libbenchmark-dev libcdb-dev)

missing_packages() {
  local pkg
  for pkg in "$@"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || echo "$pkg"
  done
}

# Waits (up to ten minutes) while another apt or dpkg holds the package
# database, so that two installs never run at once.
wait_for_package_manager() {
  local waited=0
  while pgrep -x 'apt|apt-get|dpkg|unattended-upgr' >/dev/null && [ $waited -lt 600 ]; do
    [ $waited -eq 0 ] && echo "== waiting for another apt-get or dpkg to finish"
    sleep 5
    waited=$((waited + 5))
  done
}

install_missing() {
  if ! command -v dpkg >/dev/null; then
    echo "== no dpkg here: install ${packages[*]} (or their equivalents) by hand"
    return
  fi
  local need
  mapfile -t need < <(missing_packages "${packages[@]}")
  [ ${#need[@]} -gt 0 ] || return 0
  if [ $install -eq 0 ] || [ "$(id -u)" -ne 0 ]; then
    echo "== not installed (runs that need them are skipped): ${need[*]}"
    return
  fi
  echo "== installing ${need[*]}"
  wait_for_package_manager
  apt-get update -qq || echo "== apt-get update failed; trying the install anyway"
  wait_for_package_manager
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null ||
    echo "== the install failed: runs whose tools are missing are skipped"
}

install_missing

time_tool=/usr/bin/time
[ -x "$time_tool" ] || { echo "run.sh: GNU time ($time_tool) is needed" >&2; exit 1; }
cdb_tool=$(command -v cdb || true)
sqlite_tool=$(command -v sqlite3 || true)
db_load_tool=$(command -v db_load || command -v db5.3_load || true)
db_stat_tool=$(command -v db_stat || command -v db5.3_stat || true)
gdbm_load_tool=$(command -v gdbm_load || true)
mdb_load_tool=$(command -v mdb_load || true)

# ---------------------------------------------------------------------------
# Build.

bench_option=ON
if command -v dpkg >/dev/null && ! dpkg -s libbenchmark-dev >/dev/null 2>&1; then
  echo "== Google Benchmark is not installed: store_bench is left out"
  bench_option=OFF
  micro=0
fi
echo "== building $build (Release)"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKVS_BENCH=$bench_option -DKVS_TESTS=OFF \
  >"$build.configure.log" 2>&1 || { cat "$build.configure.log"; exit 1; }
targets=(kvsgen kvs)
[ $bench_option = ON ] && targets+=(store_bench)
cmake --build "$build" -j2 --target "${targets[@]}" >"$build.build.log" 2>&1 ||
  { tail -n 40 "$build.build.log"; exit 1; }
kvsgen=$build/kvsgen/kvsgen
kvs=$build/kvs/kvs

mkdir -p "$work"
work=$(cd "$work" && pwd)
results=$work/results.tsv
: >"$results"

# ---------------------------------------------------------------------------
# Records: the template, the peers' inputs and the template of new keys,
# made again only when the generator, the size or the seed changed.

make_records() {  # size; sets data
  local size=$1
  data=$work/data/$size-$seed
  local stamp
  stamp="$(sha1sum bench/gen_template | cut -d' ' -f1) $size $seed"
  if [ "$(cat "$data/stamp" 2>/dev/null)" = "$stamp" ]; then return; fi
  echo "== generating $size records (seed $seed)"
  rm -rf "$data"
  mkdir -p "$data"
  python3 bench/gen_template "$size" "$seed" "$data/records.tmpl" --cdb "$data/records.cdbin" \
    --dbload "$data/records.txt" --gdbm "$data/records.gdbmdump" --mdb "$data/records.mdbdump" \
    --csv "$data/records.csv"
  python3 bench/gen_template $((size / 10)) "$seed" "$data/add.tmpl" --skip "$size"
  # One transaction, as .import does by itself; -bail makes an error the
  # exit status.
  cat >"$data/sqlite.sql" <<EOF
CREATE TABLE kv(key TEXT PRIMARY KEY COLLATE NOCASE, value);
.import --csv "$data/records.csv" kv
EOF
  echo "$stamp" >"$data/stamp"
}

# ---------------------------------------------------------------------------
# Timed runs. Each appends one line to the results: size, what, round,
# status (ok, timeout, failed, skipped), seconds, peak RSS in KiB, bytes of
# the file it wrote.

record() {  # size what round status seconds rss bytes
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$@" >>"$results"
}

# The number of records a file holds, read back with the tool's own reader;
# empty when it cannot be told.
count_records() {  # what file
  local what=$1 file=$2
  case $what in
    kvsgen | add) { "$kvs" stats "$file" 2>/dev/null || true; } |
      sed -n 's/^live records: *\([0-9]*\)$/\1/p' ;;
    cdb) "$cdb_tool" -s "$file" | sed -n 's/^number of records: //p' ;;
    sqlite3) "$sqlite_tool" "$file" 'SELECT count(*) FROM kv;' ;;
    db_load) [ -z "$db_stat_tool" ] || "$db_stat_tool" -d "$file" |
      sed -n 's/^\([0-9]*\)\tNumber of unique keys.*/\1/p' ;;
    gdbm) gdbmtool "$file" count | sed -n 's/^There are \([0-9]*\) items.*/\1/p' ;;
    mdb_load) mdb_stat -n "$file" | sed -n 's/^ *Entries: //p' ;;
  esac
}

# time_run size what round output input expected command...: runs the
# command under GNU time and timeout, with input as its standard input;
# checks that output exists and, when expected is not empty, holds that many
# records. Sets last_status.
time_run() {
  local size=$1 what=$2 round=$3 output=$4 input=$5 expected=$6
  shift 6
  local times=$work/time.out log=$work/run.log rc=0 seconds="" rss="" status bytes="" held
  rm -f "$times"
  # Every run starts with nothing of an earlier run still to be written
  # back, so that no run pays for another's writes.
  sync
  "$time_tool" -f '%e %M' -o "$times" timeout -k 10 "$timeout_seconds" "$@" \
    <"$input" >"$log" 2>&1 || rc=$?
  [ -s "$times" ] && read -r seconds rss < <(tail -n 1 "$times")
  if [ $rc -eq 124 ] || [ $rc -eq 137 ]; then
    status=timeout
  elif [ $rc -ne 0 ] || [ ! -f "$output" ]; then
    status=failed
    echo "   $what failed (status $rc): $(tail -n 2 "$log" | tr '\n' ' ')"
  else
    status=ok
    bytes=$(stat -c %s "$output")
    if [ -n "$expected" ]; then
      held=$(count_records "$what" "$output" || true)
      if [ "$held" != "$expected" ]; then
        status=failed
        echo "   $what wrote ${held:-an unknown number of} records, not $expected"
      fi
    fi
  fi
  record "$size" "$what" "$round" "$status" "$seconds" "$rss" "$bytes"
  last_status=$status
  printf '   %-9s %-8s %8s s %8s KiB\n' "$what" "$status" "${seconds:-?}" "${rss:-?}"
}

skip_run() {  # size what round reason
  record "$1" "$2" "$3" skipped "" "" ""
  printf '   %-9s skipped: %s\n' "$2" "$4"
}

# time_calls size what round prepare command...: a program that opens a
# store for one call, run call_repetitions times (prepare, untimed, before
# each), every run timed to the microsecond (GNU time's 10 ms are too coarse
# for it); records the median seconds and, from one more run under GNU
# time, the peak RSS.
call_repetitions=21
time_calls() {
  local size=$1 what=$2 round=$3 prepare=$4 i start end times=() rss="" status=ok
  shift 4
  for ((i = 0; i < call_repetitions; i++)); do
    eval "$prepare"
    start=$EPOCHREALTIME
    "$@" >/dev/null 2>&1 </dev/null || status=failed
    end=$EPOCHREALTIME
    times+=("$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.6f", b - a }')")
  done
  eval "$prepare"
  "$time_tool" -f '%M' -o "$work/time.out" "$@" >/dev/null 2>&1 </dev/null || status=failed
  rss=$(tail -n 1 "$work/time.out")
  local seconds
  seconds=$(printf '%s\n' "${times[@]}" | sort -g | sed -n "$((call_repetitions / 2 + 1))p")
  record "$size" "$what" "$round" "$status" "$seconds" "$rss" 0
  printf '   %-11s %-8s %8s s %8s KiB (median of %d)\n' "$what" "$status" "$seconds" "$rss" \
    "$call_repetitions"
}

# Programs that open the store for one call, against the peers' own: a get
# of one key beside `cdb -q`, a put of one new key (into a copy of the
# store) beside sqlite3's one-row insert (into a copy of its database).
time_single_calls() {  # size round store kvsgen_status
  local size=$1 round=$2 store=$3 key out=$work/out/$1
  if [ "$4" != ok ]; then
    skip_run "$size" get "$round" "no complete kvsgen store this round"
    return
  fi
  key=$(head -n 1 "$data/records.tmpl")
  printf 'a new value' >"$out/value"
  time_calls "$size" get "$round" : "$kvs" get "$store" "$key"
  if [ -f "$out/records.cdb" ]; then
    time_calls "$size" cdb_get "$round" : "$cdb_tool" -q "$out/records.cdb" "$key"
  fi
  # Each put starts from a copy: at sizes above 100,000 (the put target's
  # size) the copies would cost more than the rest of the round.
  [ "$size" -le 100000 ] || { rm -f "$out/value"; return; }
  time_calls "$size" put "$round" "cp '$store' '$out/put.kvs'" \
    "$kvs" put "$out/put.kvs" "bench: a new key" "$out/value"
  if [ -f "$out/records.sqlite" ]; then
    time_calls "$size" sqlite3_put "$round" "cp '$out/records.sqlite' '$out/put.sqlite'" \
      "$sqlite_tool" "$out/put.sqlite" "INSERT INTO kv VALUES('bench: a new key', 'a new value');"
  fi
  rm -f "$out/put.kvs" "$out/put.sqlite" "$out/value"
}

# One round at one size, in a fixed order. Every run writes to a fresh path.
run_round() {  # size round
  local size=$1 round=$2 out=$work/out/$1
  local store=$out/kvsgen-$2.kvs base=$work/out/base-$1.kvs kvsgen_status
  rm -rf "$out"
  mkdir -p "$out"
  time_run "$size" kvsgen "$round" "$store" /dev/null "$size" "$kvsgen" "$data/records.tmpl" "$store"
  kvsgen_status=$last_status
  # The first complete store is the one the add runs start from.
  if [ ! -f "$base" ] && [ "$kvsgen_status" = ok ]; then cp "$store" "$base"; fi

  if [ -n "$cdb_tool" ]; then
    time_run "$size" cdb "$round" "$out/records.cdb" "$data/records.cdbin" "$size" \
      "$cdb_tool" -c "$out/records.cdb"
  else skip_run "$size" cdb "$round" "cdb is not installed"; fi
  if [ -n "$sqlite_tool" ]; then
    time_run "$size" sqlite3 "$round" "$out/records.sqlite" "$data/sqlite.sql" "$size" \
      "$sqlite_tool" -bail "$out/records.sqlite"
  else skip_run "$size" sqlite3 "$round" "sqlite3 is not installed"; fi
  if [ -n "$db_load_tool" ]; then
    time_run "$size" db_load "$round" "$out/records.db" /dev/null "$size" \
      "$db_load_tool" -T -t btree -f "$data/records.txt" "$out/records.db"
  else skip_run "$size" db_load "$round" "db_load is not installed"; fi
  if [ -n "$gdbm_load_tool" ]; then
    time_run "$size" gdbm "$round" "$out/records.gdbm" /dev/null "$size" \
      "$gdbm_load_tool" -n "$data/records.gdbmdump" "$out/records.gdbm"
  else skip_run "$size" gdbm "$round" "gdbm_load is not installed"; fi
  if [ -n "$mdb_load_tool" ]; then
    time_run "$size" mdb_load "$round" "$out/records.mdb" /dev/null "$size" \
      "$mdb_load_tool" -n -f "$data/records.mdbdump" "$out/records.mdb"
  else skip_run "$size" mdb_load "$round" "mdb_load is not installed"; fi

  if [ "$kvsgen_status" = ok ]; then
    time_run "$size" dd "$round" "$out/copy.kvs" /dev/null "" \
      dd if="$store" of="$out/copy.kvs" bs=1M conv=fsync
  else skip_run "$size" dd "$round" "no complete kvsgen store this round"; fi
  time_run "$size" cp "$round" "$out/copy.tmpl" /dev/null "" cp "$data/records.tmpl" "$out/copy.tmpl"

  time_single_calls "$size" "$round" "$store" "$kvsgen_status"

  if [ -f "$base" ]; then
    # The copy is written out before the run (time_run syncs), as a store
    # that has been in place a while would be.
    cp "$base" "$out/add-$round.kvs"
    time_run "$size" add "$round" "$out/add-$round.kvs" /dev/null $((size + size / 10)) \
      "$kvsgen" "$data/add.tmpl" "$out/add-$round.kvs"
  else skip_run "$size" add "$round" "no complete kvsgen store of $size records yet"; fi
  rm -rf "$out"
}

echo "== $runs round(s) at ${sizes//,/, } records; each run bounded by $timeout_seconds s"
for size in "${size_list[@]}"; do
  make_records "$size"
  rm -f "$work/out/base-$size.kvs"
  for ((round = 1; round <= runs; round++)); do
    echo "== $size records, round $round of $runs"
    run_round "$size" "$round"
  done
done

report_options=(--ordered-limit "$ordered_limit")
[ $strict -eq 1 ] && report_options+=(--strict)
status=0
# With --strict the report's status says whether every check passed.
if ! {
  echo
  echo "## Whole runs ($(date -u +%Y-%m-%d), $runs round(s), $(nproc) cores)"
  echo
  python3 bench/report.py runs "$results" "$timeout_seconds" "${report_options[@]}"
} | tee "$work/report.md"; then
  status=1
fi

# ---------------------------------------------------------------------------
# Micro-benchmarks.

if [ $micro -eq 1 ]; then
  echo
  echo "== store_bench at ${micro_sizes//,/, } records (bounded by $timeout_seconds s)"
  # store_bench NAME [FLAG...]: one bounded store_bench run, its figures in
  # $work/NAME.json and its output in $work/NAME.log.
  store_bench() {
    local name=$1
    shift
    KVS_BENCH_SIZES=$micro_sizes KVS_BENCH_DIR=$work/micro \
      timeout -k 10 "$timeout_seconds" "$build/bench/store_bench" "$@" \
      --benchmark_min_time="$min_time" --benchmark_out="$work/$name.json" \
      --benchmark_out_format=json >"$work/$name.log" 2>&1
  }
  # bench_section NAME STATUS HEADING [RUN...]: the heading, then the table
  # that report.py NAME makes of the figures of store_bench RUN... (by
  # default NAME), or why there are none (then false); a failure is the last
  # run's.
  bench_section() {
    local name=$1 rc=$2 heading=$3
    shift 3
    local runs=("${@:-$name}")
    local last=${runs[${#runs[@]} - 1]}
    printf '\n%s\n\n' "$heading" | tee -a "$work/report.md"
    if [ "$rc" -eq 124 ] || [ "$rc" -eq 137 ]; then
      echo "store_bench timed out after $timeout_seconds s (its log: $work/$last.log)"
      return 1
    elif [ "$rc" -ne 0 ]; then
      echo "store_bench ($last) failed with status $rc:"
      tail -n 20 "$work/$last.log"
      status=1
      return 1
    fi
    local files=() run
    for run in "${runs[@]}"; do files+=("$work/$run.json"); done
    python3 bench/report.py "$name" "${files[@]}" | tee -a "$work/report.md"
  }
  micro_rc=0
  store_bench micro --benchmark_filter='-^pair/' || micro_rc=$?
  if bench_section micro $micro_rc "## Micro-benchmarks"; then
    # The paired lookups (store and tinycdb alternated within one benchmark,
    # so that the machine's drift falls on both alike), each once in every
    # one of several processes, in random order: a process's memory may land
    # where this machine serves it slower for its whole life, so repetitions
    # within one process would all share that luck. The medians of their
    # ratios are the lookup figures to compare.
    echo
    echo "== paired lookups: $lookup_repetitions processes, each running every pair once"
    lookups_rc=0
    lookup_runs=()
    for ((r = 1; r <= lookup_repetitions && lookups_rc == 0; r++)); do
      lookup_runs+=("lookups.$r")
      store_bench "lookups.$r" --benchmark_filter='^pair/' \
        --benchmark_enable_random_interleaving=true || lookups_rc=$?
    done
    bench_section lookups $lookups_rc "### Lookups, store and tinycdb alternated" \
      "${lookup_runs[@]}" || true
  fi
  rm -rf "$work/micro"
fi
echo
echo "== figures: $results; tables: $work/report.md"
exit $status
