#!/usr/bin/env bash
# brigant-fw report on two simulated bridges: the archive holds each part,
# the recordings' twins give the same info as the bridges, no serial number
# is left unhashed (unless --no-redact), and an existing file is kept.
# Usage: report.sh BRIGANT_FW
set -uo pipefail
fw=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_STATE_HOME=$work/state HOME=$work
failed=0
fail() {
    echo "FAILED: $*"
    failed=1
}
cd "$work" || exit 1
sims=(--simulate "quince:serial=QX7734KL09" --simulate nutmeg --sim-state "$work/sim")
mkdir "$work/sim"
# A journal entry, so that the journal is in the bundle too.
"$fw" "${sims[@]}" update --yes --embedded >/dev/null 2>&1 || fail "the update before the report: exit $?"
"$fw" "${sims[@]}" report -o r.tar.gz >out 2>err || fail "report: exit $?: $(cat err)"
grep -q "^report: r.tar.gz holds .* 2 bridges; serial numbers are hashed" out || fail "report said: $(cat out)"
mkdir x && tar -xzf r.tar.gz -C x || fail "not a gzip tar archive"
b=x/brigant-report
for f in README.txt commands.txt versions.txt stderr.txt doctor.json list.json info-0.json info-1.json \
    record-0.json record-1.json history.json; do
    [ -s "$b/$f" ] || fail "no $f in the archive"
done
ls "$b"/journal/*.json >/dev/null 2>&1 || fail "no journal file in the archive"
grep -q "^kernel: Linux" "$b/versions.txt" && grep -q "^brigant-fw " "$b/versions.txt" || fail "versions: $(cat "$b/versions.txt")"
grep -q "(exit 0)$" "$b/commands.txt" && ! grep -v "(exit 0)$" "$b/commands.txt" ||
    fail "a part did not exit 0: $(cat "$b/commands.txt")"
grep -rq "/tmp/brigant-report\." "$b" && fail "the archive names the folder it was made in"
# No serial as it was, as text or as the bytes of a command's answer.
for serial in SIM0000000 QX7734KL09; do
    hex=$(printf %s "$serial" | od -An -tx1 | tr -d ' \n')
    grep -rqiF -e "$serial" -e "$hex" "$b" && fail "$serial is in the archive unhashed"
done
grep -q '"serial": "serial-[0-9a-f]\{16\}"' "$b/list.json" || fail "list.json has no hashed serial"
# Each recording's twin, the two simulated as the bridges were, gives the same info.
for n in 0 1; do
    "$fw" --simulate "@$b/record-0.json" --simulate "@$b/record-1.json" info --index "$n" --json >"twin$n" 2>/dev/null ||
        fail "the twin of bridge $n: exit $?"
    /usr/bin/python3 -c 'import json,sys; a,b=(json.load(open(f)) for f in sys.argv[1:]); sys.exit(a != b)' \
        "$b/info-$n.json" "twin$n" || fail "the twin of bridge $n says other than the bridge: $(diff "$b/info-$n.json" "twin$n" | head -5)"
done
# The same serial hashes the same in the next report; --no-redact keeps it.
"$fw" "${sims[@]}" report -o r2.tar.gz --no-redact >/dev/null 2>&1 || fail "report --no-redact: exit $?"
tar -xzOf r2.tar.gz brigant-report/list.json >list2.json
grep -q QX7734KL09 list2.json || fail "--no-redact hashed the serial"
# A serial that also sits in binary data (here the vendor name the INQUIRY
# answers carry, "Velkor") is replaced there too, as ASCII and as UTF-16LE,
# by a stand-in of its length.
"$fw" --simulate "nutmeg:serial=Velkor" report -o v.tar.gz >/dev/null 2>&1 || fail "report of serial Velkor: exit $?"
mkdir v && tar -xzf v.tar.gz -C v
grep -rqiF -e Velkor -e 56656c6b6f72 -e 560065006c006b006f007200 v && fail "Velkor is in the archive: $(grep -rliF -e Velkor -e 56656c6b6f72 v | head -3)"
grep -qi '"data": "[0-9a-f]*' v/brigant-report/record-0.json || fail "the recording lost its answers' data"
# An existing file is refused, and kept, unless --force.
cp r.tar.gz kept
rc=0
"$fw" "${sims[@]}" report -o r.tar.gz >out 2>err || rc=$?
[ "$rc" -eq 2 ] && grep -q "r.tar.gz exists" err && cmp -s r.tar.gz kept || fail "existing file: exit $rc, $(cat err)"
"$fw" "${sims[@]}" report -o r.tar.gz --force >/dev/null 2>&1 || fail "--force: exit $?"
[ "$failed" -eq 0 ] && echo "report: archive, twins, redaction and an existing file"
exit "$failed"
