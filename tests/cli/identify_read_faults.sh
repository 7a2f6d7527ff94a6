#!/usr/bin/env bash
# An identification read whose answer picks how the flash is written never
# fails silently into another method: a failed, short or corrupted answer
# makes the update refuse (exit 1, nothing written) and name the read. Each
# row faults, in turn, every matching command before the first writing
# command other than a register write; each such run either ends as the clean
# run does or refuses with the flash untouched, and at least one refuses.
# Usage: identify_read_faults.sh BRIGANT_FW BRIGANT_SIM_IMAGE
set -uo pipefail
fw=$1
image=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

sst='maple:flash=SST25VF040B,chiprev=B4'
# label | device | file options | command (regex) | fault | the refusal names
rows=(
    "revision register, failed|$sst|ext=2.3.4.5,nvram=1| in DF 10 00 00 04 00 FD B0 |error|the chip revision register"
    "flash type, corrupted|$sst|ext=2.3.4.5,nvram=1| in FF 04 23 |corrupt|the flash type the bridge reports"
    "SST JEDEC ID, short|$sst|ext=2.3.4.5,nvram=1| in FF 04 21 00 00 00 00 00 04 |short|the flash's JEDEC ID"
    "0x505E probe, rejected|maple|ext=2.3.4.5,nvram=1| in DF 10 00 00 04 00 50 5E |check|0x505E"
    "flash type of a bridge that may have no flash, failed|elm-e|ext=2.3.4.5| in FF 04 23 |check|the flash type the bridge reports"
)

failed=0
n=0
for row in "${rows[@]}"; do
    IFS='|' read -r label device spec regex kind names <<<"$row"
    dir="$work/$n"
    n=$((n + 1))
    mkdir -p "$dir"
    fail() {
        echo "FAILED: $label: $*"
        sed 's/^/    /' "$dir/out" 2>/dev/null
        failed=1
    }
    "$image" "${device%%:*}:$spec" -o "$dir/fw.bin" >/dev/null || { fail "brigant-sim-image"; continue; }
    "$fw" --simulate "$device" --sim-state "$dir/clean" --trace="$dir/trace" update --yes --no-backup "$dir/fw.bin" \
        >"$dir/out" 2>&1 || { fail "the clean run"; continue; }
    "$fw" --simulate "$device" --sim-state "$dir/seed" info >/dev/null 2>&1
    # The first command that writes, other than the register writes of identification's toggle probe.
    data=$(grep -n ' out ' "$dir/trace" | grep -v -m1 ' FE len=' | cut -d: -f1)
    points=$(grep -n -E -e "$regex" "$dir/trace" | cut -d: -f1 | awk -v d="$data" '$1 < d')
    [ -n "$points" ] || { fail "no command matches '$regex' before the first write"; continue; }
    refused=0
    for at in $points; do
        rm -rf "$dir/s"
        cp -r "$dir/seed" "$dir/s"
        rc=0
        "$fw" --simulate "${device}$([[ $device == *:* ]] && echo , || echo :)fault=$kind@$at" --sim-state "$dir/s" \
            update --yes --no-backup "$dir/fw.bin" >"$dir/out" 2>&1 || rc=$?
        if [ "$rc" -eq 0 ] && cmp -s "$dir/s/flash.bin" "$dir/clean/flash.bin"; then
            continue
        elif [ "$rc" -eq 1 ] && grep -q "result: refused: .*$names" "$dir/out"; then
            cmp -s "$dir/s/flash.bin" "$dir/seed/flash.bin" || fail "$kind@$at: refused, but the flash changed"
            refused=$((refused + 1))
        else
            fail "$kind@$at: exit $rc, neither the clean run's flash nor a refusal naming $names"
        fi
    done
    [ "$refused" -gt 0 ] || fail "no $kind fault on '$regex' made the update refuse"
    echo "ok: $label: $refused of $(wc -w <<<"$points") faulted runs refused, the others ended as the clean run"
done
exit "$failed"
