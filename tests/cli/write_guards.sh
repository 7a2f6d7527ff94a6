#!/usr/bin/env bash
# What a write verb does before it writes, on simulated bridges: no terminal
# and no --yes, or a mounted filesystem, changes nothing (exit 2); an update
# leaves a backup that holds the old flash byte for byte; list on a damaged
# bank sends no writing command and repair then repairs it; an update that
# loses power right after the chip erase is brought back by recover.
# Usage: write_guards.sh BRIGANT_FW BRIGANT_SIM_IMAGE
set -euo pipefail
tool=$1
image=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_STATE_HOME=$work/xdg
failed=0
fail() {
    echo "FAILED: $*"
    failed=1
}
# run NAME WANT_RC ARGS...: output in $work/NAME.out and .err
run() {
    local name=$1 want=$2 rc=0
    shift 2
    "$tool" "$@" >"$work/$name.out" 2>"$work/$name.err" </dev/null || rc=$?
    [ "$rc" -eq "$want" ] || {
        fail "$name: exit $rc, expected $want"
        cat "$work/$name.out" "$work/$name.err"
    }
}
expect() { grep -qF -- "$2" "$work/$1" || fail "$1 lacks '$2'"; }
same() { cmp -s "$1" "$2" || fail "$3"; }

"$image" nutmeg:ext=2.3.4.5 -o "$work/n.bin" >/dev/null

# Refusals leave the flash as it was.
run first 0 --simulate nutmeg --sim-state "$work/n" info
cp "$work/n/flash.bin" "$work/n0.bin"
run noterm-update 2 --simulate nutmeg --sim-state "$work/n" update "$work/n.bin"
run noterm-erase 2 --simulate nutmeg --sim-state "$work/n" erase
expect noterm-update.err "no terminal to ask on: give --yes"
expect noterm-update.out "Will write:       the firmware file $work/n.bin"
expect noterm-erase.out "Firmware running: 1.0.5"
# The erase's question names the command that brings the bridge back, not the window's controls.
expect noterm-erase.out "write a firmware file for this chip with 'brigant-fw update FILE'"
grep -q "press Run" "$work/noterm-erase.out" && fail "erase's question speaks of the window's Run"
run mounted 2 --simulate nutmeg:mount=/media/José --sim-state "$work/n" --trace="$work/mounted.trace" \
    update --yes "$work/n.bin"
expect mounted.err "is mounted at /media/José"
grep -q ' out ' "$work/mounted.trace" && fail "a command was written to the mounted disk's bridge"
same "$work/n/flash.bin" "$work/n0.bin" "a refused write changed the flash"
[ -n "$(ls -A "$XDG_STATE_HOME/brigant/backups" 2>/dev/null)" ] && fail "a refused write made a backup"

