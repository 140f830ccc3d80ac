#!/usr/bin/env bash
# The Debian package of this build (cpack -G DEB): lintian finds nothing to warn of; `apt-get install
# ./<package>.deb` gives the player and asbd on PATH, in the desktop menu with its MIME types, and the
# installed player plays a song to a synth on a JACK server; `apt-get remove` keeps the settings file
# the player (run by root) wrote into its resource folder, and `apt-get purge` then leaves nothing
# behind. Without a tool that packaging needs, cpack makes no package.
# The machine is not changed: apt works on overlays of /usr, /etc and /var in a mount namespace of
# its own, and what the overlays hold after the removal is what the package left.
# Usage: debian_package_test.sh BUILD_DIR   (as root)
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
build_dir=$(cd "$1" && pwd)
# shellcheck source=packaging_support.sh
source "$source_dir/tests/packaging/packaging_support.sh"

if [ -z "${BRENNICK_PACKAGE_TEST_WORK:-}" ]; then
    [ "$(id -u)" = 0 ] || skip_or_fail "installing a package needs root"
    for tool in unshare apt-get cpack dpkg-shlibdeps file lintian jackd jack_midi_dump; do
        command -v "$tool" >/dev/null || skip_or_fail "$tool is not installed (scripts/install-deps.sh test)"
    done
    work=$(mktemp -d)
    chmod 755 "$work"  # apt reads the package as its own unprivileged user
    trap 'rm -rf "$work"' EXIT
    (cd "$build_dir" && cpack -G DEB -B "$work/package" >"$work/cpack.log" 2>&1) ||
        { cat "$work/cpack.log"; echo "FAILED: cpack -G DEB"; exit 1; }
    status=0
    BRENNICK_PACKAGE_TEST_WORK=$work unshare --mount --propagation private bash "$0" "$@" || status=$?
    exit "$status"
fi

# --- inside the namespace
work=$BRENNICK_PACKAGE_TEST_WORK
package=$(echo "$work"/package/brennick-midi-player_*.deb)
overlays=$work/overlays
mkdir -p "$overlays"
mount -t tmpfs tmpfs "$overlays"  # an upper folder may not itself live on an overlay
mkdir -p "$overlays/machine"
mount --rbind / "$overlays/machine"  # the machine as it was, to compare with
for folder in usr etc var; do
    mkdir -p "$overlays/$folder/upper" "$overlays/$folder/work"
    mount -t overlay overlay -o "lowerdir=/$folder,upperdir=$overlays/$folder/upper,workdir=$overlays/$folder/work" \
        "/$folder" || skip_or_fail "no overlay file system here (mount -t overlay failed)"
done
export DEBIAN_FRONTEND=noninteractive

depends=$(dpkg-deb -f "$package" Depends)
for needed in qt6-qpa-plugins qt6-image-formats-plugins fonts-liberation libqt6widgets6 libjack libasound2 \
    libplist libsndfile1; do
    check "the package depends on $needed" grep -q "$needed" <<<"$depends"
done
# Errors and warnings, and the lack of the hardening Debian builds with (which lintian only notes).
lintian --info "$package" >"$work/lintian.log" 2>&1 || true
complaints=$(grep -E '^[EW]: |hardening-' "$work/lintian.log" || true)
check "lintian finds no error, warning or missing hardening" test -z "$complaints"

apt-get install -y -q --no-install-recommends "$package" >"$work/install.log" 2>&1 ||
    { cat "$work/install.log"; echo "FAILED: apt-get install"; exit 1; }
check "brennick-midi-player is on PATH" test "$(command -v brennick-midi-player)" = /usr/bin/brennick-midi-player
check "asbd is on PATH" test "$(command -v asbd)" = /usr/bin/asbd
check "the desktop entry is in the menu" test -f /usr/share/applications/brennick-midi-player.desktop
check "the icon is in the theme" test -f /usr/share/icons/hicolor/256x256/apps/brennick-midi-player.png
if command -v update-mime-database >/dev/null; then
    check "SysEx files have their MIME type" test -f /usr/share/mime/audio/x-sysex.xml
