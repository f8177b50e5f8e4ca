#!/bin/sh
# The real Windows executable under Wine: --version and --help; without a console an
# update ends at once; and the instance lock: a second updater (beside a first one on
# a console of its own), and another application holding "VornakHS_", are refused with
# exit code 1.
# Usage: updater_under_wine.sh wine-run.sh QDp_FW_FirstUpdater.exe lock_holder.exe \
#            <version> <offered firmware> <offered boot loader>
run="$1"
exe="$2"
holder="$3"
version="$4"
firmware="$5"
bootloader="$6"
work=$(mktemp -d)
first=""
other=""
trap 'kill $first $other 2>/dev/null; rm -rf "$work"' EXIT
. "$(dirname "$0")/../support/tally.sh"

# Standard output is in text mode on Windows: each "\n" is written as "\r\n".
expect_output() { # name exit-code expected-file actual-file actual-code
    if [ "$5" -ne "$2" ]; then
        fail "$1: exit code $5, expected $2"; od -c "$4" | head -20
    elif ! cmp -s "$3" "$4"; then
        fail "$1 printed:"; od -c "$4" | head -20
    else
        pass
    fi
}

printf 'Quirn Dorvel+ Firmware Updater version %s\r\nOffers firmware version %s with Boot Loader version %s.\r\n' \
    "$version" "$firmware" "$bootloader" >"$work/version.expected"
"$run" "$exe" --version >"$work/version.txt" 2>/dev/null </dev/null
expect_output "--version" 0 "$work/version.expected" "$work/version.txt" $?

"$run" "$exe" --help >"$work/help.txt" 2>/dev/null </dev/null
code=$?
if [ "$code" -eq 0 ] && head -1 "$work/help.txt" | grep -q "^Usage: QDp_FW_FirstUpdater \[diag\]"; then
    pass
else
    fail "--help: exit code $code"; head -3 "$work/help.txt"
fi

printf 'Quirn Dorvel+ Firmware Updater version %s\r\n\r\nClose all other digital recorder applications and try again.\r\nPress any key to exit.\r\n' \
    "$version" >"$work/refused.expected"

printf 'Quirn Dorvel+ Firmware Updater version %s\r\n\r\nNo console to answer the prompt; use --yes for an unattended update.\r\n' \
    "$version" >"$work/no_console.expected"
timeout 60 "$run" "$exe" >"$work/no_console.txt" 2>/dev/null </dev/null
expect_output "no console" 2 "$work/no_console.expected" "$work/no_console.txt" $?

# A pseudo-terminal gives Wine a console: the first copy waits there for a recorder.
script -qfec "$run $exe" /dev/null >"$work/first.txt" 2>&1 </dev/null &
first=$!
sleep 10
if kill -0 "$first" 2>/dev/null; then
    pass
else
    fail "the first instance did not keep waiting"; cat "$work/first.txt"
fi
timeout 60 "$run" "$exe" >"$work/second.txt" 2>/dev/null </dev/null
expect_output "a second instance" 1 "$work/refused.expected" "$work/second.txt" $?
kill "$first" 2>/dev/null # its terminal closes: the first copy ends too
wait "$first" 2>/dev/null
first=""

# Another application that holds the lock by its name.
"$run" "$holder" 60 >"$work/holder.txt" 2>&1 </dev/null &
other=$!
for _ in $(seq 1 60); do
    grep -q "holding" "$work/holder.txt" && break
    sleep 1
done
timeout 60 "$run" "$exe" >"$work/beside.txt" 2>/dev/null </dev/null
expect_output "beside another application" 1 "$work/refused.expected" "$work/beside.txt" $?
kill "$other" 2>/dev/null
wait "$other" 2>/dev/null
other=""

# The commands README.txt shows a Windows administrator, as they stand (checked to be
# there by tests/docs/shown_commands_test.py): every drive in turn, none a recorder here;
# and the command log, taken as a technician takes it (no console here: the updater ends
# at once, and its message is in the log).
cd "$(dirname "$exe")"
"$run" cmd /c 'for /L %n in (0,1,8) do QDp_FW_FirstUpdater --yes --device \\.\PHYSICALDRIVE%n' \
    >"$work/loop.txt" 2>&1 </dev/null
drives=$(tr -d '\r' <"$work/loop.txt" | grep -c '^No recorder answers at \\\\\.\\PHYSICALDRIVE[0-8]\.$')
[ "$drives" -eq 9 ] && pass || { fail "the loop over drives 0 to 8 answered $drives of 9"; cat "$work/loop.txt"; }
# The two lines of the log, in a batch file whose profile is a scratch folder.
printf '%s\r\n' 'set USERPROFILE=%TEMP%\qdp-profile' 'mkdir %USERPROFILE%\Desktop' \
    'set QDP_LOG=%USERPROFILE%\Desktop\recorder-update.log' 'QDp_FW_FirstUpdater.exe' \
    'type %USERPROFILE%\Desktop\recorder-update.log' 'rmdir /s /q %USERPROFILE%' >"$work/log.bat"
"$run" cmd /c "Z:$work/log.bat" >"$work/log.txt" 2>&1 </dev/null
grep -q 'console "No console to answer the prompt' "$work/log.txt" && pass ||
    { fail "QDP_LOG on Windows:"; cat "$work/log.txt"; }

tally
