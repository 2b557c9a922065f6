#!/usr/bin/env python3
"""Turns the figures that bench/run.sh gathered into Markdown tables.

    report.py runs RESULTS.tsv TIMEOUT [--ordered-limit X] [--strict]
    report.py micro STORE_BENCH.json
    report.py lookups STORE_BENCH.json...

`runs` reads one line per timed run (size, what, round, status, seconds,
peak RSS in KiB, bytes of what it wrote), prints per size the median with
min and max of each figure and kvsgen's figure divided by it, and the
programs that open a store for one call beside the peers', then the
derived checks. With --strict the exit status is 1 when a check fails.

`micro` reads store_bench's JSON output and prints every benchmark's rate,
then the store's lookups per second beside tinycdb's for each size.

`lookups` reads store_bench's JSON outputs of the paired lookup benchmarks
(store and tinycdb alternated in one benchmark), from one or more processes,
and prints for each the medians of both rates and of their ratio over all
repetitions.
"""
import argparse
import json
import statistics
import sys
from collections import defaultdict

# The rows of a size's table, in the order of a round, with their labels.
ROWS = [
    ("kvsgen", "kvsgen, fresh store"),
    ("cdb", "tinycdb `cdb -c`"),
    ("sqlite3", "sqlite3 `.import` (NOCASE key)"),
    ("db_load", "db_load `-T -t btree`"),
    ("gdbm", "gdbm_load"),
    ("mdb_load", "mdb_load"),
    ("dd", "`dd` of the kvsgen store, fsync"),
    ("cp", "`cp` of the template"),
    ("add", "kvsgen adding size/10 new records"),
]
ADD_TARGET_SIZE = 100000  # adding a tenth is held to 1.5 × a fresh build here
ORDERED_PEERS = ["sqlite3", "db_load", "mdb_load"]
MIB = 1024 * 1024


class Figure:
    """A median with its range. lower: some runs timed out and count as the
    timeout, so the true median may be higher."""

    def __init__(self, values, timed_out, timeout):
        counted = values + [timeout] * timed_out
        self.value = statistics.median(counted) if counted else None
        self.low = min(counted) if counted else None
        self.high = max(counted) if counted else None
        self.lower = timed_out > 0 and self.value is not None and \
            self.value >= min([timeout] + values)

    def __bool__(self):
        return self.value is not None


class Ratio:
    """a / b with what is known about it: exact, a lower or an upper bound,
    or nothing."""

    def __init__(self, a, b, a_lower=False, b_lower=False):
        if a is None or b is None or b == 0 or (a_lower and b_lower):
            self.value, self.bound = None, "unknown"
        else:
            self.value = a / b
            self.bound = "lower" if a_lower else "upper" if b_lower else "exact"

    def text(self):
        if self.value is None:
            return "n/a"
        prefix = {"exact": "", "lower": "≥ ", "upper": "≤ "}[self.bound]
        return prefix + number(self.value)

    def at_most(self, limit):
        """PASS, FAIL or UNKNOWN for ratio ≤ limit."""
        if self.value is None:
            return "UNKNOWN"
        if self.bound == "exact":
            return "PASS" if self.value <= limit else "FAIL"
        if self.bound == "lower":
            return "FAIL" if self.value > limit else "UNKNOWN"
        return "PASS" if self.value <= limit else "UNKNOWN"


def number(x):
    """Three significant figures or so, without exponent for usual values."""
    if x >= 100:
        return "%.0f" % x
    if x >= 10:
        return "%.1f" % x
    if x >= 1:
        return "%.2f" % x
    return "%.3g" % x


def rate(x):
    """Operations per second with a k or M suffix."""
    if x >= 1e6:
        return number(x / 1e6) + " M"
    if x >= 1e3:
        return number(x / 1e3) + " k"
    return number(x)


