#!/usr/bin/env bash
# Installs the Debian packages the project needs, only those missing, quietly.
# Usage: scripts/install-deps.sh [--list] [build|run|package|test]...   (default: build)
#   --list   print the groups' packages, one a line, and install nothing
#   build    what configuring and building the player and the toolkit need
#   run      build, plus what the run command starts: a JACK server, FluidSynth, ALSA's tools
#   package  build, plus what making the Debian package needs (cpack -G DEB)
#   test     build and package, plus what the tests, benchmarks, lintian and the ALSA test machine
#            need; where the kernel has no ALSA sequencer it also fetches the test machine's kernel
#            into its cache
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

build_pkgs=(cmake ninja-build g++ pkg-config qt6-base-dev libgl-dev qt6-image-formats-plugins
            fonts-liberation libjack-jackd2-dev libasound2-dev libplist-dev libsndfile1-dev)
run_pkgs=(jackd2 fluidsynth fluid-soundfont-gm alsa-utils)
# dpkg-shlibdeps finds the libraries the package depends on; CPack runs `file` to find the programs.
package_pkgs=(dpkg-dev file)
test_pkgs=(jackd2 libgtest-dev libgmock-dev libbenchmark-dev xvfb xauth xdotool clang libclang-rt-14-dev
           alsa-utils python3-mido libsmf-dev fluidsynth fluid-soundfont-gm procps
           desktop-file-utils appstream shared-mime-info lintian groff-base strace dbus-daemon libglib2.0-bin
           qemu-system-x86 busybox-static cpio kmod xz-utils binutils)

list_only=
[ "${1:-}" = --list ] && { list_only=1; shift; }
want=()
[ $# -eq 0 ] && set -- build
for group in "$@"; do
    case "$group" in
        build) want+=("${build_pkgs[@]}") ;;
        run) want+=("${build_pkgs[@]}" "${run_pkgs[@]}") ;;
        package) want+=("${build_pkgs[@]}" "${package_pkgs[@]}") ;;
        test) want+=("${build_pkgs[@]}" "${package_pkgs[@]}" "${test_pkgs[@]}") ;;
        *) echo "unknown package group: $group" >&2; exit 2 ;;
    esac
done

if [ -n "$list_only" ]; then
    printf '%s\n' "${want[@]}" | sort -u
    exit 0
fi

missing=()
for pkg in $(printf '%s\n' "${want[@]}" | sort -u); do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$pkg")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    "${sudo[@]}" apt-get update -qq
    "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The ALSA suites run in a virtual machine where the kernel has no sequencer: its kernel once.
if [[ " $* " == *" test "* ]] && [ ! -c /dev/snd/seq ]; then
    bash "$root/tests/support/alsa_vm/alsa_vm.sh" -K
fi
