#!/usr/bin/env bash
# How an update shows its progress. In a pseudo-terminal: one line redrawn in
# place (carriage returns, no line feed between steps) with phase, percent,
# bar, amount and time left, and the result in colour; with NO_COLOR no
# escape code at all; --quiet draws no progress; on a pipe a line per phase
# with its percentages, no carriage return and no escape code.
# Usage: progress_pty.sh BRIGANT_FW
set -euo pipefail
tool=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAILED: $1"; cat -A "$work/$2" | cut -c1-240 | head -20; exit 1; }
run_pty() { script -qec "$*" /dev/null; }
cmd="$tool --simulate quince --sim-state $work/s update --embedded --yes --no-backup"

run_pty "$cmd" >"$work/tty" </dev/null
# A redrawn step: a carriage return, then the phase line, then the next carriage return.
grep -qaE $'\rProgramming Flash +[0-9]+% \\[#*\\.*\\] [0-9.]+/512\\.0 KiB, [0-9]+ s left\r' "$work/tty" ||
    fail "no redrawn progress line in the terminal" tty
grep -qaE $'\rProgramming Flash 100% \\[#{24}\\] 512\\.0/512\\.0 KiB' "$work/tty" || fail "the line never reaches 100%" tty
grep -qaF $'result: \033[32msuccess\033[0m' "$work/tty" || fail "no green result in the terminal" tty

rm -rf "$work/s"
NO_COLOR=1 run_pty "$cmd" >"$work/nocolor" </dev/null
grep -qaF $'\033' "$work/nocolor" && fail "escape codes despite NO_COLOR" nocolor
grep -qaF $'\rProgramming Flash' "$work/nocolor" || fail "NO_COLOR lost the redrawn line" nocolor
grep -qaF "result: success" "$work/nocolor" || fail "NO_COLOR: no result" nocolor

rm -rf "$work/s"
run_pty "$tool --simulate quince --sim-state $work/s --quiet update --embedded --yes --no-backup" >"$work/quiet" </dev/null
grep -qaE 'Programming Flash +[0-9]+%|progress:' "$work/quiet" && fail "--quiet drew progress" quiet
grep -qaE "result: .*success" "$work/quiet" || fail "--quiet lost the result" quiet

rm -rf "$work/s"
$cmd >"$work/pipe" 2>&1
grep -qaF $'\033' "$work/pipe" && fail "escape codes on a pipe" pipe
grep -qaF $'\r' "$work/pipe" && fail "carriage returns on a pipe" pipe
grep -qaE '^Programming Flash: 0% 10% 20% 30% 40% 50% 60% 70% 80% 90% 100%$' "$work/pipe" ||
    fail "no line of percentages for the phase on a pipe" pipe
echo "progress redrawn on a terminal, plain on a pipe, NO_COLOR and --quiet honoured"
