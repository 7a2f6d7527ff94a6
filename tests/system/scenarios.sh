#!/bin/bash
# The system-test scenarios, run in the guest by guest.sh once the gadgets are
# SCSI disks. Each scenario is a function sc_NAME listed in SCENARIOS; it runs
# in a bash of its own with errexit, so any failing check ends it. A scenario
# that needs something brigant-fw does not have yet exits 77 (skipped).
#
#   scenarios.sh [NAME...]      run the named scenarios (default: all)
#   scenarios.sh --one NAME     run one scenario (used by the runner)
SCENARIOS=(
    udev_identity chip_info xdata_round_trip not_ready short_reads largest_transfer
    exclusive_open no_rawio plain_disk reset_reattach list info update transport_bench
)

FW=$BRIGANT_BUILD/cli/brigant-fw
HOLD=$BRIGANT_BUILD/tests/system/brigant-hold-sg
BENCH=$BRIGANT_BUILD/bench/brigant-transport-bench
OUT_DIR=$BRIGANT_OUT
CHIP_INFO="E0 F4 E7 00 00 00 00 00 00 00 00 00"

# --- helpers ------------------------------------------------------------------

# The sg node of the disk whose INQUIRY product is $1, waiting up to 20 s for it.
sg_of() {
    local dev
    for _ in $(seq 200); do
        for dev in /sys/class/scsi_generic/sg*; do
            if [ "$(sed 's/ *$//' "$dev/device/model" 2>/dev/null)" = "$1" ]; then
                echo "/dev/${dev##*/}"
                return 0
            fi
        done
        sleep 0.1
    done
    echo "no sg node for '$1'" >&2
    return 1
}
bridge_sg() { sg_of "Generic Bridge"; }
quince_sg() { sg_of "Quince Bridge"; }
plain_sg() { sg_of "USB Disk"; }

# Runs brigant-fw (or CMD... with brigant-fw's path as $FW); output in $OUT, exit code in $RC.
fw() { run "$FW" "$@"; }
run() {
    echo "\$ ${*#"$BRIGANT_BUILD/"}"
    set +e
    OUT=$("$@" 2>&1)
    RC=$?
    set -e
    # The log keeps the head of long dumps; the checks see all of $OUT.
    local lines
    lines=$(wc -l <<<"$OUT")
    head -20 <<<"$OUT"
    [ "$lines" -le 20 ] || echo "... ($((lines - 20)) more lines)"
    echo "[exit $RC]"
}
expect_rc() { [ "$RC" -eq "$1" ] || { echo "CHECK FAILED: exit code $RC, expected $1"; return 1; }; }
expect_text() { grep -qF -- "$1" <<<"$OUT" || { echo "CHECK FAILED: no '$1' in the output"; return 1; }; }
expect_no_text() { ! grep -qF -- "$1" <<<"$OUT" || { echo "CHECK FAILED: '$1' in the output"; return 1; }; }
has_command() { "$FW" --help 2>&1 | grep -qE "^  $1( |$)"; }
need_command() { has_command "$1" || { echo "brigant-fw has no '$1' command yet"; exit 77; }; }
bytes_file() { printf "$(printf '\\x%s' "$@")" >"$TMPDIR/data.bin"; echo "$TMPDIR/data.bin"; }

# --- scenarios ----------------------------------------------------------------

