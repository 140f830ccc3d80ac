#!/usr/bin/env bash
# The run command (scripts/run.sh) with the player of this build:
# - with no graphical display it says so in one line and ends (exit 2) before starting anything;
# - on a machine with no sound system it plays through FluidSynth on a private JACK server, and
#   whether the song ends or the command is interrupted, it leaves no process and nothing in
#   /dev/shm behind.
# Usage: run_command_test.sh BUILD_DIR
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
build_dir=$1
# shellcheck source=packaging_support.sh
source "$source_dir/tests/packaging/packaging_support.sh"
run_command=$source_dir/scripts/run.sh
server=brennick-run  # the run command's private server

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mark=BRENNICK_RUN_TEST_MARK=$$.$RANDOM

# --- no display
status=0
output=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$mark" bash "$run_command" song.mid 2>&1) || status=$?
check "without a display the run command ends with status 2 (was $status)" test "$status" = 2
check "without a display it says so in one line, before anything else" \
    test "$output" = "no graphical display: set DISPLAY or WAYLAND_DISPLAY"
check "without a display it starts nothing" test -z "$(processes_marked "$mark")"

# --- playing, on a machine with no sound system
unset JACK_DEFAULT_SERVER
if jack_lsp >/dev/null 2>&1 || [ -e /dev/snd/seq ]; then
    skip_or_fail "this machine has a sound system, through which the run command would play aloud"
fi
for tool in jackd jack_lsp fluidsynth; do
    command -v "$tool" >/dev/null || skip_or_fail "$tool is not installed (scripts/install-deps.sh run)"
done
[ -z "$(shm_of_server "$server")" ] || skip_or_fail "a server named $server runs here already"
# The player of this build in a tree of its own, with "Quit on stop" on.
tree=$work/tree
mkdir -p "$tree/bin" "$tree/share/brennick-midi-player" "$work/runtime"
chmod 700 "$work/runtime"
cp "$build_dir/bin/brennick-midi-player" "$tree/bin/"
cp "$build_dir"/share/brennick-midi-player/*.icns "$tree/share/brennick-midi-player/"
write_quit_on_stop "$tree/share/brennick-midi-player"
write_song "$work/short.mid" short
write_song "$work/long.mid" long
registry_before=$(ls /dev/shm/jack-shm-registry 2>/dev/null || true)

run() {  # run SONG: starts the run command in the background; its pid in $run_pid
    env "$mark" BRENNICK_PLAYER="$tree/bin/brennick-midi-player" QT_QPA_PLATFORM=offscreen \
        XDG_RUNTIME_DIR="$work/runtime" XDG_CONFIG_HOME="$work/config" bash "$run_command" "$1" >"$work/output" 2>&1 &
    run_pid=$!
}
nothing_left() {  # nothing_left CASE
    check "$1: no process of the run command is left" test -z "$(processes_marked "$mark")"
    check "$1: nothing of its JACK server is left in /dev/shm" test -z "$(shm_of_server "$server")"
    if [ -z "$registry_before" ] && ! pgrep -x jackd >/dev/null; then
        check "$1: JACK's table of servers, made for this run, is gone" test ! -e /dev/shm/jack-shm-registry
    fi
}
player_on_server() { JACK_DEFAULT_SERVER=$server jack_lsp 2>/dev/null | grep -q '^Brennick MIDI Player'; }

# The song ends: "Quit on stop" ends the player with status 1, which the run command passes on.
started=$(date +%s%N)
run "$work/short.mid"
status=0
timeout 60 tail --pid="$run_pid" -f /dev/null || kill -KILL "$run_pid"
wait "$run_pid" || status=$?
echo "the run command took $((($(date +%s%N) - started) / 1000000)) ms for a song of one second"
check "song played to its end: status 1 from the player (was $status)" test "$status" = 1
grep -q 'private JACK server' "$work/output" || cat "$work/output"
nothing_left "song played to its end"

# Interrupted while the player plays.
run "$work/long.mid"
for _ in $(seq 400); do
    player_on_server && break
    sleep 0.05
done
check "the player plays on the run command's server" player_on_server
kill -TERM "$run_pid"
status=0
wait "$run_pid" || status=$?
check "interrupted: the run command ends with status 143 (was $status)" test "$status" = 143
nothing_left "interrupted"

[ "$failures" = 0 ] || { cat "$work/output"; exit 1; }
