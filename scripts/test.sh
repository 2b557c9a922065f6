#!/usr/bin/env bash
# Builds and runs every test: a Release build with warnings as errors, the
# same with clang, the suite under AddressSanitizer + UndefinedBehaviorSanitizer,
# and the 32-bit Windows build under wine when the cross compiler and wine are
# here.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

leg="setup"
legs=()
trap 'status=$?; if [ $status -ne 0 ]; then echo "== FAILED: $leg (exit status $status)"; fi' EXIT

run_leg() {  # name, build dir, extra cmake arguments...
  local name=$1 dir=$2; shift 2
  leg=$name
  echo "== $name"
  cmake -S . -B "$dir" -DKVS_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs"
  legs+=("$name")
}

# Each test binary runs as one wine process (see cmake/testing.cmake). The
# prefix is created once before the tests, with a bound, since its first
# start takes long and concurrent first starts would race.
windows_leg() {
  local dir=build/windows wine_run=cmake/wine-run.sh
  if ! command -v i686-w64-mingw32-g++-posix >/dev/null || ! command -v wine >/dev/null; then
    echo "== Windows build: skipped (i686-w64-mingw32-g++-posix or wine is not installed)"
    legs+=("Windows skipped")
    return
  fi
  leg="Windows build (i686-w64-mingw32, tests under wine)"
  echo "== $leg"
  cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake \
    -DCMAKE_BUILD_TYPE=Release -DKVS_WERROR=ON >/dev/null
  cmake --build "$dir" -j "$jobs"
  local prefix=$PWD/$dir/wineprefix
  timeout 300 "$wine_run" "$prefix" wineboot -i ||
    echo "== wine prefix set-up ended with status $?; running the tests anyway"
  local status=0
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 600 || status=$?
  [ $status -ne 0 ] || same_store_on_both_platforms "$dir" "$prefix" || status=$?
  WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
  [ $status -eq 0 ]
  legs+=("Windows")
}

# The example template compiled by the Linux and by the Windows kvsgen must
# give the same store, byte for byte.
same_store_on_both_platforms() {  # Windows build dir, wine prefix
  local out=$1/same-store
  # Called where set -e does not act: every step is chained.
  rm -rf "$out" && mkdir -p "$out" &&
    build/release/kvsgen/kvsgen examples/messages.tmpl "$out/linux.kvs" &&
    timeout 300 cmake/wine-run.sh "$2" "$1/kvsgen/kvsgen.exe" examples/messages.tmpl \
      "$out/windows.kvs" &&
    cmp "$out/linux.kvs" "$out/windows.kvs" &&
    echo "Linux and Windows kvsgen wrote the same store ($(wc -c <"$out/linux.kvs") bytes)"
}

run_leg "Release" build/release -DCMAKE_BUILD_TYPE=Release
if command -v clang++ >/dev/null; then
  CC=clang CXX=clang++ run_leg "clang" build/clang -DCMAKE_BUILD_TYPE=Release
else
  echo "== clang: skipped (clang++ is not installed)"
fi
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run_leg "AddressSanitizer + UndefinedBehaviorSanitizer" build/sanitize \
  -DCMAKE_BUILD_TYPE=Debug -DKVS_SANITIZE=ON
windows_leg

summary=$(IFS=,; echo "${legs[*]}")
echo "== All tests passed (${summary//,/, })"
