# Sourced by the shell tests: each check ends in pass or fail (with what went wrong),
# and tally prints the count and fails when any check did.
passed=0
failed=0
pass() { passed=$((passed + 1)); }
fail() { echo "FAILED: $*"; failed=$((failed + 1)); }
tally() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}
