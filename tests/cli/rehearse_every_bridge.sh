#!/usr/bin/env bash
# --rehearse on every updatable bridge: `update --rehearse` (and `erase
# --rehearse`) leave the flash (or disk) exactly as the same verb without
# it, the rehearsal's planned ranges are the 4 KiB sectors that changed on
# the device, and a file the twin refuses leaves the device unwritten: its
# trace holds no writing command that `list` does not send.
# Usage: rehearse_every_bridge.sh BRIGANT_FW BRIGANT_SIM_IMAGE
set -uo pipefail
fw=$1
image=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source "$(dirname "$0")/bridge_rows.sh"
failed=0
fail() {
    echo "FAILED: $*"
    failed=1
}

# The changed sectors of a store between two states, as the plan lists them;
# for a disk the store is the bridge's firmware area (64 KiB from its start).
changed() {
    /usr/bin/python3 - "$@" <<'PY'
import json, os, sys
a, b = sys.argv[1], sys.argv[2]
disk = os.path.basename(a) == "disk.img"
x, y = open(a, "rb").read(), open(b, "rb").read()
if disk:
    sectors = len(x) // 512 - 16
    lba = (sectors - 2) // 256 * 256 - 256
    x, y = x[lba * 512:lba * 512 + 0x10000], y[lba * 512:lba * 512 + 0x10000]
out = []
for at in range(0, min(len(x), len(y)), 4096):
    if x[at:at + 4096] == y[at:at + 4096]:
        continue
    kind = "erased" if y[at:at + 4096] == b"\xff" * len(y[at:at + 4096]) else "written"
    if out and out[-1][0] == kind and out[-1][2] == at:
        out[-1][2] = at + 4096
    else:
        out.append([kind, at, at + 4096])
print(json.dumps(out))
PY
}
# Whether every changed sector lies where the plan's layout says the write
# goes (a written one in its write ranges, an erased one in its erase or
# write ranges), and every sector the plan found different changed. Prints
# what disagrees; nothing when all agrees.
outside_layout() {
    /usr/bin/python3 - "$1" "$2" <<'PY'
import json, sys
changed = json.loads(sys.argv[1])
layout = json.load(open(sys.argv[2]))["rehearsal"]["layout"]
if layout is None:
    print("no layout")
    sys.exit()
def inside(start, end, ranges):
    return all(any(r["start"] <= at < r["end"] for r in ranges) for at in range(start, end, 4096))
for kind, start, end in changed:
    where = layout["write"] if kind == "written" else layout["write"] + layout["erase"]
    if not inside(start, end, where):
        print(kind, hex(start), hex(end), "outside", json.dumps(layout))
# The sectors the plan found different are sectors the write changed.
ranges = [{"start": s, "end": e} for _, s, e in changed]
for r in layout["differing"]:
    if not inside(r["start"], r["end"], ranges):
        print("differing", hex(r["start"]), hex(r["end"]), "unchanged by the write")
PY
}
planned() { /usr/bin/python3 -c 'import json,sys; print(json.dumps([[r["kind"], r["start"], r["end"]] for r in json.load(open(sys.argv[1]))["rehearsal"]["ranges"]]))' "$1"; }
store_of() { [ -e "$1/disk.img" ] && echo "$1/disk.img" || echo "$1/flash.bin"; }
# The files of a state that the verbs change (the bridge's RAM aside).
state_sum() { (cd "$1" && find . -type f ! -name xdata.bin | sort | xargs md5sum); }

rows=0
for row in "${cases[@]}"; do
    IFS='|' read -r label device new kept expect <<<"$row"
    [ "$expect" = ok ] || continue
    dir="$work/${label// /-}"
    mkdir -p "$dir"
    target=$(merged "$device" "${new//,nvram=1/}")
    "$image" "$target" -o "$dir/fw.bin" >/dev/null 2>&1 || { fail "$label: brigant-sim-image $target"; continue; }
    "$fw" --simulate "$device" --sim-state "$dir/start" info >/dev/null 2>&1
    for verb in update erase; do
        args=(update --yes "$dir/fw.bin")
        [ "$verb" = erase ] && args=(erase --yes)
        for way in plain rehearsed; do
            rm -rf "$dir/$way" && cp -r "$dir/start" "$dir/$way"
        done
        XDG_STATE_HOME="$dir/xdg" "$fw" --simulate "$device" --sim-state "$dir/plain" "${args[@]}" >"$dir/plain.out" 2>&1
        rc_plain=$?
        XDG_STATE_HOME="$dir/xdg" "$fw" --simulate "$device" --sim-state "$dir/rehearsed" "${args[@]}" --rehearse --json \
            >"$dir/rehearsed.json" 2>"$dir/rehearsed.err"
        rc=$?
        [ "$rc" -eq "$rc_plain" ] || { fail "$label $verb: exit $rc with --rehearse, $rc_plain without"; sed 's/^/    /' "$dir/rehearsed.err" | tail -15; continue; }
        [ "$(state_sum "$dir/plain")" = "$(state_sum "$dir/rehearsed")" ] ||
            fail "$label $verb: the device differs from the one written without a rehearsal"
        want=$(changed "$(store_of "$dir/start")" "$(store_of "$dir/rehearsed")")
        got=$(planned "$dir/rehearsed.json")
        [ "$got" = "$want" ] || fail "$label $verb: planned $got, changed $want"
        if [ "$verb" = update ] && [ "$rc" -eq 0 ]; then
            out=$(outside_layout "$want" "$dir/rehearsed.json")
            [ -z "$out" ] || fail "$label update: the plan's layout misses what changed: $out"
        fi
    done
    rows=$((rows + 1))
done
echo "$rows bridges rehearsed and written"

# The device at --index 1 rehearses on its twin, which is alone on its bus.
"$image" ginkgo:ext=2.3.4.5 -o "$work/g.bin" >/dev/null 2>&1
"$fw" --simulate alder --simulate ginkgo update --index 1 --yes --rehearse "$work/g.bin" >"$work/index.out" 2>&1 ||
    fail "--index 1: $(tail -3 "$work/index.out")"

# A file too large for the flash: the rehearsal refuses, and the device only
# saw what listing sends.
d="$work/toolarge"
mkdir -p "$d"
"$image" ginkgo:ext=2.3.4.5 -o "$d/fw.bin" >/dev/null 2>&1
head -c $((1024 * 1024)) /dev/zero >>"$d/fw.bin"
"$fw" --simulate ginkgo --trace="$d/list.trace" list >/dev/null 2>&1
rc=0
"$fw" --simulate ginkgo --sim-state "$d/S" --trace="$d/update.trace" update --yes --rehearse "$d/fw.bin" >"$d/out" 2>&1 || rc=$?
[ "$rc" -ne 0 ] || fail "too large: the rehearsal did not refuse"
grep -q "^error: the rehearsal of update failed" "$d/out" || fail "too large: no reason given: $(cat "$d/out")"
while read -r cdb; do
    grep -qF " out $cdb " "$d/list.trace" || fail "too large: the device got out $cdb, which list does not send"
done < <(sed -n 's/^[^ ]* out \(.*\) len=.*/\1/p' "$d/update.trace" | sort -u)
[ "$failed" -eq 0 ] && echo "every rehearsal planned what the write did, and a refused one wrote nothing"
exit "$failed"
