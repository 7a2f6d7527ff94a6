#!/usr/bin/env bash
# An update cut by a power loss is finished by running the same update again:
# the journal kept the file, the backup and the device's settings from before
# the erase. Without it the second run would refuse the file (the half-written
# firmware answers the code 15-18 identity rule wrongly), call the one-button
# bridge already updated (it reports the new version over a half-written
# flash), or keep the erased settings. Each row ends with the clean run's flash,
# settings included, and a finished journal entry. `verify`, which needs no
# journal, says the cut flash differs and the finished one holds the image.
# Usage: journal_finishes_cut_updates.sh BRIGANT_FW BRIGANT_SIM_IMAGE
set -uo pipefail
fw=$1
image=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source "$(dirname "$0")/bridge_rows.sh" # seed_kept

# label | device | file options (embedded: the built-in image) | kept OFF+LEN | cut after (regex) | its match
# | the second run: the same update, or recover (which takes the bridge for the journal's sake)
rows=(
    "settings erased, then cut|alder|version=9.8|0x8000+512| out FF 04 14 |1|update"
    "codes 15-18 identity rule|pine:version=3.0,ext=31.25.1.5|exttext=2345|-| out |40|update"
    "codes 15-18, recovered|pine:version=3.0,ext=31.25.1.5|exttext=2345|-| out |40|recover"
    "one-button, second half unwritten|quince|embedded|-| out 3B |96|update"
)

failed=0
n=0
for row in "${rows[@]}"; do
    IFS='|' read -r label device spec kept regex nth finish <<<"$row"
    dir="$work/$n"
    n=$((n + 1))
    mkdir -p "$dir"
    export XDG_STATE_HOME="$dir/state"
    fail() {
        echo "FAILED: $label: $*"
        sed 's/^/    /' "$dir/out" 2>/dev/null
        failed=1
    }
    if [ "$spec" = embedded ]; then
        verb=(update --embedded --yes) check=(verify --embedded)
    else
        "$image" "${device%%:*}:$spec" -o "$dir/fw.bin" >/dev/null || { fail "brigant-sim-image"; continue; }
        verb=(update --yes "$dir/fw.bin") check=(verify "$dir/fw.bin")
    fi
    "$fw" --simulate "$device" --sim-state "$dir/seed" info >/dev/null 2>&1
    seed_kept "$dir/seed/flash.bin" "$kept"
    cp -r "$dir/seed" "$dir/clean"
    "$fw" --simulate "$device" --sim-state "$dir/clean" --trace="$dir/trace" "${verb[@]}" >"$dir/out" 2>&1 ||
        { fail "the clean run"; continue; }
    rm -rf "$XDG_STATE_HOME"
    at=$(grep -n -E -e "$regex" "$dir/trace" | sed -n "${nth}p" | cut -d: -f1)
    [ -n "$at" ] || { fail "no match $nth of '$regex'"; continue; }
    cut=$((at + 1))
    cp -r "$dir/seed" "$dir/s"
    sep=:
    [[ $device == *:* ]] && sep=,
    rc=0
    "$fw" --simulate "$device${sep}fault=powerloss@$cut" --sim-state "$dir/s" "${verb[@]}" >"$dir/out" 2>&1 || rc=$?
    [ "$rc" -ne 0 ] || { fail "the cut run (powerloss@$cut) exited 0"; continue; }
    grep -q "again to finish it" "$dir/out" || fail "the cut run gives no advice to finish it"
    grep -q "tells \`brigant-fw ${check[*]}" "$dir/out" || fail "the cut run's advice does not name verify"
    rc=0
    "$fw" --simulate "$device" --sim-state "$dir/s" "${check[@]}" >"$dir/out" 2>&1 || rc=$?
    [ "$rc" -eq 1 ] && grep -q "^DIFFERS" "$dir/out" || fail "verify after the cut: exit $rc, no DIFFERS"
    "$fw" --simulate "$device" --sim-state "$dir/s" list >"$dir/out" 2>&1
    grep -q "did not finish" "$dir/out" || fail "list does not tell of the unfinished update"
    if [ "$spec" = embedded ]; then
        rc=0
        "$fw" --simulate "$device" --sim-state "$dir/s" check --embedded >"$dir/out" 2>&1 || rc=$?
        [ "$rc" -eq 0 ] && grep -q "unfinished" "$dir/out" || fail "check --embedded calls it done (exit $rc)"
    fi
    second=("${verb[@]}") says="this run finishes it"
    [ "$finish" = recover ] && second=(recover --yes) says="recover rewrites the whole flash"
    rc=0
    "$fw" --simulate "$device" --sim-state "$dir/s" "${second[@]}" >"$dir/out" 2>&1 || rc=$?
    if [ "$rc" -ne 0 ]; then
        fail "the second run exited $rc"
    elif ! grep -q "$says" "$dir/out"; then
        fail "the second run does not say it finishes the cut update"
    elif ! cmp -s "$dir/s/flash.bin" "$dir/clean/flash.bin"; then
        fail "the flash after the second run is not the clean run's"
    elif ! "$fw" --simulate "$device" --sim-state "$dir/s" "${check[@]}" >"$dir/out" 2>&1; then
        fail "verify after the second run does not say VERIFIED"
    elif ! "$fw" history --json | python3 -c '
