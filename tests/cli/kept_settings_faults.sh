#!/usr/bin/env bash
# The device's settings (NVRAM) an update or an erase keeps are never lost
# to one bad command: a failed, short or corrupted read of them stops the run
# before anything is erased (the flash is as it was), and a write-back that
# did not take is caught by reading them back (a corrupted read-back stands
# for it here). Each row puts one fault on one
# command of the clean run, found in its trace.
# Usage: kept_settings_faults.sh BRIGANT_FW BRIGANT_SIM_IMAGE
set -uo pipefail
fw=$1
image=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source "$(dirname "$0")/bridge_rows.sh" # seed_kept

# label | device | file options (none: erase) | kept OFF+LEN | command (regex) | which | fault | said
# which: first = its last match before the first write (nothing may change);
#        last = its last match (the run must fail).
rows=(
    "whole image, failed read|alder|version=9.8|0x8000+512| in FF 04 10 00 80 .*len=512 |first|error|could not be read"
    "whole image, short read|cedar|version=9.8|0x8000+512| in FF 04 10 00 80 .*len=512 |first|short|could not be read"
    "whole image, read back wrong|alder|version=9.8|0x8000+512| in FF 04 10 00 80 .*len=512 |last|corrupt|not the ones kept"
    "block-wise, corrupted read|ginkgo|ext=2.3.4.5|0+4096| in FF 04 10 00 00 .*len=4096 |first|corrupt|differ"
    "assisted, corrupted read|nutmeg|ext=2.3.4.5|0xC000+4096| in DF 10 00 10 00 00 00 00 00 C0 00 FA |first|corrupt|differ"
    "1394, rejected|hazel-1394|version=9.8|0x8000+1024| in DF 10 .* 80 00 F[AB] |first|check|could not be read"
    "erase, read back wrong|ginkgo|-|0+4096| in FF 04 10 00 00 .*len=4096 |last|corrupt|not the ones kept"
)

failed=0
n=0
for row in "${rows[@]}"; do
    IFS='|' read -r label device spec kept regex which kind said <<<"$row"
    dir="$work/$n"
    n=$((n + 1))
    mkdir -p "$dir"
    fail() {
        echo "FAILED: $label: $*"
        sed 's/^/    /' "$dir/out" 2>/dev/null
        failed=1
    }
    verb=(erase --yes --no-backup)
    if [ "$spec" != - ]; then
        "$image" "$device:$spec" -o "$dir/fw.bin" >/dev/null || { fail "brigant-sim-image"; continue; }
        verb=(update --yes --no-backup "$dir/fw.bin")
    fi
    "$fw" --simulate "$device" --sim-state "$dir/seed" info >/dev/null 2>&1
    seed_kept "$dir/seed/flash.bin" "$kept"
    cp -r "$dir/seed" "$dir/clean"
    "$fw" --simulate "$device" --sim-state "$dir/clean" --trace="$dir/trace" "${verb[@]}" >"$dir/out" 2>&1 ||
        { fail "the clean run"; continue; }
    first_write=$(grep -m1 -n ' out ' "$dir/trace" | cut -d: -f1)
    # first: the settings read just before the first write (an earlier match
    # is the plan's read of the whole flash).
    if [ "$which" = first ]; then
        at=$(grep -n -E -e "$regex" "$dir/trace" | cut -d: -f1 | awk -v w="$first_write" '$1 < w' | tail -n 1)
    else
        at=$(grep -n -E -e "$regex" "$dir/trace" | cut -d: -f1 | tail -n 1)
    fi
    if [ -z "$at" ]; then
        fail "no such command ($regex) where the row wants it"
        continue
    fi
    cp -r "$dir/seed" "$dir/s"
    rc=0
    "$fw" --simulate "$device:fault=$kind@$at" --sim-state "$dir/s" "${verb[@]}" >"$dir/out" 2>&1 || rc=$?
    if [ "$rc" -ne 1 ]; then
        fail "$kind@$at: exit $rc, expected 1"
    elif ! grep -q "$said" "$dir/out"; then
        fail "$kind@$at: the result does not say '$said'"
    elif [ "$which" = first ] && ! cmp -s "$dir/s/flash.bin" "$dir/seed/flash.bin"; then
        fail "$kind@$at: the flash changed, though the run stopped before writing"
    else
        echo "ok: $label: $kind@$at stops the run ($(grep -m1 -o "$said" "$dir/out"))"
    fi
done
exit "$failed"
