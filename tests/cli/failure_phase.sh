#!/usr/bin/env bash
# A run cut by a power loss names the step of the command that failed, in
# the user's words: the first failure, not the retries and read-backs the
# procedure tries after it (which fail too, the bridge being gone).
# Usage: failure_phase.sh BRIGANT_FW BRIGANT_SIM_IMAGE
set -uo pipefail
fw=$1
image=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_STATE_HOME="$work/state"

# label | device | file options (embedded: the built-in image) | the command cut (regex on the clean run's trace) | its match (last: the last) | said
rows=(
    "nutmeg backup|nutmeg|ext=2.3.4.5| in DF 10 00 20 |40|it stopped while reading the flash"
    "nutmeg program|nutmeg|ext=2.3.4.5| out DF 02 |1|FAILED (during programming)"
    "nutmeg read-back|nutmeg|ext=2.3.4.5| in DF 10 |last|FAILED (during verifying)"
    "quince program|quince:version=3.0,ext=31.25.1.5|exttext=2345| out 3B |2|FAILED (during programming)"
    "ginkgo erase|ginkgo|ext=2.3.4.5| out |1|FAILED (during erasing)"
    "one-button program|quince|embedded| out 3B |2|FAILED (during programming)"
)
failed=0
n=0
for row in "${rows[@]}"; do
    IFS='|' read -r label device spec regex nth said <<<"$row"
    dir="$work/$n"
    n=$((n + 1))
    mkdir -p "$dir"
    verb=(update --yes "$dir/fw.bin")
    if [ "$spec" = embedded ]; then
        verb=(update --embedded --yes)
    else
        "$image" "${device%%:*}:$spec" -o "$dir/fw.bin" >/dev/null || { echo "FAILED: $label: brigant-sim-image"; failed=1; continue; }
    fi
    "$fw" --simulate "$device" --sim-state "$dir/clean" --trace="$dir/trace" "${verb[@]}" >/dev/null 2>&1
    matches=$(grep -n -E -e "$regex" "$dir/trace" | cut -d: -f1)
    if [ "$nth" = last ]; then at=$(tail -n 1 <<<"$matches"); else at=$(sed -n "${nth}p" <<<"$matches"); fi
    sep=:
    [[ $device == *:* ]] && sep=,
    rm -rf "$XDG_STATE_HOME"
    "$fw" --simulate "$device${sep}fault=powerloss@$at" --sim-state "$dir/cut" "${verb[@]}" >"$dir/out" 2>&1
    if grep -q -F -e "$said" "$dir/out"; then
        echo "ok: $label: cut at command $at says \"$said\""
    else
        echo "FAILED: $label: cut at command $at ($(sed -n "${at}p" "$dir/trace" | cut -c1-40)) does not say \"$said\":"
        grep -a "result:\|error" "$dir/out" | sed 's/^/    /'
        failed=1
    fi
done
exit "$failed"
