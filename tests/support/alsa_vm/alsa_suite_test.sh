#!/usr/bin/env bash
# alsa_suite.sh where a suite can run neither on the host's sequencer nor in the test machine (here:
# the machine is asked for, and its kernel has not been fetched): the suite is skipped with the
# reason, and under CI=true it fails.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../script_test.sh
source "$here/../script_test.sh"
cache=$(mktemp -d)
trap 'rm -rf "$cache"' EXIT

for ci in "" true; do
    status=0
    output=$(env CI="$ci" BRENNICK_ALSA_IN_VM=1 BRENNICK_ALSA_VM_CACHE="$cache" bash "$here/alsa_suite.sh" -t 10 \
        /bin/true 2>&1) || status=$?
    if [ -z "$ci" ]; then
        check "skipped (status $status)" test "$status" = 77
        check "says why it was skipped" grep -q "^SKIPPED: .*kernel is not fetched" <<<"$output"
    else
        check "under CI=true it fails (status $status)" test "$status" = 1
        check "under CI=true it says why" grep -q "^FAILED: .*kernel is not fetched" <<<"$output"
    fi
done
[ "$failures" = 0 ]
