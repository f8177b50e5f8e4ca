#!/bin/sh
# Images are checked before they are built in: the check names the file and the
# problem, a configuration with a bad image fails, and the image tool refuses a file
# that is not a scrambled image.
# Usage: image_checks_test.sh <source dir> <qdp_image_tool>
source="$1"
tool="$2"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$(dirname "$0")/../support/tally.sh"

# expect_refused <file> <kind> <words the message must hold>
expect_refused() {
    if cmake -DIMAGE="$1" -DKIND="$2" -P "$source/cmake/check_images.cmake" >"$work/out" 2>&1; then
        fail "$1 as $2 was accepted"
    elif ! tr '\n' ' ' <"$work/out" | tr -s ' ' | grep -qF "$3" ||
         ! grep -qF "$1" "$work/out"; then
        fail "$1 as $2: message lacks \"$3\" or the file name:"; cat "$work/out"
    else
        pass
    fi
}

# The committed images pass.
for kind in FWC BRC; do
    if cmake -DIMAGE="$source/resources/$kind.bin" -DKIND=$kind -P "$source/cmake/check_images.cmake" \
        >"$work/out" 2>&1; then pass; else fail "resources/$kind.bin refused"; cat "$work/out"; fi
done

head -c 65535 "$source/resources/FWC.bin" >"$work/truncated.bin"
expect_refused "$work/truncated.bin" FWC "must be exactly 65536 bytes; this file has 65535 bytes"
{ cat "$source/resources/FWC.bin"; printf 'x'; } >"$work/oversized.bin"
expect_refused "$work/oversized.bin" FWC "this file has 65537 bytes"
head -c 65536 /dev/urandom >"$work/random.bin"
expect_refused "$work/random.bin" FWC "no \"FWOK\" marker"
expect_refused "$work/random.bin" BRC "the mark \"BLINSTAL\" is not at 0x0F08"
expect_refused "$source/resources/BRC.bin" FWC "no \"FWOK\" marker"
expect_refused "$source/resources/FWC.bin" BRC "not a boot-loader replacement image"
expect_refused "$work/missing.bin" FWC "no such image file"
# A firmware record whose version bytes are 0: descramble, clear, scramble again.
"$tool" scramble "$source/resources/FWC.bin" "$work/plain.bin"
python3 - "$work/plain.bin" <<'PYTHON'
import sys
data = bytearray(open(sys.argv[1], "rb").read())
data[0xD3F5] = data[0xD3F6] = 0
open(sys.argv[1], "wb").write(data)
PYTHON
"$tool" scramble "$work/plain.bin" "$work/version0.bin"
expect_refused "$work/version0.bin" FWC "gives version 0"
# An installer with something in its last page, which the updater erases before a run.
"$tool" scramble "$source/resources/BRC.bin" "$work/plain.bin"
printf 'code' | dd of="$work/plain.bin" bs=1 seek=$((0xD100)) conv=notrunc 2>/dev/null
"$tool" scramble "$work/plain.bin" "$work/last_page.bin"
expect_refused "$work/last_page.bin" BRC "must leave its last page"

# Configuring the project with a bad image stops with the same message.
if cmake -S "$source" -B "$work/build" -DQDP_BUILD_TESTS=OFF -DQDP_FWC_IMAGE="$work/random.bin" \
    >"$work/configure" 2>&1; then
    fail "the project configured with a random firmware image"
elif grep -qF "random.bin: not a firmware image" "$work/configure"; then
    pass
else
    fail "configure failed without naming the image:"; tail -20 "$work/configure"
fi

# The image tool.
if "$tool" inspect "$source/resources/FWC.bin" >"$work/out" && grep -q "firmware version" "$work/out"; then
    pass
else fail "inspect refused resources/FWC.bin"; fi
if "$tool" inspect "$source/resources/BRC.bin" >"$work/out" && grep -q "replacement" "$work/out"; then
    pass
else fail "inspect refused resources/BRC.bin"; fi
for bad in random.bin version0.bin truncated.bin; do
    if "$tool" inspect "$work/$bad" >/dev/null 2>"$work/err"; then
        fail "inspect accepted $bad"
    elif grep -q "$bad" "$work/err"; then pass; else fail "inspect of $bad did not name it"; fi
done

tally
