#!/usr/bin/env bash
# The JSON of list and info is read back by a parser: a non-ASCII mount point
# comes back as the same text, and a device name that is not UTF-8 still
# leaves a valid document.
# Usage: json_readback.sh BRIGANT_FW BRIGANT_SIM_IMAGE
set -euo pipefail
tool=$1
image=$2
sim="quince:mount=/media/José:/mnt/a b,product=Caf$(printf '\xe9')"
"$tool" --simulate "$sim" list --json 2>/dev/null | python3 -c '
import json, sys
d = json.load(sys.stdin)
dev = d["devices"][0]
assert dev["mountPoints"] == ["/media/José", "/mnt/a b"], dev["mountPoints"]
assert dev["chip"] == {"name": "Quince Series", "typeCode": 16, "subRevision": 0}, dev["chip"]
assert dev["firmwareVersion"] == "1.1.0.8" and dev["product"].startswith("Velkor Caf"), dev
assert d["builtInImage"]["device0"] == "offered", d["builtInImage"]
'
"$tool" --simulate "$sim" info --json 2>/dev/null | python3 -c '
import json, sys
d = json.load(sys.stdin)
assert d["mountPoints"] == ["/media/José", "/mnt/a b"], d["mountPoints"]
assert d["chip"]["supported"] and d["flash"]["sizeKb"] == 512, d
assert "window" not in d and d["runsFromRom"] is False, d
'
# The window-level fields come with --verbose only.
"$tool" --simulate "$sim" info --json --verbose 2>/dev/null | python3 -c '
import json, sys
d = json.load(sys.stdin)
assert d["window"]["chipIdentity"]["ChipTypeCode"] == 16, d
'
# A buffer-path bridge left in its ROM says so, in list and info, whatever its code.
for verb in list info; do
    "$tool" --simulate spruce:rom=1 "$verb" --json 2>/dev/null | python3 -c '
import json, sys
d = json.load(sys.stdin)
d = d["devices"][0] if "devices" in d else d
assert d["runsFromRom"] is True, d
'
done
# A write verb's final report: JSON alone on standard output, its backup named.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
XDG_STATE_HOME="$work/state" "$tool" --simulate quince --sim-state "$work/s" update --embedded --yes --json \
    2>/dev/null | python3 -c '
import json, os, sys
d = json.load(sys.stdin)
assert d["verb"] == "update" and d["result"] == "success" and d["exit_status"] == 0, d
assert d["status"] == "passed" and d["chip"]["typeCode"] == 16, d
assert os.path.getsize(d["backup"]["file"]) == 512 * 1024 and d["backup"]["to"] == "0x7FFFF", d["backup"]
assert d["firmware"] == {"before": "1.1.0.8", "after": "1.1.1.0"}, d["firmware"]
'
# Refused without a terminal and without --yes: still a report, with its exit code.
status=0
"$tool" --simulate quince update --embedded --json >"$work/refused" 2>/dev/null || status=$?
[ "$status" -eq 2 ] || { echo "update --embedded --json without --yes: exit $status, expected 2"; exit 1; }
python3 -c '
import json, sys
d = json.load(open(sys.argv[1]))
assert d["result"] == "refused" and d["exit_status"] == 2 and d["backup"] is None, d
assert d["reason"] and d["messages"][0]["severity"] == "error", d
' "$work/refused"
# The document's messages are what was said on standard error, in order,
# severity and text alike (a message said in parts counts once), the last
# with the code given.
said() {
    local status=0 code=$1
    shift
    "$tool" "$@" --json >"$work/doc" 2>"$work/err" || status=$?
    python3 -c '
import json, sys
d = json.load(open(sys.argv[1]))
names = {"error: ": "error", "warning: ": "warning", "note: ": "information"}
lines = [{"severity": names[p], "text": l[len(p):]} for l in open(sys.argv[2]).read().splitlines()
         for p in names if l.startswith(p)]
got = [{"severity": m["severity"], "text": m["text"]} for m in d["messages"]]
assert lines and got == lines, (d["messages"], lines)
assert d["exit_status"] == int(sys.argv[3]), d
assert d["messages"][-1]["code"] == sys.argv[4], d["messages"]
' "$work/doc" "$work/err" "$status" "$code"
}
said refused --simulate quince update --embedded
said usage --simulate quince --simulate nutmeg update --embedded --yes --index 5
# A bridge whose buffer is not as the buffer path needs: refused before the
# question and the backup; the status says "refused: ...", the reason is the
# cause alone.
"$image" quince:version=3.2 -o "$work/q32.bin" >/dev/null
status=0
XDG_STATE_HOME="$work/state" "$tool" --simulate quince:ext=31.25.1.5 update --yes --json "$work/q32.bin" \
    >"$work/doc" 2>/dev/null || status=$?
python3 -c '
import json, sys
d = json.load(open(sys.argv[1]))
assert d["result"] == "refused" and d["exit_status"] == int(sys.argv[2]) == 2, d
assert d["status"].startswith("refused: ") and "Offset Boundary" in d["status"], d["status"]
assert "Offset Boundary" in d["reason"] and not d["reason"].startswith(("refused", "FAILED")), d["reason"]
assert d["backup"] is None, d["backup"]
# The message of the refusal carries the values its text names.
m = [m for m in d["messages"] if m["code"] == "refused"]
assert m and m[0]["fields"]["refusal"] == "buffer not ready" and m[0]["fields"]["file"].endswith("q32.bin"), d["messages"]
' "$work/doc" "$status"
echo "list, info and update JSON read back"