def read_runs(path):
    """{size: {what: {"seconds": [...], "timed_out": n, "rss": [...],
    "bytes": [...], "failed": n}}}"""
    data = defaultdict(lambda: defaultdict(lambda: {
        "seconds": [], "timed_out": 0, "failed": 0, "skipped": 0, "rss": [], "bytes": []}))
    with open(path) as lines:
        for line in lines:
            size, what, _round, status, seconds, rss, written = line.rstrip("\n").split("\t")
            entry = data[int(size)][what]
            if status == "ok":
                entry["seconds"].append(float(seconds))
                entry["bytes"].append(int(written))
            elif status == "timeout":
                entry["timed_out"] += 1
            elif status == "skipped":
                entry["skipped"] += 1
            else:
                entry["failed"] += 1
            if status in ("ok", "timeout") and rss:
                entry["rss"].append(int(rss))
    return data


def figures(entry, timeout):
    seconds = Figure(entry["seconds"], entry["timed_out"], timeout)
    rss = Figure([r / 1024 for r in entry["rss"]], 0, 0)
    size = Figure([b / MIB for b in entry["bytes"]], 0, 0)
    return seconds, rss, size


def with_range(figure, note=""):
    if not figure:
        return "n/a" + note
    text = ("≥ " if figure.lower else "") + number(figure.value)
    if figure.low != figure.high:
        text += " (%s–%s)" % (number(figure.low), number(figure.high))
    return text + note


