#!/usr/bin/env bash
# Replays each committed session (tests/replay/sessions/NAME.jsonl, written
# with --trace-data) against the tool: the session's device answers every
# command as it did, and the run must send exactly the session's commands,
# with the same data, and end as it ended. A change that makes an update send
# other commands fails here at its first differing command.
#   run.sh BRIGANT_FW BRIGANT_SIM_IMAGE             replay every session
#   BRIGANT_REPLAY_RECORD=1 run.sh ...              record them again on the simulator
# A session from real hardware is one more row and its file (made with
# `brigant-fw --trace-data FILE update ...`); its firmware file goes beside it
# as NAME.bin.
set -uo pipefail
fw=$1
image=$2
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
py=/usr/bin/python3

# name | device preset (for recording) | bus | firmware file (sim-image spec) | verb and options
rows=(
    "register-whole-image|alder|usb|alder:version=9.8|update --yes --no-backup FILE"
    "register-block-wise|ginkgo|usb|ginkgo:ext=2.3.4.5|update --yes --no-backup FILE"
    "sbp2-1394|hazel-1394|1394|hazel-1394:version=9.8|update --yes --no-backup FILE"
    "disk-area|elm-e-disk|usb|elm-e-disk:ext=2.3.4.5|update --yes --no-backup FILE"
    "staging|oak|usb|oak:version=9.8|update --yes --no-backup FILE"
    "assisted-banks|nutmeg|usb|nutmeg:ext=2.3.4.5|update --yes --no-backup FILE"
    "one-button-buffer|quince:version=1.0|usb|-|update --embedded --yes --no-backup"
)

# The commands of a session as "dir cdb len out-data", one per line.
commands() { "$py" -c '
import json, sys
for line in open(sys.argv[1]):
    c = json.loads(line)
    if "event" in c:
        continue
    print(c["dir"], c["cdb"], c["len"], c.get("out", ""))' "$1"; }

failed=0
for row in "${rows[@]}"; do
    IFS='|' read -r name device bus spec verb <<<"$row"
    session=$here/sessions/$name.jsonl
    file=$work/$name.bin
    if [ "$spec" != - ]; then
        if [ -f "$here/sessions/$name.bin" ]; then
            cp "$here/sessions/$name.bin" "$file"
        else
            "$image" "$spec" -o "$file" >/dev/null || { echo "FAILED: $name: brigant-sim-image $spec"; failed=1; continue; }
        fi
    fi
    # shellcheck disable=SC2206 # the verb's words
    args=(${verb//FILE/$file})
    if [ "${BRIGANT_REPLAY_RECORD:-}" = 1 ]; then
        "$fw" --simulate "$device" --sim-state "$work/$name.state" --trace-data="$session" "${args[@]}" \
            >"$work/$name.out" 2>&1
        echo "recorded $name: exit $?, $(wc -l <"$session") commands"
        continue
    fi
    [ -f "$session" ] || { echo "FAILED: $name: no session $session"; failed=1; continue; }
    rc=0
    "$fw" --simulate "replay:bus=$bus@$session" --trace-data="$work/$name.replayed" "${args[@]}" >"$work/$name.out" 2>&1 || rc=$?
    if grep -q '^replay:' "$work/$name.out"; then
        echo "FAILED: $name: $(grep -m1 '^replay:' "$work/$name.out")"
        failed=1
    elif ! cmp -s <(commands "$session") <(commands "$work/$name.replayed"); then
        echo "FAILED: $name: the run sent $(wc -l <"$work/$name.replayed") of the session's $(wc -l <"$session") commands"
        failed=1
    elif [ "$rc" -ne 0 ] || ! grep -q "^result: success" "$work/$name.out"; then
        echo "FAILED: $name: exit $rc, not the session's success"
        sed 's/^/    /' "$work/$name.out" | tail -5
        failed=1
    else
        echo "ok: $name: $(wc -l <"$session") commands replayed"
    fi
done
# The check itself: the first session with another firmware file must diverge.
"$image" alder:version=9.7 -o "$work/other.bin" >/dev/null
"$fw" --simulate "replay:bus=usb@$here/sessions/register-whole-image.jsonl" update --yes --no-backup \
    "$work/other.bin" >"$work/other.out" 2>&1
if grep -q '^replay: command [0-9]* differs: .* with other data' "$work/other.out"; then
    echo "ok: another file diverges: $(grep -m1 -o 'command [0-9]* differs' "$work/other.out")"
else
    echo "FAILED: a replay with another firmware file did not diverge"
    failed=1
fi
exit "$failed"
