#!/usr/bin/env bash
# System tests on the real Linux SCSI path: boots Debian's stock kernel in a
# QEMU guest (software emulation) whose root is this machine's / (read-only,
# over 9p), plugs simulated bridges in as USB gadgets (dummy_hcd, FunctionFS,
# brigant-sim-usb) and runs tests/system/scenarios.sh against them with the
# real brigant-fw: the guest's usb-storage, sd, sg and udev do the rest.
#
#   tests/system/run.sh BUILD_DIR [SCENARIO...]
#
# The kernel package is fetched once with apt-get download into
# BUILD_DIR/system-test (never installed). The last run's logs stay in
# BUILD_DIR/system-test/last-run. Exit code: 0 when every scenario passed,
# 1 when one failed or the guest did not finish, 77 (skip) when this machine
# lacks what is needed to run a guest at all. The guest gets
# BRIGANT_SYSTEM_TIMEOUT seconds (default 1500: a run takes a few minutes on a
# quiet machine, and a loaded one slows the emulated guest several times).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
[ $# -ge 1 ] || { echo "usage: $0 BUILD_DIR [SCENARIO...]" >&2; exit 2; }
build=$(cd "$1" && pwd)
shift
cache=$build/system-test
started=$SECONDS
note() { echo "[system] $* (+$((SECONDS - started))s)"; }
skip() {
    echo "SKIP: the system tests cannot run on this machine: $*"
    exit 77
}

for tool in qemu-system-x86_64 cpio depmod dpkg-deb apt-get apt-cache; do
    command -v "$tool" >/dev/null || skip "$tool is missing (tools/deps.sh installs it)"
done
[ -x /bin/busybox ] || skip "/bin/busybox is missing (package busybox-static; tools/deps.sh installs it)"
[ -x /lib/systemd/systemd-udevd ] || skip "systemd-udevd is missing (package udev; tools/deps.sh installs it)"
for binary in cli/brigant-fw programs/sim-usb/brigant-sim-usb tests/system/brigant-hold-sg \
    bench/brigant-transport-bench; do
    [ -x "$build/$binary" ] || { echo "error: $build/$binary is not built" >&2; exit 1; }
done

# --- the guest kernel: Debian's current stock kernel, unpacked, not installed
kernel_package() { apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-/{print $2; exit}'; }
package=$(kernel_package)
if [ -z "$package" ]; then
    apt-get update -qq || true
    package=$(kernel_package)
fi
[ -n "$package" ] || { echo "error: apt-cache cannot tell which kernel package linux-image-amd64 names" >&2; exit 1; }
kdir=$cache/kernel
if [ "$(cat "$kdir/ready" 2>/dev/null)" != "$package" ]; then
    note "fetching $package"
    rm -rf "$kdir"
    mkdir -p "$kdir/deb"
    (cd "$kdir/deb" && apt-get download -qq "$package" 2>&1 | grep -v "unsandboxed" || true)
    ls "$kdir"/deb/*.deb >/dev/null 2>&1 || { echo "error: apt-get download $package failed" >&2; exit 1; }
    dpkg-deb -x "$kdir"/deb/*.deb "$kdir/root"
    rm -rf "$kdir/deb"
    depmod -b "$kdir/root" "$(ls "$kdir/root/lib/modules")"
    echo "$package" >"$kdir/ready"
fi
kver=$(ls "$kdir/root/lib/modules")
vmlinuz=$kdir/root/boot/vmlinuz-$kver

# --- initramfs: busybox and the modules; it mounts the host's / and hands over
run=$cache/last-run
rm -rf "$run"
mkdir -p "$run/out" "$run/initrd/bin" "$run/initrd/lib/modules/$kver"
for dir in proc sys dev host; do mkdir -p "$run/initrd/$dir"; done
cp /bin/busybox "$run/initrd/bin/"
for applet in sh mount mkdir sleep modprobe switch_root cat; do ln -s busybox "$run/initrd/bin/$applet"; done
# ext4 (with the crc32c it asks the crypto API for) mounts the ext2
# filesystem sc_doctor makes on a gadget's disk.
modules="virtio_pci 9pnet_virtio 9p sg sd_mod usb-storage configfs libcomposite usb_f_fs dummy_hcd crc32c_generic ext4"
for m in $modules; do
    modprobe -d "$kdir/root" -S "$kver" --show-depends "$m" | awk '$1 == "insmod" {print $2}'
done | sort -u | while read -r file; do
    dest=$run/initrd/${file#"$kdir/root/"}
    mkdir -p "$(dirname "$dest")"
    cp "$file" "$dest"
done
cp "$kdir/root/lib/modules/$kver"/modules.{dep,alias,builtin,softdep,symbols} "$run/initrd/lib/modules/$kver/"
cat >"$run/initrd/init" <<'INIT'
#!/bin/sh
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for m in virtio_pci 9pnet_virtio 9p sg sd_mod usb-storage configfs libcomposite usb_f_fs crc32c_generic ext4; do modprobe $m; done
mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=262144 hostroot /host
mount -t tmpfs run /host/run
mkdir -p /host/run/out
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 hostout /host/run/out
# One USB device controller per simulated device.
modprobe dummy_hcd num=$(cat /host/run/out/udc-count)
mount -t proc proc /host/proc
mount -t sysfs sys /host/sys
mount -t devtmpfs dev /host/dev
mount -t configfs none /host/sys/kernel/config
# switch_root, not chroot: the host's / becomes the real root, so udevd works.
exec switch_root /host /bin/sh /run/out/stage2.sh
INIT
chmod +x "$run/initrd/init"
(cd "$run/initrd" && find . | cpio -o -H newc 2>/dev/null | gzip -1) >"$run/initrd.gz"
rm -rf "$run/initrd"

# --- what the guest runs
grep -cv '^[[:space:]]*\(#\|$\)' "$here/gadgets.conf" >"$run/out/udc-count"
{
    echo "#!/bin/sh"
    printf 'export BRIGANT_SRC=%q BRIGANT_BUILD=%q BRIGANT_OUT=/run/out\n' "$src" "$build"
    printf 'export BRIGANT_SCENARIOS=%q\n' "$*"
    echo 'exec /bin/bash "$BRIGANT_SRC/tests/system/guest.sh"'
} >"$run/out/stage2.sh"

# A guest kernel now and then locks up in its own USB probing before the
# first scenario starts (soft lockups in udev workers, under emulation on a
# loaded host). That says nothing about the tool, so a guest that has not
# attached its gadgets within BRIGANT_SYSTEM_ATTACH_TIMEOUT seconds (default
# 300; they attach in about 15 s of guest time) is stopped and booted again,
# once. A stall after the scenarios have started is a failure like any other.
boot_guest() {
    rm -f "$run/out/rc" "$run/out/guest.log" "$run/out/test.log"
    timeout "${BRIGANT_SYSTEM_TIMEOUT:-1500}" qemu-system-x86_64 -accel tcg -m 1024 -smp 2 -nographic -no-reboot \
        -kernel "$vmlinuz" -initrd "$run/initrd.gz" -append "console=ttyS0 quiet panic=-1" \
        -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
        -virtfs local,path="$run/out",mount_tag=hostout,security_model=none \
        </dev/null >"$run/console.log" 2>&1 &
    local pid=$! limit=$((SECONDS + ${BRIGANT_SYSTEM_ATTACH_TIMEOUT:-300}))
    until grep -q "gadgets attached" "$run/out/guest.log" 2>/dev/null; do
        kill -0 "$pid" 2>/dev/null || break
        if [ $SECONDS -ge $limit ]; then
            kill -TERM "$pid" 2>/dev/null
            wait "$pid"
            return 125
        fi
        sleep 2
    done
    wait "$pid"
}

set +e
for boot in 1 2; do
    note "booting $kver"
    boot_guest
    qemu_rc=$?
    [ $qemu_rc -eq 125 ] || break
    note "the guest did not attach its gadgets in time (console tail below)"
    tail -8 "$run/console.log"
    cp "$run/console.log" "$run/console-stalled-boot$boot.log"
done
set -e
note "guest finished"

cat "$run/out/test.log" 2>/dev/null || true
if [ ! -f "$run/out/rc" ]; then
    echo "error: the guest did not finish its scenarios (qemu exit $qemu_rc); logs in $run"
    echo "--- guest log (tail)"
    tail -30 "$run/out/guest.log" 2>/dev/null || true
    echo "--- console (tail)"
    tail -30 "$run/console.log"
    exit 1
fi
rc=$(cat "$run/out/rc")
if [ "$rc" != 0 ]; then
    echo "--- guest log (tail); all logs in $run"
    tail -30 "$run/out/guest.log" 2>/dev/null || true
    for log in "$run"/out/sim*.log; do
        echo "--- $(basename "$log") (tail)"
        tail -15 "$log"
    done
fi
exit "$rc"
