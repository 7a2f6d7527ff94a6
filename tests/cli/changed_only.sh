#!/usr/bin/env bash
# update --changed-only on every updatable bridge: from the same state, it
# leaves the flash (or disk) exactly as the whole update does, and `verify`
# then says VERIFIED. Where the family writes by erase blocks it erases only
# the blocks that differ (its JSON layout, strictly less than the whole
# write) and takes less simulated time; everywhere else it says that the
# whole image goes. Prints a table of simulated times for docs/benchmarks.md.
# The images of the presets fit one or two erase units (64 KiB for the
# block-wise families, the part's block for the firmware-assisted ones), so
# there it erases about what the whole update erases.
# Usage: changed_only.sh BRIGANT_FW BRIGANT_SIM_IMAGE
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
# The rows whose update writes by erase blocks.
by_blocks=" 7 ginkgo | 11 non-sst | 12 block-wise | 12 sst | 9 juniper | 12 assisted | 13 nutmeg | 14 willow | 14 teak | 14 yew | 27 aspen "
state_sum() { (cd "$1" && find . -type f ! -name xdata.bin | sort | xargs md5sum); }
sim_ms() { sed -n 's/^simulated time: \([0-9.]*\) s$/\1/p' "$1" | tail -1; }
# erase bytes, write bytes, whole-write bytes of a report's layout.
layout_bytes() {
    /usr/bin/python3 -c '
import json, sys
l = json.load(open(sys.argv[1]))["layout"]
size = lambda rs: sum(r["end"] - r["start"] for r in rs)
print(size(l["erase"]), size(l["write"]), size(l["differing"]))' "$1"
}

# The erase and program commands of trace $1 that lie outside the erase
# ranges of the layout in report $2 (none: nothing printed).
outside_erase() {
    /usr/bin/python3 - "$1" "$2" <<'PY'
import json, sys
erase = json.load(open(sys.argv[2]))["layout"]["erase"]
seen = 0
for line in open(sys.argv[1]):
    words = line.split()
    if len(words) < 3 or words[1] != "out":
        continue
    cdb = []
    for w in words[2:]:
        if "=" in w:
            break
        cdb.append(int(w, 16))
    if cdb[:3] in ([0xFF, 0x04, 0x14], [0xFF, 0x04, 0x11]):
        at = cdb[3] << 16 | cdb[4] << 8 | cdb[5]
    elif len(cdb) >= 12 and cdb[0] == 0xDF and cdb[11] == 0xFB:
        at = cdb[8] << 16 | cdb[9] << 8 | cdb[10]
    else:
        continue
    seen += 1
    if not any(r["start"] <= at < r["end"] for r in erase):
        print("a write or erase at", hex(at), "outside", erase)
if not seen:
    print("no erase or program command in the trace")
PY
}
printf '%-16s %10s %14s %6s\n' bridge "full, s" "changed, s" ratio
for row in "${cases[@]}"; do
    IFS='|' read -r label device new kept expect <<<"$row"
    [ "$expect" = ok ] || continue
    dir="$work/${label// /-}"
    mkdir -p "$dir"
    "$image" "$(merged "$device" "$new")" -o "$dir/fw.bin" >/dev/null 2>&1 ||
        { fail "$label: brigant-sim-image"; continue; }
    "$fw" --simulate "$device" --sim-state "$dir/start" info >/dev/null 2>&1
    for way in full changed; do
        rm -rf "$dir/$way" && cp -r "$dir/start" "$dir/$way"
    done
    XDG_STATE_HOME="$dir/xdg" "$fw" --simulate "$device" --sim-state "$dir/full" update --yes --no-backup \
        "$dir/fw.bin" >/dev/null 2>"$dir/full.err" || { fail "$label: the whole update failed"; continue; }
    XDG_STATE_HOME="$dir/xdg" "$fw" --simulate "$device" --sim-state "$dir/changed" --trace "$dir/trace" \
        update --yes --no-backup --changed-only --json "$dir/fw.bin" >"$dir/changed.json" 2>"$dir/changed.err"
    rc=$?
    [ "$rc" -eq 0 ] || { fail "$label: --changed-only exit $rc"; tail -5 "$dir/changed.err"; continue; }
    [ "$(state_sum "$dir/full")" = "$(state_sum "$dir/changed")" ] ||
        fail "$label: --changed-only left another flash than the whole update"
    XDG_STATE_HOME="$dir/xdg" "$fw" --simulate "$device" --sim-state "$dir/changed" verify "$dir/fw.bin" \
        >"$dir/verify.out" 2>&1 || fail "$label: verify after --changed-only: $(tail -1 "$dir/verify.out")"
    full=$(sim_ms "$dir/full.err")
    changed=$(sim_ms "$dir/changed.err")
    read -r erased written differing <<<"$(layout_bytes "$dir/changed.json")"
    if [[ $by_blocks == *" $label "* ]]; then
        [ "$differing" -gt 0 ] || fail "$label: the new file differs nowhere from the flash"
        # Whole erase units around what differs, and only what it erases is programmed.
        [ $((erased % 4096)) -eq 0 ] && [ "$erased" -ge "$differing" ] && [ "$written" -le "$erased" ] ||
            fail "$label: erases $erased and writes $written bytes for $differing differing"
        /usr/bin/python3 -c 'import sys; sys.exit(not float(sys.argv[2]) <= float(sys.argv[1]))' "$full" "$changed" ||
            fail "$label: --changed-only took $changed s, the whole update $full s"
        grep -q "takes the whole image" "$dir/changed.err" && fail "$label: says it takes the whole image"
        out=$(outside_erase "$dir/trace" "$dir/changed.json")
        [ -z "$out" ] || fail "$label: $out"
    else
        grep -q "^note: --changed-only: .* takes the whole image: " "$dir/changed.err" ||
            fail "$label: does not say that the whole image goes"
    fi
    printf '%-16s %10s %14s %6s\n' "$label" "$full" "$changed" \
        "$(/usr/bin/python3 -c 'import sys; f=float(sys.argv[1]); print("%.2f" % (float(sys.argv[2]) / f if f else 0))' "$full" "$changed")"
