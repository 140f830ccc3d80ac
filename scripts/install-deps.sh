#!/usr/bin/env bash
# Installs the Debian packages the project needs, only those missing, quietly.
# Usage: scripts/install-deps.sh [build|test|run]...   (default: build)
set -euo pipefail

build_pkgs=(cmake ninja-build g++ pkg-config qt6-base-dev libgl-dev qt6-image-formats-plugins
            fonts-liberation libjack-jackd2-dev libasound2-dev libplist-dev libsndfile1-dev)
test_pkgs=(jackd2 libgtest-dev libgmock-dev libbenchmark-dev xvfb xauth clang libclang-rt-14-dev
           alsa-utils python3-mido libsmf-dev fluidsynth fluid-soundfont-gm
           xdotool desktop-file-utils appstream dbus-daemon libglib2.0-bin)
run_pkgs=(jackd2 fluidsynth fluid-soundfont-gm)

want=()
[ $# -eq 0 ] && set -- build
for group in "$@"; do
    case "$group" in
        build) want+=("${build_pkgs[@]}") ;;
        test) want+=("${build_pkgs[@]}" "${test_pkgs[@]}") ;;
        run) want+=("${build_pkgs[@]}" "${run_pkgs[@]}") ;;
        *) echo "unknown package group: $group" >&2; exit 2 ;;
    esac
done

missing=()
for pkg in $(printf '%s\n' "${want[@]}" | sort -u); do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$pkg")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -ne 0 ] && sudo=(sudo)
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
