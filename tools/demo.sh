#!/usr/bin/env bash
# The main job on a simulated bridge, so it works without hardware: the
# one-button update of a code-16 bridge with the firmware built into the
# program, then a second run that finds nothing to do; then one bridge of
# each other update family updated from a firmware file made by
# brigant-sim-image; last, the table of what it updated.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh
tools/build.sh build
state=$(mktemp -d)
trap 'rm -rf "$state"' EXIT
fw=(build/cli/brigant-fw --simulate quince --sim-state "$state")
version() { awk -F'"' '/^  FwVerLableEdit / { print $4 }'; }
updated=()

echo "== the simulated bridge as the window lists it"
"${fw[@]}" info
echo
echo "== one-button update with the embedded firmware"
before=$("${fw[@]}" --verbose info 2>/dev/null | version)
"${fw[@]}" update --embedded --yes
updated+=("quince|16|the firmware built into the program|$before|$("${fw[@]}" --verbose info 2>/dev/null | version)")
echo
echo "== the same again: the bridge now runs the new firmware"
rc=0
"${fw[@]}" update --embedded --yes || rc=$?
if [ "$rc" -ne 4 ]; then
  echo "expected exit code 4 (nothing to do), got $rc" >&2
  exit 1
fi
echo "(exit code 4: nothing to do)"

# One bridge of each family updated from a file: PRESET CODE FILE-OPTIONS.
for bridge in "ginkgo 7 ext=2.3.4.5" "nutmeg 13 ext=2.3.4.5" "elm-e-disk 30 ext=2.3.4.5" "oak 26 version=9.8"; do
    read -r preset code options <<<"$bridge"
    echo
    echo "== a code-$code bridge ($preset) updated from a firmware file"
    bstate=$(mktemp -d "$state/$preset.XXXX")
    build/programs/sim-image/brigant-sim-image "$preset:$options" -o "$bstate/$preset.bin"
    bfw=(build/cli/brigant-fw --simulate "$preset" --sim-state "$bstate")
    before=$("${bfw[@]}" --verbose info 2>/dev/null | version)
    "${bfw[@]}" update --yes "$bstate/$preset.bin"
    echo "-- the bridge restarted from its new firmware"
    after=$("${bfw[@]}" --verbose info 2>/dev/null | version)
    echo "Firmware Ver. \"$after\""
    updated+=("$preset|$code|$preset.bin ($options)|$before|$after")
done

echo
echo "== what the demo updated"
printf '%-12s %-5s %-38s %-16s %s\n' Bridge Code Firmware Before After
for row in "${updated[@]}"; do
    IFS='|' read -r preset code from before after <<<"$row"
    printf '%-12s %-5s %-38s %-16s %s\n' "$preset" "$code" "$from" "$before" "$after"
done
