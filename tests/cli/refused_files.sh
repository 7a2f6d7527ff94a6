#!/usr/bin/env bash
# Files that cannot be a bridge's firmware, on simulated bridges: each is
# refused with its reason and its exit code, sends no command beyond those
# that `info` sends, and leaves flash.bin and disk.img byte for byte as they
# were; a valid file on the same bridge still updates, and its backup names
# the range it holds. Also: a ROM0-mode backup of a 512 KiB flash holds all
# of it.
# Usage: refused_files.sh BRIGANT_FW BRIGANT_SIM_IMAGE
set -euo pipefail
fw=$1
image=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_STATE_HOME=$work/xdg
failed=0
fail() {
    echo "FAILED: $*"
    failed=1
}

f=$work/files
mkdir -p "$f"
: >"$f/empty.bin"
"$image" nutmeg:ext=2.3.4.5 -o "$f/nutmeg.bin" >/dev/null
"$image" oak:version=9.8 -o "$f/oak.bin" >/dev/null
"$image" cedar:version=9.8 -o "$f/cedar.bin" >/dev/null
"$image" juniper:ext=2.3.4.5 -o "$f/juniper.bin" >/dev/null
"$image" juniper:ext=2.3.4.5,nvram=1 -o "$f/juniper-nvram.bin" >/dev/null
"$image" maple:ext=2.3.4.5 -o "$f/maple.bin" >/dev/null
"$image" elm-e-disk:ext=2.3.4.5 -o "$f/disk.bin" >/dev/null
"$image" quince:ext=31.25.1.5 -o "$f/quince-same.bin" >/dev/null
# Images padded to 1 MiB for bridges whose flash identification does not measure.
for p in alder cedar ginkgo; do
    "$image" "$p" -o "$f/$p.bin" >/dev/null
    { cat "$f/$p.bin"; head -c $((1048576 - $(stat -c %s "$f/$p.bin"))) /dev/zero; } >"$f/$p-1m.bin"
done
"$image" quince:ext=31.25.1.4 -o "$f/quince-older.bin" >/dev/null
"$image" quince -o "$f/quince.bin" >/dev/null
"$image" pine:version=3.0,exttext=2345 -o "$f/pine.bin" >/dev/null
# A code-13 image padded to the 256 KiB a code-26 update takes.
{ cat "$f/nutmeg.bin"; head -c $((262144 - 65536)) /dev/zero; } >"$f/nutmeg-256k.bin"
# One byte more than the 512 KiB flash of the MX25L4006E.
{ cat "$f/nutmeg.bin"; head -c $((524288 - 65536 + 1)) /dev/zero; } >"$f/nutmeg-big.bin"

# No seeding: the flash is asked its size (reads only), so only data-out commands count.
asks_flash() { :; }
# Seeds the area marker record (base 0) that puts the disk's firmware area at LBA 0.
marker_base0() { printf '\x55\x00\x00\x00\x00\xAA' | dd of="$1/disk.img" bs=1 seek=$((1048576 * 512 + 150)) conv=notrunc status=none; }

