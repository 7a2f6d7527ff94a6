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
    exclusive_open no_rawio plain_disk reset_reattach command_timeout list info update_slow_reattach
    unit_attention assisted_update register_update staging_update disk_update parallel_update transport_bench
    peer_tools two_writers station doctor
)

FW=$BRIGANT_BUILD/cli/brigant-fw
HOLD=$BRIGANT_BUILD/tests/system/brigant-hold-sg
BENCH=$BRIGANT_BUILD/bench/brigant-transport-bench
OUT_DIR=$BRIGANT_OUT
CHIP_INFO="E0 F4 E7 00 00 00 00 00 00 00 00 00"
SIM_IMAGE=$BRIGANT_BUILD/programs/sim-image/brigant-sim-image
GADGETS_CONF=$BRIGANT_SRC/tests/system/gadgets.conf

# --- helpers ------------------------------------------------------------------

# Every wait polls for its condition with a generous bound: under load the
# emulated guest runs many times slower, and a fixed sleep is never enough.
wait_until() { # SECONDS COMMAND...: 0 as soon as COMMAND succeeds, 1 when the time is up
    local limit=$((SECONDS + $1))
    shift
    until "$@"; do
        [ $SECONDS -lt $limit ] || return 1
        sleep 0.1
    done
}

# The sg node of the disk whose INQUIRY product is $1, if there is one now.
find_sg() {
    local dev
    for dev in /sys/class/scsi_generic/sg*; do
        if [ "$(sed 's/ *$//' "$dev/device/model" 2>/dev/null)" = "$1" ]; then
            echo "/dev/${dev##*/}"
            return 0
        fi
    done
    return 1
}
# The sg node of the disk whose INQUIRY product is $1, waiting up to 60 s for it.
sg_of() {
    wait_until 60 find_sg "$1" >/dev/null && find_sg "$1" && return 0
    echo "no sg node for '$1'" >&2
    return 1
}
bridge_sg() { sg_of "Generic Bridge"; }
quince_sg() { sg_of "Quince Bridge"; }
# The Quince bridge's place in `list` (the one-button update works on device --index N).
quince_index() {
    local sg
    sg=$(quince_sg) || return 1
    "$FW" list 2>/dev/null | sed -n "s|^\[\([0-9]*\)\] $sg (USB) .*|\1|p"
}
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
UPDATE_OPTIONS=() # options family_update gives brigant-fw before "update"
bytes_file() { printf "$(printf '\\x%s' "$@")" >"$TMPDIR/data.bin"; echo "$TMPDIR/data.bin"; }

