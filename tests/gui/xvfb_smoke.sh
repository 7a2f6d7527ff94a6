#!/usr/bin/env bash
# The window on a real X server (Xvfb): brigant-fwtool --smoke drives both
# faces to their result states, fails when a text does not fit its widget,
# and takes a picture of the screen; the pictures stay in OUT_DIR. What each
# run left on its simulated bridge is checked with brigant-fw.
#   success           the one-button update of a quince bridge
#   failure           the same cut by a power loss: the failure and its way forward
#   failure-finished  after the power came back, the button brings the bridge back
#   confirm           the advanced face's question before Run writes a file, answered No
# Usage: xvfb_smoke.sh BRIGANT_FWTOOL BRIGANT_FW BRIGANT_SIM_IMAGE OUT_DIR
set -euo pipefail
fwtool=$1
fw=$2
image=$3
out=$4
here=$(cd "$(dirname "$0")" && pwd)

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
# CI installs it: without it the window would go untested.
command -v xvfb-run >/dev/null || fail "xvfb-run is missing (Debian package xvfb; tools/deps.sh installs it)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out" "$work/home"
mkdir -m 700 "$work/runtime"
# Nothing lands in the tree or a home folder: settings are read in the working
# directory, backups and the journal go to XDG_STATE_HOME, locks to BRIGANT_LOCK_DIR.
export HOME=$work/home XDG_RUNTIME_DIR=$work/runtime XDG_STATE_HOME=$work/state BRIGANT_LOCK_DIR=$work/locks
export QT_QPA_PLATFORM=xcb
# No session bus: nothing reaches a desktop session the test may run in.
export DBUS_SESSION_BUS_ADDRESS=disabled:
cd "$work"

# A picture of the screen: a PNG at least as large as the one-button face
# (398 x 143), and more than one colour (a plain one packs into a few hundred bytes).
check_picture() {
    local file=$1 width height
    [ "$(od -An -tx1 -N8 "$file" | tr -d ' \n')" = 89504e470d0a1a0a ] || fail "$file is not a PNG"
    width=$((16#$(od -An -tx1 -j16 -N4 "$file" | tr -d ' \n')))
    height=$((16#$(od -An -tx1 -j20 -N4 "$file" | tr -d ' \n')))
    ((width >= 398 && height >= 143)) || fail "$file: ${width}x$height is smaller than the window"
    (($(stat -c %s "$file") > 4096)) || fail "$file: $(stat -c %s "$file") bytes, a blank picture"
}

# smoke STATE PICTURE [OPTIONS...]: one state on an X server of its own.
smoke() {
    local state=$1 picture=$out/$2.png
    shift 2
    rm -f "$picture"
    local status=0
    "$here/on_xvfb.sh" "$fwtool" "$@" --smoke "$state" --screenshot "$picture" || status=$?
    ((status == 0)) || fail "$(basename "$picture" .png): brigant-fwtool --smoke $state exited $status"
    [ -f "$picture" ] || fail "$picture was not written"
    check_picture "$picture"
}

smoke success success --simulate quince --sim-state "$work/success"
"$fw" --simulate quince --sim-state "$work/success" verify --embedded >/dev/null 2>&1 ||
    fail "success: the flash does not hold the built-in image"

smoke failure failure --simulate quince:fault=powerloss@200 --sim-state "$work/cut"
smoke success failure-finished --simulate quince --sim-state "$work/cut"
"$fw" --simulate quince --sim-state "$work/cut" verify --embedded >/dev/null 2>&1 ||
    fail "failure-finished: the flash does not hold the built-in image"

# Another version than the bridge's: a write would change the flash.
"$image" nutmeg:ext=2.3.4.5 -o "$work/nutmeg.bin" >/dev/null
XDG_STATE_HOME=$work/confirm-state smoke confirm confirm --advanced --simulate nutmeg --sim-state "$work/confirm" --smoke-file "$work/nutmeg.bin"
"$fw" --simulate nutmeg --sim-state "$work/untouched" info >/dev/null
for f in flash.bin xdata.bin; do
    cmp -s "$work/untouched/$f" "$work/confirm/$f" || fail "confirm: No was answered, yet $f changed"
done
[ ! -e "$work/confirm-state" ] || fail "confirm: No was answered, yet a backup was made"
echo "pictures in $out"
