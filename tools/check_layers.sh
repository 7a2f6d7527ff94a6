#!/usr/bin/env bash
# Checks that every #include "..." in src/, cli/ and gui/ follows the one-way
# layering below (the command line never includes the window's gui/, nor the
# window the command line's cli/), that no
# Qt header is used below gui/, that no procedure under flash/, identify/ or
# update/ names the window record, that the procedures (and image/) pass no
# status text, that only src/app, cli/ and gui/ include the window's texts, and
# that the command line prints no message by hand. Prints each
# offending include as FILE:LINE and exits 1 when there is one.
#
# A file belongs to the longest folder of the table that holds it; what it
# includes belongs to the longest folder or file of the table that names it.
set -euo pipefail
set -f # the table's * is a word, not a pattern
cd "$(dirname "$0")/.."

# layer            may include (besides itself)
read -r -d '' RULES <<'TABLE' || true
common
device             common
device/linux       common device
forms              common
bridge             common device
image              common
flash              common device bridge image
identify           common device bridge image flash
update/assisted    common device bridge image flash identify
update/register    common device bridge image flash identify
update/diskarea    common device bridge image flash identify
update/staging     common device bridge image flash identify
model              common device forms image flash
app                common device forms model bridge image flash identify update/assisted update/register update/diskarea update/staging
sim                common device/scsi_backend.h device/device_entry.h device/enumerator.h
sim/usb            common sim
rehearse           common device forms model bridge image flash identify update app sim
runtime            common device device/linux sim app/installed_services.h
cli                common device device/linux forms bridge image flash identify update model app sim runtime rehearse
gui                common device device/linux forms bridge image flash identify update model app sim runtime rehearse
TABLE

declare -A allowed
keys=()
while read -r layer deps; do
    [ -n "$layer" ] || continue
    keys+=("$layer")
    allowed[$layer]="$layer $deps"
done <<<"$RULES"

# The longest table entry that is `path` or a folder above it; empty when none.
layer_of() {
    local path=$1 best="" k
    for k in "${keys[@]}"; do
        if [[ "$path" == "$k" || "$path" == "$k"/* ]] && ((${#k} > ${#best})); then
            best=$k
        fi
    done
    printf '%s' "$best"
}

# Whether `target` (an include path) is covered by one of the entries in `deps`.
permits() {
    local deps=$1 target=$2 d
    for d in $deps; do
        [[ "$d" == "*" || "$target" == "$d" || "$target" == "$d"/* ]] && return 0
    done
    return 1
}

status=0
while IFS= read -r file; do
    rel=${file#src/}
    from=$(layer_of "$rel")
    if [ -z "$from" ]; then
        echo "$file: not in any layer of tools/check_layers.sh"
        status=1
        continue
    fi
    while IFS=: read -r line text; do
        if [[ "$text" =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*\<Q ]]; then
            if [ "$from" != gui ]; then
                echo "$file:$line: Qt header below gui/: ${text#*#}"
                status=1
            fi
            continue
        fi
        [[ "$text" =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*\"([^\"]+)\" ]] || continue
        target=${BASH_REMATCH[1]}
        to=$(layer_of "$target")
        [ -n "$to" ] || continue # a header of the build tree or a local one, not a layer's
        if ! permits "${allowed[$from]}" "$target"; then
            echo "$file:$line: $from may not include \"$target\" (layer $to)"
            status=1
        fi
    done < <(grep -n '#[[:space:]]*include' "$file" || true)
done < <(git ls-files -co --exclude-standard -- 'src/*.h' 'src/*.cpp' 'cli/*.h' 'cli/*.cpp' 'gui/*.h' 'gui/*.cpp')

# The procedures below app/ take a request and a host, never the window.
while IFS= read -r hit; do
    echo "$hit: the window record below app/ (procedures take a request and a host)"
    status=1
done < <(git grep -n -w TBrigantFwTool -- src/flash src/identify src/update || true)

# The procedures report typed statuses; the window words them (app/status_texts.h).
while IFS= read -r hit; do
    echo "$hit: a status text in a procedure (pass a StatusCode; the window's catalogue words it)"
    status=1
done < <(git grep --untracked -n -E '(show|set)Status\("' -- src/update src/flash src/identify src/image || true)

# The texts the window shows belong to the window adapter and the front ends.
while IFS= read -r hit; do
    echo "$hit: the window's texts outside src/app, cli/ and gui/"
    status=1
done < <(git grep --untracked -n -E '#[[:space:]]*include[[:space:]]*"([^"]*/)?window_texts\.h"' -- '*.h' '*.cpp' \
    ':!src/app/' ':!cli/' ':!gui/' || true)

# The window links no part of the command line either.
while IFS= read -r hit; do
    echo "gui/CMakeLists.txt:$hit: the window links the command line's library"
    status=1
done < <(grep -n -w brigant_cli gui/CMakeLists.txt || true)

# The command line says its messages through Say (cli/say.h), which also
# hands them to the JSON report: none is printed with its prefix by hand.
while IFS= read -r hit; do
    echo "$hit: a message printed by hand (say it with SayError/SayWarning/SayNote)"
    status=1
done < <(git grep -n -E '<< *"(error|warning|note): ' -- cli || true)

if [ "$status" -eq 0 ]; then
    echo "layers: every include follows the table"
fi
exit "$status"
