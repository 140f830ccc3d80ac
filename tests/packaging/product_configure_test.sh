#!/usr/bin/env bash
# The configure of what ships touches no file of a package that its own group of
# `scripts/install-deps.sh` does not bring: every file it opens or runs belongs to those packages,
# their dependencies or the base system. So a fresh machine configures without any test package:
# the run command's build (scripts/build.sh --player, group run) and the README's package recipe
# (scripts/build.sh --package, group package), each on a new build folder.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=../support/script_test.sh
source "$source_dir/tests/support/script_test.sh"
for tool in strace dpkg-query apt-cache; do
    command -v "$tool" >/dev/null || skip_or_fail "$tool is missing: this test needs a Debian machine (scripts/install-deps.sh test)"
done

# configure_uses_only FLAG GROUP: configures a new build folder with `scripts/build.sh FLAG` and
# checks every package it used against GROUP.
configure_uses_only() {
    local flag=$1 group=$2
    work=$(mktemp -d)  # not local: the trap removes it when the row's subshell ends
    trap 'rm -rf "$work"' EXIT
    # -ff: one trace per process, so no call is split across lines; -z: successful calls only.
    strace -ff -z -q -o "$work/trace" -e trace=open,openat,execve \
        bash "$source_dir/scripts/build.sh" "$work/build" "$flag" --configure-only ||
        { echo "FAILED: scripts/build.sh $flag --configure-only on a new build folder"; exit 1; }

    # A probe that failed (pkg-config looking for an optional module reads every .pc file on the way)
    # used nothing; neither is configuration in /etc a package the configure needs.
    succeeded=()
    for trace in "$work"/trace.*; do
        tail -1 "$trace" | grep -q '^+++ exited with 0 +++' && succeeded+=("$trace")
    done
    # Every regular file opened or run, by absolute path, and its other names (/lib and /usr/lib are one
    # folder, but the package database knows only the path a package installed).
    sed -nE '/O_DIRECTORY/d; s/^(openat\(AT_FDCWD, |open\(|execve\()"(\/[^"]*)".*/\2/p' "${succeeded[@]}" | sort -u |
        while IFS= read -r path; do
            [ -f "$path" ] || continue
            for name in "$path" "$(realpath "$path")"; do
                [[ $name == /etc/* ]] && continue
                echo "$name"
                case $name in
                    /usr/lib/* | /usr/bin/* | /usr/sbin/*) echo "${name#/usr}" ;;
                    /lib/* | /lib64/* | /bin/* | /sbin/*) echo "/usr$name" ;;
                esac
            done
        done | sort -u >"$work/files"
    [ -s "$work/files" ] || { echo "FAILED: the trace shows no file opened"; exit 1; }

    # package: path, for each path a package owns.
    tr '\n' '\0' <"$work/files" | xargs -0 dpkg-query -S 2>/dev/null | grep -v '^diversion' |
        sed -E 's/:[a-z0-9]+(, |: )/\1/g' | awk -F': ' '{ n = split($1, p, ", "); for (i = 1; i <= n; ++i) print p[i] ": " $2 }' |
        sort -u >"$work/owners" || true

    # What the group installs, with every dependency, and the base system every machine has.
    mapfile -t group_packages < <(bash "$source_dir/scripts/install-deps.sh" --list "$group")
    apt-cache depends --recurse --installed --no-recommends --no-suggests --no-conflicts --no-breaks --no-replaces \
        --no-enhances "${group_packages[@]}" | grep -v '^ ' | sed 's/:.*//' >"$work/allowed"
    dpkg-query -W -f '${Package} ${Essential} ${Priority}\n' | awk '$2 == "yes" || $3 == "required" { print $1 }' \
        >>"$work/allowed"
    echo locales >>"$work/allowed"  # its locale.alias, which the C library reads where it exists
    sort -u -o "$work/allowed" "$work/allowed"

    bash "$source_dir/scripts/install-deps.sh" --list test >"$work/test-group"
    echo "The $flag configure read $(wc -l <"$work/files") files of $(cut -d: -f1 "$work/owners" | sort -u | wc -l) packages."
    outside=$(cut -d: -f1 "$work/owners" | sort -u | comm -23 - "$work/allowed")
    if [ -n "$outside" ]; then
        echo "FAILED: the $flag configure uses packages that install-deps.sh $group does not install:"
        for package in $outside; do
            note=
            grep -qx "$package" "$work/test-group" && note=" (a test package)"
            echo "  $package$note, e.g. $(grep -m1 "^$package: " "$work/owners" | cut -d' ' -f2-)"
        done
        exit 1
    fi
    echo "ok: every file the $flag configure used comes from the packages of install-deps.sh $group or the base system"
}

status=0
set +e  # each row runs to its end, under set -e of its own
for row in "--player run" "--package package"; do
    # shellcheck disable=SC2086  # a row is its two words
    (set -e; configure_uses_only $row)
    [ $? = 0 ] || status=1
done
exit "$status"
