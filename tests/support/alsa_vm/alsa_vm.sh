#!/usr/bin/env bash
# Runs one program inside a small QEMU virtual machine whose kernel has the ALSA sequencer, for
# machines whose own kernel has no sound support (build machines, containers).
#
# Usage: alsa_vm.sh [options] PROGRAM [ARGUMENTS...]
#        alsa_vm.sh -K      fetch the kernel into the cache and exit
#        alsa_vm.sh -n      say why the machine cannot run here (exit 1), or exit 0
#
# PROGRAM (an ELF file, or a shell script run by busybox sh) is copied to /test/ in the guest and
# run there with ARGUMENTS, in /test, with busybox and aconnect, aplaymidi, aseqdump, arecordmidi
# and amidi on PATH. Its output is printed, and the exit status is its own; 124 when the machine
# ran out of time, 125 when the machine itself failed.
#
# Options:
#   -f SRC[:DEST]  copy a file or folder into /test/, or to the absolute guest path DEST
#                  (repeatable); the shared libraries of every ELF file come along
#   -e NAME=VALUE  set an environment variable for PROGRAM (repeatable)
#   -o DIR         share the host folder DIR as /out in the guest, writable (virtio-9p)
#   -m MB          guest memory (default 256, at least 128)
#   -c N           guest processors (default 1)
#   -t SECONDS     time limit of the whole run (default 300)
#   -a ACCEL       tcg, kvm or auto (default: kvm where the processor offers VMX/SVM, else tcg)
#   -v             print the guest's kernel console too
#   -k             keep the work folder (initramfs, logs) and print its path
#
# The guest runs Debian's stock kernel (the package linux-image-amd64 points to, or
# BRENNICK_ALSA_VM_KERNEL) with snd-hrtimer, snd-seq, snd-seq-dummy, snd-rawmidi, snd-seq-midi and
# snd-virmidi loaded; the sequencer runs on the high-resolution timer. The kernel package is fetched
# with `apt-get download`, never installed, and unpacked into BRENNICK_ALSA_VM_CACHE (default
# /var/cache/brennick-alsa-vm when writable or already filled, else ~/.cache/brennick-alsa-vm).
# The host packages it needs come from `scripts/install-deps.sh test`.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
program_name=$(basename "$0")
die() {
    echo "$program_name: $*" >&2
    exit 125
}
say() { [ -z "$verbose" ] || echo "$program_name: $*" >&2; }

memory_mb=256 cpus=1 timeout_s=300 accel=auto verbose='' keep='' out_dir='' mode=run
files=() guest_env=()
while getopts "f:e:o:m:c:t:a:vkKnh" option; do
    case $option in
        f) files+=("$OPTARG") ;;
        e) guest_env+=("$OPTARG") ;;
        o) out_dir=$OPTARG ;;
        m) memory_mb=$OPTARG ;;
        c) cpus=$OPTARG ;;
        t) timeout_s=$OPTARG ;;
        a) accel=$OPTARG ;;
        v) verbose=1 ;;
        k) keep=1 ;;
        K) mode=fetch ;;
        n) mode=check ;;
        h) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
        *) exit 125 ;;
    esac
done
shift $((OPTIND - 1))

# ------------------------------------------------------------------ kernel
system_cache=/var/cache/brennick-alsa-vm
user_cache=${XDG_CACHE_HOME:-$HOME/.cache}/brennick-alsa-vm

kernel_package() {
    if [ -n "${BRENNICK_ALSA_VM_KERNEL:-}" ]; then
        echo "$BRENNICK_ALSA_VM_KERNEL"
        return
    fi
    apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ { print $2; exit }'
}

# Every cache folder that may hold a kernel, the one to fill first.
cache_folders() {
    if [ -n "${BRENNICK_ALSA_VM_CACHE:-}" ]; then
        echo "$BRENNICK_ALSA_VM_CACHE"
    elif [ -w /var/cache ] || [ -d "$system_cache" ]; then
        echo "$system_cache"
        [ -w /var/cache ] || echo "$user_cache"
    else
        echo "$user_cache"
    fi
}

# Prints the folder of an unpacked kernel: the package's if cached, else any cached one.
cached_kernel() {
    local package=$1 folder candidate
    for folder in $(cache_folders); do
        [ -n "$package" ] && [ -f "$folder/$package/.complete" ] && { echo "$folder/$package"; return 0; }
    done
    for folder in $(cache_folders); do
        for candidate in "$folder"/linux-image-*; do
            [ -f "$candidate/.complete" ] && { echo "$candidate"; return 0; }
        done
    done
    return 1
}

