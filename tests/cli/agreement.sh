#!/usr/bin/env bash
# Every verb that decides about an update decides the same: for each
# updatable bridge and each kind of file, `check FILE` on the device, the
# plan of `update --all --json`, `update --rehearse --json` and
# `update --json` agree on the action, the exit status and the refusal
# code. Files: the right one, the same one again (after it was written), an
# older version (codes 15-18, whose files carry one), a foreign chip's, an
# empty one and the right one with 1 MiB more. States: clean, and cut in the middle of an
# update of the right file (its journal entry open), and for codes 15-18
# running from the ROM. From the states that are not a success, the advice
# of the next step leads to a verified flash.
# With BRIGANT_FWTOOL, the window (on Xvfb) loads the clean state's files
# of a sample of the bridges, and Run must ask its question where check says
# the file would be written and stay disabled where check refuses it.
# Usage: agreement.sh BRIGANT_FW BRIGANT_SIM_IMAGE [BRIGANT_FWTOOL]
set -uo pipefail
fw=$1
image=$2
fwtool=${3:-}
on_xvfb=$(cd "$(dirname "$0")/../gui" && pwd)/on_xvfb.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source "$(dirname "$0")/bridge_rows.sh"

"$image" nutmeg:ext=2.3.4.5 -o "$work/nutmeg.bin" >/dev/null
"$image" alder:version=9.8 -o "$work/alder.bin" >/dev/null
: >"$work/empty.bin"

failed=0
cells=0
# The action each verb's answer stands for: write, current, refused, none.
action_of_exit() {
    case $1 in
    0) echo write ;;
    4) echo current ;;
    2) echo refused ;;
    3) echo none ;;
    *) echo "exit $1" ;;
    esac
}
# (The documents are read with grep: a python start per cell costs more
# than the cell's runs.) The plan's action for device 0, or, for a file
# refused before any bridge is asked, the document's result.
plan_action() {
    local a
    a=$(grep -o '"action": "[^"]*"' "$1" | head -n 1 | cut -d'"' -f4)
    [ -n "$a" ] || a=$(grep -o '^  "result": "[^"]*"' "$1" | cut -d'"' -f4)
    case $a in
    update) echo write ;;
    "nothing to do") echo current ;;
    skip) echo refused ;;
    "no device") echo none ;;
    "") echo unreadable ;;
    *) echo "$a" ;;
    esac
}
# The first refusal code of a document ("-" for none: null or absent).
refusal_of() {
    local r
    r=$(grep -o '"refusal": [^,]*' "$1" | head -n 1 | sed 's/^"refusal": //; s/[",]//g; s/ /_/g')
    [ -n "$r" ] && [ "$r" != null ] && echo "$r" || echo -
}
# The document's own exit status (its last; a device's come before it).
json_exit() {
    local e
    e=$(grep -o '^  "exit_status": [0-9]*' "$1" | tail -n 1 | awk '{print $2}')
    echo "${e:-unreadable}"
}

# One cell: every verb on a copy of the state `state`.
cell() {
    local label=$1 device=$2 state=$3 file=$4 dir=$5 rc check plan rehearse update codes
    mkdir -p "$dir"
    cells=$((cells + 1))
    run_on() { # a fresh copy of the state and the journal for each verb
        rm -rf "$dir/s" "$dir/xdg"
        cp -r "$state" "$dir/s"
        [ -d "$state.xdg" ] && cp -r "$state.xdg" "$dir/xdg"
        XDG_STATE_HOME="$dir/xdg" "$fw" --simulate "$device" --sim-state "$dir/s" "$@"
    }
    rc=0
    run_on check --json "$file" >"$dir/check" 2>&1 || rc=$?
    check=$(action_of_exit "$rc")
    echo "$check" >"$dir/verdict"
    run_on update --all --json "$file" </dev/null >"$dir/all" 2>/dev/null
    plan=$(plan_action "$dir/all")
    run_on update --rehearse --json --yes "$file" >"$dir/rehearse" 2>/dev/null
    rehearse=$(action_of_exit "$(json_exit "$dir/rehearse")")
    run_on update --json --yes "$file" >"$dir/update" 2>/dev/null
    update=$(action_of_exit "$(json_exit "$dir/update")")
    # A write that ran and failed on the device is not a different verdict:
    # the rehearsal or the update said "failed" after deciding to write.
    [ "$update" = "exit 1" ] && update=write
    [ "$rehearse" = "exit 1" ] && rehearse=write
    # The refusal codes of the four, in the same order.
    codes="$(refusal_of "$dir/check") $(refusal_of "$dir/all") $(refusal_of "$dir/rehearse") $(refusal_of "$dir/update")"
    if [ "$check" = "$plan" ] && [ "$check" = "$rehearse" ] && [ "$check" = "$update" ] &&
        [ "$(tr ' ' '\n' <<<"$codes" | sort -u | wc -l)" -eq 1 ]; then
        return 0
    fi
    echo "DISAGREE: $label: check=$check update--all=$plan rehearse=$rehearse update=$update refusals: $codes"
    sed 's/^/    check: /' "$dir/check" | tail -3
    failed=1
}

