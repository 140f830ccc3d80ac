#!/usr/bin/env bash
# Installs what the player needs, builds it, and plays the files given.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh" run
"$root/scripts/build.sh" "$root/build"
exec "$root/build/bin/brennick-midi-player" "$@"
