#!/bin/bash
# Every chip preset's firmware file from brigant-sim-image passes brigant-fw's
# file check for the chip that identification finds on that preset, except
# for the codes whose files never fit.
# Usage: sim_image_check.sh BRIGANT_FW BRIGANT_SIM_IMAGE
set -euo pipefail
FW=$1
IMAGE=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

presets=$("$FW" --simulate help | awk '/^Chip presets/ { on = 1; next } /^$/ { on = 0 } on { print $1 }')
specs="$presets juniper:nvram=1 maple:nvram=1,version=9.8 quince:exttext=2345,build=internal nutmeg:version=7.1"
failed=0 checked=0 refused=""
for spec in $specs; do
    file="$dir/${spec//[:,=]/_}.bin"
    "$IMAGE" "$spec" -o "$file" >/dev/null
    # The device options only: nvram is the file's own.
    device=$(sed -e 's/nvram=1,\{0,1\}//' -e 's/[:,]$//' <<<"$spec")
    # --verbose: the ChipIdentity fields; an unsupported chip still shows its code.
    info=$("$FW" --simulate "$device" --verbose info 2>/dev/null || true)
    code=$(awk '$1 == "ChipTypeCode" { print $2 }' <<<"$info")
    rev=$(awk '$1 == "ChipSubRevision" { print $2 }' <<<"$info")
    set +e
    "$FW" check "$file" --chip "$code:$rev" >"$dir/out" 2>&1
    rc=$?
    set -e
    checked=$((checked + 1))
    case "$code" in
    26 | 29) want=1 refused="$refused $code" ;; # by rule, no file fits these
    *) want=0 ;;
    esac
    if [ "$rc" -ne "$want" ]; then
        echo "FAILED: $spec (code $code, sub-revision $rev): check exit $rc, expected $want"
        cat "$dir/out"
        failed=1
    fi
done
if [ "$checked" -lt 30 ] || [ "$refused" != " 26 29" ]; then
    echo "FAILED: checked $checked files, refused codes:$refused"
    failed=1
fi
# A preset without a firmware family and a bad option are usage errors.
for bad in generic nosuch quince:version=x nutmeg:nvram=1; do
    set +e
    "$IMAGE" "$bad" -o "$dir/bad.bin" 2>/dev/null
    rc=$?
    set -e
    if [ "$rc" -ne 2 ] || [ -e "$dir/bad.bin" ]; then
        echo "FAILED: brigant-sim-image $bad: exit $rc, expected 2 and no file"
        failed=1
    fi
done
echo "checked $checked files"
exit $failed