# The window's Load File and Run on a copy of the state: its question
# asked (answered No: nothing is written) is a write, Run left disabled a
# refusal. The window weighs no versions, so only files whose verdict does
# not hang on one are compared.
windowed=0
window_cell() {
    local label=$1 device=$2 state=$3 file=$4 dir=$5 check window rc=0
    check=$(cat "$dir/verdict")
    mkdir -p "$dir/g"
    rm -rf "$dir/g/s" && cp -r "$state" "$dir/g/s"
    windowed=$((windowed + 1))
    (cd "$dir/g" && HOME="$dir/g" XDG_STATE_HOME="$dir/g/xdg" QT_QPA_PLATFORM=xcb DBUS_SESSION_BUS_ADDRESS=disabled: \
        timeout 120 "$on_xvfb" "$fwtool" --advanced --simulate "$device" \
        --sim-state "$dir/g/s" --smoke confirm --smoke-file "$file" --screenshot "$dir/g/window.png") \
        >"$dir/g/out" 2>&1 || rc=$?
    case $rc in
    0) window=write ;;
    1)
        window=failed
        grep -q "Run stays disabled" "$dir/g/out" && window=refused
        ;;
    *) window="exit $rc" ;;
    esac
    [ "$window" = "$check" ] && return 0
    echo "DISAGREE: $label: check=$check window=$window"
    sed 's/^/    window: /' "$dir/g/out" | tail -3
    failed=1
}

# The advice: from a state that is not a success, the command that the
# next step of `list --json` names, run as a user would (FILE standing for
# the bridge's firmware file), until none is left; then `verify FILE` (the
# built-in image after a recovery that wrote it) must say VERIFIED. An
# advised command that refuses, or advice that never ends, fails. Usage:
# follow_advice LABEL DEVICE STATE FILE DIR [OUTPUT_OF_THE_CUT_RUN]
advised=0
follow_advice() {
    local label=$1 device=$2 state=$3 file=$4 dir=$5 command steps=0 rc words
    local verified=("$file")
    # On the state itself, the cells' last use of it: the journal knows a
    # bridge by its simulated state's folder.
    mkdir -p "$dir"
    on() { XDG_STATE_HOME="$state.xdg" "$fw" --simulate "$device" --sim-state "$state" "$@" </dev/null; }
    advised=$((advised + 1))
    while :; do
        on list --json >"$dir/list" 2>/dev/null
        command=$(grep -o '"command": "brigant-fw [^"]*"' "$dir/list" | head -n 1 | cut -d'"' -f4)
        # A cut before anything was written leaves nothing open: the run's
        # own words are the advice then.
        if [ -z "$command" ] && [ "$steps" -eq 0 ] && [ -n "${6:-}" ] &&
            grep -q "nothing was written.*run the same command again" "$6"; then
            command="brigant-fw update $file"
        fi
        [ -n "$command" ] || break
        steps=$((steps + 1))
        if [ "$steps" -gt 3 ]; then
            echo "ADVICE NEVER ENDS: $label: still '$command'"
            failed=1
            return
        fi
        read -ra words <<<"${command#brigant-fw }"
        words=("${words[@]/#FILE/$file}")
        rc=0
        on "${words[@]}" --yes >"$dir/step$steps" 2>&1 || rc=$?
        if [ "$rc" -ne 0 ]; then
            echo "ADVICE REFUSES: $label: '$command' exits $rc"
            sed 's/^/    /' "$dir/step$steps" | tail -3
            failed=1
            return
        fi
        [ "${words[*]}" = recover ] && verified=(--embedded)
    done
    on verify "${verified[@]}" >"$dir/verify" 2>&1
    grep -q "^VERIFIED" "$dir/verify" && return 0
    echo "ADVICE DOES NOT END IN VERIFIED: $label (after $steps step(s))"
    sed 's/^/    /' "$dir/verify" | tail -3
    failed=1
}

