#!/usr/bin/env bash
# Builds and runs every test: a Release build with warnings as errors, the
# installed product and its .deb packages (static and shared builds, checked
# with lintian), the same with clang, the suite under
# AddressSanitizer + UndefinedBehaviorSanitizer, a bounded run of every fuzz
# target, and the 32-bit and 64-bit Windows builds, each tested under wine
# where this machine can run it. The last line names every leg with its
# outcome.
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

# The installed product as its users get it, built twice without the tests
# (so without GoogleTest) for the prefix /usr that the packages use: the
# default static build, and a build with -DBUILD_SHARED_LIBS=ON. Each is
# installed into a staging prefix, where a small C program
# (packaging/consumer) is built against it through the CMake package and
# through pkg-config, and run; the shared install's kvs must make and read a
# store from there without LD_LIBRARY_PATH. Then cpack makes the .deb
# packages: each must hold its files, and lintian must find no error and no
# warning in any of them.
packaging_leg() {
  local name="Packaging" lintian_note=""
  command -v lintian >/dev/null || lintian_note=", lintian skipped (not installed)"
  packaging_build "$name (static)" build/package static
  packaging_build "$name (shared)" build/package-shared shared
  legs+=("$name passed$lintian_note")
}

packaging_build() {  # leg name, build dir, static | shared
  local name=$1 dir=$2 shared=OFF
  local stage=$PWD/$dir/stage consumer=$PWD/$dir/consumer
  [ "$3" = static ] || shared=ON
  leg="$name: build and install"
  echo "== $leg"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DKVS_WERROR=ON -DKVS_TESTS=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_SHARED_LIBS=$shared >/dev/null
  if grep -q '^GTest_DIR:' "$dir/CMakeCache.txt"; then
    echo "== a build without the tests looked for GoogleTest"
    return 1
  fi
  cmake --build "$dir" -j "$jobs"
  rm -rf "$stage" "$consumer" && mkdir -p "$consumer"
  cmake --install "$dir" --prefix "$stage" >/dev/null

  leg="$name: consumer through find_package"
  echo "== $leg"
  cmake -S packaging/consumer -B "$consumer/cmake" -DCMAKE_PREFIX_PATH="$stage" >/dev/null
  cmake --build "$consumer/cmake"
  "$consumer/cmake/consumer" "$consumer/cmake.kvs"

  leg="$name: consumer through pkg-config"
  echo "== $leg"
  local pc_dir flags
  pc_dir=$(dirname "$(find "$stage" -name kvstore.pc)")
  flags=$(PKG_CONFIG_PATH=$pc_dir pkg-config --cflags --libs kvstore)
  # shellcheck disable=SC2086  # the flags are words
  "${CC:-cc}" packaging/consumer/consumer.c -o "$consumer/pkg-config-consumer" $flags
  LD_LIBRARY_PATH=$(PKG_CONFIG_PATH=$pc_dir pkg-config --variable=libdir kvstore) \
    "$consumer/pkg-config-consumer" "$consumer/pkg-config.kvs"

  if [ $shared = ON ] && [ -f kvs/CMakeLists.txt ]; then
    leg="$name: installed kvs finds its library"
    echo "== $leg"
    local value
    printf 'installed' | env -u LD_LIBRARY_PATH "$stage/bin/kvs" put "$consumer/kvs.kvs" greeting
    value=$(env -u LD_LIBRARY_PATH "$stage/bin/kvs" get "$consumer/kvs.kvs" greeting)
    [ "$value" = installed ] || { echo "== kvs get gave '$value'"; return 1; }
    echo "the installed kvs ran from $stage with its own libkvstore"
  fi

  leg="$name: .deb packages"
  echo "== $leg"
  rm -f "$dir"/*.deb
  (cd "$dir" && cpack -G DEB >/dev/null)
  local libdir deb package entry page expected=() missing=()
  libdir=usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
  expected=(kvstools:usr/bin/kvsgen kvstools:usr/bin/echolog32
    libkvstore-dev:usr/include/kvstore/store/store.h
    libkvstore-dev:usr/include/kvstore/kvsgen/kvs_facade.h
    "libkvstore-dev:$libdir/cmake/kvstore/kvstoreConfig.cmake"
    "libkvstore-dev:$libdir/cmake/kvstore/kvstoreConfigVersion.cmake"
    "libkvstore-dev:$libdir/cmake/kvstore/kvstoreTargets.cmake"
    "libkvstore-dev:$libdir/pkgconfig/kvstore.pc")
  if [ $shared = ON ]; then
    expected+=("libkvstore1:$libdir/libkvstore.so.1" "libkvstore-dev:$libdir/libkvstore.so")
  else
    expected+=("libkvstore-dev:$libdir/libkvstore.a")
  fi
  [ ! -f kvs/CMakeLists.txt ] ||
    expected+=(kvstools:usr/bin/kvs kvstools:usr/share/bash-completion/completions/kvs)
  for page in doc/*.[1-8]; do  # every manual page, compressed, in its section
    package=kvstools
    [ "${page##*.}" != 3 ] || package=libkvstore-dev
    expected+=("$package:usr/share/man/man${page##*.}/${page#doc/}.gz")
  done
  for deb in "$dir"/*.deb; do  # every package's licence and changelog
    package=$(dpkg-deb -f "$deb" Package)
    expected+=("$package:usr/share/doc/$package/copyright"
      "$package:usr/share/doc/$package/changelog.Debian.gz")
  done
  local contents
  for entry in "${expected[@]}"; do
    contents=$(dpkg-deb -c "$dir/${entry%%:*}"_*.deb 2>/dev/null) &&
      grep -qE " \./${entry#*:}( |$)" <<<"$contents" || missing+=("$entry")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    for deb in "$dir"/*.deb; do echo "$(basename "$deb"):"; dpkg-deb -c "$deb"; done
    echo "== the packages lack (package:path): ${missing[*]}"
    return 1
  fi
  if [ $shared = OFF ] && ls "$dir"/libkvstore1_*.deb >/dev/null 2>&1; then
    echo "== a static build made a libkvstore1 package"
    return 1
  fi
  echo "$(cd "$dir" && echo *.deb) hold the programs, library, headers, package files and pages"
  if command -v lintian >/dev/null; then
    leg="$name: lintian"
    echo "== $leg"
    lintian --fail-on error,warning "$dir"/*.deb
    echo "lintian: no errors or warnings"
  fi
}

# The fuzz targets (fuzz/), built with clang and its fuzzer runtime in a build
# directory of their own, each run for a bounded time (KVS_FUZZ_SECONDS, 60 by
# default) over a copy of its seed corpus; any crash, leak, timeout or memory
# blow-up fails the run, and the input that caused it is kept beside the
# copy. Without clang or the runtime the leg is reported as skipped, with the
# reason, never as passed. The summary names each target's executions.
fuzz_leg() {
  local name="Fuzzing" dir=build/fuzz seconds=${KVS_FUZZ_SECONDS:-60} why
  if ! why=$(fuzz_probe); then
    echo "== $name: skipped ($why)"
    legs+=("$name skipped ($why)")
    return
  fi
  leg="$name build"
  echo "== $leg"
  CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKVS_WERROR=ON \
    -DKVS_FUZZ=ON -DKVS_TESTS=OFF >/dev/null
  cmake --build "$dir" -j "$jobs"
  local target work executions runs=()
  for target in store_image operation_script template echolog; do
    leg="$name: ${target}_fuzzer"
    echo "== $leg (${seconds}s)"
    work=$PWD/$dir/runs/$target
    rm -rf "$work" && mkdir -p "$work/corpus" && cp fuzz/corpus/"$target"/* "$work/corpus/"
    if ! "$dir/fuzz/${target}_fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$work/" "$work/corpus" >"$work/log" 2>&1; then
      tail -n 40 "$work/log"
      echo "== ${target}_fuzzer failed: the full log and the input are in $work"
      return 1
    fi
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log")
    echo "${target}_fuzzer: ${executions:-?} executions"
    runs+=("$target ${executions:-?}")
  done
  legs+=("$name passed (executions: $(IFS=,; echo "${runs[*]}" | sed 's/,/, /g'))")
}

# Succeeds when clang++ can build a fuzz target here; otherwise prints why not.
fuzz_probe() {
  if ! command -v clang++ >/dev/null; then
    echo "clang++ is not installed"
    return 1
  fi
  local probe status=0
  probe=$(mktemp -d)
  echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' \
    >"$probe/probe.cc"
  clang++ -fsanitize=fuzzer,address,undefined "$probe/probe.cc" -o "$probe/probe" \
    >/dev/null 2>&1 || status=$?
  rm -rf "$probe"
  if [ $status -ne 0 ]; then
    echo "clang++ cannot link a fuzz target: its fuzzer runtime, libclang-rt-14-dev on Debian, is missing"
    return 1
  fi
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
packaging_leg
if command -v clang++ >/dev/null; then
  CC=clang CXX=clang++ run_leg "clang" build/clang -DCMAKE_BUILD_TYPE=Release
else
  echo "== clang: skipped (clang++ is not installed)"
  legs+=("clang skipped (clang++ is not installed)")
fi
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run_leg "AddressSanitizer + UndefinedBehaviorSanitizer" build/sanitize \
  -DCMAKE_BUILD_TYPE=Debug -DKVS_SANITIZE=ON
fuzz_leg
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
