#!/usr/bin/env bash
# The main job on a simulated bridge, so it works without hardware: the
# one-button update of a code-16 bridge with the firmware built into the
# program, then a second run that finds nothing to do; then a code-13 bridge
# updated from a firmware file made by brigant-sim-image.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh
tools/build.sh build
state=$(mktemp -d)
trap 'rm -rf "$state"' EXIT
fw=(build/cli/brigant-fw --simulate quince --sim-state "$state")

echo "== the simulated bridge as the window lists it"
"${fw[@]}" info
echo
echo "== one-button update with the embedded firmware"
"${fw[@]}" update --embedded --yes
echo
echo "== the same again: the bridge now runs the new firmware"
rc=0
"${fw[@]}" update --embedded --yes || rc=$?
if [ "$rc" -ne 4 ]; then
  echo "expected exit code 4 (nothing to do), got $rc" >&2
  exit 1
fi
echo "(exit code 4: nothing to do)"
echo
echo "== a code-13 bridge updated from a firmware file"
nstate=$(mktemp -d)
trap 'rm -rf "$state" "$nstate"' EXIT
build/tools/sim-image/brigant-sim-image nutmeg:ext=2.3.4.5 -o "$nstate/nutmeg.bin"
nfw=(build/cli/brigant-fw --simulate nutmeg --sim-state "$nstate")
"${nfw[@]}" update --yes "$nstate/nutmeg.bin"
echo
echo "== the bridge restarted from its new flash"
"${nfw[@]}" info | grep FwVerLableEdit
