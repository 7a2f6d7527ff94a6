#!/usr/bin/env bash
# Checks the layout a newcomer relies on:
# - no source file of the programs (src/, cli/, gui/, programs/) has more
#   than 600 lines and no function more than 80, except the data tables below
#   (functions measured by universal-ctags, from their first line to their last);
# - tools/ holds scripts only: the programs we build live in programs/;
# - the README stays a quick start of at most 150 lines;
# - every path docs/architecture.md names exists.
# Prints each offence and exits 1 when there is one.
set -euo pipefail
cd "$(dirname "$0")/.."

max_file_lines=600
max_function_lines=80

# Files that are data tables (rows of parts, presets...): exempt from both limits.
data_tables=(
    src/sim/flash_parts.cpp  # the flash parts the simulator models
    src/app/status_texts.cpp # the window's wording of each status code
)
# Files still to be split. Each is named with the limit it breaks; the check
# fails when one of them keeps to the limits, so that the list only shrinks.
still_to_split=(
    src/app/fwupdate_handlers.cpp           # LoadBtnClick
    src/app/selection.cpp                   # UpdateBtnCheck
    src/update/assisted/assisted_update.cpp # the file, EraseAllFlash, ProgramFirmwareFile
    src/update/assisted/buffer_transfer.cpp # ProgramViaBuffer
    src/update/register/blockwise.cpp       # UpdateBlockwise, UpdateBlockwiseSst
    src/update/register/whole_image.cpp     # UpdateWholeImage
)

status=0
offence() {
    echo "$1"
    status=1
}
listed() {
    local want=$1 item
    shift
    for item in "$@"; do [ "$item" = "$want" ] && return 0; done
    return 1
}

sources=$(git ls-files -co --exclude-standard -- 'src/*.cpp' 'src/*.h' 'cli/*.cpp' 'cli/*.h' 'gui/*.cpp' 'gui/*.h' \
    'programs/*.cpp' 'programs/*.h' | sort -u)

declare -A over=()
while read -r lines file; do
    [ "$file" = total ] && continue
    ((lines > max_file_lines)) && over[$file]+=" $lines lines;"
done < <(xargs wc -l <<<"$sources")

if ! command -v ctags >/dev/null || ! ctags --version 2>/dev/null | grep -q Universal; then
    offence "tools/check_layout.sh: universal-ctags is missing (tools/deps.sh installs it)"
else
    while read -r end start file name; do
        [ "$end" = - ] && continue
        ((end - start + 1 > max_function_lines)) && over[$file]+=" $name has $((end - start + 1)) lines;"
    done < <(xargs ctags --languages=C++ --kinds-C++=f --fields=+ne -x --_xformat='%{end} %{line} %F %N' \
        <<<"$sources")
fi

for file in "${!over[@]}"; do
    listed "$file" "${data_tables[@]}" "${still_to_split[@]}" && continue
    offence "$file:${over[$file]} the limits are $max_file_lines lines a file and $max_function_lines a function"
done
for file in "${still_to_split[@]}"; do
    [ -n "${over[$file]:-}" ] || offence "$file keeps to the limits now: take it off still_to_split"
done

while IFS= read -r program; do
    offence "$program: a program's source under tools/ (programs/ holds them)"
done < <(git ls-files -co --exclude-standard -- 'tools/*.cpp' 'tools/*.h' 'tools/*.cc' 'tools/*CMakeLists.txt')

readme_lines=$(wc -l <README.md)
((readme_lines <= 150)) || offence "README.md: $readme_lines lines; the quick start keeps to 150 (the rest goes to docs/)"

# A name in backticks that looks like a path of the tree (it has a slash, or
# ends in a source or script suffix) must exist.
while IFS= read -r path; do
    [ -e "$path" ] || [ -e "docs/$path" ] || offence "docs/architecture.md names $path, which does not exist"
done < <(grep -o '`[^` ]*`' docs/architecture.md | tr -d '`' |
    grep -E '^[A-Za-z0-9_.-]+/|\.(cpp|h|sh|md|json|cmake)$' | grep -v '^build/' | sed 's:/$::' | sort -u)

[ "$status" -eq 0 ] && echo "layout: files, functions, tools/, README and the architecture page keep to their limits"
exit "$status"