done

# A file past one erase unit (the image with 160 KiB of random bytes after
# it), then the same with one byte changed at 150 KiB: --changed-only erases
# and programs the one erase unit around it, leaves the flash the whole
# update leaves, and takes less time. Its floor is what one erase unit
# costs: the time of a second changed unit (a byte at 70 KiB changed too)
# less the time of the first (reads take no simulated time here). The
# one-sector change takes at most 1.2 times that.
printf '%-22s %10s %14s %6s %8s %9s\n' bridge "full, s" "changed, s" ratio "floor, s" "to floor"
for row in "7 ginkgo|ginkgo|ext=2.3.4.5|65536" "11 non-sst|larch:flash=M25P40|ext=2.3.4.5|65536" \
    "9 juniper|juniper|ext=2.3.4.5,nvram=1|65536"; do
    IFS='|' read -r label device new unit <<<"$row"
    dir="$work/large-${label// /-}"
    mkdir -p "$dir"
    "$image" "$(merged "$device" "$new")" -o "$dir/fw.bin" >/dev/null 2>&1 || { fail "$label: brigant-sim-image"; continue; }
    one_sector_change "$dir/fw.bin" "$dir/a.bin" "$dir/b.bin"
    "$fw" --simulate "$device" --sim-state "$dir/start" info >/dev/null 2>&1
    XDG_STATE_HOME="$dir/xdg" "$fw" --simulate "$device" --sim-state "$dir/start" update --yes --no-backup \
        "$dir/a.bin" >/dev/null 2>&1 || { fail "$label: the large file was not written"; continue; }
    for way in full changed; do
        cp -r "$dir/start" "$dir/$way"
    done
    XDG_STATE_HOME="$dir/xdg" "$fw" --simulate "$device" --sim-state "$dir/full" update --yes --json \
        "$dir/b.bin" >"$dir/full.json" 2>"$dir/full.err" || { fail "$label: the whole update of b failed"; continue; }
    XDG_STATE_HOME="$dir/xdg" "$fw" --simulate "$device" --sim-state "$dir/changed" --trace "$dir/trace" \
        update --yes --no-backup --changed-only --json "$dir/b.bin" >"$dir/changed.json" 2>"$dir/changed.err" ||
        { fail "$label: --changed-only of b failed"; tail -3 "$dir/changed.err"; continue; }
    [ "$(state_sum "$dir/full")" = "$(state_sum "$dir/changed")" ] ||
        fail "$label (large): --changed-only left another flash than the whole update"
    read -r erased written differing <<<"$(layout_bytes "$dir/changed.json")"
    [ "$erased" -eq "$unit" ] && [ "$differing" -eq 4096 ] ||
        fail "$label (large): erases $erased bytes for $differing differing, not $unit"
    # The backup before it holds all that the whole update of it may change.
    /usr/bin/python3 -c '
import json, sys
l = json.load(open(sys.argv[1]))["layout"]
end = lambda rs: max([r["end"] for r in rs] or [0])
sys.exit(not end(l["backup"]) >= end(l["write"]))' "$dir/full.json" ||
        fail "$label (large): the backup ends before the write: $(cat "$dir/full.json" | head -c 600)"
    # Every erase and program command of its trace lies in the layout's erase ranges.
    out=$(outside_erase "$dir/trace" "$dir/changed.json")
    [ -z "$out" ] || fail "$label (large): $out"
    /usr/bin/python3 -c '
import sys
b = bytearray(open(sys.argv[1], "rb").read())
b[70 * 1024] ^= 0xFF
open(sys.argv[2], "wb").write(b)' "$dir/b.bin" "$dir/c.bin"
    cp -r "$dir/start" "$dir/two"
    XDG_STATE_HOME="$dir/xdg" "$fw" --simulate "$device" --sim-state "$dir/two" update --yes --no-backup \
        --changed-only --json "$dir/c.bin" >"$dir/two.json" 2>"$dir/two.err" ||
        { fail "$label: --changed-only of two changed units failed"; continue; }
    read -r erased _ _ <<<"$(layout_bytes "$dir/two.json")"
    [ "$erased" -eq $((2 * unit)) ] || fail "$label (large): erases $erased bytes for two changed units"
    full=$(sim_ms "$dir/full.err")
    changed=$(sim_ms "$dir/changed.err")
    two=$(sim_ms "$dir/two.err")
    read -r ratio floor to_floor <<<"$(/usr/bin/python3 -c '
import sys
full, one, two = map(float, sys.argv[1:])
floor = two - one
print("%.2f %.2f %.2f" % (one / full, floor, one / floor if floor > 0 else 99))' "$full" "$changed" "$two")"
    /usr/bin/python3 -c 'import sys; sys.exit(not float(sys.argv[2]) < float(sys.argv[1]))' "$full" "$changed" ||
        fail "$label (large): --changed-only took $changed s, the whole update $full s"
    /usr/bin/python3 -c 'import sys; sys.exit(not float(sys.argv[1]) <= 1.2)' "$to_floor" ||
        fail "$label (large): one changed sector takes $to_floor times its floor ($changed s against $floor s)"
    printf '%-22s %10s %14s %6s %8s %9s\n' "$label, 196 KiB" "$full" "$changed" "$ratio" "$floor" "$to_floor"
done
[ "$failed" -eq 0 ] && echo "--changed-only leaves every bridge as the whole update does"
exit "$failed"
