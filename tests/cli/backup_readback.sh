#!/usr/bin/env bash
# A backup that does not read back from the disk as it was written stops the
# update before anything is erased: with a preloaded library that flips the
# first byte of every read of a backup file, `update` fails naming the
# backup, sends no command that `info` does not send, and leaves the flash
# as it was.
# Usage: backup_readback.sh BRIGANT_FW BRIGANT_SIM_IMAGE SHIM
set -uo pipefail
fw=$1
image=$2
shim=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
failed=0
fail() {
    echo "FAILED: $*"
    failed=1
}
export XDG_STATE_HOME="$work/xdg"
# A sanitized build's runtime must come first; the library only wraps fread.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
# device preset | the file to write
for row in "nutmeg|nutmeg:ext=2.3.4.5" "ginkgo|ginkgo:ext=2.3.4.5" \
    "quince:version=3.0,ext=31.25.1.5|quince:version=3.0,exttext=2345"; do
    device=${row%%|*}
    name=${device%%:*}
    "$image" "${row#*|}" -o "$name.bin" >/dev/null 2>&1 || { fail "$name: brigant-sim-image ${row#*|}"; continue; }
    "$fw" --simulate "$device" --sim-state "$name" --trace="$name.info" info >/dev/null 2>&1
    before=$(md5sum <"$name/flash.bin")
    rc=0
    LD_PRELOAD="$shim" "$fw" --simulate "$device" --sim-state "$name" --trace="$name.trace" update --yes \
        "$name.bin" >"$name.out" 2>&1 || rc=$?
    [ "$rc" -eq 1 ] || fail "$name: exit $rc, expected 1: $(tail -3 "$name.out")"
    grep -q "^error: the backup before writing failed (.*does not read back" "$name.out" ||
        fail "$name: the failed backup is not named: $(grep error "$name.out")"
    extra=$(grep ' out ' "$name.trace" | sed 's/ tmo=.*//' | sort -u |
        comm -23 - <(grep ' out ' "$name.info" | sed 's/ tmo=.*//' | sort -u))
    [ -z "$extra" ] || fail "$name: commands info does not send: $(head -2 <<<"$extra")"
    [ "$(md5sum <"$name/flash.bin")" = "$before" ] || fail "$name: the flash changed"
done
[ "$failed" -eq 0 ] && echo "a backup that reads back wrong stops every update before its first erase"
exit "$failed"
