#!/usr/bin/env bash
# One bridge, one writer: while one brigant-fw updates a simulated bridge
# (its waits paced in real time), every other run on the same state folder
# either refuses at once with exit 6, naming the holder and sending nothing
# (its trace stays empty), or, for list and info, shows the bridge busy. The
# first update ends as a lone update ends, byte for byte. A holder killed with
# SIGKILL leaves no lock behind; two overlapping update --all write each
# bridge once.
# Usage: two_writers.sh BRIGANT_FW BRIGANT_SIM_IMAGE
set -euo pipefail
fw=$1
image=$2
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
export BRIGANT_LOCK_DIR="$work/locks" XDG_STATE_HOME="$work/xdg"
failed=0
fail() {
    echo "FAILED: $*"
    failed=1
}
"$image" nutmeg:ext=2.3.4.5 -o "$work/n.bin" >/dev/null

# Waits until some program holds a lock in the lock folder (at most 10 s).
held() {
    local i f
    for i in $(seq 100); do
        for f in "$work"/locks/*.lock; do
            [ -e "$f" ] && ! flock -n "$f" true && return 0
        done
        sleep 0.1
    done
    return 1
}
# A paced update in the background on state folder $1.
first_update() {
    BRIGANT_SIM_PACE=1 "$fw" --simulate nutmeg --sim-state "$1" update --yes "$work/n.bin" >"$work/first.out" 2>&1 &
    first=$!
    held || fail "the first update never took the bridge's lock"
}

# The reference: one update alone.
"$fw" --simulate nutmeg --sim-state "$work/R" update --yes "$work/n.bin" >/dev/null 2>&1

first_update "$work/S"
for verb in "update --yes $work/n.bin" "erase --yes" "backup $work/b.bin" "recover --yes" "repair --yes"; do
    rm -f "$work/trace"
    status=0
    start=$(date +%s%N)
    # shellcheck disable=SC2086
    "$fw" --simulate nutmeg --sim-state "$work/S" --trace="$work/trace" $verb >"$work/out" 2>&1 || status=$?
    ms=$((($(date +%s%N) - start) / 1000000))
    [ "$status" = 6 ] || fail "$verb as the second program: exit $status, 6 expected: $(cat "$work/out")"
    [ "$ms" -lt 1000 ] || fail "$verb as the second program took $ms ms to refuse"
    [ ! -s "$work/trace" ] || fail "$verb as the second program sent commands: $(head -3 "$work/trace")"
    grep -q "is busy: brigant-fw update (PID $first, since" "$work/out" || fail "$verb does not name the holder: $(cat "$work/out")"
done
"$fw" --simulate nutmeg --sim-state "$work/S" --trace="$work/trace" list >"$work/out" 2>&1 || true
grep -q "Busy: .*brigant-fw update (PID $first" "$work/out" || fail "list does not show the bridge busy: $(cat "$work/out")"
[ ! -s "$work/trace" ] || fail "list sent commands to the busy bridge"
status=0
"$fw" --simulate nutmeg --sim-state "$work/S" info --json >"$work/out" 2>&1 || status=$?
[ "$status" = 6 ] && grep -q '"busy": "the bridge at .* is busy: brigant-fw update' "$work/out" ||
    fail "info --json on the busy bridge: exit $status: $(cat "$work/out")"
status=0
wait "$first" || status=$?
[ "$status" = 0 ] && grep -q "result: success" "$work/first.out" || fail "the first update: exit $status: $(cat "$work/first.out")"
cmp -s "$work/R/flash.bin" "$work/S/flash.bin" || fail "the first update's flash differs from a lone update's"

# --wait: the second waits for the first and then runs.
first_update "$work/W"
status=0
"$fw" --simulate nutmeg --sim-state "$work/W" --wait=30 backup "$work/w.bin" >"$work/out" 2>&1 || status=$?
[ "$status" = 0 ] && grep -q "waiting for it" "$work/out" || fail "--wait: exit $status: $(cat "$work/out")"
wait "$first" || fail "the first update with a waiting second one failed"
cmp -s "$work/R/flash.bin" "$work/w.bin" || fail "--wait: the backup taken after the update is not the updated flash"

# SIGKILL: no stale lock.
first_update "$work/K"
kill -9 "$first"
wait "$first" 2>/dev/null || true
status=0
start=$(date +%s%N)
"$fw" --simulate nutmeg --sim-state "$work/K" --trace="$work/trace" update --yes "$work/n.bin" >"$work/out" 2>&1 || status=$?
ms=$((($(date +%s%N) - start) / 1000000))
[ "$status" = 0 ] && [ -s "$work/trace" ] || fail "after the holder was killed: exit $status: $(cat "$work/out")"
[ "$ms" -lt 3000 ] || fail "the update after the killed holder took $ms ms"

# Two overlapping update --all: each bridge written once.
BRIGANT_SIM_PACE=2 "$fw" --simulate nutmeg --simulate nutmeg --sim-state "$work/A" update --all --yes "$work/n.bin" \
    >"$work/all1.out" 2>&1 &
first=$!
held || fail "the first update --all took no lock"
sleep 0.3
status=0
"$fw" --simulate nutmeg --simulate nutmeg --sim-state "$work/A" update --all --yes "$work/n.bin" >"$work/all2.out" 2>&1 || status=$?
[ "$status" = 6 ] || fail "the second update --all: exit $status, 6 expected: $(cat "$work/all2.out")"
[ "$(grep -c "skip: busy: brigant-fw update" "$work/all2.out")" = 2 ] || fail "the second update --all does not name both busy bridges: $(cat "$work/all2.out")"
wait "$first" || fail "the first update --all failed: $(cat "$work/all1.out")"
[ "$(grep -cE "^  sim:sg[01] .* success$" "$work/all1.out")" = 2 ] || fail "the first update --all: $(cat "$work/all1.out")"
[ "$(ls "$XDG_STATE_HOME"/brigant/backups | grep -c sim-sg)" -ge 2 ] || fail "backups of update --all missing"

[ "$failed" = 0 ] && echo "two writers: every second program refused, the first's flash is a lone update's"
exit $failed
