#!/usr/bin/env bash
# The production station, on simulated blank units (buffer-path bridges that
# run from their ROM): five arrive 0-20 s apart under update --all --watch
# --count 5 --serial-from SN0100, two lose their power in the write. Then
# --retry-failed updates exactly those two, a third run with the same
# numbers is refused, and the live table on a terminal shows the totals and
# the slot labels. Also: --serial where no record is written, a log of other
# columns, a duplicate in --serial-list.
# Usage: station.sh BRIGANT_FW BRIGANT_SIM_IMAGE
set -uo pipefail
fw=$(realpath "$1")
image=$(realpath "$2")
work=$(mktemp -d)
schema=$(cd "$(dirname "$0")/../.." && pwd)/docs/json-schema.json
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
failed=0
fail() {
    echo "FAILED: $*"
    failed=1
}
export XDG_STATE_HOME=$work/xdg
"$image" quince:ext=32.25.1.5 -o q.bin >/dev/null 2>&1 || { echo "FAILED: brigant-sim-image"; exit 1; }
unit=quince:blank=1
arriving=(--simulate "$unit" --simulate "$unit,arrive=5000" --simulate "$unit,arrive=10000,fault=powerloss@60"
    --simulate "$unit,arrive=15000" --simulate "$unit,arrive=20000,fault=powerloss@60" --simulate plain-disk)
plugged=(--simulate "$unit" --simulate "$unit" --simulate "$unit" --simulate "$unit" --simulate "$unit")
printf 'sim-port0 slot A\nsim-port3 slot D\n' >slots.txt

# 1. The watch run.
rc=0
"$fw" "${arriving[@]}" --sim-state s --trace=trace update --all --watch --count 5 --serial-from SN0100 --slots slots.txt \
    --log log.csv --log-json log.jsonl --yes --no-backup q.bin >watch.out 2>&1 || rc=$?
[ "$rc" -eq 1 ] || fail "the watch run: exit $rc, not 1 (two units failed): $(tail -5 watch.out)"
grep -q "^passed 3  failed 2  skipped 0" watch.out || fail "the totals do not say 3 passed, 2 failed: $(grep passed watch.out)"
grep -q "^slot A (sim:sg0): arrived (bridge SIM0000000): update" watch.out ||
    fail "no arrival line with the slot label: $(grep arrived watch.out)"
# The plain disk beside them is asked once, not at every look at the bus.
[ "$(grep -c "^sim:sg5 in 12 " trace)" -eq 1 ] || fail "the plain disk was asked $(grep -c "^sim:sg5 in 12 " trace) times"
/usr/bin/python3 - log.csv log.jsonl s <<'PY' || failed=1
import csv, json, sys
rows = list(csv.DictReader(open(sys.argv[1])))
lines = [json.loads(l) for l in open(sys.argv[2])]
def check(ok, what):
    if not ok:
        print("FAILED:", what)
        sys.exit(1)
check(len(rows) == 5 and len(lines) == 5, "the logs have %d and %d rows, not 5" % (len(rows), len(lines)))
serials = sorted(r["unit_serial"] for r in rows)
check(serials == ["SN0100", "SN0101", "SN0102", "SN0103", "SN0104"], "unit serials %r" % serials)
results = sorted((r["bridge_serial"], r["result"]) for r in rows)
check([x[1] for x in results] == ["success", "success", "failed", "success", "failed"], "results %r" % results)
check([l["unitSerial"] for l in lines] == [r["unit_serial"] for r in rows], "the JSON Lines differ from the CSV")
for r in rows:
    dev = int(r["device"].split("sg")[1])
    flash = open(sys.argv[3] + ("/dev%d" % dev if dev else "") + "/flash.bin", "rb").read()
    record = flash[0x44000 + 52:0x44000 + 72].decode("ascii", "replace").rstrip()
    if r["result"] == "success":
        check(r["unit_serial_read"] == r["unit_serial"], "%s: read back %r" % (r["device"], r["unit_serial_read"]))
        check(record == r["unit_serial"], "%s: the flash's record holds %r, not %s" % (r["device"], record, r["unit_serial"]))
check(rows[0]["slot"] == "slot A", "the slot label is not in the log: %r" % rows[0]["slot"])
# The run's simulated time: at most 1.2 x (last arrival + the slowest unit).
PY
simulated=$(sed -n 's/^simulated time: \([0-9.]*\) s$/\1/p' watch.out)
slowest=$(/usr/bin/python3 -c 'import csv; print(max(float(r["duration_s"]) for r in csv.DictReader(open("log.csv"))))')
/usr/bin/python3 -c 'import sys; t, s = map(float, sys.argv[1:]); sys.exit(not t <= 1.2 * (20 + s))' "$simulated" "$slowest" ||
    fail "the watch run took $simulated s simulated, more than 1.2 x (20 s + $slowest s)"
