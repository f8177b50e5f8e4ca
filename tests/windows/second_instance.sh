#!/bin/sh
# Under Wine: a first updater waits for a recorder; a second one started beside it
# prints the banner, refuses to run and ends with exit code 1.
run="$1"
exe="$2"
work=$(mktemp -d)
trap 'kill "$first" 2>/dev/null; rm -rf "$work"' EXIT

"$run" "$exe" >"$work/first.txt" 2>&1 </dev/null &
first=$!
sleep 10
if ! kill -0 "$first" 2>/dev/null; then
    echo "the first instance did not keep waiting"; cat "$work/first.txt"; exit 1
fi

timeout 60 "$run" "$exe" >"$work/second.txt" 2>/dev/null </dev/null
code=$?
# Standard output is in text mode on Windows: each "\n" is written as "\r\n".
printf 'Quirn Dorvel+ Firmware Updater version 1.3\r\n\r\nClose all other digital recorder applications and try again.\r\nPress any key to exit.\r\n' >"$work/expected.txt"
if [ "$code" -ne 1 ]; then
    echo "second instance: exit code $code, expected 1"; cat "$work/second.txt"; exit 1
fi
if ! cmp -s "$work/second.txt" "$work/expected.txt"; then
    echo "second instance printed:"; od -c "$work/second.txt"; exit 1
fi
echo "1 passed, 0 failed"
