#!/bin/sh
# Installs the build into a fresh prefix, then builds the example host program
# against it twice, with find_package and with pkg-config, and runs both.
set -eu
build="$1"
source="$2"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

cmake --install "$build" --prefix "$prefix" >/dev/null
for file in bin/QDp_FW_FirstUpdater include/QDp_FW_FirstUpdater.h \
    lib/libQDp_FW_FirstUpdater.so lib/pkgconfig/QDp_FW_FirstUpdater.pc \
    lib/cmake/QDp_FW_FirstUpdater/QDp_FW_FirstUpdaterConfig.cmake; do
    [ -e "$prefix/$file" ] || { echo "not installed: $file"; exit 1; }
done

cmake -S "$source/examples" -B "$work/example" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/example" >/dev/null
LD_LIBRARY_PATH="$prefix/lib" "$work/example/list_recorders" >"$work/found.txt"

export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
# shellcheck disable=SC2046
cc -o "$work/list_pc" "$source/examples/list_recorders.c" $(pkg-config --cflags --libs QDp_FW_FirstUpdater)
LD_LIBRARY_PATH="$prefix/lib" "$work/list_pc" >"$work/found_pc.txt"

grep -q "recorder(s) found" "$work/found.txt" || { cat "$work/found.txt"; exit 1; }
cmp -s "$work/found.txt" "$work/found_pc.txt" || { echo "the two builds differ"; exit 1; }
echo "2 passed, 0 failed"
