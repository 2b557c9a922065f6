#!/bin/sh
# Runs a Windows program under wine for the build and its tests:
#   wine-run.sh <wine prefix> <program.exe> [arguments...]
# Quiet (no wine diagnostics), never waiting for a display, and without the
# prompts to install the .NET and HTML runtimes. The exit status is the
# program's.
prefix=$1
shift
export WINEPREFIX="$prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
exec wine "$@"
