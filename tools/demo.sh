#!/usr/bin/env bash
# The main job on a simulated bridge, so it works without hardware.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh
tools/build.sh build
echo "== reading the chip information of a simulated bridge"
build/cli/brigant-fw --simulate generic --trace raw in 16 E0 F4 E7 00 00 00 00 00 00 00 00 00
