# Sourced by the shell tests: check NAME CONDITION counts and prints one
# result; finish prints the totals and exits non-zero when a check failed.
passed=0
failed=0
check() {
    if eval "$2"; then
        echo "PASS   : $1"
        passed=$((passed + 1))
    else
        echo "FAIL!  : $1"
        failed=$((failed + 1))
    fi
}
finish() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
    exit
}
