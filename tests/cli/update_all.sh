#!/usr/bin/env bash
# update --all on six simulated bridges: four to update (register, two-bank,
# buffer-path and staging families), one that runs the file's version
# already, one that no given file fits. Every flash must hold, byte for
# byte, what the single update leaves (the updated ones) or what it held
# (the others); the report and the exit status must say so; every update
# keeps its own backup and journal entry. Then the same with the two-bank
# bridge losing its power in the middle of its write, two workers at a time:
# the others still succeed, the report names the failed one, exit 1.
# Usage: update_all.sh BRIGANT_FW BRIGANT_SIM_IMAGE
set -euo pipefail
fw=$1
image=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
failed=0
fail() {
    echo "FAILED: $*"
    failed=1
}

# device preset | file it takes | what update --all does with it
rows=(
    "alder|alder.bin|success"
    "nutmeg|nutmeg.bin|success"
    "quince:version=3.0,ext=31.25.1.5|quince.bin|success"
    "oak|oak.bin|success"
    "pine:version=3.0,ext=31.25.1.5|pine-same.bin|nothing to do"
    "larch|-|refused"
)
"$image" alder:version=9.8 -o alder.bin >/dev/null
"$image" nutmeg:ext=2.3.4.5 -o nutmeg.bin >/dev/null
"$image" quince:exttext=2345 -o quince.bin >/dev/null
"$image" oak:version=9.8 -o oak.bin >/dev/null
"$image" pine:ext=31.25.1.5 -o pine-same.bin >/dev/null
files=(alder.bin nutmeg.bin quince.bin oak.bin pine-same.bin)

# The flash each single update leaves, on a state of its own.
for i in "${!rows[@]}"; do
    IFS='|' read -r preset file _ <<<"${rows[$i]}"
    "$fw" --simulate "$preset" --sim-state "single$i" list >/dev/null 2>&1
    [ "$file" = - ] || [ "$file" = pine-same.bin ] ||
        XDG_STATE_HOME="$work/single-home" "$fw" --simulate "$preset" --sim-state "single$i" update --yes "$file" \
            >/dev/null 2>&1 || fail "the single update of $preset"
done

flash_of() { [ "$2" -eq 0 ] && echo "$1/flash.bin" || echo "$1/dev$2/flash.bin"; }