import json, sys
entries = json.load(sys.stdin)["entries"]
sys.exit(0 if len(entries) == 1 and entries[0]["finished"] else 1)'; then
        fail "the journal does not hold one finished entry"
    else
        echo "ok: $label: cut at command $cut, finished by ${second[*]}"
    fi
done
# A cut update that another file's update then replaces did not finish: the
# journal says it was superseded, as verify says its file is not on the flash.
dir="$work/superseded"
mkdir -p "$dir"
export XDG_STATE_HOME="$dir/state"
label="superseded"
"$image" nutmeg:ext=2.3.4.5 -o "$dir/a.bin" >/dev/null
"$image" nutmeg:ext=2.3.4.6 -o "$dir/b.bin" >/dev/null
"$fw" --simulate nutmeg:fault=powerloss@220 --sim-state "$dir/s" update --yes "$dir/a.bin" >"$dir/out" 2>&1
"$fw" history --json | python3 -c 'import json,sys; sys.exit(0 if [e["state"] for e in json.load(sys.stdin)["entries"]] == ["open"] else 1)' ||
    fail "the cut update left no open entry"
"$fw" --simulate nutmeg --sim-state "$dir/s" update --yes "$dir/b.bin" >"$dir/out" 2>&1 || fail "the update of b.bin"
states=$("$fw" history --json | python3 -c '
import json, os, sys
entries = json.load(sys.stdin)["entries"]
print(" ".join(sorted(os.path.basename(e["firmware"]) + "=" + e["state"] for e in entries)))')
[ "$states" = "a.bin=superseded b.bin=finished" ] || fail "journal states: '$states'"
"$fw" history >"$dir/out" 2>&1
grep -q "superseded by a later write" "$dir/out" || fail "history does not say superseded"
rc=0
"$fw" --simulate nutmeg --sim-state "$dir/s" verify "$dir/a.bin" >"$dir/out" 2>&1 || rc=$?
[ "$rc" -eq 1 ] || fail "verify a.bin after b.bin: exit $rc, expected 1 (DIFFERS)"
[ "$failed" -eq 0 ] && echo "ok: a cut update superseded by another file's is said superseded"

# A cut one-button update that leaves the bridge in its ROM: every piece of
# advice names a command that works from there, and running it ends verified.
dir="$work/rom"
mkdir -p "$dir"
export XDG_STATE_HOME="$dir/state"
"$fw" --simulate quince:fault=powerloss@217 --sim-state "$dir/s" update --embedded --yes >"$dir/out" 2>&1
label="left in its ROM"
"$fw" --simulate quince --sim-state "$dir/s" info --json >"$dir/out" 2>/dev/null
with=$(python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); print(d["runsFromRom"], (d["unfinishedUpdate"] or {}).get("finishWith"))' "$dir/out")
[ "$with" = "True brigant-fw recover" ] || fail "info after the cut: runsFromRom and finishWith are '$with'"
for step in "update --embedded --yes" "verify --embedded"; do
    # shellcheck disable=SC2086
    "$fw" --simulate quince --sim-state "$dir/s" $step >"$dir/out" 2>&1 || fail "$step after the cut exits $?"
done
grep -q "^VERIFIED" "$dir/out" || fail "verify --embedded does not say VERIFIED"
"$fw" history --json | python3 -c 'import json,sys; sys.exit(0 if [(e["state"], e["from"], e["to"]) for e in json.load(sys.stdin)["entries"]] == [("recover", "1.1.0.8", "1.1.1.0")] else 1)' ||
    fail "the journal entry is not closed by the recovery, from 1.1.0.8 to 1.1.1.0"
[ "$failed" -eq 0 ] && echo "ok: a one-button update cut into the ROM is finished by the advice it gives"

# A cut that leaves a firmware bank damaged: info names one command, not
# repair and the update both, and that command ends verified. The power
# goes right after the first program command of bank 0, found in the trace
# of an uncut run.
mkdir -p "$work/bank-clean"
XDG_STATE_HOME="$work/bank-clean/state" "$fw" --simulate nutmeg --sim-state "$work/bank-clean/s" \
    --trace="$work/bank-clean.trace" update --yes "$work/superseded/a.bin" >/dev/null 2>&1
bank_cut=$(($(grep -n -m1 ' out DF 00 00 20 ' "$work/bank-clean.trace" | cut -d: -f1) + 1))
dir="$work/bank"
mkdir -p "$dir"
export XDG_STATE_HOME="$dir/state"
label="bank damaged by the cut"
"$fw" --simulate nutmeg:fault=powerloss@$bank_cut --sim-state "$dir/s" update --yes "$work/superseded/a.bin" >/dev/null 2>&1
"$fw" --simulate nutmeg --sim-state "$dir/s" info >"$dir/out" 2>&1
commands=$(grep -o '`brigant-fw [^`]*`' "$dir/out" | sort -u)
[ "$commands" = "\`brigant-fw update $work/superseded/a.bin\`" ] || fail "info names: '$commands'"
"$fw" --simulate nutmeg --sim-state "$dir/s" info --json >"$dir/out" 2>/dev/null
step=$(python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); s=d["nextStep"]
print(d["damagedBank"], s["kind"], s["command"] == d["unfinishedUpdate"]["finishWith"], s["command"])' "$dir/out")
[ "$step" = "0 finish the cut write True brigant-fw update $work/superseded/a.bin" ] || fail "nextStep: '$step'"
"$fw" --simulate nutmeg --sim-state "$dir/s" update --yes "$work/superseded/a.bin" >"$dir/out" 2>&1 || fail "the step exits $?"
"$fw" --simulate nutmeg --sim-state "$dir/s" verify "$work/superseded/a.bin" >"$dir/out" 2>&1 || fail "verify after the step"
[ "$failed" -eq 0 ] && echo "ok: a cut that damages a bank has one next step, and it ends verified"

# The same cut, ended by `repair` instead: the entry is closed by it and
# nothing warns of the cut any more.
dir="$work/repaired"
mkdir -p "$dir"
export XDG_STATE_HOME="$dir/state"
label="bank repaired after the cut"
"$fw" --simulate nutmeg:fault=powerloss@$bank_cut --sim-state "$dir/s" update --yes "$work/superseded/a.bin" >/dev/null 2>&1
"$fw" --simulate nutmeg --sim-state "$dir/s" repair --yes >"$dir/out" 2>&1 || fail "repair exits $?"
states=$("$fw" history --json | python3 -c 'import json,sys; print(" ".join(e["state"] for e in json.load(sys.stdin)["entries"]))')
[ "$states" = repair ] || fail "journal states after the repair: '$states'"
"$fw" --simulate nutmeg --sim-state "$dir/s" info >"$dir/out" 2>&1
! grep -q "did not finish" "$dir/out" || fail "info still warns of the cut after the repair"
[ "$failed" -eq 0 ] && echo "ok: a repair after a cut closes its entry"
exit "$failed"
