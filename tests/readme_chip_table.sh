#!/usr/bin/env bash
# The README's table of supported bridges is the one brigant-chip-table
# prints from the chip table: regenerate it when a chip's row changes.
# Usage: readme_chip_table.sh BRIGANT_CHIP_TABLE README
set -euo pipefail
generator=$1
readme=$2
begin='<!-- chip table: programs/chip-table (brigant-chip-table) -->'
end='<!-- end of chip table -->'
if ! grep -qxF "$begin" "$readme" || ! grep -qxF "$end" "$readme"; then
    echo "$readme has no chip table between '$begin' and '$end'"
    exit 1
fi
if ! diff -u <(awk -v b="$begin" -v e="$end" '$0 == e { on = 0 } on { print } $0 == b { on = 1 }' "$readme") \
    <("$generator"); then
    echo "the table in $readme differs from brigant-chip-table's (above); replace it with the tool's output"
    exit 1
fi
echo "README table matches the chip table"