# Runs update --all on the rows (the Nth preset replaced by $replace when set)
# in folder $1 with the options after it; leaves out.json, err and rc.
run_all() {
    local dir=$1 i preset
    shift
    local sims=()
    for i in "${!rows[@]}"; do
        IFS='|' read -r preset _ <<<"${rows[$i]}"
        [ -n "${replace:-}" ] && [ "$i" -eq "${replace%%=*}" ] && preset=${replace#*=}
        sims+=(--simulate "$preset")
    done
    mkdir -p "$dir"
    "$fw" "${sims[@]}" --sim-state "$dir/D" list >/dev/null 2>&1
    cp -r "$dir/D" "$dir/before"
    rc=0
    XDG_STATE_HOME="$work/$dir/home" "$fw" "${sims[@]}" --sim-state "$dir/D" update --all "${files[@]}" --yes --json "$@" \
        >"$dir/out.json" 2>"$dir/err" </dev/null || rc=$?
}

# The flash of device $2 in run $1 against the single update's ($3 = single)
# or its own before the run ($3 = before).
check_flash() {
    local dir=$1 i=$2 want
    [ "$3" = single ] && want=$(flash_of "single$i" "0") || want=$(flash_of "$dir/before" "$i")
    cmp -s "$want" "$(flash_of "$dir/D" "$i")" || fail "$dir: the flash of sim:sg$i is not the $3 one"
}

result_of() { /usr/bin/python3 -c "import json,sys; print(json.load(open(sys.argv[1]))['devices'][int(sys.argv[2])]['result'])" "$@"; }

# 1. Six bridges, every update succeeds.
run_all plain
[ "$rc" -eq 0 ] || fail "plain: exit $rc, expected 0"
for i in "${!rows[@]}"; do
    IFS='|' read -r preset file want <<<"${rows[$i]}"
    got=$(result_of plain/out.json "$i" 2>/dev/null || echo "no report")
    [ "$got" = "$want" ] || fail "plain: sim:sg$i ($preset) reports '$got', expected '$want'"
    [ "$want" = success ] && check_flash plain "$i" single || check_flash plain "$i" before
done
grep -q '^  sim:sg5 .*skip: .*larch\|^  sim:sg5 .*skip: none of the 5 files is made for this bridge$' plain/err ||
    fail "plain: the summary does not say why sim:sg5 is skipped: $(cat plain/err)"
# A skip names no other model's file.
sed -n 's/^  sim:sg5 .*skip: //p' plain/err | grep -v larch | grep -q '\.bin' &&
    fail "plain: sim:sg5's skip quotes another model's file: $(grep '^  sim:sg5' plain/err)"
grep -q '^  sim:sg4 .*nothing to do' plain/err || fail "plain: the summary does not say sim:sg4 is current"
# Off a terminal: a line per bridge per phase its worker went through.
for i in 0 1 2 3; do
    grep -v ': started$\|: success$' plain/err | grep -q "^sim:sg$i: [A-Z]" ||
        fail "plain: no progress line of sim:sg$i"
done
# One backup and one finished journal entry per updated bridge, none shared.
backups=$(find plain/home/brigant/backups -type f | wc -l)
[ "$backups" -eq 4 ] || fail "plain: $backups backups, expected 4"
bridges=$(cat plain/home/brigant/journal/*.json | grep -c '"bridge"' || true)
distinct=$(cat plain/home/brigant/journal/*.json | grep '"bridge"' | sort -u | wc -l)
[ "$bridges" -eq 4 ] && [ "$distinct" -eq 4 ] || fail "plain: $bridges journal entries for $distinct bridges, expected 4 and 4"
grep -q '"finished": null' plain/home/brigant/journal/*.json && fail "plain: a journal entry is left open"

# 2. The two-bank bridge loses its power during its write; two workers at a time.
replace="1=nutmeg:fault=powerloss@230" run_all cut --jobs 2
[ "$rc" -eq 1 ] || fail "cut: exit $rc, expected 1"
[ "$(result_of cut/out.json 1)" = failed ] || fail "cut: sim:sg1 does not report its failure"
for i in 0 2 3; do
    [ "$(result_of cut/out.json "$i")" = success ] || fail "cut: sim:sg$i did not succeed"
    check_flash cut "$i" single
done
grep -q '^  sim:sg1 .*failed' cut/err || fail "cut: the summary does not name sim:sg1 as failed: $(cat cut/err)"
# Its journal entry stays open: the same command finishes it.
grep -l '"finished": null' cut/home/brigant/journal/*.json | xargs grep -q 'sim-port1' ||
    fail "cut: sim:sg1's update is not left open in the journal"

# 3. One worker killed in the middle (as a crash ends it), the waits paced so
# that it is caught running: the others go on and succeed, the report says
# how it ended and how to tell where its bridge stands, exit 1.
sims=()
for row in "${rows[@]}"; do sims+=(--simulate "${row%%|*}"); done
mkdir -p crash
"$fw" "${sims[@]}" --sim-state crash/D list >/dev/null 2>&1
BRIGANT_SIM_PACE=10 XDG_STATE_HOME="$work/crash/home" "$fw" "${sims[@]}" --sim-state crash/D update --all \
    "${files[@]}" --yes --json >crash/out.json 2>crash/err </dev/null &
parent=$!
victim=
for _ in $(seq 200); do
    # This run's own worker, not one of another test running at the same time.
    victim=$(pgrep -P "$parent" -f -- "--sim-first-index 3 " | head -n 1 || true)
    [ -n "$victim" ] && break
    sleep 0.05
done
[ -n "$victim" ] && kill -KILL "$victim"
rc=0
wait "$parent" || rc=$?
[ -n "$victim" ] || fail "crash: the worker of sim:sg3 was not seen running"
[ "$rc" -eq 1 ] || fail "crash: exit $rc, expected 1"
[ "$(result_of crash/out.json 3)" = failed ] || fail "crash: sim:sg3 does not report its failure"
grep -q 'sim:sg3 .*crashed: the worker stopped on signal 9 .*verify' crash/err ||
    fail "crash: the summary does not say how sim:sg3's worker ended: $(cat crash/err)"
for i in 0 1 2; do
    [ "$(result_of crash/out.json "$i")" = success ] || fail "crash: sim:sg$i did not succeed"
    check_flash crash "$i" single
done

# 4. A subset by repeated --index; a single update still takes --index N before its FILE.
rc=0
XDG_STATE_HOME="$work/subset" "$fw" "${sims[@]}" update --all --index 0 --index 4 "${files[@]}" --yes -q >subset.out 2>&1 ||
    rc=$?
[ "$rc" -eq 0 ] && grep -q "2 bridge(s), 1 to update" subset.out || fail "--index 0 --index 4: exit $rc, $(cat subset.out)"
XDG_STATE_HOME="$work/subset" "$fw" --simulate nutmeg --simulate alder update --index 1 alder.bin --yes -q >/dev/null 2>&1 ||
    fail "update --index 1 FILE"

# 5. Slots: `list` shows each bridge's port; --port picks bridges by it, and
# --slots labels them in the tables and the JSON.
"$fw" "${sims[@]}" list >ports.out 2>&1
grep -q '^    Port: *sim-port4$' ports.out || fail "list does not show the ports: $(head -3 ports.out)"
printf '# station\nsim-port1 slot 1\nsim-port4   slot 4 (left)\n' >slots.txt
rc=0
XDG_STATE_HOME="$work/slots" "$fw" "${sims[@]}" update --all --port sim-port4 --port sim-port1 --slots slots.txt \
    "${files[@]}" --yes --json >slots.json 2>slots.err </dev/null || rc=$?
[ "$rc" -eq 0 ] || fail "--port: exit $rc: $(tail -3 slots.err)"
python3 -c '
import json, sys
d = json.load(open(sys.argv[1]))
got = sorted((x["port"], x["slot"], x["action"]) for x in d["devices"])
assert got == [("sim-port1", "slot 1", "update"), ("sim-port4", "slot 4 (left)", "nothing to do")], got
' slots.json || fail "--port and --slots: the JSON does not name the two slots"
grep -q "slot 1 (sim:sg1)" slots.err || fail "--slots: the table does not show the label: $(cat slots.err)"
rc=0
"$fw" "${sims[@]}" update --all --port sim-port9 "${files[@]}" --yes >/dev/null 2>&1 || rc=$?
[ "$rc" -eq 3 ] || fail "--port of no bridge: exit $rc, expected 3"
printf 'sim-port1\n' >bad-slots.txt
rc=0
"$fw" "${sims[@]}" update --all --slots bad-slots.txt "${files[@]}" --yes >bad-slots.out 2>&1 || rc=$?
[ "$rc" -eq 2 ] && grep -q "bad-slots.txt:1: a port path and a label" bad-slots.out ||
    fail "--slots with a line without a label: exit $rc, $(cat bad-slots.out)"

[ "$failed" -eq 0 ] && echo "update --all: 3 runs of 6 bridges checked"
exit "$failed"