# Downloads the kernel package and unpacks what the machine boots and loads: the kernel image and
# the sound, virtio and 9p modules, indexed by depmod (the package leaves that to its installation).
fetch_kernel() {
    local package=$1 folder=
    for candidate in $(cache_folders); do
        if mkdir -p "$candidate" 2>/dev/null && [ -w "$candidate" ]; then
            folder=$candidate
            break
        fi
    done
    [ -n "$folder" ] || die "no writable cache folder among: $(cache_folders | tr '\n' ' ')"
    exec 9>"$folder/.lock"
    flock 9  # one download when several runs start at once
    if [ ! -f "$folder/$package/.complete" ]; then
        echo "$program_name: fetching $package into $folder" >&2
        local download
        download=$(mktemp -d -p "$folder" download.XXXXXX)
        (cd "$download" && apt-get download "$package" >/dev/null 2>&1) ||
            { rm -rf "$download"; die "apt-get download $package failed"; }
        rm -rf "${folder:?}/$package"
        mkdir -p "$folder/$package"
        dpkg-deb --fsys-tarfile "$download/${package}"_*.deb |
            tar -x -C "$folder/$package" --wildcards './boot/vmlinuz-*' './lib/modules/*/modules.*' \
                './lib/modules/*/kernel/sound/*' './lib/modules/*/kernel/fs/9p/*' './lib/modules/*/kernel/net/9p/*' \
                './lib/modules/*/kernel/fs/netfs/*' './lib/modules/*/kernel/fs/fscache/*' \
                './lib/modules/*/kernel/drivers/virtio/*' ||
            { rm -rf "$download"; die "unpacking $package failed"; }
        rm -rf "$download"
        local version=${package#linux-image-}
        /sbin/depmod -b "$folder/$package" "$version" || die "depmod failed for $package"
        extract_vmlinux "$folder/$package"
        touch "$folder/$package/.complete"
        # Kernels of earlier Debian point releases are not used again.
        for old in "$folder"/linux-image-*; do
            [ "$old" = "$folder/$package" ] || rm -rf "$old"
        done
    fi
    flock -u 9
    echo "$folder/$package"
}

# QEMU boots the uncompressed kernel through its PVH entry point, which saves the seconds an
# emulated processor spends unpacking the compressed image. Kept only when it has that entry point.
extract_vmlinux() {
    local root=$1 image vmlinux offset
    image=$(echo "$root"/boot/vmlinuz-*)
    vmlinux=${image/vmlinuz-/vmlinux-}
    offset=$(LC_ALL=C grep -m1 -obUaP '\xfd7zXZ\x00' "$image" | cut -d: -f1) || return 0
    if xz -dc --single-stream <(tail -c +$((offset + 1)) "$image") >"$vmlinux" 2>/dev/null &&
        readelf -n "$vmlinux" 2>/dev/null | grep -q '(0x00000012)'; then  # the PVH entry note
        return 0
    fi
    rm -f "$vmlinux"
}

# ------------------------------------------------------------------ what this machine lacks
missing_tools() {
    local tool
    for tool in qemu-system-x86_64 busybox cpio apt-get dpkg-deb xz readelf /sbin/depmod; do
        command -v "$tool" >/dev/null || echo "$tool is not installed (scripts/install-deps.sh test)"
    done
    [ -f /usr/share/alsa/alsa.conf ] || echo "/usr/share/alsa/alsa.conf is missing (libasound2-data)"
}

case $mode in
    check)
        reasons=$(missing_tools)
        cached_kernel "" >/dev/null ||
            reasons+=${reasons:+$'\n'}"the machine's kernel is not fetched yet (scripts/install-deps.sh test)"
        [ -z "$reasons" ] && exit 0
        echo "$reasons"
        exit 1
        ;;
    fetch)
        package=$(kernel_package)
        if [ -n "$package" ]; then
            fetch_kernel "$package" >/dev/null
        else
            cached_kernel "" >/dev/null || die "cannot tell which kernel linux-image-amd64 names (apt-get update?)"
        fi
        exit 0
        ;;
esac

