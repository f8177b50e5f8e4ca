#!/bin/sh
# Installs the Debian packages that the build needs and this machine lacks.
# Usage: scripts/setup.sh [linux|all]   (linux: enough for the Linux build alone)
set -eu
want="cmake ninja-build g++ googletest libgtest-dev libgmock-dev libbenchmark-dev pkgconf python3 \
nlohmann-json3-dev"
if [ "${1:-all}" = all ]; then
    # clang for the sanitizers and fuzzers; MinGW-w64 and Wine for Windows; QEMU for the
    # test machine, which runs the 32-bit release under Debian's 32-bit Wine; lintian
    # and udev to check the Debian package.
    want="$want clang libclang-rt-14-dev g++-mingw-w64-i686 g++-mingw-w64-x86-64 \
binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 wine64 wine32:i386 qemu-system-x86 \
dpkg-dev lintian udev zip unzip"
fi
missing=""
for package in $want; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
        missing="$missing $package"
done
[ -z "$missing" ] && exit 0
echo "Installing:$missing"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
case "$missing" in
*:i386*)
    dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386 ;;
esac
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq $missing >/dev/null
