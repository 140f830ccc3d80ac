# shellcheck shell=bash
# Sourced by the packaging tests: songs, settings, and what a run leaves behind.
# shellcheck source=../support/script_test.sh
source "$(dirname "${BASH_SOURCE[0]}")/../support/script_test.sh"

# write_song PATH short|long: a format 0 file at 120 bpm, 96 ticks a beat: two notes in one second,
# or one note held for ten seconds.
write_song() {
    case $2 in
        short) printf 'MThd\0\0\0\6\0\0\0\1\0\x60MTrk\0\0\0\x14\0\x90\x3c\x5a\x30\x80\x3c\x40\0\x90\x3e\x5a\x30\x80\x3e\x40\0\xff\x2f\0' ;;
        long) printf 'MThd\0\0\0\6\0\0\0\1\0\x60MTrk\0\0\0\x0d\0\x90\x3c\x5a\x8f\0\x80\x3c\x40\0\xff\x2f\0' ;;
    esac >"$1"
}

# write_quit_on_stop FOLDER: the player's settings file with "Quit on stop" on, so that it ends
# (exit status 1) when the song is over.
write_quit_on_stop() {
    printf '%s\n' '<?xml version="1.0" encoding="UTF-8"?>' '<plist version="1.0">' '<dict>' \
        '	<key>Quit on stop</key>' '	<integer>1</integer>' '</dict>' '</plist>' \
        >"$1/BrennickMIDIPlayerSetting.xml"
}

# JACK's files in /dev/shm whose names carry the server name SERVER.
shm_of_server() {
    find /dev/shm -maxdepth 1 -name "jack*_${1}_*" -printf '%f\n' 2>/dev/null
}

# Processes whose environment holds NAME=VALUE: everything a command started, wherever it went.
processes_marked() {
    grep -lsaF -- "$1" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3 | grep -vx "$$" || true
}

# stop_in_order PID...: ends each process in turn and waits for it before the next, so that a
# JACK client leaves its server before the server stops (else both leave files in /dev/shm).
stop_in_order() {
    local pid
    for pid in "$@"; do
        kill -TERM "$pid" 2>/dev/null || continue
        timeout 10 tail --pid="$pid" -f /dev/null || kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
}
