#!/usr/bin/env bash
# record is read-only and its recording makes a faithful twin: for every
# preset, the commands record sends are reads, or writes that list sends
# too (identification's register probe); the flash read of backup writes
# nothing, so every supported bridge's image is in its recording; info and
# list of the twin
# (--simulate @FILE) print, byte for byte, what they print on the device.
# The committed recordings replay to the output they hold.
# Usage: record_twin.sh BRIGANT_FW RECORDINGS_DIR
set -uo pipefail
fw=$1
fixtures=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() {
    echo "FAILED: $*"
    failed=1
}

presets=$("$fw" --simulate help 2>/dev/null | awk '/^  [a-z]/ && NF >= 2 && $1 !~ /=/ { print $1 }')
presets="$presets quince:mount=/media/usb"
n=0
replayed=0
for preset in $presets; do
    d="$work/$n"
    n=$((n + 1))
    mkdir -p "$d"
    "$fw" --simulate "$preset" --trace="$d/list.trace" list >"$d/list.orig" 2>/dev/null
    "$fw" --simulate "$preset" info >"$d/info.orig" 2>/dev/null
    info_rc=$?
    rc=0
    "$fw" --simulate "$preset" --trace="$d/record.trace" record -o "$d/rec.json" 2>"$d/err" || rc=$?
    if [ "$rc" -eq 3 ] && [ ! -s "$d/info.orig" ] && [ "$info_rc" -eq 3 ]; then
        echo "$preset: not listed, nothing to record (as info finds nothing)"
        continue
    fi
    [ "$rc" -eq 0 ] || { fail "$preset: record exit $rc: $(cat "$d/err")"; continue; }
    # Every writing command of record is one list sends as well.
    while read -r cdb; do
        grep -qF " out $cdb " "$d/list.trace" || fail "$preset: record sent out $cdb, which list does not"
    done < <(sed -n 's/^[^ ]* out \(.*\) len=.*/\1/p' "$d/record.trace" | sort -u)
    # The backup read of every family reads only, so every supported bridge's image is recorded.
    grep -q '"notRead"' "$d/rec.json" && fail "$preset: $(grep -o '"notRead": "[^"]*"' "$d/rec.json")"
    "$fw" --simulate "@$d/rec.json" list >"$d/list.twin" 2>/dev/null
    "$fw" --simulate "@$d/rec.json" info >"$d/info.twin" 2>/dev/null
    cmp -s "$d/list.orig" "$d/list.twin" || { fail "$preset: list of the twin differs"; diff "$d/list.orig" "$d/list.twin" | head -5; }
    cmp -s "$d/info.orig" "$d/info.twin" || { fail "$preset: info of the twin differs"; diff "$d/info.orig" "$d/info.twin" | head -5; }
    replayed=$((replayed + 1))
done
echo "$replayed of $n presets recorded and replayed"

for rec in "$fixtures"/*.json; do
    [ -e "$rec" ] || continue
    out=$("$fw" --simulate "@$rec" info 2>/dev/null)
    want=$(/usr/bin/python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["output"]["info"], end="")' "$rec")
    [ "$out" = "${want%$'\n'}" ] || fail "$(basename "$rec"): info of its twin is not the recorded one"
done
[ "$failed" -eq 0 ] && echo "record is read-only, and every twin answers as its device did"
exit "$failed"
