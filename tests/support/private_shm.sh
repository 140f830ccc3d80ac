#!/usr/bin/env bash
# Runs a test in a mount namespace of its own with an empty /dev/shm, so that the JACK servers it
# starts (and JACK's per-user metadata database, its server table and its sockets, all kept in
# /dev/shm) never meet a user's running session or another test run, and a wedged database of the
# machine's cannot stall it. Root gets a plain mount namespace; others an unprivileged user
# namespace where the kernel allows one. Where neither can be made the test is skipped (status
# 77, with the reason for the test command's banner), and under CI=true it fails.
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: $0 TEST [ARGUMENTS...]" >&2; exit 2; }

if [ "${BRENNICK_PRIVATE_SHM:-}" = done ]; then
    exec "$@"
fi

inner='mount -t tmpfs -o mode=1777 brennick-test-shm /dev/shm && BRENNICK_PRIVATE_SHM=done exec "$@"'
if [ "$(id -u)" = 0 ] && unshare --mount --propagation private true 2>/dev/null; then
    exec unshare --mount --propagation private bash -c "$inner" bash "$@"
fi
if unshare --user --map-root-user --mount --propagation private true 2>/dev/null; then
    exec unshare --user --map-root-user --mount --propagation private bash -c "$inner" bash "$@"
fi

why="no private /dev/shm for the test's JACK servers: not root, and this kernel allows no unprivileged user namespace (sysctl kernel.unprivileged_userns_clone)"
if [ "${CI:-}" = true ]; then
    echo "FAILED: $why" >&2
    exit 1
fi
echo "SKIPPED: $why"
exit 77
