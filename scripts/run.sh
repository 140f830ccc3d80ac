#!/usr/bin/env bash
# Installs what the player needs, builds it, and plays the files given.
#
# On a machine without any MIDI destination (no synth, no MIDI interface) it first starts a
# General MIDI synthesizer, FluidSynth with Debian's sound font, so a first run really plays:
# - on a running JACK server (a desktop's, or PipeWire's JACK service), audible through it;
# - else on the ALSA sequencer, sounding through PulseAudio/PipeWire or ALSA;
# - else (no sound system at all) on a private JACK server with the dummy driver: played, unheard.
# When the player ends, what the script started is stopped in turn (the player's client gone from
# the server first, then FluidSynth, then the server), and nothing of it is left running or in
# /dev/shm.
#
# BRENNICK_PLAYER=<program> plays with that build of the player instead (no installing, no
# building). With no graphical display the script stops at once (exit 2): the player is a window.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

# Qt's own headless platforms (QT_QPA_PLATFORM=offscreen) need no display.
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "no graphical display: set DISPLAY or WAYLAND_DISPLAY" >&2
    exit 2
fi

if [ -n "${BRENNICK_PLAYER:-}" ]; then
    player=$BRENNICK_PLAYER
else
    "$root/scripts/install-deps.sh" run
    "$root/scripts/build.sh" "$root/build" --player
    player=$root/build/bin/brennick-midi-player
fi
soundfont=/usr/share/sounds/sf2/FluidR3_GM.sf2
private_server=brennick-run
player_client='Brennick MIDI Player'

export JACK_NO_START_SERVER=1
work=$(mktemp -d)
player_pid='' fluidsynth_pid='' fluidsynth_input='' jackd_pid='' registry_was_there=1

running() {  # running PID: the process exists and has not ended (a zombie has)
    local state
    state=$(sed -E 's/.*\) (.).*/\1/' "/proc/$1/stat" 2>/dev/null) && [ "$state" != Z ]
}
wait_for() {  # wait_for SECONDS COMMAND...: until the command succeeds; false after SECONDS
    local tries=$(($1 * 20))
    shift
    while ! "$@"; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] || return 1
        sleep 0.05
    done
}
not() { ! "$@"; }
finish() {  # finish PID SECONDS: waits that long for the process to end, then kills it, and reaps it
    wait_for "$2" not running "$1" || kill -KILL "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}
jack_reachable() { jack_lsp >/dev/null 2>&1; }
# MIDI input ports on the JACK server (other programs' synths).
jack_midi_inputs() {
    jack_lsp -p -t 2>/dev/null | awk '
        /^[^ \t]/ { port = $0; next }
        /properties:/ { input = ($0 ~ /input/) }
        /midi/ { if (input) print port }'
}
has_jack_midi_inputs() { [ -n "$(jack_midi_inputs)" ]; }
player_on_jack() { jack_lsp 2>/dev/null | grep -qE "^$player_client(-[0-9]+)?:"; }
# Writable ALSA sequencer ports other than the System client and Midi Through.
alsa_midi_outputs() {
    aconnect -o 2>/dev/null | awk '/^client/ { skip = ($2 == "0:" || $0 ~ /Midi Through/); next } !skip { print }'
}
has_alsa_midi_outputs() { [ -n "$(alsa_midi_outputs)" ]; }
jackd_running_anywhere() {
    local comm
    for comm in /proc/[0-9]*/comm; do
        [ "$(cat "$comm" 2>/dev/null)" = jackd ] && return 0
    done
    return 1
}

start_fluidsynth() {  # start_fluidsynth AUDIO_DRIVER MIDI_DRIVER
    # FluidSynth's shell reads a pipe the script holds open: closing it ends FluidSynth cleanly,
    # leaving the server as a client should. Servers run in sessions of their own, out of reach of
    # the terminal's Ctrl+C, so that they stop in order.
    mkfifo "$work/fluidsynth.in"
    setsid fluidsynth -q -a "$1" -m "$2" -o midi.jack.id=FluidSynth -o audio.jack.id=FluidSynth \
        -o audio.jack.autoconnect=1 -o midi.alsa_seq.id=FluidSynth -g 0.6 "$soundfont" \
        <"$work/fluidsynth.in" >/dev/null 2>&1 &
    fluidsynth_pid=$!
    exec {fluidsynth_input}>"$work/fluidsynth.in"
}
start_private_jackd() {
    [ -e /dev/shm/jack-shm-registry ] || registry_was_there=''
    export JACK_DEFAULT_SERVER=$private_server
    JACK_NO_AUDIO_RESERVATION=1 setsid jackd --no-realtime -n "$private_server" -d dummy -r 48000 -p 512 \
        </dev/null >/dev/null 2>&1 &
    jackd_pid=$!
    wait_for 10 jack_reachable || echo "The private JACK server did not come up." >&2
}

# Stops what the script started, in an order that lets each part leave cleanly.
cleanup() {
    local status=$?
    trap '' INT TERM
    if [ -n "$player_pid" ]; then
        kill -TERM "$player_pid" 2>/dev/null || true
        finish "$player_pid" 5
    fi
    if jack_reachable; then
        wait_for 5 not player_on_jack || echo "The player's JACK client did not leave the server." >&2
    fi
    if [ -n "$fluidsynth_pid" ]; then
        exec {fluidsynth_input}>&-
        finish "$fluidsynth_pid" 5
    fi
    if [ -n "$jackd_pid" ]; then
        kill -TERM "$jackd_pid" 2>/dev/null || true
        finish "$jackd_pid" 5
        # What a server or client that had to be killed leaves in /dev/shm carries the server's name.
        rm -f /dev/shm/jack_sem."$(id -u)_${private_server}"_* /dev/shm/jack_"${private_server}"_*
        if [ -z "$registry_was_there" ] && ! jackd_running_anywhere; then
            rm -f /dev/shm/jack-shm-registry
        fi
    fi
    rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

if jack_reachable; then
    if ! has_jack_midi_inputs; then
        echo "No MIDI destination found: starting FluidSynth on the JACK server."
        start_fluidsynth jack jack
        wait_for 10 has_jack_midi_inputs ||
            echo "FluidSynth did not come up; the player will say there is no device." >&2
    fi
elif [ -e /dev/snd/seq ]; then
    if ! has_alsa_midi_outputs; then
        audio=alsa
        command -v pactl >/dev/null && pactl info >/dev/null 2>&1 && audio=pulseaudio
        echo "No MIDI destination found: starting FluidSynth on the ALSA sequencer ($audio)."
        start_fluidsynth "$audio" alsa_seq
        wait_for 10 has_alsa_midi_outputs ||
            echo "FluidSynth did not come up; the player will say there is no device." >&2
    fi
else
    echo "No sound system found: playing to FluidSynth on a private JACK server (not audible)."
    start_private_jackd
    start_fluidsynth jack jack
    wait_for 10 has_jack_midi_inputs ||
        echo "FluidSynth did not come up; the player will say there is no device." >&2
fi

# In the background, so that INT and TERM reach the script (which stops the player) at once.
"$player" "$@" &
player_pid=$!
wait "$player_pid" || status=$?
player_pid=''
exit "${status:-0}"