# name | preset | file | exit | message | state seeding (a function, or -, or
# "nodevice": refused before any device is asked anything, an empty trace) |
# options of update (a run with options must end in "result: success")
cases=(
    "missing file|nutmeg|no-such.bin|2|no-such.bin: No such file or directory; nothing was sent to any device|nodevice"
    "a directory|nutmeg|.|2|: Is a directory; nothing was sent to any device|nodevice"
    "26 empty|oak|empty.bin|2|empty.bin: the file is empty; nothing was sent to any device|nodevice"
    "26 64 KiB code-13 file|oak|nutmeg.bin|2|nutmeg.bin: the file is 65536 bytes; this bridge takes 262144; nothing was written|-"
    "26 code-13 record|oak|nutmeg-256k.bin|2|the header record of chip type code 13 (S3N) at offset 0xBFF0;|-"
    "3 empty|cedar|empty.bin|2|empty.bin: the file is empty; nothing was sent|nodevice"
    # Codes 15-18: the running firmware judges the file, and the reason names both identities.
    "16 another identity|quince:version=3.0,ext=31.25.1.5|pine.bin|2|the file's identity \"S6P\" (bytes 21-23) is not the running firmware's \"S6Q\"|-"
    "13 larger than the flash|nutmeg|nutmeg-big.bin|2|the file is 524289 bytes; the flash holds 524288|-"
    "9 no NVRAM area|juniper|juniper.bin|2|lacks the 4 KiB NVRAM area in front of its header record (a 55 AA AA 55 Q5K record at offset 0x1000)|-"
    "12 no NVRAM area|maple|maple.bin|2|lacks the 4 KiB NVRAM area in front of its header record (a 55 AA AA 55 S1M record at offset 0x1000)|-"
    "12 assisted, no NVRAM area|maple:fwassist=1|maple.bin|2|lacks the 4 KiB NVRAM area|-"
    "30 disk area at LBA 0|elm-e-disk:areamarker=1|disk.bin|2|The firmware area at LBA 0x0 overlaps the partition table in LBA 0-33; nothing was written|marker_base0"
    "26 valid|oak|oak.bin|0|result: success|-"
    "9 valid|juniper|juniper-nvram.bin|0|result: success|-"
    # The backup before the write holds the whole flash the write may change, and says so.
    "13 valid|nutmeg|nutmeg.bin|0|backup: it holds bytes 0x0-0x7FFFF of the flash|-"
    # A flash that identification did not measure is asked its size before a file above 64 KiB.
    "1 larger than the flash|alder|alder-1m.bin|2|the file is 1048576 bytes; the flash holds 65536; nothing was written|asks_flash"
    "7 larger than the flash|ginkgo|ginkgo-1m.bin|2|the file is 1048576 bytes; the flash holds 524288|asks_flash"
    "3 flash tells no size|cedar|cedar-1m.bin|2|the flash did not tell its size: a file larger than 65536 bytes is not written to it|asks_flash"
    # The file's version against the running one (codes 15-18 carry it in their header).
    "16 same version|quince:version=3.0,ext=31.25.1.5|quince-same.bin|4|already installed: sim:sg0 runs version 31.25.1.5|-"
    "16 older version|quince:version=3.0,ext=31.25.1.5|quince-older.bin|2|version 31.25.1.4 is older than the running 31.25.1.5; nothing was written|-"
    # A bridge that takes a file only while it runs 1F 19 01 05, running the file's own version: nothing to do, and written again it is refused.
    "16 same, gated|quince|quince.bin|4|already installed: sim:sg0 runs version 1.1.0.8, the version of|-"
    "16 same, gated, reinstalled|quince|quince.bin|2|a file is taken only from one that runs 1F 19 01 05; nothing was written|-|--allow-reinstall"
    # The bridge's buffer is not in the state the download needs: refused with the cause, before the
    # question and the backup.
    "16 buffer not ready|quince:ext=31.25.1.5|quince.bin|2|quince.bin: the bridge's buffer reports offset boundary 0xC, the download of the manufacturing firmware needs 0xFF (a bridge running from its ROM) (\"Offset Boundary error\"); nothing was written|asks_flash"
    "16 same, reinstalled|quince:version=3.0,ext=31.25.1.5|quince-same.bin|0|from 31.25.1.5 to 31.25.1.5 (the same version)|-|--allow-reinstall"
    "16 older, allowed|quince:version=3.0,ext=31.25.1.5|quince-older.bin|0|from 31.25.1.5 to 31.25.1.4 (an older version)|-|--allow-older"
)

