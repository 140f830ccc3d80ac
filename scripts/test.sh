#!/usr/bin/env bash
# Installs what the tests need, builds, and runs every test.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh" test
"$root/scripts/build.sh" "$root/build"
# JACK's table of servers keeps the entries of servers that were killed rather than stopped, and
# the tests' private servers cannot start once it is full. With no JACK server running at all it
# holds nothing alive and is safe to remove (the next server makes a new one).
if ! pgrep -x jackd >/dev/null 2>&1 && ! pgrep -x jackdbus >/dev/null 2>&1; then
    rm -f /dev/shm/jack-shm-registry
fi
cd "$root/build"
ctest --output-on-failure --timeout 600 "$@"