# The number guest.sh gave the gadget of preset $1 (its line in gadgets.conf).
gadget_of() {
    grep -v '^[[:space:]]*\(#\|$\)' "$GADGETS_CONF" | awk -v p="$1" '{ sub(/:.*/, "", $1) } $1 == p { print NR - 1; exit }'
}
log_count() { grep -c -- "$2" "$BRIGANT_SIM_LOGS/sim$1.log" || true; }
# Pulls gadget $1's cable (SIGUSR1: its state is saved in /run/state/brigant$1)
# or plugs it in again (SIGUSR2: it starts from that state), waiting up to 60 s
# for the simulator to say so. The signal is repeated: one that comes while
# the simulator waits for a command is seen only after the next.
signal_sim() {
    local gadget=$1 signal=$2 text=$3 before
    before=$(log_count "$gadget" "$text")
    done_yet() {
        [ "$(log_count "$gadget" "$text")" -gt "$before" ] && return 0
        kill -"$signal" "$(cat "/run/sim/brigant$gadget.pid")"
        return 1
    }
    wait_until 60 done_yet || { echo "CHECK FAILED: gadget $gadget did not say '$text' within 60 s"; return 1; }
}
sg_gone() { ! find_sg "$1" >/dev/null; }
unplug() { # GADGET PRODUCT
    signal_sim "$1" USR1 "unplugged: state saved"
    wait_until 60 sg_gone "$2" || { echo "CHECK FAILED: '$2' still attached"; return 1; }
}
plug() { # GADGET PRODUCT
    signal_sim "$1" USR2 "plugged in"
    sg_of "$2" >/dev/null
    udevadm settle -t 60
}
# Random bytes over the ranges OFF+LEN... of file $1 (someone's settings, data).
scribble() {
    local file=$1 range
    shift
    for range in "$@"; do
        head -c $((${range#*+})) /dev/urandom |
            dd of="$file" bs=64k oflag=seek_bytes seek=$((${range%+*})) conv=notrunc status=none
    done
}
# What a device's flash (or disk) must hold after an update: file $2 (the
# state before) changed by each step in turn, written to file $1:
#   file SRC+LEN@DST   the firmware file's bytes SRC.. at DST
#   copy SRC+LEN@DST   the expected image's own bytes SRC.. at DST (a mirror)
#   erased OFF+LEN     0xFF
#   zeroed OFF+LEN     0x00
#   kept OFF+LEN       the bytes before the update (settings the update keeps)
expected_image() {
    local out=$1 before=$2 firmware=$3 step kind range src len dst
    shift 3
    cp "$before" "$out"
    for step in "$@"; do
        kind=${step%% *} range=${step#* }
        src=$((${range%%+*})) len=${range#*+} len=$((${len%@*})) dst=$src
        [[ $range == *@* ]] && dst=$((${range#*@}))
        case $kind in
        file) dd if="$firmware" of="$out" bs=64k iflag=skip_bytes,count_bytes oflag=seek_bytes \
            skip="$src" count="$len" seek="$dst" conv=notrunc status=none ;;
        copy) dd if="$out" bs=64k iflag=skip_bytes,count_bytes skip="$src" count="$len" status=none >"$TMPDIR/copy.bin"
            dd if="$TMPDIR/copy.bin" of="$out" bs=64k oflag=seek_bytes seek="$dst" conv=notrunc status=none ;;
        erased) head -c "$len" /dev/zero | tr '\0' '\377' |
            dd of="$out" bs=64k oflag=seek_bytes seek="$dst" conv=notrunc status=none ;;
        zeroed) head -c "$len" /dev/zero | dd of="$out" bs=64k oflag=seek_bytes seek="$dst" conv=notrunc status=none ;;
        kept) dd if="$before" of="$out" bs=64k iflag=skip_bytes,count_bytes oflag=seek_bytes \
            skip="$src" count="$len" seek="$dst" conv=notrunc status=none ;;
        *) echo "unknown step '$step'"; return 1 ;;
        esac
    done
}
# Byte for byte; on a difference, where (at most 10 offsets, in hex).
same_bytes() { # WHAT EXPECTED ACTUAL
    cmp -s "$2" "$3" && { echo "$1: as expected, byte for byte"; return 0; }
    echo "CHECK FAILED: $1 differs from what was expected; first differing offsets (hex: expected actual):"
    cmp -l "$2" "$3" 2>&1 | head -10 | awk '{ if ($1 ~ /^[0-9]+$/) printf "  %x: %s %s\n", $1 - 1, $2, $3; else print "  " $0 }'
    return 1
}

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
        wait_until 60 grep -q held "$TMPDIR/hold.out" && return 0
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
    expect_text "cannot open $sg: device busy (opened exclusively elsewhere): held by PID "
    expect_text "(brigant-hold-sg)"
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
# The block node, although it answers the sg driver's version query, is
# refused before anything is sent: every read-write close of it makes udev
# probe the disk again.
sc_no_rawio() {
    local sg disk
    sg=$(bridge_sg)
    disk=/dev/$(ls "/sys/class/scsi_generic/${sg#/dev/}/device/block")
    nocap() { setpriv --bounding-set -sys_rawio --inh-caps -sys_rawio "$@"; }
    run nocap grep CapEff /proc/self/status
    local eff=$((16#$(awk '{print $2}' <<<"$OUT")))
    [ $(((eff >> 17) & 1)) -eq 0 ] || { echo "CHECK FAILED: CAP_SYS_RAWIO still effective"; return 1; }
    run nocap "$FW" --device "$disk" raw in 36 12 00 00 00 24 00
    expect_rc 3
    expect_text "error: $disk: not a SCSI generic device (give the bridge disk's /dev/sgN)"
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

# Standard clients no one here wrote, sg3_utils and smartctl, against three
# gadgets: what they read agrees with the preset. The vendor and product, the
# unit serial number (VPD 0x80, the USB serial), the same capacity by READ
# CAPACITY(10), (16) and the kernel's block device, and for the disk-stored
# preset the disk's ATA identity through SAT.
sc_peer_tools() {
    command -v sg_inq >/dev/null && command -v smartctl >/dev/null ||
        { echo "sg3-utils or smartmontools is not installed"; exit 77; }
    local preset product sg gadget block last10 last16 size
    for preset in quince nutmeg elm-e-disk; do
        case $preset in
        quince) product="Quince Bridge" ;; nutmeg) product="Nutmeg Bridge" ;; *) product="Elm E Bridge" ;;
        esac
        sg=$(sg_of "$product")
        gadget=$(gadget_of "$preset")
        run sg_inq "$sg"
        expect_rc 0
        expect_text "Vendor identification: Velkor"
        expect_text "Product identification: $product"
        run sg_vpd --page=0x00 "$sg"
        expect_rc 0
        expect_text "Unit serial number"
        run sg_vpd --page=0x80 "$sg"
        expect_rc 0
        expect_text "$(printf 'BRG%07d' "$gadget")"
        run sg_readcap "$sg"
        last10=$(sed -n 's/.*Last LBA=\([0-9]*\).*/\1/p' <<<"$OUT")
        run sg_readcap --16 "$sg"
        last16=$(sed -n 's/.*Last LBA=\([0-9]*\).*/\1/p' <<<"$OUT")
        [ -n "$last10" ] && [ "$last10" = "$last16" ] ||
            { echo "CHECK FAILED: $preset: READ CAPACITY(10) says '$last10', (16) '$last16'"; return 1; }
        block=$(ls "/sys/class/scsi_generic/$(basename "$sg")/device/block")
        size=$(blockdev --getsize64 "/dev/$block")
        [ "$size" -eq $(((last16 + 1) * 512)) ] ||
            { echo "CHECK FAILED: $preset: /dev/$block holds $size bytes, not $(((last16 + 1) * 512))"; return 1; }
        run sg_start --start "$sg"
        expect_rc 0
    done
    # The disk-stored preset's disk of 65536 sectors speaks ATA through SAT.
    sg=$(sg_of "Elm E Bridge")
    run sg_sat_identify "$sg"
    expect_rc 0
    run smartctl -d sat -i "$sg"
    expect_text "Brigant SimDisk"
    expect_text "SD65536"
    expect_text "33,554,432 bytes"
}

# ResetChip: the bridge acknowledges, leaves the bus and comes back; udev sees
# a real removal and arrival, and the state saved at the reset has the XDATA
# written before it. The reset succeeds or fails like any other command: the
# bridge leaving the bus right after it may cost the command its status
# (a transport error), which is not a failure of the reset; what counts is
# that the bridge goes, comes back and works.
sc_reset_reattach() {
    local sg
    sg=$(bridge_sg)
    stdbuf -oL udevadm monitor --udev --subsystem-match=usb/usb_device >"$TMPDIR/monitor.log" &
    monitor=$!
    trap 'kill $monitor 2>/dev/null' EXIT
    # The monitor prints its header once it listens.
    wait_until 60 grep -q "^UDEV" "$TMPDIR/monitor.log" || { echo "CHECK FAILED: udevadm monitor did not start"; return 1; }
    fw --device "$sg" raw out 4 DF 00 00 00 04 00 50 00 00 00 00 FE --data "$(bytes_file de ad be ef)"
    expect_rc 0
    fw --device "$sg" --trace raw in 0 FF 04 26 56 4B 00 00 00 00 00 00 00
    if [ "$RC" -ne 0 ]; then
        # Only a transport error (the bridge already leaving) may take the status.
        expect_rc 1
        expect_text "error: command failed on $sg: "
        expect_no_text "SCSI status"
        echo "the reset lost its status as the bridge left the bus: accepted"
    fi
    wait_until 120 grep -q " add " "$TMPDIR/monitor.log" || echo "no arrival within 120 s"
    udevadm settle -t 60
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

# A command the bridge does not answer in time (guest.sh makes it hold this
# CDB's reply for 30 s; the tool gives a data-in command 10 s): the kernel's
# SG_IO time-out fires, usb-storage resets the port, and brigant-fw names the
# command and says it timed out (exit 1). The bridge drops the command at the
# reset, and the next command to it succeeds.
sc_command_timeout() {
    local sg t0
    sg=$(bridge_sg)
    t0=$SECONDS
    fw --device "$sg" --trace raw in 16 E0 F4 E7 00 00 00 00 00 00 00 00 02
    echo "the command came back after $((SECONDS - t0)) s"
    expect_rc 1
    expect_text "$sg in E0 F4 E7 00 00 00 00 00 00 00 00 02: failed, transferred 0 of 16 bytes"
    expect_text "error: command E0 F4 E7 00 00 00 00 00 00 00 00 02 timed out on $sg: no answer within 10 s"
    expect_text "len=16 tmo=10 fail xfer=0"
    wait_until 60 grep -q "during the held command" "$BRIGANT_SIM_LOGS/sim0.log" ||
        { echo "CHECK FAILED: the bridge saw no reset of the host"; return 1; }
    run grep "holding\|held command" "$BRIGANT_SIM_LOGS/sim0.log"
    run eval "dmesg | grep -i 'reset\|abort\|timed out' | tail -5"
    udevadm settle -t 60
    sg=$(bridge_sg)
    fw --device "$sg" --trace raw in 16 $CHIP_INFO
    expect_rc 0
    expect_text "F4 E7 3A 9B 01 00 01 00 47 45 4E 30"
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
# current. Other bridges are listed too: the Quince is chosen by its place.
# Its gadget stays on the bus 4 s after the reset and away 6 s (gadgets.conf):
# the wait follows udev's removal, then the arrival at the same port path.
sc_update_slow_reattach() {
    need_command update
    local index
    index=$(quince_index)
    [ -n "$index" ] || { echo "CHECK FAILED: the Quince bridge is not listed"; return 1; }
    # The backup taken before the write goes where the guest can write.
    export XDG_STATE_HOME="$TMPDIR/state"
    fw --debug --trace="$TMPDIR/update.trace" update --embedded --yes --index "$index"
    expect_rc 0
    expect_text "result: success"
    local left
    left=$(sed -n 's/^usb-.* left the bus \([0-9]*\) ms after its reset .*/\1/p' <<<"$OUT")
    echo "the bridge left the bus ${left:-?} ms after its reset"
    [ -n "$left" ] && [ "$left" -ge 3000 ] || { echo "CHECK FAILED: the wait did not follow the slow removal"; return 1; }
    expect_text " is back on the bus "
    run find "$XDG_STATE_HOME/brigant/backups" -name '*.bin' -size +0
    [ -n "$OUT" ] || { echo "CHECK FAILED: no backup file before the update"; return 1; }
    run grep -c " out 3B 0E " "$TMPDIR/update.trace"
    [ "$OUT" -ge 64 ] || { echo "CHECK FAILED: only $OUT WRITE BUFFER commands"; return 1; }
    udevadm settle -t 60
    index=$(quince_index)
    fw update --embedded --yes --index "$index"
    expect_rc 4
    expect_text "already runs the built-in image"
}

# One update family over the real path: the device's settings (and whatever
# else the flash or disk holds) are scribbled over while it is unplugged,
# `update --yes FILE` programs a file of a new version through /dev/sgN, and
# with the device unplugged again its flash or disk must be, byte for byte,
# the state before with the steps applied (see expected_image); plugged in
# again it starts from there and `info` shows the new version.
#   family_update PRESET PRODUCT FILE-SPEC STATE-FILE "SCRIBBLED RANGES" STEPS...
family_update() {
    local preset=$1 product=$2 spec=$3 state_file=$4 scribbled=$5 gadget sg want old
    shift 5
    gadget=$(gadget_of "$preset")
    [ -n "$gadget" ] || { echo "no gadget of preset $preset in gadgets.conf"; return 1; }
    local state=/run/state/brigant$gadget/$state_file
    export XDG_STATE_HOME="$TMPDIR/state-$preset" # the backup taken before writing
    run "$SIM_IMAGE" "$spec" -o "$TMPDIR/$preset.bin"
    expect_rc 0
    fw --simulate "$spec" info # the version a bridge with this file shows
    want=$(sed -n 's/^Firmware version: *//p' <<<"$OUT")
    [ -n "$want" ] || { echo "CHECK FAILED: no version for $spec"; return 1; }

    sg_of "$product" >/dev/null
    unplug "$gadget" "$product"
    # shellcheck disable=SC2086 # a list of ranges
    scribble "$state" $scribbled
    cp "$state" "$TMPDIR/$preset.before"
    plug "$gadget" "$product"
    sg=$(sg_of "$product")
    fw --device "$sg" info
    expect_rc 0
    old=$(sed -n 's/^Firmware version: *//p' <<<"$OUT")
    [ "$old" != "$want" ] || { echo "CHECK FAILED: the device runs $want already"; return 1; }

    fw --device "$sg" "${UPDATE_OPTIONS[@]}" update --yes "$TMPDIR/$preset.bin"
    UPDATE_OUT=$OUT
    expect_rc 0
    expect_text "result: success"

    unplug "$gadget" "$product"
    expected_image "$TMPDIR/$preset.expected" "$TMPDIR/$preset.before" "$TMPDIR/$preset.bin" "$@"
    same_bytes "$state_file after the update" "$TMPDIR/$preset.expected" "$state"
    plug "$gadget" "$product"
    fw --device "$(sg_of "$product")" info
    expect_rc 0
    expect_text "Firmware version:  $want"
}

# A UNIT ATTENTION in the middle of an update, through usb-storage's real
# auto-sense: the nutmeg's gadget answers the first 8 KiB block write with
# 6/29/00 (gadgets.conf), and raises one again after its reset, when it comes
# back on the bus. brigant-fw sends the write once more and the update ends
# with the flash as the clean update leaves it (version 2.3.3.5 here: the
# bridge shows 2.3.3, so that assisted_update still finds another version).
sc_unit_attention() {
    UPDATE_OPTIONS=(--debug --trace="$TMPDIR/ua.trace")
    family_update nutmeg "Nutmeg Bridge" nutmeg:ext=2.3.3.5 flash.bin "0xC000+4096" \
        "file 0+0x10000@0" "kept 0xC000+4096" "copy 0+0x10000@0x10000"
    run grep -m1 -A1 " out DF 00 00 20 00 " "$TMPDIR/ua.trace"
    expect_text " fail xfer="
    expect_text " ok xfer=8192"
    run grep -c "UNIT ATTENTION (06/29/00): not executed, sending it again" <<<"$UPDATE_OUT"
    [ "$OUT" -ge 1 ] || { echo "CHECK FAILED: --debug did not show the resend"; return 1; }
    run grep -c "bridge reset: leaving the bus" "$BRIGANT_SIM_LOGS/sim$(gadget_of nutmeg).log"
    [ "$OUT" -ge 1 ] || { echo "CHECK FAILED: the bridge did not reset"; return 1; }
}

# Firmware-assisted (code 13): the file goes to bank 0, the settings at
# 0xC000 stay, the bridge mirrors bank 0 into bank 1 and resets; the rest of
# the flash is left alone.
sc_assisted_update() {
    family_update nutmeg "Nutmeg Bridge" nutmeg:ext=2.3.4.5 flash.bin "0xC000+4096 0x20000+0x60000" \
        "file 0+0x10000@0" "kept 0xC000+4096" "copy 0+0x10000@0x10000"
}

# Register-level, whole image (code 1): the flash is erased, the 32 KiB file
# written and the 512 settings bytes at 0x8000 put back.
sc_register_update() {
    family_update alder "Alder Bridge" alder:version=9.8 flash.bin "0x8000+0x8000" \
        "erased 0+0x10000" "file 0+0x8000@0" "kept 0x8000+512"
}

# Staging buffer (code 26): the flash is erased and the 256 KiB file written;
# nothing is kept.
sc_staging_update() {
    family_update oak "Oak Bridge" oak:version=9.8 flash.bin "0x40000+0x40000" \
        "erased 0+0x80000" "file 0+0x40000@0"
}

# Disk-stored (code 30 without a flash, 32 MiB disk): the firmware area near
# the disk's end (LBA 65024) is one 64 KiB unit, written whole: the 32 KiB
# file, then zeros. The area's marker (bytes 150-155 of it) stays, and so does
# everything else on the disk: the user's data at 1 MiB and after the area.
sc_disk_update() {
    family_update elm-e-disk "Elm E Bridge" elm-e-disk:ext=2.3.4.5 disk.img \
        "0x100000+0x10000 0x1FC8000+0x8000 0x1FD0000+0x10000" \
        "file 0+0x8000@0x1FC0000" "zeroed 0x1FC8000+0x8000" "kept 0x1FC0096+6"
}

# update --all over the real path: the register-level, staging and
# disk-stored bridges updated one after the other, then all three at once
# (picked by repeated --device); afterwards each holds its file (verify). The
# wall-time ratio of the two goes to the bench lines.
sc_parallel_update() {
    need_command update
    export XDG_STATE_HOME="$TMPDIR/state"
    local rows=("Alder Bridge|alder:version=9.7" "Oak Bridge|oak:version=9.7" "Elm E Bridge|elm-e-disk:ext=2.3.4.6")
    local row product spec files=() devices=() t0 t1 t2 i=0
    for row in "${rows[@]}"; do
        IFS='|' read -r product spec <<<"$row"
        run "$SIM_IMAGE" "$spec" -o "$TMPDIR/parallel$i.bin"
        expect_rc 0
        files+=("$TMPDIR/parallel$i.bin")
        i=$((i + 1))
    done
    local singles="" slowest=0 start took t1b
    t0=$(date +%s.%N)
    i=0
    for row in "${rows[@]}"; do
        IFS='|' read -r product spec <<<"$row"
        udevadm settle -t 60
        start=$(date +%s.%N)
        fw --device "$(sg_of "$product")" update --yes "${files[$i]}"
        expect_rc 0
        took=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
        singles="$singles ${spec%%:*} $took s,"
        slowest=$(awk -v a="$slowest" -v b="$took" 'BEGIN { print (b > a ? b : a) }')
        i=$((i + 1))
    done
    t1=$(date +%s.%N)
    udevadm settle -t 60
    for row in "${rows[@]}"; do
        devices+=(--device "$(sg_of "${row%%|*}")")
    done
    t1b=$(date +%s.%N)
    fw "${devices[@]}" update --all --yes "${files[@]}"
    t2=$(date +%s.%N)
    expect_rc 0
    expect_text "3 to update"
    i=0
    for row in "${rows[@]}"; do
        udevadm settle -t 60
        fw --device "$(sg_of "${row%%|*}")" verify "${files[$i]}"
        expect_rc 0
        expect_text "VERIFIED"
        i=$((i + 1))
    done
    awk -v a="$t0" -v b="$t1" -v c="$t1b" -v d="$t2" -v s="$slowest" -v each="${singles%,}" 'BEGIN {
        printf "parallel_update: alone:%s; one after the other %.1f s, with update --all %.1f s: %.2f of the sum, %.2f of the slowest alone\n",
            each, b - a, d - c, (d - c) / (b - a), (d - c) / s }' | tee -a "$OUT_DIR/bench.txt"
}

# One INQUIRY request to brigant-fw-helper for node $1, in its frames
# (src/device/linux/helper_protocol.h): data in, 6-byte CDB, 36 bytes, 10 s.
inquiry_request() {
    local n=${#1}
    printf 'BFHQ\001\006\000\000\044\000\000\000\012\000\000\000'
    printf "\\$(printf '%03o' $((n & 255)))\\$(printf '%03o' $((n >> 8)))"
    printf '\000\000\022\000\000\000\044\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000%s' "$1"
}

# One bridge, one writer, on the real path. While `update` programs the oak
# (the longest update): a second `update` refuses with exit 6 naming the
# first; `list` shows the bridge busy and sends it nothing (its trace has no
# line for the oak's node); the installed helper, asked by another caller,
# refuses it. The first ends "success" and its `verify` says VERIFIED. Then,
# while an update of the nutmeg waits for the bridge to come back after its
# reset, a second `update` on it refuses too.
sc_two_writers() {
    need_command update
    export XDG_STATE_HOME="$TMPDIR/state-two"
    local gadget sg first writes helper=$BRIGANT_BUILD/programs/fw-helper/brigant-fw-helper
    gadget=$(gadget_of oak)
    writes=$(log_count "$gadget" "out B2")
    run "$SIM_IMAGE" oak:version=9.5 -o "$TMPDIR/two.bin"
    expect_rc 0
    udevadm settle -t 60
    sg=$(sg_of "Oak Bridge")
    "$FW" --device "$sg" update --yes "$TMPDIR/two.bin" >"$TMPDIR/two-first.out" 2>&1 &
    first=$!
    # Programming: the gadget has taken a staging-buffer write since.
    programming() { [ "$(log_count "$gadget" "out B2")" -gt "$writes" ]; }
    wait_until 120 programming || { echo "CHECK FAILED: the first update never programmed"; return 1; }

    fw --device "$sg" update --yes "$TMPDIR/two.bin"
    expect_rc 6
    expect_text "is busy: brigant-fw update (PID $first"
    fw --trace="$TMPDIR/two-list.trace" list
    expect_text "Busy:"
    run grep -c "^$sg " "$TMPDIR/two-list.trace"
    [ "$OUT" = 0 ] || { echo "CHECK FAILED: list sent $OUT command(s) to the busy bridge"; return 1; }
    inquiry_request "$sg" | "$helper" >"$TMPDIR/two-helper.out" 2>"$TMPDIR/two-helper.err"
    grep -qa "is busy: brigant-fw update (PID $first" "$TMPDIR/two-helper.out" ||
        { echo "CHECK FAILED: the helper served a busy bridge: $(cat "$TMPDIR/two-helper.err")"; return 1; }
    kill -0 "$first" 2>/dev/null || { echo "CHECK FAILED: the first update ended before the checks were done"; return 1; }

    wait "$first" || { echo "CHECK FAILED: the first update failed: $(cat "$TMPDIR/two-first.out")"; return 1; }
    grep -q "result: success" "$TMPDIR/two-first.out" || { echo "CHECK FAILED: $(cat "$TMPDIR/two-first.out")"; return 1; }
    udevadm settle -t 60
    fw --device "$(sg_of "Oak Bridge")" verify "$TMPDIR/two.bin"
    expect_rc 0
    expect_text "VERIFIED"
    # Free again: the helper serves the same request (verdict byte 0).
    inquiry_request "$(sg_of "Oak Bridge")" | "$helper" >"$TMPDIR/two-helper.out" 2>"$TMPDIR/two-helper.err"
    [ "$(od -An -tx1 -j4 -N1 "$TMPDIR/two-helper.out" | tr -d ' ')" = 00 ] ||
        { echo "CHECK FAILED: the helper refused a free bridge: $(cat "$TMPDIR/two-helper.err")"; return 1; }

    # The wait for the bridge's return: the one-button update of the second
    # Quince resets it and waits for it (6 s still on the bus, then away): a
    # second update meanwhile, on the node it still has, refuses.
    local gadget2 resets
    gadget2=$(($(grep -cv '^[[:space:]]*\(#\|$\)' "$GADGETS_CONF") - 1)) # the last line
    resets=$(log_count "$gadget2" "bridge reset: staying on the bus")
    udevadm settle -t 60
    sg=$(sg_of QuinceTwo)
    "$FW" --device "$sg" update --embedded --yes >"$TMPDIR/two-first.out" 2>&1 &
    first=$!
    reset_seen() { [ "$(log_count "$gadget2" "bridge reset: staying on the bus")" -gt "$resets" ]; }
    wait_until 120 reset_seen || { echo "CHECK FAILED: the second Quince did not reset: $(cat "$TMPDIR/two-first.out")"; return 1; }
    fw --device "$sg" update --embedded --yes
    expect_rc 6
    expect_text "is busy: brigant-fw update (PID $first"
    kill -0 "$first" 2>/dev/null || { echo "CHECK FAILED: the first update was not waiting any more"; return 1; }
    wait "$first" || { echo "CHECK FAILED: the one-button update failed: $(cat "$TMPDIR/two-first.out")"; return 1; }
    grep -q "result: success" "$TMPDIR/two-first.out" || { echo "CHECK FAILED: $(cat "$TMPDIR/two-first.out")"; return 1; }
}

# The station on the real path: update --all --watch --count 3, limited to
# the ports of the alder, the elm and the oak (the other gadgets stay on the
# bus untouched), takes them as they are plugged in one after another
# (udev's events); the oak is pulled in the middle of its write. The log has
# three rows, the oak's says failed and its journal entry stays open;
# plugged in again, --retry-failed LOG finishes it.
sc_station() {
    need_command update
    export XDG_STATE_HOME="$TMPDIR/state-station"
    local rows=("Alder Bridge|alder|alder:version=9.8|slot A" "Elm E Bridge|elm-e-disk|elm-e-disk:ext=2.3.4.7|slot B"
        "Oak Bridge|oak|oak:version=9.8|slot C")
    local row product preset spec label files=() ports=() port station gadget writes i=0
    : >"$TMPDIR/slots.txt"
    udevadm settle -t 60
    for row in "${rows[@]}"; do
        IFS='|' read -r product preset spec label <<<"$row"
        run "$SIM_IMAGE" "$spec" -o "$TMPDIR/station$i.bin"
        expect_rc 0
        files+=("$TMPDIR/station$i.bin")
        port=$("$FW" list --json 2>/dev/null | /usr/bin/python3 -c '
import json, sys
for d in json.load(sys.stdin)["devices"]:
    if d["path"] == sys.argv[1]:
        print(d["port"] or "")' "$(sg_of "$product")")
        [ -n "$port" ] || { echo "CHECK FAILED: no port for $product"; return 1; }
        ports+=(--port "$port")
        echo "$port $label" >>"$TMPDIR/slots.txt"
        unplug "$(gadget_of "$preset")" "$product"
        i=$((i + 1))
    done
    "$FW" update --all --watch --count 3 "${ports[@]}" --slots "$TMPDIR/slots.txt" --log "$TMPDIR/station.csv" \
        --yes "${files[@]}" >"$TMPDIR/station.out" 2>&1 &
    station=$!
    plug "$(gadget_of alder)" "Alder Bridge"
    arrived() { grep -q "^$1 (.*): arrived" "$TMPDIR/station.out"; }
    wait_until 120 arrived "slot A" || { echo "CHECK FAILED: the alder was not taken: $(cat "$TMPDIR/station.out")"; return 1; }
    plug "$(gadget_of elm-e-disk)" "Elm E Bridge"
    wait_until 120 arrived "slot B" || { echo "CHECK FAILED: the elm was not taken: $(cat "$TMPDIR/station.out")"; return 1; }
    gadget=$(gadget_of oak)
    writes=$(log_count "$gadget" "out B2")
    plug "$gadget" "Oak Bridge"
    programming() { [ "$(log_count "$gadget" "out B2")" -gt "$writes" ]; }
    wait_until 120 programming || { echo "CHECK FAILED: the oak was never written: $(cat "$TMPDIR/station.out")"; return 1; }
    unplug "$gadget" "Oak Bridge"
    set +e
    wait "$station"
    RC=$?
    set -e
    cat "$TMPDIR/station.out"
    expect_rc 1
    run cat "$TMPDIR/station.csv"
    [ "$(wc -l <"$TMPDIR/station.csv")" -eq 4 ] || { echo "CHECK FAILED: the log has not 3 rows"; return 1; }
    grep -q "^[^,]*,slot A,.*,success,verified," "$TMPDIR/station.csv" || { echo "CHECK FAILED: the alder's row"; return 1; }
    grep -q "^[^,]*,slot B,.*,success,verified," "$TMPDIR/station.csv" || { echo "CHECK FAILED: the elm's row"; return 1; }
    grep -q "^[^,]*,slot C,.*,failed,not verified," "$TMPDIR/station.csv" || { echo "CHECK FAILED: the oak's row"; return 1; }
    fw history
    expect_text "NOT FINISHED"

    plug "$gadget" "Oak Bridge"
    fw update --all --retry-failed "$TMPDIR/station.csv" "${ports[@]}" --slots "$TMPDIR/slots.txt" --yes "${files[@]}"
    expect_rc 0
    expect_text "1 to update"
    udevadm settle -t 60
    fw --device "$(sg_of "Oak Bridge")" verify "${files[2]}"
    expect_rc 0
    expect_text "VERIFIED"
}

# doctor on the real path: usb-storage is named for every gadget, the
# queue's max_hw_sectors_kb is read and judged against the 64 KiB commands,
# the plain disk is not a bridge, every gadget's INQUIRY and vendor probe are
# shown, the oak's disk with a filesystem mounted is WARN, the elm's ATA
# IDENTIFY gets through SAT, and no gadget saw a data-out command from it.
sc_doctor() {
    need_command doctor
    local before=() after=() i count oak disk
    count=$(grep -cv '^[[:space:]]*\(#\|$\)' "$GADGETS_CONF")
    udevadm settle -t 60
    # A small ext2 filesystem on the first MiB of the oak's disk, mounted
    # read-only (so that nothing but doctor could send a data-out command).
    oak=$(sg_of "Oak Bridge") || return 1
    disk=$(ls "/sys/class/scsi_generic/${oak#/dev/}/device/block" 2>/dev/null | head -1)
    [ -n "$disk" ] || { echo "CHECK FAILED: no disk behind $oak"; return 1; }
    mkdir -p "$TMPDIR/oak-mount"
    run mke2fs -q -F -t ext2 -b 1024 -N 16 -E nodiscard "/dev/$disk" 1024
    expect_rc 0
    run mount -t ext2 -o ro "/dev/$disk" "$TMPDIR/oak-mount"
    expect_rc 0
    for ((i = 0; i < count; i++)); do before+=("$(log_count "$i" '\] out .* len=[1-9]')"); done
    fw doctor
    expect_text "usb-storage"
    expect_text "sent INQUIRY: ok"
    "$FW" doctor --json >"$TMPDIR/doctor.json" 2>"$TMPDIR/doctor.err" || true
    /usr/bin/python3 - "$TMPDIR/doctor.json" "$(plain_sg)" "$count" "$oak" "$TMPDIR/oak-mount" <<'PY' || { umount "$TMPDIR/oak-mount"; return 1; }
import json, sys
doc = json.load(open(sys.argv[1]))
disks = {d["path"]: d for d in doc["disks"]}
def check(ok, what):
    if not ok:
        print("CHECK FAILED:", what)
        sys.exit(1)
check(len(disks) >= int(sys.argv[3]), "%d disks, not one per gadget" % len(disks))
for d in disks.values():
    check(d["driver"] == "usb-storage", "%s: driver %s" % (d["path"], d["driver"]))
    check(d["commands"] and d["commands"][0]["name"] == "INQUIRY", "%s: no INQUIRY shown" % d["path"])
    check(len(d["commands"]) >= 2 and d["commands"][1]["name"] == "vendor probe",
          "%s: no vendor probe shown: %r" % (d["path"], d["commands"]))
    size = [f for f in d["findings"] if f["topic"] == "transfer size"][0]
    check(d["maxHwSectorsKb"], "%s: max_hw_sectors_kb not read" % d["path"])
    want = "FAIL" if d["maxHwSectorsKb"] < 64 else "OK"
    check(size["verdict"] == want and str(d["maxHwSectorsKb"]) in size["text"], "%s: %r" % (d["path"], size))
plain = disks[sys.argv[2]]
check(any(f["topic"] == "vendor probe" and f["text"].startswith("not a bridge") for f in plain["findings"]),
      "the plain disk: %r" % plain["findings"])
check(not plain["listed"], "the plain disk is listed")
oak = disks[sys.argv[4]]
check(any(f["topic"] == "mounted" and f["verdict"] == "WARN" and sys.argv[5] in f["text"] for f in oak["findings"]),
      "the oak with its disk mounted: %r" % oak["findings"])
check(oak["verdict"] == "WARN", "the oak's verdict is %s, not WARN" % oak["verdict"])
# The elm keeps its firmware on its disk: ATA IDENTIFY gets through usb-storage's SAT.
sat = [f for d in disks.values() for f in d["findings"] if f["topic"] == "sat"]
check(len(sat) == 1 and sat[0]["verdict"] == "OK", "the elm's SAT pass-through: %r" % sat)
print("doctor: %d disks, max_hw_sectors_kb %s" % (len(disks), sorted({d["maxHwSectorsKb"] for d in disks.values()})))
PY
    for ((i = 0; i < count; i++)); do after+=("$(log_count "$i" '\] out .* len=[1-9]')"); done
    umount "$TMPDIR/oak-mount" || { echo "CHECK FAILED: the oak's disk did not unmount"; return 1; }
    [ "${before[*]}" = "${after[*]}" ] ||
        { echo "CHECK FAILED: doctor sent data-out commands: before ${before[*]}, after ${after[*]}"; return 1; }
}

# Per-command cost of the transport against bare open / SG_IO / close.
sc_transport_bench() {
    run "$BENCH" "$(bridge_sg)" 1000 5
    expect_rc 0
    expect_text "ratio"
    expect_text "ratio per round over 5 rounds: min "
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
    # A scenario that hangs ends at this bound and fails alone, rather than
    # holding the guest until run.sh's time-out takes every result with it.
    timeout -k 10 "${BRIGANT_SCENARIO_TIMEOUT:-300}" bash "$0" --one "$name" >"$log" 2>&1
    rc=$?
    [ $rc -ne 124 ] || echo "(timed out after ${BRIGANT_SCENARIO_TIMEOUT:-300} s)" >>"$log"
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
