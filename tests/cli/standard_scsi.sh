#!/usr/bin/env bash
# The simulated bridges answer the standard commands as a USB disk of their
# generation does, seen through `raw`: INQUIRY (SPC-2) and its VPD pages or a
# clean refusal, READ CAPACITY(10) and (16) reporting the same disk (and
# FFFFFFFF beyond 2 TiB), MODE SENSE(10), START STOP UNIT, and IDENTIFY DEVICE
# through both ATA PASS-THROUGH commands for the disk behind the disk-stored preset.
# Usage: standard_scsi.sh BRIGANT_FW
set -uo pipefail
tool=$1
failed=0
rc16="9E 10 00 00 00 00 00 00 00 00 00 00 00 20 00 00"
identify16="85 08 0E 00 00 00 01 00 00 00 00 00 00 40 EC 00"
# preset | exit | text that must be in the output | raw arguments
while IFS='|' read -r preset want present args; do
    [ -n "$preset" ] || continue
    # shellcheck disable=SC2086
    out=$("$tool" --simulate "$preset" raw $args --sense 2>&1)
    rc=$?
    if [ "$rc" -ne "$want" ] || ! grep -qF -- "$present" <<<"$out"; then
        echo "FAILED: $preset raw $args: exit $rc (expected $want), no '$present':"
        sed 's/^/  /' <<<"$out"
        failed=1
    fi
done <<TABLE
quince|0|00000000  00 00 04 02 23 00 00 00 56 65 6C 6B 6F 72 20 20|in 36 12 00 00 00 24 00
quince|0|00000000  00 00 00 03 00 80 83 |in 64 12 01 00 00 40 00
quince|0|00 80 00 0A 53 49 4D 30 30 30 30 30 30 30|in 64 12 01 80 00 40 00
quince|0|00000000  00 83 00 24 02 01 00 20 56 65 6C 6B 6F 72 20 20|in 64 12 01 83 00 40 00
quince|1|sense key 5, ASC 24, ASCQ 00|in 64 12 01 B0 00 40 00
quince|1|sense key 5, ASC 24, ASCQ 00|in 64 12 00 80 00 40 00
quince|0|00000000  00 1F FF FF 00 00 02 00|in 8 25 00 00 00 00 00 00 00 00 00
quince|0|00000000  00 00 00 00 00 1F FF FF 00 00 02 00|in 32 $rc16
elm-e-disk:sectors=65536|0|00000000  00 00 FF FF 00 00 02 00|in 8 25 00 00 00 00 00 00 00 00 00
elm-e-disk:sectors=65536|0|00000000  00 00 00 00 00 00 FF FF 00 00 02 00|in 32 $rc16
elm-e-disk:sectors=6442450944|0|00000000  FF FF FF FF 00 00 02 00|in 8 25 00 00 00 00 00 00 00 00 00
elm-e-disk:sectors=6442450944|0|00000000  00 00 00 01 7F FF FF FF 00 00 02 00|in 32 $rc16
quince|0|00000000  00 06 00 00 00 00 00 00|in 8 5A 00 3F 00 00 00 00 00 08 00
quince|0|ok, transferred 0 of 0 bytes|in 0 1B 00 00 00 00 00
elm-e-disk:sectors=65536|0|44 53 35 36 33 35 20 36|in 512 $identify16
elm-e-disk:sectors=65536|0|rBgina tiS|in 512 A1 08 0E 00 01 00 00 00 40 EC 00 00
TABLE
[ "$failed" -eq 0 ] && echo "the standard commands answer as a USB disk does"
exit "$failed"
