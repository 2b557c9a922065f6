#!/usr/bin/env bash
# Builds and runs every test: a Release build with warnings as errors, the
# same with clang, the suite under AddressSanitizer + UndefinedBehaviorSanitizer,
# and the 32-bit and 64-bit Windows builds, each tested under wine where this
# machine can run it. The last line names every leg with its outcome.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

leg="setup"
legs=()          # each leg's name and outcome, for the summary
windows_ran=()   # the Windows targets whose tests ran
trap 'status=$?; if [ $status -ne 0 ]; then echo "== FAILED: $leg (exit status $status)"; fi' EXIT

run_leg() {  # name, build dir, extra cmake arguments...
  local name=$1 dir=$2; shift 2
  leg=$name
  echo "== $name"
  cmake -S . -B "$dir" -DKVS_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs"
  legs+=("$name passed")
}

# The Windows legs, one per target width. Each is cross-built whenever its
# compiler is here (a compile error fails the run); its tests then run under
# wine only when a probe shows that this machine can run them: the loader
# itself must execute (machines that cannot execute 32-bit programs fail
# here), set up a prefix, and run a program of this build. A leg whose probe
# fails is reported as skipped with the reason, never as passed. Each test
# binary runs as one wine process (see cmake/testing.cmake).
windows_leg() {  # x86 | x64
  local arch=$1 bits target
  case $arch in
    x86) bits=32 target=i686-w64-mingw32 ;;
    x64) bits=64 target=x86_64-w64-mingw32 ;;
  esac
  local name="Windows $arch" dir=build/windows-$arch wine_run=cmake/wine-run.sh
  if ! command -v "$target-g++-posix" >/dev/null; then
    echo "== $name: skipped ($target-g++-posix is not installed)"
    legs+=("$name skipped ($target-g++-posix is not installed)")
    return
  fi
  leg="$name build ($target)"
  echo "== $leg"
  cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="cmake/$target.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DKVS_WERROR=ON >/dev/null
  cmake --build "$dir" -j "$jobs"

  local prefix=$PWD/$dir/wineprefix why
  if ! why=$(wine_probe "$bits" "$prefix" "$dir"); then
    echo "== $name: BUILT, TESTS NOT RUN: $why"
    legs+=("$name skipped ($why)")
    return
  fi
  leg="$name tests (under $bits-bit wine)"
  echo "== $leg"
  local status=0
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 600 || status=$?
  [ $status -ne 0 ] || same_store_as_linux "$dir" "$bits" "$prefix" || status=$?
  WINEPREFIX=$prefix timeout 30 wineserver -k 2>/dev/null || true
  [ $status -eq 0 ]
  legs+=("$name passed")
  windows_ran+=("$arch")
}

# Succeeds when wine of the given width can run this build's programs here;
# otherwise prints why not. The prefix is created here, once, with a bound,
# since its first start takes long and concurrent first starts would race.
wine_probe() {  # bits, wine prefix, build dir
  local bits=$1 prefix=$2 dir=$3 wine_run=cmake/wine-run.sh out
  local loader=/usr/lib/wine/wine
  [ "$bits" = 32 ] || loader=$(command -v wine64 || echo /usr/lib/wine/wine64)
  if [ ! -x "$loader" ]; then
    echo "the $bits-bit wine loader $loader is not installed"
    return 1
  fi
  if ! out=$("$loader" --version 2>&1); then
    echo "the $bits-bit wine loader cannot execute on this machine: ${out##*: }"
    return 1
  fi
  timeout 300 "$wine_run" "$bits" "$prefix" wineboot -i >/dev/null 2>&1 || true
  out=$(timeout 120 "$wine_run" "$bits" "$prefix" "$dir/kvsgen/kvsgen.exe" 2>&1) || true
  if [ "$out" != "Usage:   kvsgen <template-file> <DB-file(.kvs)> " ]; then
    echo "$bits-bit wine did not run kvsgen.exe: ${out:-no output}"
    return 1
  fi
}

# The example template compiled by the Linux and by a Windows kvsgen must
# give the same store, byte for byte.
same_store_as_linux() {  # Windows build dir, wine bits, wine prefix
  local out=build/same-store
  # Called where set -e does not act: every step is chained.
  mkdir -p "$out" && rm -f "$out/linux.kvs" "$out/windows-$2.kvs" &&
    build/release/kvsgen/kvsgen examples/messages.tmpl "$out/linux.kvs" &&
    timeout 300 cmake/wine-run.sh "$2" "$3" "$1/kvsgen/kvsgen.exe" examples/messages.tmpl \
      "$out/windows-$2.kvs" &&
    cmp "$out/linux.kvs" "$out/windows-$2.kvs" &&
    echo "Linux and $2-bit Windows kvsgen wrote the same store ($(wc -c <"$out/linux.kvs") bytes)"
}

run_leg "Release" build/release -DCMAKE_BUILD_TYPE=Release
if command -v clang++ >/dev/null; then
  CC=clang CXX=clang++ run_leg "clang" build/clang -DCMAKE_BUILD_TYPE=Release
else
  echo "== clang: skipped (clang++ is not installed)"
  legs+=("clang skipped (clang++ is not installed)")
fi
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run_leg "AddressSanitizer + UndefinedBehaviorSanitizer" build/sanitize \
  -DCMAKE_BUILD_TYPE=Debug -DKVS_SANITIZE=ON
windows_leg x86
windows_leg x64
if [ ${#windows_ran[@]} -eq 2 ]; then
  cmp build/same-store/windows-32.kvs build/same-store/windows-64.kvs
  echo "32-bit and 64-bit Windows kvsgen wrote the same store"
elif [ ${#windows_ran[@]} -eq 0 ]; then
  echo "== WARNING: no Windows test ran on this machine (see the skipped legs below)"
fi

summary=$(IFS=';'; echo "${legs[*]}")
echo "== Summary: ${summary//;/; }"
