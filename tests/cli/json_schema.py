#!/usr/bin/env python3
"""Every verb's --json document, validated against its part of
docs/json-schema.json and against the whole file, which also refuses
documents no verb prints: successes, a refusal, a failure (a stop is
validated by write_pty.py).
Each row: the schema's part, the arguments, the exit status expected.
Usage: json_schema.py BRIGANT_FW BRIGANT_SIM_IMAGE SCHEMA"""
import json
import os
import subprocess
import sys
import tempfile
import time

try:
    import jsonschema
except ImportError:
    # Another python3 first on the PATH: the system's has python3-jsonschema.
    if sys.executable != "/usr/bin/python3" and os.path.exists("/usr/bin/python3"):
        os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)
    raise

fw, image, schema_file = sys.argv[1:4]
schema = json.load(open(schema_file, encoding="utf-8"))
work = tempfile.mkdtemp()
env = dict(os.environ, XDG_STATE_HOME=os.path.join(work, "xdg"))
nut = os.path.join(work, "nut.bin")
subprocess.run([image, "nutmeg:ext=2.3.4.5", "-o", nut], check=True, capture_output=True)
state = ["--sim-state", os.path.join(work, "s")]
rom = ["--simulate", "quince:rom=1", "--sim-state", os.path.join(work, "r")]
two = ["--simulate", "nutmeg", "--simulate", "quince"] + state

