#!/usr/bin/env bash
# Runs one ALSA sequencer test program: on this machine's own sequencer where it has one (every
# desktop), else inside the ALSA test machine of alsa_vm.sh (build machines, containers).
#
# Usage: alsa_suite.sh [alsa_vm.sh options] PROGRAM [ARGUMENTS...]
#
# The options before PROGRAM are for the machine (files to copy in, guest environment, memory,
# time limit) and are dropped on a direct run, where the program finds everything in place.
# BRENNICK_ALSA_IN_VM=1 takes the machine even where the sequencer is at hand. A suite that can run
# neither way is skipped (exit 77, after a line "SKIPPED: <why>"), and fails under CI=true.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

vm_options=()
while getopts "f:e:o:m:c:t:a:vk" option; do
    case $option in
        v | k) vm_options+=("-$option") ;;
        *) vm_options+=("-$option" "$OPTARG") ;;
    esac
done
shift $((OPTIND - 1))
[ $# -ge 1 ] || { echo "usage: $0 [alsa_vm.sh options] PROGRAM [ARGUMENTS...]" >&2; exit 2; }

# shellcheck source=../script_test.sh
source "$here/../script_test.sh"

sequencer_usable() { [ -c /dev/snd/seq ] && [ -r /dev/snd/seq ] && [ -w /dev/snd/seq ]; }

if sequencer_usable && [ "${BRENNICK_ALSA_IN_VM:-}" != 1 ]; then
    # The suites expect the sequencer alone: keep a desktop's JACK server (or PipeWire's) out.
    export JACK_DEFAULT_SERVER=brennick-no-server PIPEWIRE_REMOTE=brennick-no-server JACK_NO_START_SERVER=1
    exec "$@"
fi
if ! reasons=$(bash "$here/alsa_vm.sh" -n); then
    skip_or_fail "no ALSA sequencer here (/dev/snd/seq) and no test machine: $(echo "$reasons" | paste -sd ';' -)"
fi
exec bash "$here/alsa_vm.sh" ${vm_options[@]+"${vm_options[@]}"} "$@"
