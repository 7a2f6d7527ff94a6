#!/usr/bin/env bash
# Power lost in the middle of an update, for every updatable bridge and the
# one-button update: at sampled writing commands of a clean run the power
# goes; the cut run must fail, and the advice it and `list` give (the same
# update again, also after "nothing was written"; recover; repair), followed
# until list reports nothing unfinished, must end with the clean run's flash,
# the device's settings included. An exit 0 with any other flash, or
# advice that does not get there, is a violation. Two more rows cut a
# one-sector change written with --changed-only at every writing command.
# Usage: cut_update_campaign.sh BRIGANT_FW BRIGANT_SIM_IMAGE [CUTS_PER_ROW]
set -uo pipefail
fw=$1
image=$2
cuts=${3:-4}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

source "$(dirname "$0")/../cli/bridge_rows.sh"
cases+=("16 one-button|quince|embedded|-|ok")
# A one-sector change written with --changed-only, cut at every writing
# command: a file past one erase unit is written first, then the same file
# with one byte changed at 150 KiB.
cases+=("7 ginkgo --changed-only|ginkgo|changed:ext=2.3.4.5|-|ok"
    "9 juniper --changed-only|juniper|changed:ext=2.3.4.5,nvram=1|-|ok")

violations=0
runs=0
n=0
for row in "${cases[@]}"; do
    IFS='|' read -r label device new kept _ <<<"$row"
    dir="$work/$n"
    n=$((n + 1))
    mkdir -p "$dir"
    export XDG_STATE_HOME="$dir/xdg"
    violation() {
        echo "VIOLATION: $label: $*"
        sed 's/^/    /' "$dir/out" 2>/dev/null | tail -8
        violations=$((violations + 1))
    }
    every=""
    if [ "$new" = embedded ]; then
        verb=(update --embedded --yes)
    elif [[ $new == changed:* ]]; then
        new=${new#changed:}
        "$image" "$(merged "$device" "$new")" -o "$dir/fw.bin" >/dev/null 2>&1 || { violation "brigant-sim-image"; continue; }
        one_sector_change "$dir/fw.bin" "$dir/a.bin" "$dir/b.bin"
        "$fw" --simulate "$device" --sim-state "$dir/seed" update --yes --no-backup "$dir/a.bin" >/dev/null 2>&1 ||
            { violation "the large file was not written"; continue; }
        verb=(update --yes --changed-only "$dir/b.bin")
        every=1
    else
        target=$(merged "$device" "${new//,nvram=1/}")
        spec=$target
        [[ $new == *nvram=1* ]] && spec="$spec,nvram=1"
        "$image" "$spec" -o "$dir/fw.bin" >/dev/null 2>&1 || { violation "brigant-sim-image $spec"; continue; }
        verb=(update --yes "$dir/fw.bin")
    fi
    "$fw" --simulate "$device" --sim-state "$dir/seed" info >/dev/null 2>&1
    seed_kept "$dir/seed/flash.bin" "$kept"
    cp -r "$dir/seed" "$dir/clean"
    "$fw" --simulate "$device" --sim-state "$dir/clean" --trace="$dir/trace" "${verb[@]}" >"$dir/out" 2>&1 ||
        { violation "the clean run failed"; continue; }
    # Sampled writing commands: the first, the last, and evenly between.
    mapfile -t writes < <(grep -n ' out ' "$dir/trace" | cut -d: -f1)
    total=${#writes[@]}
    points=()
    for ((k = 0; k < cuts; k++)); do
        points+=("$((${writes[$((k * (total - 1) / (cuts - 1)))]} + 1))")
    done
    if [ -n "$every" ]; then
        points=()
        for w in "${writes[@]}"; do points+=("$((w + 1))"); done
    fi
    sep=:
    [[ $device == *:* ]] && sep=,
    for cut in $(printf '%s\n' "${points[@]}" | sort -un); do
        rm -rf "$dir/s" "$XDG_STATE_HOME"
        cp -r "$dir/seed" "$dir/s"
        rc=0
        "$fw" --simulate "$device${sep}fault=powerloss@$cut" --sim-state "$dir/s" "${verb[@]}" >"$dir/out" 2>&1 ||
            rc=$?
        runs=$((runs + 1))
        followed=""
        for _ in 1 2 3 4; do
            # What the last run said, and what list says of the bridge now.
            "$fw" --simulate "$device" --sim-state "$dir/s" list >"$dir/list" 2>&1
            [ "$rc" -eq 0 ] && ! grep -q "did not finish" "$dir/list" && break
            cat "$dir/list" >>"$dir/out"
            if grep -q "brigant-fw recover" "$dir/out"; then
                next=(recover --yes) followed="$followed recover"
            elif grep -q "brigant-fw repair" "$dir/out"; then
                next=(repair --yes) followed="$followed repair"
            elif grep -q "again to finish it\|finishes it\|nothing was written\|run the same command again" \
                "$dir/out"; then
                next=("${verb[@]}") followed="$followed update"
            else
                break
            fi
            rc=0
            "$fw" --simulate "$device" --sim-state "$dir/s" "${next[@]}" >"$dir/out" 2>&1 || rc=$?
            runs=$((runs + 1))
        done
        if [ "$rc" -ne 0 ]; then
            violation "powerloss@$cut: exit $rc after following${followed:- nothing}; no advice that ends it"
        elif ! cmp -s "$dir/s/flash.bin" "$dir/clean/flash.bin"; then
            violation "powerloss@$cut: exit 0 after following${followed:- nothing}, with a flash other than the clean run's"
        fi
    done
    echo "$label: ${#points[@]} cuts of $total writing commands"
done
echo "$runs runs, $violations violation(s)"
[ "$violations" -eq 0 ]
