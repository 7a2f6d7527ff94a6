#!/usr/bin/env bash
# check: a file larger than any flash does not fit; with a device it says
# whether Load File takes the file there and what update FILE would do (its
# exit status too: 0 write, 4 already installed, 2 refused), whether the
# one-button face would offer the built-in or a given image, and agrees with
# what list reports for the same bridge.
# Usage: check_offer.sh BRIGANT_FW BRIGANT_SIM_IMAGE
set -uo pipefail
tool=$1
image=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
"$image" quince:exttext=1110 -o "$work/q1110.bin" >/dev/null
"$image" quince:ext=31.25.1.4 -o "$work/q1104.bin" >/dev/null
"$image" nutmeg -o "$work/nutmeg.bin" >/dev/null
"$image" nutmeg:ext=2.3.4.5 -o "$work/nutmeg2345.bin" >/dev/null
"$image" alder:version=9.8 -o "$work/alder98.bin" >/dev/null
cp "$work/nutmeg.bin" "$work/huge.bin" && truncate -s $((16 * 1024 * 1024 + 1)) "$work/huge.bin"
# device | what is checked | exit | text | list's verdict for device 0 (empty: not compared)
while IFS='|' read -r sim what want text listed; do
    [ -n "$what" ] || continue
    args=()
    [ -n "$sim" ] && args=(--simulate "$sim")
    out=$(eval "\"$tool\" \"\${args[@]}\" check $what" 2>&1)
    rc=$?
    if [ "$rc" -ne "$want" ] || ! grep -qF -- "$text" <<<"$out"; then
        echo "FAILED: ${sim:-no device} check $what: exit $rc (expected $want), no '$text':"
        sed 's/^/  /' <<<"$out"
        failed=1
    fi
    # update FILE on the same bridge ends as check said it would.
    if [ -n "$sim" ] && [ "${what#--}" = "$what" ]; then
        "$tool" --simulate "$sim" update --yes $what >"$work/update.out" 2>&1
        urc=$?
        if [ "$urc" -ne "$rc" ]; then
            echo "FAILED: $sim: check $what exits $rc, update exits $urc:"
            sed 's/^/  /' "$work/update.out"
            failed=1
        fi
    fi
    if [ -n "$listed" ]; then
        verdict=$("$tool" --simulate "$sim" list --json 2>/dev/null |
            python3 -c 'import json,sys; print(json.load(sys.stdin)["builtInImage"]["device0"])')
        [ "$verdict" = "$listed" ] || { echo "FAILED: list says '$verdict' for $sim, expected '$listed'"; failed=1; }
    fi
done <<TABLE
|$work/huge.bin --chip 13|1|does not fit (the file is larger than the largest flash a bridge carries, 16384 KiB)|
|$work/nutmeg.bin --chip 13|0|result: fits|
quince|--embedded|0|version differs: the image would be offered|offered
quince:exttext=1110|--embedded|4|same version: sim:sg0 already runs it|current
quince:exttext=2345|--embedded|1|other identity|other identity
quince|$work/q1110.bin|2|Load File on sim:sg0 (code 16): refused: the running firmware's extended version is 31 31 30 38|
quince:exttext=1110|$work/q1110.bin|4|update $work/q1110.bin: already installed: sim:sg0 runs the version of|
quince:version=3.0,ext=31.25.1.5|$work/q1110.bin|0|update $work/q1110.bin: would write it (31.25.1.5 -> 1.1.1.0)|
quince:version=3.0,ext=31.25.1.5|$work/q1104.bin|2|refused: version 31.25.1.4 is older than the running 31.25.1.5|
nutmeg|$work/q1110.bin|2|Load File on sim:sg0 (code 13): refused|
nutmeg|$work/nutmeg2345.bin|0|update $work/nutmeg2345.bin: would write it|
nutmeg|$work/nutmeg.bin|4|update $work/nutmeg.bin: already installed: sim:sg0: the flash already holds $work/nutmeg.bin|
nutmeg|$work/huge.bin|2|refused: the file is larger than any firmware file|
alder|$work/alder98.bin|0|would write it|
|$work/alder98.bin --chip alder|0|tag "Q7A1" as expected for sub-revision 2|
|$work/alder98.bin --chip 1:1|1|tag mismatch: "Q7A1", expected bytes 5A A5 0F F0|
nutmeg|--embedded|3|is not a chip type code 16 bridge|not supported
|--embedded|2|error: check needs --chip|
TABLE
[ "$failed" -eq 0 ] && echo "check: size limit and one-button verdicts"
exit "$failed"
