#!/usr/bin/env bash
# The JSON of list and info is read back by a parser: a non-ASCII mount point
# comes back as the same text, and a device name that is not UTF-8 still
# leaves a valid document.
# Usage: json_readback.sh BRIGANT_FW
set -euo pipefail
tool=$1
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
assert d["window"]["chipIdentity"]["ChipTypeCode"] == 16, d["window"]
'
echo "list and info JSON read back"