if /usr/bin/python3 -c 'import jsonschema' 2>/dev/null; then
    /usr/bin/python3 - "$schema" log.jsonl <<'PY' || fail "a JSON Lines row does not validate"
import json, sys, jsonschema
schema = json.load(open(sys.argv[1]))
for line in open(sys.argv[2]):
    jsonschema.validate(json.loads(line), {"$schema": schema["$schema"], "$defs": schema["$defs"],
                                           "$ref": "#/$defs/stationLogRow"})
PY
fi

# 2. --retry-failed updates exactly the two failed units, with their numbers.
rc=0
"$fw" "${plugged[@]}" --sim-state s update --all --retry-failed log.csv --log log.csv --yes --no-backup q.bin \
    >retry.out 2>&1 || rc=$?
[ "$rc" -eq 0 ] || fail "--retry-failed: exit $rc: $(tail -5 retry.out)"
grep -q "^update --all: 2 bridge(s), 2 to update" retry.out || fail "--retry-failed took other units: $(head -8 retry.out)"
/usr/bin/python3 - log.csv <<'PY' || failed=1
import csv, sys
rows = list(csv.DictReader(open(sys.argv[1])))[5:]
got = sorted((r["device"], r["unit_serial"], r["unit_serial_read"], r["result"]) for r in rows)
want = [("sim:sg2", "SN0102", "SN0102", "success"), ("sim:sg4", "SN0104", "SN0104", "success")]
if got != want:
    print("FAILED: the retry's rows %r, not %r" % (got, want))
    sys.exit(1)
PY

# 3. The same numbers again are refused before anything is sent.
rc=0
"$fw" "${plugged[@]}" --sim-state s update --all --watch --count 5 --serial-from SN0100 --yes --no-backup q.bin \
    >again.out 2>&1 || rc=$?
[ "$rc" -eq 2 ] && grep -q "SN0100 was handed out before" again.out ||
    fail "the used numbers: exit $rc, $(tail -2 again.out)"
printf 'SN0200\n# spare\nSN0201\nSN0200\n' >list.txt
rc=0
"$fw" "${plugged[@]}" --sim-state s update --all --serial-list list.txt --yes --no-backup q.bin >dup.out 2>&1 || rc=$?
[ "$rc" -eq 2 ] && grep -q "list.txt:4: SN0200 is in the list twice" dup.out ||
    fail "a duplicate in --serial-list: exit $rc, $(tail -2 dup.out)"

# 4. --serial where the update writes no record, and a log of other columns.
rc=0
"$fw" --simulate nutmeg --sim-state n update --serial SN1 --yes --no-backup q.bin >nut.out 2>&1 || rc=$?
[ "$rc" -eq 2 ] && grep -q "writes no product serial record" nut.out || fail "--serial on a nutmeg: exit $rc, $(tail -2 nut.out)"
rc=0
"$fw" --simulate quince --sim-state r update --serial SN1 --yes --no-backup q.bin >running.out 2>&1 || rc=$?
[ "$rc" -eq 2 ] && grep -q "only while the bridge runs from its ROM" running.out ||
    fail "--serial on a bridge that runs its firmware: exit $rc, $(tail -2 running.out)"
echo "time,device,result" >old.csv
rc=0
"$fw" "${plugged[@]}" --sim-state s update --all --log old.csv --yes --no-backup q.bin >old.out 2>&1 || rc=$?
[ "$rc" -eq 2 ] && grep -q "old.csv: its columns are not the ones this version writes" old.out ||
    fail "a log of other columns: exit $rc, $(tail -2 old.out)"

# 5. On a terminal: the live table with the totals above it and the slot labels.
script -qec "$fw --simulate $unit --simulate $unit,arrive=3000 --sim-state t update --all --watch --count 2 \
    --serial-from SN0300 --slots slots.txt --yes --no-backup q.bin" /dev/null >tty.out </dev/null 2>&1
grep -qaE $'\r\033\\[K  passed 0  failed 0  skipped 0' tty.out || fail "no totals line drawn on the terminal"
grep -qaE $'\r\033\\[K  passed 2  failed 0  skipped 0' tty.out || fail "the totals line never reaches 2 passed"
grep -qaE $'\r\033\\[K  slot A \\(sim:sg0\\) +SN0300 ' tty.out || fail "the live table shows no slot label and serial"

[ "$failed" -eq 0 ] && echo "the station: 3 passed and 2 failed, the failed two retried, used numbers refused"
exit "$failed"