# udev and sysfs see the preset's USB IDs and INQUIRY strings, bound to
# usb-storage. udev keeps the ID_* properties on the disk's block node; the sg
# node itself carries none of them.
sc_udev_identity() {
    local sg
    sg=$(bridge_sg)
    run udevadm info -q property -n "$sg"
    expect_no_text "ID_BUS="
    run udevadm info -q property -n "/dev/$(ls "/sys/class/scsi_generic/${sg#/dev/}/device/block")"
    expect_text "ID_BUS=usb"
    expect_text "ID_USB_DRIVER=usb-storage"
    expect_text "ID_VENDOR_ID=3a9b"
    expect_text "ID_MODEL_ID=0100"
    run cat "/sys/class/scsi_generic/${sg#/dev/}/device/vendor"
    expect_text "Velkor"
}

sc_chip_info() {
    fw --device "$(bridge_sg)" --trace raw in 16 $CHIP_INFO
    expect_rc 0
    expect_text "ok, transferred 16 of 16 bytes"
    expect_text "F4 E7 3A 9B 01 00 01 00 47 45 4E 30"
    expect_text "in E0 F4 E7 00 00 00 00 00 00 00 00 00 len=16 tmo=10 ok xfer=16"
}

# WriteXdata then ReadXdata of the same bytes: data-out reaches the device whole.
sc_xdata_round_trip() {
    local sg
    sg=$(bridge_sg)
    fw --device "$sg" raw out 8 DF 00 00 00 08 00 40 00 00 00 00 FE --data "$(bytes_file 11 22 33 44 a5 5a c3 3c)"
    expect_rc 0
    expect_text "ok, transferred 8 of 8 bytes"
    fw --device "$sg" raw in 8 DF 10 00 00 08 00 40 00 00 00 00 FD
    expect_rc 0
    expect_text "11 22 33 44 A5 5A C3 3C"
}

# The bridge answers this CDB once with NOT READY 2/04/01 (guest.sh arms it):
# a failed command with its sense, then the same command succeeds.
sc_not_ready() {
    local sg
    sg=$(bridge_sg)
    fw --device "$sg" --trace raw in 16 E0 F4 E7 00 00 00 00 00 00 00 00 01 --sense
    expect_rc 1
    expect_text "failed, transferred 0 of 16 bytes"
    expect_text "sense key 2, ASC 04, ASCQ 01"
    expect_text "len=16 tmo=10 fail xfer=0 sense=700002000000000A0000000004010000"
    fw --device "$sg" raw in 16 E0 F4 E7 00 00 00 00 00 00 00 00 01 --sense
    expect_rc 0
    expect_text "ok, transferred 16 of 16 bytes"
}

sc_short_reads() {
    local sg
    sg=$(bridge_sg)
    # A short packet ends the data stage.
    fw --device "$sg" raw in 64 $CHIP_INFO
    expect_rc 0
    expect_text "ok, transferred 16 of 64 bytes"
    # Ending on a packet boundary needs a zero-length packet.
    fw --device "$sg" raw in 1024 DF 10 00 02 00 00 40 00 00 00 00 FD
    expect_rc 0
    expect_text "ok, transferred 512 of 1024 bytes"
    fw --device "$sg" raw in 96 12 00 00 00 60 00
    expect_rc 0
    expect_text "ok, transferred 36 of 96 bytes"
    expect_text "........Velkor  "
    expect_text "Generic Bridge  "
}

# usb-storage takes at most max_hw_sectors_kb (120 KiB) in one command.
sc_largest_transfer() {
    local sg
    sg=$(bridge_sg)
    run cat "/sys/class/scsi_generic/${sg#/dev/}/device/block/"*/queue/max_hw_sectors_kb
    fw --device "$sg" raw in 65536 FF 04 10 00 00 00 00 00 00 00 00 00
    expect_rc 0
    expect_text "ok, transferred 65536 of 65536 bytes"
    fw --device "$sg" raw in 131072 FF 04 10 00 00 00 00 00 00 00 00 00
    expect_rc 1
    expect_text "larger than the host adapter accepts"
}

# Data-out commands open the sg node exclusively: another opener makes them
# fail at open. The kernel also refuses every open while one is exclusive.
sc_exclusive_open() {
    local sg
    sg=$(bridge_sg)
    holder=
    trap '[ -n "$holder" ] && kill "$holder" 2>/dev/null' EXIT
    hold() {
        "$HOLD" "$@" "$sg" >"$TMPDIR/hold.out" &
        holder=$!
        for _ in $(seq 50); do grep -q held "$TMPDIR/hold.out" && return 0; sleep 0.1; done
        echo "the holder did not open $sg"
        return 1
    }
    release() { kill "$holder"; wait "$holder" 2>/dev/null || true; holder=; }
    local data
    data=$(bytes_file 01 02 03 04 05 06 07 08)

    hold
    fw --device "$sg" raw out 8 DF 00 00 00 08 00 40 00 00 00 00 FE --data "$data"
    expect_rc 1
    expect_text "failed, transferred 0 of 8 bytes"
    expect_text "cannot open $sg: device busy (opened exclusively elsewhere)"
    fw --device "$sg" raw in 16 $CHIP_INFO
    expect_rc 0
    release

    hold --exclusive
    fw --device "$sg" raw in 16 $CHIP_INFO
    expect_rc 1
    expect_text "cannot open $sg: device busy (opened exclusively elsewhere)"
    release

    fw --device "$sg" raw out 8 DF 00 00 00 08 00 40 00 00 00 00 FE --data "$data"
    expect_rc 0
}

# Who may send vendor commands. The kernel filters SCSI opcodes for callers
# without CAP_SYS_RAWIO on block nodes (and on read-only sg opens); a
# read-write open of the sg node is guarded by the node's permissions only.
sc_no_rawio() {
    local sg disk
    sg=$(bridge_sg)
    disk=/dev/$(ls "/sys/class/scsi_generic/${sg#/dev/}/device/block")
    nocap() { setpriv --bounding-set -sys_rawio --inh-caps -sys_rawio "$@"; }
    run nocap grep CapEff /proc/self/status
    local eff=$((16#$(awk '{print $2}' <<<"$OUT")))
    [ $(((eff >> 17) & 1)) -eq 0 ] || { echo "CHECK FAILED: CAP_SYS_RAWIO still effective"; return 1; }
    run nocap "$FW" --device "$disk" raw in 16 $CHIP_INFO
    expect_rc 1
    expect_text "command refused on $disk: permission denied. Vendor commands need CAP_SYS_RAWIO: run through the helper"
    # INQUIRY is one of the commands the filter lets through.
    run nocap "$FW" --device "$disk" raw in 36 12 00 00 00 24 00
    expect_rc 0
    run nocap "$FW" --device "$sg" raw in 16 $CHIP_INFO
    expect_rc 0
    # Without access to the node the open fails.
    run setpriv --reuid=65534 --regid=65534 --clear-groups "$FW" --device "$sg" raw in 16 $CHIP_INFO
    expect_rc 1
    expect_text "cannot open $sg: permission denied. Raw SCSI access needs privileges: run through the helper"
}

# A plain USB disk answers vendor commands with ILLEGAL REQUEST.
sc_plain_disk() {
    local sg
    sg=$(plain_sg)
    fw --device "$sg" raw in 16 $CHIP_INFO --sense
    expect_rc 1
    expect_text "sense key 5, ASC 20, ASCQ 00"
    fw --device "$sg" raw in 36 12 00 00 00 24 00
    expect_rc 0
    expect_text "........Generic "
    expect_text "USB Disk        "
}

# ResetChip: the bridge acknowledges, leaves the bus and comes back; udev sees
# a real removal and arrival, and the state saved at the reset has the XDATA
# written before it.
sc_reset_reattach() {
    local sg
    sg=$(bridge_sg)
    udevadm monitor --udev --subsystem-match=usb/usb_device >"$TMPDIR/monitor.log" &
    monitor=$!
    trap 'kill $monitor 2>/dev/null' EXIT
    sleep 1
    fw --device "$sg" raw out 4 DF 00 00 00 04 00 50 00 00 00 00 FE --data "$(bytes_file de ad be ef)"
    expect_rc 0
    fw --device "$sg" --trace raw in 0 FF 04 26 56 4B 00 00 00 00 00 00 00
    expect_rc 0
    for _ in $(seq 300); do grep -q " add " "$TMPDIR/monitor.log" && break; sleep 0.1; done
    udevadm settle -t 20
    run cat "$TMPDIR/monitor.log"
    expect_text " remove "
    expect_text " add "
    sg=$(bridge_sg)
    fw --device "$sg" raw in 16 $CHIP_INFO
    expect_rc 0
    run od -An -tx1 -j $((0x5000)) -N 4 /run/state/brigant0/xdata.bin
    expect_text "de ad be ef"
    run grep -c "bridge reset: leaving the bus\|back on the bus" "$BRIGANT_SIM_LOGS/sim0.log"
    expect_text "2"
}

# Discovery through libudev: the bridges are listed with their INQUIRY names,
# the plain disk is not.
sc_list() {
    need_command list
    local quince
    quince=$(quince_sg)
    fw list
    expect_rc 0
    expect_text "] $quince (USB)  "
    expect_text "Quince Bridge"
    expect_text "Chip:              Quince Series"
    expect_no_text "USB Disk"
    expect_no_text "Click Update firmware button"
}

# Identification over the real path shows the chip and the version text.
sc_info() {
    need_command info
    fw --device "$(quince_sg)" info
    expect_rc 0
    expect_text "Chip:              Quince Series (chip type code 16"
    expect_text "Firmware version:  1.1.0.8"
    expect_no_text "FwVerLableEdit"
    fw --device "$(quince_sg)" --verbose info
    expect_rc 0
    expect_text '"Quince Series"'
    expect_text '"1.1.0.8"'
}

# The one-button update over the real path: programming through WRITE BUFFER,
# the reset, the real removal and arrival, then a run that finds the bridge
# current.
sc_update() {
    need_command update
    quince_sg >/dev/null
    # The backup taken before the write goes where the guest can write.
    export XDG_STATE_HOME="$TMPDIR/state"
    fw --trace="$TMPDIR/update.trace" update --embedded --yes
    expect_rc 0
    expect_text "Update    Pass!!"
    run find "$XDG_STATE_HOME/brigant/backups" -name '*.bin' -size +0
    [ -n "$OUT" ] || { echo "CHECK FAILED: no backup file before the update"; return 1; }
    run grep -c " out 3B 0E " "$TMPDIR/update.trace"
    [ "$OUT" -ge 64 ] || { echo "CHECK FAILED: only $OUT WRITE BUFFER commands"; return 1; }
    udevadm settle -t 20
    quince_sg >/dev/null
    fw update --embedded --yes
    expect_rc 4
    expect_text "Firmware already updated."
}

# Per-command cost of the transport against bare open / SG_IO / close.
sc_transport_bench() {
    run "$BENCH" "$(bridge_sg)" 1000 8
    expect_rc 0
    expect_text "ratio"
    expect_text "per round"
    printf '%s\n' "$OUT" >>"$OUT_DIR/bench.txt"
}

# --- runner -------------------------------------------------------------------

if [ "${1:-}" = "--one" ]; then
    set -eo pipefail
    "sc_$2"
    exit 0
fi

names=("$@")
[ ${#names[@]} -gt 0 ] || names=("${SCENARIOS[@]}")
pass=0 fail=0 skipped=0
for name in "${names[@]}"; do
    log=$OUT_DIR/scenario-$name.log
    t0=$SECONDS
    bash "$0" --one "$name" >"$log" 2>&1
    rc=$?
    case $rc in
    0)
        pass=$((pass + 1))
        echo "PASS $name ($((SECONDS - t0))s)"
        ;;
    77)
        skipped=$((skipped + 1))
        echo "SKIP $name: $(tail -1 "$log")"
        ;;
    *)
        fail=$((fail + 1))
        echo "FAIL $name ($((SECONDS - t0))s)"
        sed 's/^/    /' "$log"
        ;;
    esac
done
[ -f "$OUT_DIR/bench.txt" ] && sed 's/^/bench: /' "$OUT_DIR/bench.txt"
echo "system: $pass passed, $fail failed, $skipped skipped"
[ $fail -eq 0 ]
