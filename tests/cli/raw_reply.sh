#!/usr/bin/env bash
# raw shows only bytes that arrived (none of a failed command, the received
# part of a short reply) and decodes sense data to words.
# Usage: raw_reply.sh BRIGANT_FW
set -uo pipefail
tool=$1
chip_info="E0 F4 E7 00 00 00 00 00 00 00 00 00"
failed=0
# fault | --sense | exit | text that must be in the output | text that must not
while IFS='|' read -r fault sense want present absent; do
    [ -n "$fault" ] || continue
    out=$("$tool" --simulate "quince:fault=$fault@1" raw in 16 $chip_info $sense 2>&1)
    rc=$?
    if [ "$rc" -ne "$want" ] || ! grep -qF -- "$present" <<<"$out" || grep -qF -- "$absent" <<<"$out"; then
        echo "FAILED: fault=$fault $sense: exit $rc (expected $want), want '$present', not '$absent':"
        sed 's/^/  /' <<<"$out"
        failed=1
    fi
done <<'TABLE'
error||1|failed, transferred 0 of 16 bytes|00000000
notready|--sense|1|sense key 2, ASC 04, ASCQ 01: Not Ready, Logical unit is in process of becoming ready|00000000  00
check|--sense|1|sense key 5, ASC 20, ASCQ 00: Illegal Request, Invalid command operation code|00000000  00
short||0|00000000  F4 E7 3A 9C 7E 21 02 00  |F4 E7 3A 9C 7E 21 02 00 00
TABLE
[ "$failed" -eq 0 ] && echo "raw shows what arrived and decodes sense"
exit "$failed"