rows = [
    ("list", two + ["list", "--json"], 0),
    ("list", two + ["list", "--json", "--verbose"], 0),
    ("info", two + ["info", "--json"], 0),
    ("info", two + ["info", "--json", "--verbose"], 0),
    ("check", ["check", "--chip", "13", nut, "--json"], 0),
    ("check", ["check", "--chip", "16", nut, "--json"], 1),
    ("check", two + ["check", nut, "--json"], 0),  # update would write it on device 0
    ("report", two + ["verify", nut, "--json"], 1),
    ("report", two + ["verify", "--raw", nut, "--json"], 2),  # not as large as the flash: refused
    ("report", two + ["update", nut, "--json"], 2),  # no terminal, no --yes: refused
    ("report", two + ["update", nut, "--yes", "--json"], 0),
    ("report", two + ["verify", nut, "--json"], 0),
    ("report", two + ["backup", os.path.join(work, "b.bin"), "--json"], 0),
    ("report", two + ["verify", "--raw", os.path.join(work, "b.bin"), "--json"], 0),
    ("report", two + ["repair", "--yes", "--json"], 4),
    ("report", two + ["update", "--embedded", "--index", "1", "--yes", "--json"], 0),
    ("check", ["--simulate", "quince", "check", "--embedded", "--json"], 0),
    ("report", ["--simulate", "quince:fault=powerloss@200", "--sim-state", os.path.join(work, "cut"),
                "update", "--embedded", "--yes", "--json"], 1),
    ("report", two + ["erase", "--yes", "--json"], 0),
    ("report", ["--simulate", "nutmeg", "update", nut, "--yes", "--rehearse", "--json"], 0),
    ("report", two + ["recover", "--index", "1", "--yes", "--json"], 4),
    ("report", rom + ["recover", "--yes", "--json"], 1),  # the preset stays in its ROM
    ("updateAll", two + ["update", "--all", nut, "--json"], 2),  # no terminal, no --yes: refused
    ("updateAll", two + ["update", "--all", nut, "--yes", "--json"], 0),  # quince skipped
    ("updateAll", ["--simulate", "nutmeg:fault=powerloss@230", "--simulate", "nutmeg",
                   "update", "--all", nut, "--yes", "--json"], 1),
    ("history", ["history", "--json"], 0),
]
# A bridge another brigant-fw updates (its waits paced in real time): the
# second program's documents, checked first, say it is busy and name it.
busy = ["--simulate", "nutmeg", "--sim-state", os.path.join(work, "busy")]
busy_rows = [
    ("report", busy + ["update", nut, "--yes", "--json"], 6),
    ("list", busy + ["list", "--json"], 0),
    ("info", busy + ["info", "--json"], 6),
]
rows = busy_rows + rows
holder = subprocess.Popen([fw] + busy + ["update", nut, "--yes"], env=dict(env, BRIGANT_SIM_PACE="1"),
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
for _ in range(100):
    listed = subprocess.run([fw] + busy + ["list", "--json"], capture_output=True, text=True, env=env)
    if '"busy": "the bridge' in listed.stdout:
        break
    time.sleep(0.1)
failed = 0
for kind, args, want in rows:
    run = subprocess.run([fw] + args, capture_output=True, text=True, env=env)
    where = "%s (%s)" % (" ".join(args), kind)
    try:
        doc = json.loads(run.stdout)
        jsonschema.validate(doc, {"$schema": schema["$schema"], "$defs": schema["$defs"], "$ref": "#/$defs/" + kind})
        jsonschema.validate(doc, schema)  # the whole file: exactly one of its documents
        if run.returncode != want:
            raise ValueError("exit %d, expected %d" % (run.returncode, want))
        if kind == "report" and doc["exit_status"] != run.returncode:
            raise ValueError("exit_status %r, exit %d" % (doc["exit_status"], run.returncode))
        if kind in ("list", "info") and ("window" in json.dumps(doc)) != ("--verbose" in args):
            raise ValueError("the window's fields are shown with --verbose only")
    except (ValueError, jsonschema.ValidationError) as e:
        failed = 1
        print("FAILED: %s: %s\n%s%s" % (where, str(e).splitlines()[0], run.stdout[:2000], run.stderr[-1500:]))
    if (kind, args, want) in busy_rows:
        if "is busy: brigant-fw update (PID %d" % holder.pid not in run.stdout:
            failed = 1
            print("FAILED: %s: the holder is not named\n%s" % (where, run.stdout[:2000]))
holder.wait()
# The station log of update --all: one JSON line per bridge, each a row of
# the schema; the CSV has its header and as many rows.
log_json, log_csv = os.path.join(work, "station.jsonl"), os.path.join(work, "station.csv")
station = ["--simulate", "nutmeg", "--simulate", "quince", "--sim-state", os.path.join(work, "station")]
run = subprocess.run([fw] + station + ["update", "--all", nut, "--yes", "--log", log_csv, "--log-json", log_json],
                     capture_output=True, text=True, env=env)
try:
    lines = [json.loads(line) for line in open(log_json, encoding="utf-8")]
    for line in lines:
        jsonschema.validate(line, {"$schema": schema["$schema"], "$defs": schema["$defs"],
                                   "$ref": "#/$defs/stationLogRow"})
    results = sorted((line["device"], line["result"], line["verify"]) for line in lines)
    if results != [("sim:sg0", "success", "verified"), ("sim:sg1", "skipped", "-")]:
        raise ValueError("rows %r" % results)
    csv = open(log_csv, encoding="utf-8").read().splitlines()
    if len(csv) != 3 or not csv[0].startswith("time,slot,port,bridge_serial,unit_serial,unit_serial_read,device"):
        raise ValueError("CSV %r" % csv)
except (OSError, ValueError, jsonschema.ValidationError) as e:
    failed = 1
    print("FAILED: the station log: %s\n%s" % (str(e).splitlines()[0], run.stderr[-1500:]))

# The whole file is no catch-all: what no verb prints does not validate.
wrong = [42, {}, {"verb": "list"}, {"verb": "format", "devices": []}, {"verb": "history", "journal": "x"}]
for doc in wrong:
    try:
        jsonschema.validate(doc, schema)
        failed = 1
        print("FAILED: %s validates against the whole schema" % json.dumps(doc))
    except jsonschema.ValidationError:
        pass
print("%d documents checked, %d wrong ones refused" % (len(rows), len(wrong)))
sys.exit(failed)
