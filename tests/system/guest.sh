#!/bin/bash
# Second stage of the system-test guest (started by run.sh's init after
# switch_root, as root, with the host's / read-only and /run writable):
# starts udev, presents the simulated devices as USB gadgets, waits for their
# sg nodes, runs scenarios.sh and hands its exit code back in /run/out/rc.
set -u
out=$BRIGANT_OUT
exec >"$out/guest.log" 2>&1
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin TMPDIR=/run/tmp
# The simulators log every command: to tmpfs, copied out at the end (9p writes are slow).
export BRIGANT_SIM_LOGS=/run/log
mkdir -p "$TMPDIR" /run/state /run/ffs /run/sim "$BRIGANT_SIM_LOGS"
[ -e /dev/fd ] || ln -s /proc/self/fd /dev/fd # devtmpfs has no /dev/fd; bash's <(...) needs it
sim_usb=$BRIGANT_BUILD/programs/sim-usb/brigant-sim-usb
ts() { echo "[guest +$(cut -d' ' -f1 /proc/uptime)s] $*"; }
# Every wait polls for its condition, bounded generously: a loaded host makes
# the emulated guest many times slower, never a fixed sleep long enough.
wait_until() { # SECONDS COMMAND...: 0 as soon as COMMAND succeeds, 1 when the time is up
    local limit=$((SECONDS + $1))
    shift
    until "$@"; do
        [ $SECONDS -lt $limit ] || return 1
        sleep 0.1
    done
}

finish() {
    for pid in "${sims[@]}"; do kill -TERM "$pid" 2>/dev/null; done
    sims_gone() {
        local pid
        for pid in "${sims[@]}"; do kill -0 "$pid" 2>/dev/null && return 1; done
        return 0
    }
    wait_until 60 sims_gone || echo "warning: a simulator did not stop within 60 s"
    cp "$BRIGANT_SIM_LOGS"/* "$out/" 2>/dev/null
    echo "$1" >"$out/rc"
    sync
    /bin/busybox poweroff -f
}
sims=()

ts "second stage"
/lib/systemd/systemd-udevd --daemon && udevadm trigger --action=add && udevadm settle -t 120 ||
    echo "warning: udev did not settle"

# PRESET and options per line (run.sh loads dummy_hcd with as many UDCs).
mapfile -t gadgets <<<"$(grep -v '^[[:space:]]*\(#\|$\)' "$BRIGANT_SRC/tests/system/gadgets.conf")"
[ ${#gadgets[@]} -gt 0 ] || { echo "error: no gadgets in gadgets.conf"; finish 1; }

start_gadget() {
    local i=$1 preset=$2
    shift 2
    local g=/sys/kernel/config/usb_gadget/brigant$i
    mkdir -p "$g/functions/ffs.brigant$i" "$g/configs/c.1/strings/0x409" /run/ffs/brigant$i /run/state/brigant$i
    echo "bulk-only mass storage" >"$g/configs/c.1/strings/0x409/configuration"
    ln -s "$g/functions/ffs.brigant$i" "$g/configs/c.1/"
    mount -t functionfs "brigant$i" "/run/ffs/brigant$i" || return 1
    "$sim_usb" --simulate "$preset" --ffs "/run/ffs/brigant$i" --gadget "$g" --udc "dummy_udc.$i" \
        --serial "$(printf 'BRG%07d' "$i")" --sim-state "/run/state/brigant$i" --verbose "$@" \
        2>"$BRIGANT_SIM_LOGS/sim$i.log" &
    sims+=($!)
    echo $! >"/run/sim/brigant$i.pid" # scenarios unplug and plug the device with SIGUSR1 / SIGUSR2
}

ts "udev ready"
i=0
for entry in "${gadgets[@]}"; do
    # shellcheck disable=SC2086 # the entry is PRESET and options, split on purpose
    start_gadget "$i" $entry || finish 1
    i=$((i + 1))
done

# Every gadget shows up as a SCSI disk with an sg node.
all_attached() { [ "$(ls /sys/class/scsi_generic 2>/dev/null | wc -l)" -ge "${#gadgets[@]}" ]; }
wait_until 180 all_attached
udevadm settle -t 120
ts "gadgets attached"
ls -l /dev/sg* /dev/sd* 2>&1
if [ "$(ls /sys/class/scsi_generic 2>/dev/null | wc -l)" -lt "${#gadgets[@]}" ]; then
    echo "error: not every gadget became a SCSI device"
    dmesg | tail -40
    finish 1
fi

# shellcheck disable=SC2086 # a list of scenario names
bash "$BRIGANT_SRC/tests/system/scenarios.sh" $BRIGANT_SCENARIOS >"$out/test.log" 2>&1
rc=$?
ts "scenarios done (exit $rc)"
dmesg >"$out/dmesg.log"
finish $rc
