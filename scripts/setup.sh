#!/bin/sh
# Installs the Debian packages that the build needs and this machine lacks.
# Usage: scripts/setup.sh [linux|all]   (linux: enough for the Linux build alone)
set -eu
want="cmake ninja-build g++ googletest libgtest-dev libgmock-dev libbenchmark-dev pkgconf"
if [ "${1:-all}" = all ]; then
    want="$want clang libclang-rt-14-dev python3 g++-mingw-w64-i686 g++-mingw-w64-x86-64 \
binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 wine64"
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
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq $missing >/dev/null
