#!/usr/bin/env bash
# Configures and builds the project into a build folder.
# Usage: scripts/build.sh [build-dir] [--player|--package] [--configure-only] [cmake arguments...] [--target NAME]...
#   --player          build the player alone; a new build folder leaves the tests and benchmarks
#                     out, so that configuring needs no test package (the run command's build)
#   --package         build what ships and make the Debian package from it (cpack -G DEB, which
#                     needs `scripts/install-deps.sh package`); a new build folder leaves the tests
#                     and benchmarks out, as with --player
#   --configure-only  stop after configuring
#   --target NAME     build NAME (repeatable); without it, everything
# An existing build folder is configured again only when the arguments ask for something its
# cache does not hold yet.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-"$root/build"}
shift || true
cmake_args=()
targets=()
configure_only=
package=
product_only=(-DBRENNICK_BUILD_TESTS=OFF -DBRENNICK_BUILD_BENCH=OFF)
while [ $# -gt 0 ]; do
    case $1 in
        --player)
            [ -f "$dir/CMakeCache.txt" ] || cmake_args+=("${product_only[@]}")
            targets+=(--target brennick-midi-player)
            shift
            ;;
        --package)
            [ -f "$dir/CMakeCache.txt" ] || cmake_args+=("${product_only[@]}")
            package=1
            shift
            ;;
        --configure-only)
            configure_only=1
            shift
            ;;
        --target)
            targets+=(--target "$2")
            shift 2
            ;;
        *)
            cmake_args+=("$1")
            shift
            ;;
    esac
done

# True when every -DNAME[:TYPE]=VALUE argument is already in the cache as NAME:TYPE=VALUE.
cache_holds() {
    local arg name value
    for arg in "$@"; do
        [[ $arg == -D*=* ]] || return 1
        name=${arg#-D}
        name=${name%%=*}
        name=${name%%:*}
        value=${arg#*=}
        awk -v name="$name" -v value="$value" '
            { split($0, kv, "="); split(kv[1], nt, ":") }
            nt[1] == name && substr($0, length(kv[1]) + 2) == value { found = 1 }
            END { exit !found }' "$dir/CMakeCache.txt" || return 1
    done
}

if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo ${cmake_args[@]+"${cmake_args[@]}"} >/dev/null
elif ! cache_holds ${cmake_args[@]+"${cmake_args[@]}"}; then
    cmake "$dir" "${cmake_args[@]}" >/dev/null
fi
[ -n "$configure_only" ] && exit 0
cmake --build "$dir" --parallel "$(nproc)" ${targets[@]+"${targets[@]}"}
if [ -n "$package" ]; then
    (cd "$dir" && cpack -G DEB)
fi
