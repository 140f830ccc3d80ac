#!/usr/bin/env bash
# CPU used by the real player under a real X server (Xvfb), as a share of one core: while it plays
# (30 redraws a second) and while it sits idle. Baseline, measured in the same run: the same
# program idle, and the X server's own use while the player plays.
#
#   bench/player_cpu/player_cpu.sh [build-dir] [seconds=10]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-"$root/build"}
seconds=${2:-10}
player="$build/bin/brennick-midi-player"
work=$(mktemp -d)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT

ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }  # utime + stime, in clock ticks
hz=$(getconf CLK_TCK)
share() {  # share PID SECONDS -> percent of one core over the interval
    local a b
    a=$(ticks "$1"); sleep "$2"; b=$(ticks "$1")
    awk -v a="$a" -v b="$b" -v hz="$hz" -v s="$2" 'BEGIN { printf "%.2f", 100 * (b - a) / hz / s }'
}

display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 & pids+=($!)
export JACK_DEFAULT_SERVER=brennick-bench JACK_NO_START_SERVER=1
jackd --no-realtime -n "$JACK_DEFAULT_SERVER" -d dummy -r 48000 -p 256 >/dev/null 2>&1 & pids+=($!)
sleep 2
jack_midi_dump >/dev/null 2>&1 & pids+=($!)
sleep 1

# A long song (10 minutes of notes) so playback outlasts the measurement.
/usr/bin/python3 - "$work/long.mid" <<'PY'
import sys, mido
f = mido.MidiFile(type=0, ticks_per_beat=96); t = mido.MidiTrack(); f.tracks.append(t)
for i in range(2400):
    t.append(mido.Message('note_on', note=40 + i % 40, velocity=80, time=0 if i == 0 else 24))
    t.append(mido.Message('note_off', note=40 + i % 40, velocity=64, time=24))
f.save(sys.argv[1])
PY

export DISPLAY=$display XDG_RUNTIME_DIR="$work/run" QT_QPA_PLATFORM=xcb
mkdir -m 700 "$work/run"
"$player" & idle_pid=$!; pids+=($idle_pid)
sleep 3
idle=$(share "$idle_pid" "$seconds")
kill "$idle_pid"; wait "$idle_pid" 2>/dev/null || true

"$player" "$work/long.mid" & play_pid=$!; pids+=($play_pid)
sleep 3
xvfb_pid=$(pgrep -f "Xvfb $display" | head -1)
xa=$(ticks "$xvfb_pid")
playing=$(share "$play_pid" "$seconds")
xb=$(ticks "$xvfb_pid")
xserver=$(awk -v a="$xa" -v b="$xb" -v hz="$hz" -v s="$seconds" 'BEGIN { printf "%.2f", 100 * (b - a) / hz / s }')

echo "Player CPU under Xvfb over $seconds s, share of one core:"
printf '  %-34s %6s%%   target < 3%%: %s\n' "playing (30 redraws/s)" "$playing" \
    "$(awk -v x="$playing" 'BEGIN { print (x < 3 ? "met" : "NOT met") }')"
printf '  %-34s %6s%%   target < 0.1%%: %s\n' "idle" "$idle" \
    "$(awk -v x="$idle" 'BEGIN { print (x < 0.1 ? "met" : "NOT met") }')"
printf '  %-34s %6s%%\n' "baseline: X server while playing" "$xserver"
printf '  playing / idle ratio: %s\n' "$(awk -v p="$playing" -v i="$idle" 'BEGIN { if (i > 0) printf "%.0fx", p / i; else print "idle measured 0" }')"
