#!/bin/sh
# Builds and runs the tests.
#   scripts/test.sh          everything: Linux, Linux with ASan/UBSan, a plain CMake build,
#                            Windows i686 (the release, packed) and x86_64 (its tests under
#                            Wine), and the test machine under QEMU
#   scripts/test.sh --quick  the linux preset's unit, scenario and console tests and the
#                            recovery matrix: what to run while working
set -eu
cd "$(dirname "$0")/.."
start=$(date +%s)
phase() { echo "== $1 (at $(($(date +%s) - start)) s)"; }
build() { cmake --preset "$1" >/dev/null && cmake --build --preset "$1" -j "$jobs"; }
jobs=$(nproc)

if [ "${1:-}" = --quick ]; then
    scripts/setup.sh linux
    phase linux
    build linux
    phase "tests: linux, without the test machine"
    ctest --preset linux -LE vm -j "$jobs"
    phase done
    exit
fi

scripts/setup.sh all
phase linux
build linux
phase "release: windows-i686"
build windows-i686
rm -f build/package/*.zip
cpack --preset windows-i686 >/dev/null
python3 scripts/check_release.py build/windows-i686/QDp_FW_FirstUpdater.exe resources \
    build/package/QDp_FW_FirstUpdater-*-win32.zip

# The test machine's scenarios mostly wait (the recorder's pauses and restarts): they
# run in the background, the longest first, while the rest is built and tested.
phase "test machine: started"
ctest --preset linux -L vm -j 5 >build/vm-tests.log 2>&1 &
machines=$!
trap 'kill $machines 2>/dev/null || true' EXIT

for preset in linux-asan windows-x64; do
    phase "$preset"
    build "$preset"
done
# As a distribution builds it: no preset, its default generator, no warnings as errors;
# a warning still fails the test command.
phase "plain build (Release)"
cmake -S . -B build/plain -DCMAKE_BUILD_TYPE=Release >build/plain.log 2>&1
cmake --build build/plain -j "$jobs" >>build/plain.log 2>&1 || { tail -40 build/plain.log; exit 1; }
if grep -q "warning:" build/plain.log; then
    grep -B2 -A6 "warning:" build/plain.log
    exit 1
fi

phase "tests: linux, without the test machine"
ctest --preset linux -LE vm -j "$jobs"
for preset in linux-asan windows-x64; do
    phase "tests: $preset"
    ctest --preset "$preset" -j "$jobs"
done

phase "tests: the test machine"
status=0
wait $machines || status=$?
trap - EXIT
cat build/vm-tests.log
phase done
exit $status
