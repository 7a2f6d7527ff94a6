#!/usr/bin/env bash
# info on a bridge that loses its power during identification fails (exit 1)
# with an error naming the lost device, and the simulated state of that
# moment is still saved.
# Usage: info_device_lost.sh BRIGANT_FW
set -euo pipefail
tool=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
"$tool" --simulate nutmeg:fault=powerloss@12 --sim-state "$work/D" info >"$work/out" 2>"$work/err" || status=$?
if [ "$status" -ne 1 ]; then
    echo "exit status $status, expected 1"
    cat "$work/out" "$work/err"
    exit 1
fi
if ! grep -q '^error: the device sim:sg0 went away during identification: ' "$work/err"; then
    echo "no error naming the lost device on standard error:"
    cat "$work/err"
    exit 1
fi
if [ ! -s "$work/D/flash.bin" ]; then
    echo "the simulated state was not saved: no $work/D/flash.bin"
    exit 1
fi
echo "info failed as expected; state saved"
