#!/usr/bin/env bash
# The one-button update of a simulated code-16 bridge must send exactly the
# commands it sent when the recorded trace was made: same CDBs, lengths,
# time-outs and outcomes, in the same order.
# Usage: trace_unchanged.sh BRIGANT_FW RECORDED_TRACE
set -euo pipefail
tool=$1
recorded=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$tool" --simulate quince --sim-state "$work/state" --trace="$work/trace" update --embedded --yes --no-backup >"$work/out" 2>&1 || {
    echo "update --embedded failed:"
    cat "$work/out"
    exit 1
}
if ! diff -u "$recorded" "$work/trace"; then
    echo "the command trace differs from $recorded"
    exit 1
fi
echo "trace identical: $(wc -l <"$recorded") commands"
