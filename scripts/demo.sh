#!/usr/bin/env bash
# The main job in one command: builds kvsgen and kvs (Release, quietly),
# compiles the example message catalogue examples/messages.tmpl into a new
# store and shows what the store holds with kvs.
# KVS_BUILD_DIR chooses another build directory (default build/release).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${KVS_BUILD_DIR:-build/release}
store=$build/messages.kvs
kvs=$build/kvs/kvs

quietly() {  # runs a command, showing its output only when it fails
  local log
  if ! log=$("$@" 2>&1); then
    printf '%s\n' "$log" >&2
    exit 1
  fi
}

quietly cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release
quietly cmake --build "$build" --target kvsgen kvs -j2

# kvsgen adds to a store that already exists; start from a new one.
rm -f "$store"
echo "== kvsgen examples/messages.tmpl $store"
"$build/kvsgen/kvsgen" examples/messages.tmpl "$store"
for command in stats list dump; do
  echo "== kvs $command $store"
  "$kvs" "$command" "$store"
done
