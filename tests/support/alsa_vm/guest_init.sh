#!/bin/busybox sh
# shellcheck shell=dash
# /init of the ALSA test machine: loads the sequencer modules, runs the one command and powers off.
# Serial ports: ttyS0 the kernel console, ttyS1 the command's output, ttyS2 its exit status.
export PATH=/usr/bin:/usr/sbin:/bin:/sbin HOME=/root TERM=dumb
/bin/busybox mount -t proc proc /proc
/bin/busybox mount -t sysfs sysfs /sys
/bin/busybox mount -t devtmpfs devtmpfs /dev
/bin/busybox mount -t tmpfs tmpfs /tmp
mkdir -p /dev/shm && mount -t tmpfs tmpfs /dev/shm
for tty in /dev/ttyS1 /dev/ttyS2; do stty -F "$tty" raw -echo 2>/dev/null; done

fail() {
    echo "alsa-vm guest: $*" | tee /dev/ttyS1
    echo "EXIT=125" >/dev/ttyS2
    poweroff -f
}

while read -r module parameters; do
    # shellcheck disable=SC2086 # the parameters are words of their own
    insmod "/lib/modules/$module" $parameters || fail "insmod $module $parameters failed"
done </etc/alsa-vm/modules
if grep -q '^9pnet_virtio' /etc/alsa-vm/modules; then
    mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 out /out || fail "mounting /out failed"
fi
[ -c /dev/snd/seq ] || fail "no /dev/snd/seq after loading the modules"
# The sequencer's queues run on the high-resolution timer, as on a desktop: the system tick is too
# coarse for MIDI timing.
grep -q 'HR timer' /proc/asound/timers || fail "no high-resolution ALSA timer"
echo "alsa-vm guest: ready at $(cut -d' ' -f1 /proc/uptime) s"

sh /etc/alsa-vm/command >/dev/ttyS1 2>&1 </dev/null
status=$?
echo "alsa-vm guest: exit $status at $(cut -d' ' -f1 /proc/uptime) s;" \
    "$(grep -E 'MemTotal|MemAvailable' /proc/meminfo | tr -s ' ' | tr '\n' ' ')"
sync
echo "EXIT=$status" >/dev/ttyS2
poweroff -f
