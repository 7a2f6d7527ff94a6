#!/usr/bin/env bash
# The one-button update of a simulated code-16 bridge, with every command sent
# through the helper's checks and frames (the test helper relays what it
# accepts to brigant-fw's simulated bridge): the command trace is the recorded
# one, and the helper reports each of its commands sent and none refused.
# Usage: helper_trace.sh BRIGANT_FW TEST_HELPER RECORDED_TRACE
set -euo pipefail
tool=$1
helper=$2
recorded=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$tool" --simulate quince --sim-state "$work/state" --trace="$work/trace" --helper="$helper" \
    update --embedded --yes --no-backup >"$work/out" 2>&1 || {
    echo "update --embedded through the helper failed:"
    cat "$work/out"
    exit 1
}
if ! diff -u "$recorded" "$work/trace"; then
    echo "the command trace through the helper differs from $recorded"
    exit 1
fi
expected="brigant-fw-helper: $(wc -l <"$recorded") commands sent, 0 refused"
if ! grep -qx "$expected" "$work/out"; then
    echo "expected the helper to report: $expected"
    cat "$work/out"
    exit 1
fi
echo "trace identical through the helper: $expected"

# Without the test helper, a simulated run does not silently bypass it.
if "$tool" --simulate quince --helper info >"$work/out" 2>&1; then
    echo "--simulate --helper without a program succeeded"
    exit 1
fi
grep -q -- "--helper=PROGRAM" "$work/out" || {
    cat "$work/out"
    exit 1
}
