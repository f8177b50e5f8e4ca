#!/bin/sh
# Runs a Windows program under Wine with a prefix of its own beside the build.
# Usage: wine-run.sh program.exe [arguments...]
prefix="${QDP_WINEPREFIX:-$(dirname "$1")/.wineprefix}"
mkdir -p "$prefix"
export WINEPREFIX="$(cd "$prefix" && pwd)"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
exec /usr/lib/wine/wine64 "$@"
