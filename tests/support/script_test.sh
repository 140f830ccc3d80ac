# shellcheck shell=bash
# Sourced by the tests written as shell scripts.

# skip_or_fail REASON: a test that cannot run on this machine says why and is skipped (exit 77,
# which ctest counts as skipped); under CI=true it fails instead, since CI must run everything.
skip_or_fail() {
    if [ "${CI:-}" = true ]; then
        echo "FAILED: $1 (CI=true: every suite must run)"
        exit 1
    fi
    echo "SKIPPED: $1"
    exit 77
}

# check DESCRIPTION COMMAND...: runs the command; a failure is reported and remembered in $failures.
failures=0
check() {
    local description=$1
    shift
    if "$@"; then
        echo "ok: $description"
    else
        echo "FAILED: $description"
        failures=$((failures + 1))
    fi
}