n=0
for row in "${cases[@]}"; do
    n=$((n + 1))
    IFS='|' read -r label device new _ _ <<<"$row"
    dir="$work/$n"
    mkdir -p "$dir"
    spec=$(merged "$device" "${new//,nvram=1/}")
    [[ $new == *nvram=1* ]] && spec="$spec,nvram=1"
    "$image" "$spec" -o "$dir/right.bin" >/dev/null 2>&1 || { echo "FAILED: $label: brigant-sim-image $spec"; failed=1; continue; }
    cp "$dir/right.bin" "$dir/large.bin" && truncate -s +1M "$dir/large.bin"
    foreign="$work/nutmeg.bin"
    [[ $device == nutmeg* ]] && foreign="$work/alder.bin"
    files=("right:$dir/right.bin" "foreign:$foreign" "empty:$work/empty.bin" "large:$dir/large.bin")
    if [[ $device == *ext=31.25.1.5* ]]; then
        "$image" "${device%%:*}:ext=31.25.1.4" -o "$dir/older.bin" >/dev/null
        files+=("older:$dir/older.bin")
    fi

    # Clean.
    XDG_STATE_HOME="$dir/clean.xdg" "$fw" --simulate "$device" --sim-state "$dir/clean" info >/dev/null 2>&1
    for f in "${files[@]}"; do
        cell "$label, clean, ${f%%:*}" "$device" "$dir/clean" "${f#*:}" "$dir/c-${f%%:*}"
    done
    if [ -n "$fwtool" ] && [ $((n % 6)) -eq 1 ]; then
        for f in "${files[@]}"; do
            [ "${f%%:*}" = older ] && continue
            window_cell "$label, clean, ${f%%:*}, window" "$device" "$dir/clean" "${f#*:}" "$dir/c-${f%%:*}"
        done
    fi
    # The same file again, on the flash the update of the right one left.
    if [ -f "$dir/c-right/s/flash.bin" ]; then
        cp -r "$dir/c-right/s" "$dir/written"
        cp -r "$dir/c-right/xdg" "$dir/written.xdg" 2>/dev/null
        cell "$label, written, same" "$device" "$dir/written" "$dir/right.bin" "$dir/w-same"
    fi

    # Running from its ROM (codes 15-18: a flash that holds no firmware).
    if [[ $device == *ext=31.25.1.5* ]]; then
        XDG_STATE_HOME="$dir/rom.xdg" "$fw" --simulate "$device,blank=1" --sim-state "$dir/rom" info >/dev/null 2>&1
        for f in "right:$dir/right.bin" "foreign:$foreign"; do
            cell "$label, ROM, ${f%%:*}" "$device,blank=1" "$dir/rom" "${f#*:}" "$dir/r-${f%%:*}"
        done
        follow_advice "$label, ROM" "$device,blank=1" "$dir/rom" "$dir/right.bin" "$dir/r-advice"
    fi

    # Cut: the power goes at the first writing command of the right file's
    # update; the journal keeps it open.
    XDG_STATE_HOME="$dir/t.xdg" "$fw" --simulate "$device" --sim-state "$dir/t" --trace="$dir/trace" \
        update --yes "$dir/right.bin" >/dev/null 2>&1
    first=$(grep -n ' out ' "$dir/trace" | head -n 1 | cut -d: -f1)
    [ -n "$first" ] || continue
    sep=:
    [[ $device == *:* ]] && sep=,
    cp -r "$dir/clean" "$dir/cut"
    XDG_STATE_HOME="$dir/cut.xdg" "$fw" --simulate "$device${sep}fault=powerloss@$((first + 1))" \
        --sim-state "$dir/cut" update --yes "$dir/right.bin" >"$dir/cut.out" 2>&1
    for f in "right:$dir/right.bin" "foreign:$foreign"; do
        cell "$label, cut, ${f%%:*}" "$device" "$dir/cut" "${f#*:}" "$dir/x-${f%%:*}"
    done
    follow_advice "$label, cut" "$device" "$dir/cut" "$dir/right.bin" "$dir/x-advice" "$dir/cut.out"
done
echo "$cells cells ($windowed also in the window), $advised states' advice followed; all agreeing and ending verified: $([ "$failed" -eq 0 ] && echo yes || echo no)"
exit "$failed"
