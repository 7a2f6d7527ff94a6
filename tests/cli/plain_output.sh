#!/usr/bin/env bash
# Every verb off a terminal with NO_COLOR (and with --verbose): each message
# ends its own line, and no colour is replaced by its name.
# Usage: plain_output.sh BRIGANT_FW BRIGANT_SIM_IMAGE
set -uo pipefail
fw=$1
image=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export NO_COLOR=1 XDG_STATE_HOME="$work/xdg"
"$image" nutmeg:ext=2.3.4.5 -o "$work/n.bin" >/dev/null
"$image" quince:exttext=2345 -o "$work/q.bin" >/dev/null
two=(--simulate nutmeg --simulate quince --sim-state "$work/s")
runs=(
    "list" "info" "info --index 1" "check $work/n.bin" "check --embedded --index 1"
    "check --chip 13 $work/n.bin" "check --chip 16 $work/n.bin" "verify $work/n.bin"
    "update $work/q.bin" "update --yes $work/n.bin" "update --yes $work/n.bin" "update --embedded --yes"
    "update --embedded --yes" "backup --force $work/b.bin" "erase --yes --index 1" "repair --yes"
    "recover --yes --index 1" "history" "raw in 36 12 00 00 00 24 00" "update --yes /nonexistent"
)
failed=0
for run in "${runs[@]}"; do
    for verbose in "" -v; do
        # shellcheck disable=SC2086
        "$fw" "${two[@]}" $verbose $run >"$work/out" 2>&1 </dev/null
        # A message prefix, a window box or a success text after other text on
        # its line; a colour by name.
        if bad=$(grep -nE '[^[:space:]][[:space:]]*(error|warning|note|result|status|backup|simulated time): |[^[:space:]][[:space:]]*\[Message\]|!![^ !]|\((green|red|blue|black|yellow)\)' "$work/out"); then
            echo "FAILED: brigant-fw $verbose $run:"
            sed 's/^/    /' <<<"$bad"
            failed=1
        fi
    done
done
[ "$failed" -eq 0 ] && echo "${#runs[@]} runs, plain and verbose: one message per line, no colour names"
exit "$failed"
