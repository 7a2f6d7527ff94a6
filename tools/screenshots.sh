#!/usr/bin/env bash
# Renders both faces of the window (the one-button updater and --advanced) on a
# simulated bridge to docs/*.png, offscreen: tools/screenshots.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
case ${1:-} in
  -h | --help) echo "usage: tools/screenshots.sh [BUILD_DIR]"; exit 0 ;;
  -*) echo "tools/screenshots.sh: unknown option $1 (usage: tools/screenshots.sh [BUILD_DIR])" >&2; exit 2 ;;
esac
build=${1:-build-gui}
case $build in /*) ;; *) build=$PWD/$build ;; esac
if [ ! -x "$build/gui/brigant-fwtool" ]; then
  tools/build.sh "$build" >/dev/null
fi
export QT_QPA_PLATFORM=offscreen
# The one-button update's bridge, with firmware the embedded image updates.
device="quince"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_RUNTIME_DIR=$work
# Run in a scratch directory: no settings file, nothing written in the tree.
(cd "$work" && "$build/gui/brigant-fwtool" --simulate "$device" --screenshot "$work/window.png")
(cd "$work" && "$build/gui/brigant-fwtool" --simulate "$device" --advanced --screenshot "$work/advanced.png")
mkdir -p docs
cp "$work/window.png" docs/window.png
cp "$work/advanced.png" docs/window-advanced.png
echo "docs/window.png docs/window-advanced.png"