for row in "${cases[@]}"; do
    IFS='|' read -r label preset file want message seed options <<<"$row"
    read -ra options <<<"$options"
    d="$work/${label// /-}"
    mkdir -p "$d"
    "$fw" --simulate "$preset" --sim-state "$d/S" --trace="$d/info.trace" info >/dev/null 2>&1 ||
        fail "$label: info"
    [ "$seed" = - ] || [ "$seed" = nodevice ] || "$seed" "$d/S"
    cp -r "$d/S" "$d/before"
    rc=0
    "$fw" --simulate "$preset" --sim-state "$d/S" --trace="$d/run.trace" update --yes "${options[@]}" "$f/$file" \
        >"$d/out" 2>&1 </dev/null || rc=$?
    [ "$rc" -eq "$want" ] || fail "$label: exit $rc, expected $want"
    grep -qF -- "$message" "$d/out" || fail "$label: no '$message' in: $(cat "$d/out")"
    if [ "$want" -ne 0 ]; then
        # Only what identification sends: no command info does not send too.
        # The disk area is judged from the disk's reads before the
        # question: there no data goes out.
        extra=$(comm -23 <(sed 's/ len=.*//' "$d/run.trace" | sort -u) <(sed 's/ len=.*//' "$d/info.trace" | sort -u))
        [ "$seed" = - ] || extra=$(grep ' out ' "$d/run.trace" || true)
        [ "$seed" != nodevice ] || extra=$(cat "$d/run.trace")
        [ -z "$extra" ] || fail "$label: commands beyond identification: $extra"
        for state in flash.bin disk.img; do
            [ ! -f "$d/before/$state" ] || cmp -s "$d/before/$state" "$d/S/$state" || fail "$label: $state changed"
        done
        # A refused update leaves no open entry in the update journal.
        "$fw" --simulate "$preset" --sim-state "$d/S" list 2>&1 | grep "did not finish" &&
            fail "$label: the refusal left an unfinished update in the journal"
    elif [ "${#options[@]}" -gt 0 ]; then
        grep -qF "result: success" "$d/out" || fail "$label: no success: $(cat "$d/out")"
    else
        cmp -s "$d/before/flash.bin" "$d/S/flash.bin" && fail "$label: the valid file was not written"
    fi
done

# No advice to reinstall what the bridge would refuse.
! grep -q -- "--allow-reinstall" "$work/16-same,-gated/out" || fail "16 same, gated: advises --allow-reinstall"

# `backup` saves the whole flash as it is and says where and what: a ROM0-mode
# backup of a 512 KiB flash holds all of it, not 0x40000 bytes and zeros; the
# bank-layout bridge's not only its 48 KiB code area (that is --window-range).
for preset in spruce nutmeg; do
    "$fw" --simulate $preset --sim-state "$work/$preset" backup "$work/$preset.bak" >"$work/b.out" 2>&1 ||
        fail "$preset backup: $(cat "$work/b.out")"
    cmp -s "$work/$preset.bak" "$work/$preset/flash.bin" || fail "the $preset backup differs from its flash"
    grep -q "^backup: $work/$preset.bak holds bytes 0x0-0x7FFFF of the flash$" "$work/b.out" ||
        fail "$preset backup: no path and range in: $(cat "$work/b.out")"
done
# verify --raw takes the whole backup, or a part of it that says where it lies.
head -c 8192 "$work/nutmeg.bak" | tail -c 4096 >"$work/part.bak"
for args in "$work/nutmeg.bak" "--offset 0x1000 --length 4096 $work/part.bak"; do
    # shellcheck disable=SC2086
    "$fw" --simulate nutmeg --sim-state "$work/nutmeg" verify --raw $args >"$work/v.out" 2>&1 &&
        grep -q "^VERIFIED: " "$work/v.out" || fail "verify --raw $args: $(cat "$work/v.out")"
done
# An existing file is written over only with --force.
"$fw" --simulate nutmeg --sim-state "$work/nutmeg" backup --force "$work/spruce.bak" >"$work/b.out" 2>&1 ||
    fail "backup --force over an existing file: $(cat "$work/b.out")"
cmp -s "$work/spruce.bak" "$work/nutmeg/flash.bin" || fail "backup --force did not write over the file"

[ "$failed" -eq 0 ] && echo "refused files hold"
exit "$failed"