fi
if command -v update-desktop-database >/dev/null; then
    check "the player opens MIDI and SysEx files" \
        grep -q 'audio/x-sysex=.*brennick-midi-player.desktop' /usr/share/applications/mimeinfo.cache
fi

# A real play by the installed program: a private JACK server and a synth named Carrow.
export JACK_DEFAULT_SERVER=brennick-package-test-$$ JACK_NO_START_SERVER=1 JACK_NO_AUDIO_RESERVATION=1
jackd --no-realtime -n "$JACK_DEFAULT_SERVER" -d dummy -r 48000 -p 256 >/dev/null 2>&1 &
jackd_pid=$!
trap 'stop_in_order ${sink_pid:-} "$jackd_pid"' EXIT
for _ in $(seq 200); do jack_lsp >/dev/null 2>&1 && break; sleep 0.05; done
jack_midi_dump Carrow >"$work/sink.log" 2>&1 &
sink_pid=$!
for _ in $(seq 200); do jack_lsp 2>/dev/null | grep -q '^Carrow:' && break; sleep 0.05; done
write_song "$work/song.mid" short
write_quit_on_stop /usr/share/brennick-midi-player
mkdir -m 700 "$work/runtime"
status=0
# A settings file of the tester's own would be read first: the player gets a folder of its own.
QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=$work/runtime XDG_CONFIG_HOME=$work/config timeout 60 brennick-midi-player "$work/song.mid" \
    >"$work/player.log" 2>&1 || status=$?
sleep 0.2
check "the installed player plays the song to its end (status $status)" test "$status" = 1
check "the synth received the song" grep -qE '90 3c 5a.*' "$work/sink.log"
check "the synth received its last note-off" grep -qE '80 3e 40' "$work/sink.log"
stop_in_order "$sink_pid" "$jackd_pid"
trap - EXIT

settings=/usr/share/brennick-midi-player/BrennickMIDIPlayerSetting.xml
apt-get remove -y -q brennick-midi-player >"$work/remove.log" 2>&1 ||
    { cat "$work/remove.log"; echo "FAILED: apt-get remove"; exit 1; }
check "the program is gone" test ! -e /usr/bin/brennick-midi-player
check "removing the package keeps the settings file" test -f "$settings"
apt-get purge -y -q brennick-midi-player >>"$work/remove.log" 2>&1 ||
    { cat "$work/remove.log"; echo "FAILED: apt-get purge"; exit 1; }
check "purging the package deletes the settings file" test ! -e "$settings"

# What is in the overlays now and was not on the machine, apart from the package manager's own
# records and caches, is what the package left.
left=$(for folder in usr etc var; do
    (cd "$overlays/$folder/upper" && find . -mindepth 1 ! -type c | sed "s|^\.|/$folder|")
done | grep -vE '^/var/(lib/(dpkg|apt)|cache|log)(/|$)' | while IFS= read -r path; do
    [ -e "$overlays/machine$path" ] || [ -L "$overlays/machine$path" ] || echo "$path"
done)
check "purging the package leaves nothing behind${left:+: $left}" test -z "$left"

# Each tool the package step needs, missing: cpack fails rather than make a package without it
# (without dpkg-shlibdeps, one that depends on none of its libraries).
for tool in dpkg-shlibdeps file; do
    mkdir -p "$overlays/without-$tool/upper" "$overlays/without-$tool/work"
    mount -t overlay overlay -o "lowerdir=/usr/bin,upperdir=$overlays/without-$tool/upper,workdir=$overlays/without-$tool/work" /usr/bin
    rm /usr/bin/"$tool"
    status=0
    (cd "$build_dir" && cpack -G DEB -B "$work/without-$tool" >"$work/without-$tool.log" 2>&1) || status=$?
    umount --lazy /usr/bin  # umount itself runs from there
    check "without $tool cpack fails (status $status)" test "$status" != 0
    check "without $tool cpack makes no package" test -z "$(find "$work/without-$tool" -name '*.deb' 2>/dev/null)"
done

if [ "$failures" != 0 ]; then
    for log in lintian install player sink remove without-dpkg-shlibdeps without-file; do
        if [ -f "$work/$log.log" ]; then
            echo "----- $log"
            cat "$work/$log.log"
        fi
    done
    exit 1
fi
