#!/usr/bin/env bash
# Installs what the player needs, builds it, and plays the files given.
#
# On a machine without any MIDI destination (no synth, no MIDI interface) it first starts a
# General MIDI synthesizer, FluidSynth with Debian's sound font, so a first run really plays:
# - on a running JACK server (a desktop's, or PipeWire's JACK service), audible through it;
# - else on the ALSA sequencer, sounding through PulseAudio/PipeWire or ALSA;
# - else (no sound system at all) on a private JACK server with the dummy driver: played, unheard.
# What the script started is stopped when the player ends. The player itself has no options.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh" run
"$root/scripts/build.sh" "$root/build"
player="$root/build/bin/brennick-midi-player"
soundfont=/usr/share/sounds/sf2/FluidR3_GM.sf2

export JACK_NO_START_SERVER=1
started=()
cleanup() {
    for pid in "${started[@]}"; do kill -- "-$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 143' TERM INT

jack_reachable() { jack_lsp >/dev/null 2>&1; }
# MIDI input ports on the JACK server (other programs' synths).
jack_midi_inputs() {
    jack_lsp -p -t 2>/dev/null | awk '
        /^[^ \t]/ { port = $0; next }
        /properties:/ { input = ($0 ~ /input/) }
        /midi/ { if (input) print port }'
}
# Writable ALSA sequencer ports other than the System client and Midi Through.
alsa_midi_outputs() {
    aconnect -o 2>/dev/null | awk '/^client/ { skip = ($2 == "0:" || $0 ~ /Midi Through/); next } !skip { print }'
}
wait_for() {  # wait_for COMMAND...: up to 10 s for the command to print something
    for _ in $(seq 100); do
        [ -n "$("$@")" ] && return 0
        sleep 0.1
    done
    return 1
}
start_fluidsynth() {  # start_fluidsynth AUDIO_DRIVER MIDI_DRIVER
    # Its shell reads a pipe that stays open, so FluidSynth runs until the script stops its
    # process group.
    setsid sh -c 'sleep infinity | exec fluidsynth -q -a "$0" -m "$1" -o midi.jack.id=FluidSynth \
        -o audio.jack.id=FluidSynth -o audio.jack.autoconnect=1 -o midi.alsa_seq.id=FluidSynth -g 0.6 "$2"' \
        "$1" "$2" "$soundfont" >/dev/null 2>&1 &
    started+=($!)
}

if jack_reachable; then
    if [ -z "$(jack_midi_inputs)" ]; then
        echo "No MIDI destination found: starting FluidSynth on the JACK server."
        start_fluidsynth jack jack
        wait_for jack_midi_inputs || echo "FluidSynth did not come up; the player will say there is no device." >&2
    fi
elif [ -e /dev/snd/seq ]; then
    if [ -z "$(alsa_midi_outputs)" ]; then
        audio=alsa
        command -v pactl >/dev/null && pactl info >/dev/null 2>&1 && audio=pulseaudio
        echo "No MIDI destination found: starting FluidSynth on the ALSA sequencer ($audio)."
        start_fluidsynth "$audio" alsa_seq
        wait_for alsa_midi_outputs || echo "FluidSynth did not come up; the player will say there is no device." >&2
    fi
else
    echo "No sound system found: playing to FluidSynth on a private JACK server (not audible)."
    export JACK_DEFAULT_SERVER=brennick-default
    setsid jackd --no-realtime -n "$JACK_DEFAULT_SERVER" -d dummy -r 48000 -p 512 >/dev/null 2>&1 &
    started+=($!)
    wait_for sh -c 'jack_lsp 2>/dev/null'
    start_fluidsynth jack jack
    wait_for jack_midi_inputs || echo "FluidSynth did not come up; the player will say there is no device." >&2
fi

"$player" "$@" || status=$?
exit "${status:-0}"
