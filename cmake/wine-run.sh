#!/bin/sh
# Runs a Windows program under wine for the build and its tests:
#   wine-run.sh <32|64> <wine prefix> <program.exe> [arguments...]
# 32 runs the 32-bit loader, 64 the 64-bit one (called directly: the plain
# `wine` launcher prefers the 32-bit loader whenever it is installed, even on
# a machine that cannot execute it). Quiet (no wine diagnostics), never
# waiting for a display, and without the prompts to install the .NET and HTML
# runtimes. The exit status is the program's.
bits=$1
prefix=$2
shift 2
case $bits in
  32) loader=/usr/lib/wine/wine
      [ -x "$loader" ] || loader=wine ;;
  64) loader=$(command -v wine64 || echo /usr/lib/wine/wine64)
      export WINELOADER="$loader" ;;
  *) echo "wine-run.sh: the first argument must be 32 or 64" >&2; exit 2 ;;
esac
export WINEPREFIX="$prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
exec "$loader" "$@"