def size_table(size, rows, timeout):
    base = figures(rows["kvsgen"], timeout) if "kvsgen" in rows else (None, None, None)
    out = ["### %s records" % format(size, ","), "",
           "| run | seconds: median (min–max) | kvsgen ÷ this | peak RSS MiB | kvsgen ÷ this "
           "| written MiB | kvsgen ÷ this |",
           "|---|---|---|---|---|---|---|"]
    for what, label in ROWS:
        if what not in rows:
            continue
        entry = rows[what]
        seconds, rss, written = figures(entry, timeout)
        notes = []
        if entry["timed_out"]:
            notes.append("%d timed out at %d s" % (entry["timed_out"], timeout))
        if entry["failed"]:
            notes.append("%d failed" % entry["failed"])
        if entry["skipped"]:
            notes.append("%d skipped" % entry["skipped"])
        note = " — " + ", ".join(notes) if notes else ""
        cells = [label.replace("size/10", format(size // 10, ","))]
        for index, (mine, theirs) in enumerate(zip(base, (seconds, rss, written))):
            cells.append(with_range(theirs, note if index == 0 else ""))
            if what == "kvsgen":
                cells.append("1" if theirs else "n/a")
            else:
                cells.append(Ratio(mine.value if mine else None,
                                   theirs.value if theirs else None,
                                   bool(mine and mine.lower),
                                   bool(theirs and theirs.lower)).text())
        out.append("| " + " | ".join(cells) + " |")
    return out


# Programs that open a store for one call, beside the peers' (medians of
# microsecond timings, bench/run.sh time_calls).
CALLS = [
    ("get", "`kvs get` of one key"),
    ("cdb_get", "`cdb -q` of the same key"),
    ("put", "`kvs put` of one new key"),
    ("sqlite3_put", "sqlite3 one-row INSERT"),
]


def calls_table(size, rows):
    out = ["#### %s records: one call per process" % format(size, ","), "",
           "| run | ms: median of each round's median (min–max) | peak RSS MiB |", "|---|---|---|"]
    for what, label in CALLS:
        if what in rows:
            _, rss, _ = figures(rows[what], 0)
            ms = Figure([x * 1000 for x in rows[what]["seconds"]], 0, 0)
            out.append("| %s | %s | %s |" % (label, with_range(ms), with_range(rss)))
    return out if len(out) > 4 else []


def checks(data, timeout, ordered_limit):
    """Lines of the derived checks and whether any failed."""
    out = ["### Checks", "", "| check | value | limit | result |", "|---|---|---|---|"]
    failed = False

    def row(name, ratio, limit, shown_limit=None):
        nonlocal failed
        result = ratio.at_most(limit)
        failed = failed or result == "FAIL"
        out.append("| %s | %s | ≤ %s | %s |" % (name, ratio.text(),
                                                 shown_limit or number(limit), result))

    median = {}
    for size, rows in sorted(data.items()):
        for what, entry in rows.items():
            median[size, what] = figures(entry, timeout)
    sizes = sorted(data)
    for size in sizes:
        n = format(size, ",")
        kvsgen = median.get((size, "kvsgen"))
        if not kvsgen or not kvsgen[0]:
            continue
        k = kvsgen[0]
        for peer in ORDERED_PEERS:
            other = median.get((size, peer))
            if other and other[0]:
                row("%s: kvsgen ÷ %s, seconds" % (n, peer),
                    Ratio(k.value, other[0].value, k.lower, other[0].lower), ordered_limit)
        dd = median.get((size, "dd"))
        if dd and dd[0]:
            row("%s: kvsgen ÷ dd, seconds" % n, Ratio(k.value, dd[0].value, k.lower, dd[0].lower), 3)
        add = median.get((size, "add"))
        if add and add[0]:
            name = "%s: add %s ÷ fresh %s, seconds" % (n, format(size // 10, ","), n)
            ratio = Ratio(add[0].value, k.value, add[0].lower, k.lower)
            if size == ADD_TARGET_SIZE:
                row(name, ratio, 1.5)
            else:  # the target is set at one size; the others are shown
                out.append("| %s | %s | (set at %s) | shown |" % (name, ratio.text(),
                                                                  format(ADD_TARGET_SIZE, ",")))
        for what in ("kvsgen", "add"):
            fig = median.get((size, what))
            if fig and fig[1] and fig[2]:
                # Peak RSS (the highest run) against the store it wrote + 64 MiB.
                row("%s: %s peak RSS ÷ (store + 64 MiB)" % (n, "kvsgen" if what == "kvsgen"
                                                          else "kvsgen adding"),
                    Ratio(fig[1].high, fig[2].value + 64), 1, "1")
    for size in sizes:
        n = format(size, ",")
        get, cdb_get = median.get((size, "get")), median.get((size, "cdb_get"))
        if get and cdb_get and get[0] and cdb_get[0]:
            row("%s: kvs get ÷ (3 × cdb -q + 2 ms), seconds" % n,
                Ratio(get[0].value, 3 * cdb_get[0].value + 0.002), 1)
        if get and get[1]:
            row("%s: kvs get peak RSS ÷ 16 MiB" % n, Ratio(get[1].high, 16), 1, "1")
        put, insert = median.get((size, "put")), median.get((size, "sqlite3_put"))
        if put and insert and put[0] and insert[0]:
            row("%s: kvs put ÷ sqlite3 insert, seconds" % n,
                Ratio(put[0].value, insert[0].value), 1)
    if len(sizes) >= 2:
        small, large = sizes[0], sizes[-1]
        a, b = median.get((large, "kvsgen")), median.get((small, "kvsgen"))
        if a and b and a[0] and b[0] and a[2] and b[2] and b[2].value:
            # Cost must follow the bytes the format makes the store hold.
            growth = a[2].value / b[2].value
            limit = 1.5 * growth
            row("kvsgen seconds %s ÷ %s" % (format(large, ","), format(small, ",")),
                Ratio(a[0].value, b[0].value, a[0].lower, b[0].lower), limit,
                "1.5 × store sizes' ratio %s = %s" % (number(growth), number(limit)))
    if len(out) == 4:
        out.append("| (no kvsgen figures) | | | |")
    return out, failed


def report_runs(args):
    data = read_runs(args.results)
    lines = []
    for size in sorted(data):
        lines += size_table(size, data[size], args.timeout) + [""]
        calls = calls_table(size, data[size])
        lines += calls + [""] if calls else []
    check_lines, failed = checks(data, args.timeout, args.ordered_limit)
    lines += check_lines
    print("\n".join(lines))
    return 1 if failed and args.strict else 0


def report_micro(args):
    with open(args.json) as source:
        results = json.load(source)["benchmarks"]
    rates = {}
    # Google Benchmark's items_per_second counts CPU time, which other work
    # on a shared machine disturbs less than wall time; both times are shown.
    lines = ["| benchmark | wall µs per operation | CPU µs per operation "
             "| operations per CPU second |", "|---|---|---|---|"]
    for bench in results:
        name = bench["name"]
        if bench.get("error_occurred"):
            lines.append("| %s | error: %s | | |" % (name, bench.get("error_message", "")))
            continue
        ops = bench.get("items_per_second")
        rates[name] = ops
        scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}.get(bench.get("time_unit"), 1.0)
        lines.append("| %s | %s | %s | %s |" % (
            name, number(bench["real_time"] * scale), number(bench["cpu_time"] * scale),
            rate(ops) if ops else "?"))
    lines += ["", "| lookups | records | store per CPU s | tinycdb per CPU s | store ÷ tinycdb |",
              "|---|---|---|---|---|"]
    paired = False
    for name, ops in rates.items():
        parts = name.split("/")
        if parts[0] != "store" or parts[2] != "sorted" or not parts[1].startswith("lookup"):
            continue
        theirs = rates.get("cdb/%s/hashed/%s" % (parts[1], parts[3]))
        if theirs and ops:
            paired = True
            lines.append("| %s | %s | %s | %s | %s (1/%s) |" % (
                parts[1].replace("lookup_", ""), format(int(parts[3]), ","), rate(ops),
                rate(theirs), number(ops / theirs), number(theirs / ops)))
    if not paired:
        lines.append("| (no tinycdb figures: is libcdb-dev installed?) | | | | |")
    print("\n".join(lines))
    return 0


def report_lookups(args):
    results = []
    for path in args.json:
        with open(path) as source:
            results += json.load(source)["benchmarks"]
    # Every repetition of the paired lookups (store and tinycdb alternated in
    # one benchmark): the medians of both rates and of their ratio.
    runs = defaultdict(list)
    for bench in results:
        if bench.get("run_type") != "iteration" or bench.get("error_occurred"):
            continue
        if "store_over_cdb" in bench:
            runs[bench.get("run_name", bench["name"])].append(bench)
    lines = ["| lookups | records | repetitions | store per s: median | tinycdb per s: median "
             "| store ÷ tinycdb: median (min–max) |", "|---|---|---|---|---|---|"]
    for name in sorted(runs, key=lambda n: (n.split("/")[-1].zfill(12), n)):
        parts = name.split("/")
        reps = runs[name]
        ratios = [rep["store_over_cdb"] for rep in reps]
        lines.append("| %s | %s | %d | %s | %s | %s (%s–%s) |" % (
            parts[1].replace("lookup_", ""), format(int(parts[3]), ","), len(reps),
            rate(statistics.median(rep["store_per_s"] for rep in reps)),
            rate(statistics.median(rep["cdb_per_s"] for rep in reps)),
            number(statistics.median(ratios)), number(min(ratios)), number(max(ratios))))
    if not runs:
        lines.append("| (no paired figures: is libcdb-dev installed?) | | | | | |")
    print("\n".join(lines))
    return 0


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="mode", required=True)
    runs = sub.add_parser("runs")
    runs.add_argument("results")
    runs.add_argument("timeout", type=float)
    runs.add_argument("--ordered-limit", type=float, default=1.0)
    runs.add_argument("--strict", action="store_true")
    micro = sub.add_parser("micro")
    micro.add_argument("json")
    lookups = sub.add_parser("lookups")
    lookups.add_argument("json", nargs="+")
    args = parser.parse_args(argv)
    if args.mode == "runs":
        return report_runs(args)
    return report_micro(args) if args.mode == "micro" else report_lookups(args)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