# The update backs up first: the file holds the old flash byte for byte.
run update 0 --simulate nutmeg --sim-state "$work/n" update --yes "$work/n.bin"
backup=$(sed -n 's/^backup: the old flash is saved in //p' "$work/update.out")
[ -f "$backup" ] || fail "no backup file named: $backup"
same "$backup" <(head -c "$(stat -c %s "$backup")" "$work/n0.bin") "the backup differs from the old flash"
[ "$(stat -c %s "$backup")" -ge 131072 ] || fail "the backup holds less than both banks"
cmp -s "$work/n/flash.bin" "$work/n0.bin" && fail "the update did not change the flash"
# --quiet leaves out the progress, never what the user must do next; an
# erase says that the bridge has no firmware now, and how it gets some.
run quiet 0 --quiet --simulate nutmeg --sim-state "$work/n" update --yes --no-backup --allow-reinstall "$work/n.bin"
expect quiet.out "Turn the bridge's power off and on again"
run erased 0 --simulate nutmeg --sim-state "$work/n" erase --yes --no-backup
expect erased.out 'The flash is erased: the bridge has no firmware until firmware is written to it again: `brigant-fw update FILE`'
grep -q "new firmware" "$work/erased.out" && fail "the erase speaks of new firmware"
run restored 0 --simulate nutmeg --sim-state "$work/n" update --yes --no-backup "$work/n.bin"
# The one-button update reads the whole flash back through the buffer path.
run quince0 0 --simulate quince --sim-state "$work/q" info
cp "$work/q/flash.bin" "$work/q0.bin"
run quince 0 --simulate quince --sim-state "$work/q" update --embedded --yes
qbackup=$(sed -n 's/^backup: the old flash is saved in //p' "$work/quince.out")
same "$qbackup" "$work/q0.bin" "the one-button backup differs from the old flash"
case "$(basename "$qbackup")" in Quince-Series_sim-sg0_2*.bin) ;; *) fail "backup name $qbackup" ;; esac
# A backup that cannot be written stops the run before anything is written.
rm -rf "$work/q"
run quince0 0 --simulate quince --sim-state "$work/q" info
XDG_STATE_HOME=/dev/null/x run nobackup 1 --simulate quince --sim-state "$work/q" update --embedded --yes
expect nobackup.err "the backup before writing failed"
same "$work/q/flash.bin" "$work/q0.bin" "a failed backup let the update write"

# list and info tell of a damaged bank without writing; repair repairs it.
run list 0 --simulate nutmeg:damage=bank0 --sim-state "$work/d" --trace="$work/list.trace" list
run info 0 --simulate nutmeg:damage=bank0 --sim-state "$work/d" --trace="$work/info.trace" info
expect list.out 'bank 0 is damaged; `brigant-fw repair` restores it from bank 1'
expect info.out 'bank 0 is damaged; `brigant-fw repair` restores it from bank 1'
grep -h ' out ' "$work/list.trace" "$work/info.trace" && fail "list or info sent a writing command"
cp "$work/d/flash.bin" "$work/d0.bin"
run noterm-repair 2 --simulate nutmeg:damage=bank0 --sim-state "$work/d" repair
same "$work/d/flash.bin" "$work/d0.bin" "repair without --yes changed the flash"
run repair 0 --simulate nutmeg:damage=bank0 --sim-state "$work/d" repair --yes
expect repair.out "result: success"
same <(head -c 65536 "$work/d/flash.bin") <(tail -c +65537 "$work/d/flash.bin" | head -c 65536) \
    "bank 0 is not bank 1's copy after repair"
run repair2 4 --simulate nutmeg:damage=bank0 --sim-state "$work/d" repair --yes

# Power lost right after the chip erase of the one-button update (command 27):
# the bridge runs from ROM, the face offers nothing; the update the cut run
# names again finishes it with the recovery, after which recover has nothing to do.
run cut 1 --simulate quince:fault=powerloss@28 --sim-state "$work/r" update --embedded --yes --no-backup
run stuck 0 --simulate quince --sim-state "$work/r" update --embedded --yes
expect stuck.out "the bridge runs from its ROM: the recovery writes the built-in image and finishes it"
expect stuck.out "runs firmware 1.1.1.0"
run recover 4 --simulate quince --sim-state "$work/r" recover --yes
expect recover.out "nothing to recover"
run after 4 --simulate quince --sim-state "$work/r" update --embedded --yes
expect after.out "already runs the built-in image"
run again 4 --simulate quince --sim-state "$work/r" recover --yes

# Two bridges: the run on the second waits for that one and holds for it.
run two 0 --simulate quince --simulate quince --sim-state "$work/t" update --embedded --yes --no-backup --index 1
# The first bridge was not touched: it is still offered the update.
run two0 0 --simulate quince --sim-state "$work/t" update --embedded --yes --no-backup
run two1 4 --simulate quince --simulate quince --sim-state "$work/t" update --embedded --yes --index 1
expect two.out "result: success"
expect two0.out "result: success"
expect two1.out "already runs the built-in image"

[ "$failed" -eq 0 ] && echo "write guards hold"
exit "$failed"
