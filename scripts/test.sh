#!/bin/sh
# Builds everything (Linux, Linux with ASan/UBSan, Windows i686 and x86_64) and runs
# every test: the Windows ones under Wine, the test machine's under QEMU (the release
# executable among them, so it is packed first).
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh all
jobs=$(nproc)
for preset in linux linux-asan windows-x64 windows-i686; do
    echo "== $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
done
echo "== release: windows-i686"
rm -f build/package/*.zip
cpack --preset windows-i686 >/dev/null
python3 scripts/check_release.py build/windows-i686/QDp_FW_FirstUpdater.exe resources \
    build/package/QDp_FW_FirstUpdater-*-win32.zip
# The test machine's scenarios mostly wait (the recorder's pauses and restarts), so
# more of them run at once than there are processors.
echo "== tests: linux"
ctest --preset linux -j "$((jobs * 2))"
for preset in linux-asan windows-x64; do
    echo "== tests: $preset"
    ctest --preset "$preset" -j "$jobs"
done
