#!/bin/bash
# Runs a command on a fresh virtual X server and exits with the command's own
# status. xvfb-run can exit 5 after the command has ended when it fails to
# remove its temporary folder, which would hide the status; its temporary
# folder lives in a private folder here, and the status is read from a file
# the command's shell writes. Usage: on_xvfb.sh COMMAND [ARG...]
set -u
tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
TMPDIR=$tmp xvfb-run -a -s "-screen 0 1280x800x24" \
    sh -c '"$@"; echo $? >"$0"' "$tmp/status" "$@"
xvfb=$?
[ -s "$tmp/status" ] || exit "$xvfb"
status=$(cat "$tmp/status")
[ "$xvfb" -eq 0 ] || [ "$xvfb" -eq "$status" ] || echo "on_xvfb.sh: xvfb-run exited $xvfb after the command's $status" >&2
exit "$status"
