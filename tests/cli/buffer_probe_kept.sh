#!/usr/bin/env bash
# A code 15-18 bridge that offers the buffer path keeps it when one READ
# BUFFER descriptor probe of identification fails (a transport error, or a
# CHECK CONDITION): the update still programs through the buffer and leaves
# the flash a clean run leaves, never the 64 KiB command path's.
# Usage: buffer_probe_kept.sh BRIGANT_FW BRIGANT_SIM_IMAGE
set -uo pipefail
fw=$1
image=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
device='pine:version=3.0,ext=31.25.1.5'
"$image" pine:exttext=2345 -o "$work/fw.bin" >/dev/null || { echo "FAILED: brigant-sim-image"; exit 1; }
"$fw" --simulate "$device" --sim-state "$work/clean" --trace="$work/clean.trace" update --yes --no-backup \
    "$work/fw.bin" >"$work/clean.out" 2>&1 || { echo "FAILED: the clean run"; cat "$work/clean.out"; exit 1; }
failed=0
# Every descriptor probe before the first write of the clean run.
first_write=$(grep -m1 -n ' out ' "$work/clean.trace" | cut -d: -f1)
probes=$(grep -n ' 3C 03 ' "$work/clean.trace" | cut -d: -f1 | awk -v w="$first_write" '$1 < w')
[ -n "$probes" ] || { echo "FAILED: no descriptor probe in the clean run"; exit 1; }
for at in $probes; do
    for kind in error check; do
        rm -rf "$work/s"
        rc=0
        "$fw" --simulate "$device,fault=$kind@$at" --sim-state "$work/s" update --yes --no-backup "$work/fw.bin" \
            >"$work/out" 2>&1 || rc=$?
        if [ "$rc" -eq 0 ] && ! cmp -s "$work/s/flash.bin" "$work/clean/flash.bin"; then
            echo "FAILED: $kind@$at: success with a flash other than the clean run's"
            failed=1
        fi
    done
done
[ "$failed" -eq 0 ] && echo "buffer path kept through a failed descriptor probe ($(wc -w <<<"$probes") probes)"
exit "$failed"
