#!/usr/bin/env bash
# Installs what the tests need, builds everything, runs every test (arguments go to ctest), and
# ends by saying which suites or tests were skipped on this machine and why.
# Under CI=true a suite that cannot run here fails instead of being skipped.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh" test
"$root/scripts/build.sh" "$root/build" -DBRENNICK_BUILD_TESTS=ON -DBRENNICK_BUILD_BENCH=ON
# What ctest's log of the last run shows as skipped: whole suites that said "SKIPPED: <why>" and
# GoogleTest cases skipped with a message.
skipped_in_log() {
    awk '
        /^[0-9]+\/[0-9]+ Test: / { suite = $0; sub(/^[0-9]+\/[0-9]+ Test: /, "", suite); next }
        /^SKIPPED: / { print "  " suite ": " substr($0, 10); next }
        /: Skipped$/ { want_reason = 1; reason = ""; next }
        want_reason && NF { reason = $0; want_reason = 0; next }
        /^\[  SKIPPED \] [^ ]+ \(/ { print "  " suite " " $4 ": " reason }
    ' "$1"
}

cd "$root/build"
status=0
ctest --output-on-failure --timeout 600 "$@" || status=$?
skipped=$(skipped_in_log Testing/Temporary/LastTest.log 2>/dev/null || true)
if [ -n "$skipped" ]; then
    {
        echo
        echo "************************************************************************"
        echo "NOT EVERYTHING RAN: these were skipped on this machine"
        echo "$skipped"
        echo "************************************************************************"
    } >&2
fi
exit "$status"
