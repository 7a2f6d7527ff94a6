#!/usr/bin/env bash
# brigant-fw doctor on one simulated disk per finding a preset can model:
# the finding's verdict and text (text and JSON, the JSON valid against the
# schema), the exit status, and a trace of read commands only (no data-out).
# Then list names the disks it could not ask.
# Usage: doctor.sh BRIGANT_FW
set -uo pipefail
fw=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
schema=$(cd "$(dirname "$0")/../.." && pwd)/docs/json-schema.json
failed=0
fail() {
    echo "FAILED: $*"
    failed=1
}
# PRESET | exit | topic | verdict | a piece of its text or advice
rows=(
    "quince|0|listed|OK|listed as <<USB>> Velkor  Quince Bridge"
    "quince|0|marker|OK|the bridge marker vS6Q"
    "plain-disk|0|vendor probe|WARN|not a bridge: it carries no bridge marker and refuses the vendor probe"
    "plain-disk|0|vendor probe|WARN|sense key/ASC/ASCQ 5/20/00"
    "generic|0|listed|WARN|its chip information names no chip the tool knows"
    "nutmeg:fault=error@1,fault=error@2|1|inquiry|FAIL|INQUIRY failed (the pass-through call failed: Input/output error)"
    "nutmeg:fault=denied@1|1|access|FAIL|run as root, or install the helper"
    "nutmeg:mount=/media/usb0|0|mounted|WARN|mounted at /media/usb0"
    "alder:bus=uasp|0|driver|WARN|usb-storage.quirks=3a9c:2001:u"
    "alder:bus=uasp,quirks=u|0|driver|WARN|although the quirk 3a9c:2001:u is set"
    "alder:quirks=u|0|driver|OK|usb-storage quirks in force: u"
    "alder:maxkb=32|1|transfer size|FAIL|max_hw_sectors_kb is 32"
    "alder:maxkb=120|0|transfer size|OK|max_hw_sectors_kb 120"
    "nutmeg:maxkb=32|0|transfer size|OK|enough for the 8 KiB commands of this bridge's update"
    "plain-disk:maxkb=32|1|transfer size|FAIL|the 64 KiB commands some updates send fail here"
    "alder:fault=ua@2|0|vendor probe|OK|the bridge answers the vendor probe"
    "elm-e-disk|0|sat|OK|SAT pass-through answers ATA IDENTIFY DEVICE"
    "elm-e-disk:bus=uasp,fault=error@9|1|sat|FAIL|uas keeps ATA pass-through from the disk: boot with usb-storage.quirks=3a9c:201e:u"
)
n=0
for row in "${rows[@]}"; do
    IFS='|' read -r preset want topic verdict text <<<"$row"
    n=$((n + 1))
    rc=0
    "$fw" --simulate "$preset" --trace="$work/trace$n" doctor --json >"$work/out$n.json" 2>"$work/err$n" || rc=$?
    [ "$rc" -eq "$want" ] || fail "$preset: exit $rc, not $want: $(tail -2 "$work/err$n")"
    /usr/bin/python3 - "$work/out$n.json" "$topic" "$verdict" "$text" "$schema" <<'PY' || fail "$preset: $topic"
import json, sys
doc = json.load(open(sys.argv[1]))
topic, verdict, text = sys.argv[2:5]
found = [f for d in doc["disks"] for f in d["findings"] if f["topic"] == topic]
if not any(f["verdict"] == verdict and (text in f["text"] or text in (f["advice"] or "")) for f in found):
    print("no %s finding %r with %r in %r" % (verdict, topic, text, found))
    sys.exit(1)
try:
    import jsonschema
except ImportError:
    sys.exit(0)
try:
    jsonschema.validate(doc, json.load(open(sys.argv[5])))
except jsonschema.ValidationError as e:
    print("not valid against the schema:", str(e).splitlines()[0][:300])
    sys.exit(1)
PY
    grep -q " out " "$work/trace$n" && fail "$preset: doctor sent a data-out command: $(grep " out " "$work/trace$n" | head -2)"
    # (A node that does not open takes no command at all.)
    [[ $preset == *denied* ]] || [ -s "$work/trace$n" ] || fail "$preset: no command in the trace"
done
# The text form says the same, with the verdict first.
"$fw" --simulate plain-disk --simulate quince doctor >"$work/text" 2>&1
grep -q "^sim:sg0 (USB, usb-storage, port sim-port0): WARN" "$work/text" &&
    grep -q "^  WARN vendor probe: not a bridge" "$work/text" && grep -q "^sim:sg1 .*: OK$" "$work/text" ||
    fail "the text form: $(cat "$work/text")"
# A disk whose first commands fail is listed as not identified, with the
# command, why, and a pointer here; on its own it is an error (exit 3).
"$fw" --simulate "dogwood:fault=error@2" --simulate quince list >"$work/list" 2>&1
grep -q "^sim:sg0: not identified: vendor probe failed (Input/output error); .brigant-fw doctor --device sim:sg0. tells more" "$work/list" ||
    fail "list with a failing vendor probe: $(cat "$work/list")"
"$fw" --simulate "dogwood:fault=error@2" --simulate quince list --json 2>/dev/null |
    /usr/bin/python3 -c 'import json,sys; d=json.load(sys.stdin); sys.exit(d["unidentified"] != [{"path": "sim:sg0", "reason": "vendor probe failed (Input/output error)"}] or len(d["devices"]) != 1)' ||
    fail "list --json does not name the unidentified disk"
rc=0
"$fw" --simulate "nutmeg:fault=error@3" list >"$work/list" 2>&1 || rc=$?
[ "$rc" -eq 3 ] && grep -q "^error: sim:sg0: not identified: INQUIRY failed (Input/output error)" "$work/list" ||
    fail "list of a failing INQUIRY alone: exit $rc, $(cat "$work/list")"
[ "$failed" -eq 0 ] && echo "doctor: ${#rows[@]} findings, read commands only"
exit "$failed"