[ $# -ge 1 ] || die "usage: $program_name [options] PROGRAM [ARGUMENTS...]  (-h for help)"
[[ $memory_mb =~ ^[0-9]+$ && $memory_mb -ge 128 ]] || die "-m $memory_mb: the guest needs at least 128 MB"
program=$1
shift
{ [ -f "$program" ] && [ -x "$program" ]; } || die "not an executable file: $program"
reasons=$(missing_tools)
[ -z "$reasons" ] || die "cannot start the machine: $reasons"

# The kernel linux-image-amd64 names now; without a download, one fetched earlier will do.
package=$(kernel_package)
kernel_root=$(cached_kernel "$package") || kernel_root=
if [ -n "$package" ] && [ "${kernel_root##*/}" != "$package" ]; then
    kernel_root=$(fetch_kernel "$package") || kernel_root=$(cached_kernel "$package") || kernel_root=
fi
[ -n "$kernel_root" ] || die "no kernel to boot: none fetched, and none to fetch (apt-get update?)"
kernel_version=${kernel_root##*/linux-image-}
modules_dir=$kernel_root/lib/modules/$kernel_version
kernel_image=$kernel_root/boot/vmlinux-$kernel_version
[ -f "$kernel_image" ] || kernel_image=$kernel_root/boot/vmlinuz-$kernel_version
[ -f "$modules_dir/kernel/sound/core/seq/snd-seq.ko" ] || ls "$modules_dir"/kernel/sound/core/seq/snd-seq.ko.* \
    >/dev/null 2>&1 || die "$kernel_version has no ALSA sequencer modules (the -cloud kernels have none)"

# ------------------------------------------------------------------ the guest's root
work=$(mktemp -d -p "${TMPDIR:-/tmp}" alsa-vm.XXXXXX)
cleanup() {
    if [ -n "$keep" ]; then echo "$program_name: kept $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT
root=$work/root
mkdir -p "$root"/{bin,sbin,usr/bin,usr/sbin,proc,sys,dev,tmp,run,root,test,out,etc/alsa-vm,lib/modules}

# Copies the shared libraries an ELF file needs to the same paths in the guest.
copy_libraries() {
    local library
    for library in $(ldd "$1" 2>/dev/null | grep -oE '/[^ ]+'); do
        [ -e "$root$library" ] && continue
        mkdir -p "$root$(dirname "$library")"
        cp -L "$library" "$root$library"
    done
}
is_elf() { [ "$(head -c4 "$1" | od -An -c | tr -d ' ')" = '177ELF' ]; }
# Copies a file or folder to DEST in the guest, with the libraries of every ELF file in it.
copy_in() {
    local source=$1 destination=$2 file
    mkdir -p "$root$(dirname "$destination")"
    cp -rL "$source" "$root$destination"
    while IFS= read -r -d '' file; do
        if is_elf "$file"; then copy_libraries "$file"; fi
    done < <(find "$source" -follow -type f -print0)
}

copy_in "$(command -v busybox)" /bin/busybox
for applet in $("$root/bin/busybox" --list); do
    [ -e "$root/bin/$applet" ] || ln -s busybox "$root/bin/$applet"
done
for tool in aconnect aplaymidi aseqdump arecordmidi amidi; do
    if command -v "$tool" >/dev/null; then copy_in "$(command -v "$tool")" "/usr/bin/$tool"; fi
done
# libasound reads its configuration even to open the sequencer.
mkdir -p "$root/usr/share/alsa"
for part in alsa.conf alsa.conf.d cards pcm; do
    [ -e "/usr/share/alsa/$part" ] && cp -rL "/usr/share/alsa/$part" "$root/usr/share/alsa/"
done
copy_in "$program" "/test/$(basename "$program")"
for file in ${files[@]+"${files[@]}"}; do
    if [[ $file == *:/* ]]; then
        [ -e "${file%%:/*}" ] || die "no such file: ${file%%:/*}"
        copy_in "${file%%:/*}" "/${file#*:/}"
    else
        [ -e "$file" ] || die "no such file: $file"
        copy_in "$file" "/test/$(basename "$file")"
    fi
done
cp "$here/guest_init.sh" "$root/init"
chmod 755 "$root/init"

# Modules in load order: modules.dep lists each module's dependencies, the deepest last.
modules="snd-hrtimer snd-seq snd-seq-dummy snd-rawmidi snd-seq-midi snd-virmidi"
[ -z "$out_dir" ] || modules+=" virtio_pci 9pnet_virtio 9p"
declare -A loaded=()
load_order=()
add_module() {
    local path=$1 line dependencies i
    [ -n "${loaded[$path]:-}" ] && return 0
    line=$(grep -E "^${path//./\\.}:" "$modules_dir/modules.dep") || die "$path is not in modules.dep"
    read -r -a dependencies <<<"${line#*:}"
    for ((i = ${#dependencies[@]} - 1; i >= 0; i--)); do add_module "${dependencies[i]}"; done
    loaded[$path]=1
    load_order+=("$path")
}
for module in $modules; do
    path=$(grep -oE "^[^:]*/${module//[-_]/[-_]}\.ko(\.xz|\.zst|\.gz)?:" "$modules_dir/modules.dep" | head -1)
    [ -n "$path" ] || die "kernel $kernel_version has no module $module"
    add_module "${path%:}"
done
: >"$root/etc/alsa-vm/modules"
for path in "${load_order[@]}"; do
    name=$(basename "$path")
    case $name in
        *.xz) xz -dc "$modules_dir/$path" >"$root/lib/modules/${name%.xz}" ;;
        *.zst) zstd -qdc "$modules_dir/$path" >"$root/lib/modules/${name%.zst}" ;;
        *.gz) gzip -dc "$modules_dir/$path" >"$root/lib/modules/${name%.gz}" ;;
        *) cp "$modules_dir/$path" "$root/lib/modules/$name" ;;
    esac
    name=${name%.ko*}.ko
    parameters=
    # Device 3 is the global high-resolution timer: queues get it whatever the kernel's default.
    [ "$name" = snd-seq.ko ] && parameters="seq_default_timer_class=1 seq_default_timer_device=3"
    echo "$name $parameters" >>"$root/etc/alsa-vm/modules"
done

{
    for assignment in ${guest_env[@]+"${guest_env[@]}"}; do printf 'export %q\n' "$assignment"; done
    printf 'cd /test\n'
    # A script runs under busybox sh whatever its first line names.
    [ "$(head -c2 "$program")" = '#!' ] && printf 'sh '
    printf '%q ' "/test/$(basename "$program")" "$@"
    printf '\n'
} >"$root/etc/alsa-vm/command"

# Uncompressed: unpacking is faster than gunzip on an emulated processor.
(cd "$root" && find . -print0 | cpio --null -o -H newc --quiet) >"$work/initramfs.cpio"
say "initramfs $(du -h "$work/initramfs.cpio" | cut -f1), modules: $(cut -d' ' -f1 "$root/etc/alsa-vm/modules" | tr '\n' ' ')"

# ------------------------------------------------------------------ run
if [ "$accel" = auto ]; then
    accel=tcg
    if [ -r /dev/kvm ] && [ -w /dev/kvm ] && grep -qwE 'vmx|svm' /proc/cpuinfo; then accel=kvm; fi
fi
: >"$work/console.log"
: >"$work/output.log"
: >"$work/status.log"
qemu_args=(-nodefaults -no-user-config -display none -no-reboot -M pc -accel "$accel" -m "$memory_mb" -smp "$cpus"
    -kernel "$kernel_image" -initrd "$work/initramfs.cpio"
    -append "console=ttyS0 quiet loglevel=4 panic=-1 rdinit=/init"
    -serial "file:$work/console.log" -serial "file:$work/output.log" -serial "file:$work/status.log")
if [ -n "$out_dir" ]; then
    mkdir -p "$out_dir"
    qemu_args+=(-fsdev "local,id=out,path=$out_dir,security_model=none" -device "virtio-9p-pci,fsdev=out,mount_tag=out")
fi
say "qemu-system-x86_64 ${qemu_args[*]}"
started=$(date +%s.%N)
set +e
timeout -k 5 "$timeout_s" qemu-system-x86_64 "${qemu_args[@]}" </dev/null >"$work/qemu.log" 2>&1
qemu_status=$?
set -e
seconds=$(awk -v a="$started" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')

if [ -n "$verbose" ]; then
    echo "----- guest console -----" >&2
    cat "$work/console.log" >&2
    echo "-------------------------" >&2
fi
cat "$work/output.log"
status=$(sed -n 's/^EXIT=\([0-9]*\).*/\1/p' "$work/status.log" | tail -1)
if [ -z "$status" ]; then
    if [ "$qemu_status" = 124 ] || [ "$qemu_status" = 137 ]; then
        echo "$program_name: the machine ran out of time after ${timeout_s} s" >&2
        status=124
    else
        echo "$program_name: the machine ended without a status (qemu exit $qemu_status)" >&2
        status=125
    fi
    echo "----- qemu -----" >&2
    tail -20 "$work/qemu.log" >&2
    echo "----- guest console (end) -----" >&2
    tail -40 "$work/console.log" >&2
fi
echo "$program_name: exit $status after $seconds s in qemu ($accel, $kernel_version, $memory_mb MB)" >&2
exit "$status"
