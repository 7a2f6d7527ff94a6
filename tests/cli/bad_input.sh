#!/usr/bin/env bash
# Every bad input gives its message on standard error and its exit code, and
# (where marked) prints nothing on standard output before it. Global options
# work after the verb too (the last rows).
# Usage: bad_input.sh BRIGANT_FW
set -uo pipefail
tool=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
touch "$work/file"
# Stand-ins for pkexec's answers: 126 the dialog dismissed, 127 not authorised.
printf '#!/bin/sh\nexit 126\n' >"$work/pk126" && printf '#!/bin/sh\nexit 127\n' >"$work/pk127"
chmod +x "$work/pk126" "$work/pk127"
head -c 65536 /dev/zero >"$work/fw.bin"
failed=0
# exit | stdout must be empty (1) | message on standard error | arguments
while IFS='|' read -r want empty message args; do
    [ -n "$want" ] || continue
    eval "set -- $args"
    "$tool" "$@" >"$work/out" 2>"$work/err"
    rc=$?
    # An access problem is one message: no "no disk" beside it, no second error.
    contradicts=0
    case $message in *permission*|*helper*|*authoris*)
        [ "$(grep -c '^error:' "$work/err")" -eq 1 ] && ! grep -q 'no disk\|hint:' "$work/err" || contradicts=1 ;;
    esac
    if [ "$rc" -ne "$want" ] || ! grep -qF -- "$message" "$work/err" || { [ "$empty" = 1 ] && [ -s "$work/out" ]; } ||
        [ "$contradicts" -ne 0 ]; then
        echo "FAILED: brigant-fw $args: exit $rc (expected $want), expected '$message' on standard error"
        sed 's/^/  out: /' "$work/out"
        sed 's/^/  err: /' "$work/err"
        failed=1
    fi
done <<TABLE
3|1|error: cannot open /nonexistent/sg0: No such file or directory|--device /nonexistent/sg0 info
3|1|error: cannot open /nonexistent/sg0: No such file or directory|--device /nonexistent/sg0 list
3|1|error: cannot open /nonexistent/sg0: No such file or directory|--device /nonexistent/sg0 update --embedded
3|1|error: /dev/null: not a SCSI generic device|--device /dev/null info
3|1|error: /dev/null: not a SCSI generic device|--device /dev/null raw in 16 E0 F4 E7 00 00 00 00 00 00 00 00 00
3|1|error: $work: not a SCSI generic device|--device $work info
3|1|error: cannot open sim:sg7: no such simulated device (present: sim:sg0)|--simulate quince --device sim:sg7 info
2|1|error: --sim-state $work/file: not a directory|--simulate quince --sim-state $work/file update --embedded
2|1|error: --sim-state $work/none/s: the folder $work/none does not exist|--simulate quince --sim-state $work/none/s info
2|1|error: --trace $work/none/trace: cannot write: No such file or directory|--simulate quince --trace=$work/none/trace list
2|1|error: --index 3 is out of range: one device is listed, its index is 0|--simulate quince info --index 3
2|1|error: --index -1 is out of range: 2 devices are listed, valid indexes are 0 to 1|--simulate quince --simulate nutmeg info --index -1
2|0|error: --index 2 is out of range: one device is listed, its index is 0|--simulate quince update --embedded --index 2
2|0|error: --index 1 is out of range: one device is listed, its index is 0|--simulate nutmeg backup $work/b.bin --index 1
2|0|error: --index 1 is out of range: one device is listed, its index is 0|--simulate nutmeg erase --index 1
2|1|error: $work/none/b.bin: the folder $work/none does not exist; nothing was read|--simulate nutmeg backup $work/none/b.bin
2|1|error: $work is a folder: give the backup a file name; nothing was read|--simulate nutmeg backup $work
2|0|error: $work/fw.bin has 65536 bytes, the flash 524288: give --offset and --length to compare a part; nothing was compared|--simulate nutmeg verify --raw $work/fw.bin
2|0|error: --offset 0x70001 --length 65536 reaches past the end of the flash (524288 bytes)|--simulate nutmeg verify --raw --offset 0x70001 --length 65536 $work/fw.bin
2|0|error: $work/fw.bin has 65536 bytes, --length asks for 4096|--simulate nutmeg verify --raw --length 4096 $work/fw.bin
2|1|error: --offset and --length go with --raw, and --offset needs --length|--simulate nutmeg verify --offset 4096 $work/fw.bin
2|1|error: $work/file exists: give another name, or --force to write over it; nothing was read|--simulate nutmeg --trace=$work/trace backup $work/file
3|0|is not a chip type code 16 bridge; choose another with --index (0 to 1)|--simulate pine --simulate quince update --embedded
2|1|--quiet excludes --verbose|--quiet --verbose list
3|1|error: cannot open /nonexistent/sg0: No such file or directory|info --device /nonexistent/sg0
2|1|error: --index 3 is out of range: one device is listed, its index is 0|info --index 3 --simulate quince
2|1|--quiet excludes --verbose|list --quiet --verbose
3|0|error: sim:sg0: not identified: INQUIRY failed (Input/output error); \`brigant-fw doctor --device sim:sg0\` tells more|--simulate nutmeg:fault=error@3 info
3|0|error: sim:sg0: not identified: INQUIRY failed (Input/output error)|--debug --simulate nutmeg:fault=error@3 list
3|0|error: sim:sg0: not identified: INQUIRY failed (Input/output error)|--simulate nutmeg:fault=error@3 update --yes $work/fw.bin
3|0|error: cannot open sim:sg0: permission denied|--simulate quince:fault=denied@1 list
3|0|error: cannot open sim:sg0: permission denied|--simulate quince:fault=denied@1 info
3|0|error: cannot open sim:sg0: permission denied|--simulate quince:fault=denied@1 update --embedded --yes
3|0|error: cannot open sim:sg0: permission denied|--simulate nutmeg:fault=denied@1 update $work/fw.bin --yes
3|0|error: cannot open sim:sg0: permission denied|--simulate nutmeg:fault=denied@1 backup $work/b.bin
3|0|error: cannot open sim:sg0: permission denied|--simulate nutmeg:fault=denied@1 erase --yes
1|0|error: cannot open sim:sg0: permission denied|--simulate quince:fault=denied@1 check --embedded
3|0|error: authorisation was refused|--simulate quince --helper=$work/pk127 list
3|0|error: the authorisation dialog was dismissed|--simulate quince --helper=$work/pk126 list
3|0|error: the helper ended without answering (exit status 1)|--simulate quince --helper=/bin/false list
3|0|which is not installed: install it, or run as root|--simulate quince --helper=$work/none list
TABLE
[ -e "$work/b.bin" ] && { echo "FAILED: a backup file was written"; failed=1; }
# The refused backup sent nothing and left the file as it was (empty).
[ -s "$work/trace" ] || [ -s "$work/file" ] && { echo "FAILED: a refused backup asked the device or wrote"; failed=1; }
[ -e "$work/none" ] && { echo "FAILED: a missing --sim-state folder was made"; failed=1; }
# A bad value in the settings file of the working directory: a warning on
# standard error, the listing itself on standard output untouched.
mkdir "$work/cwd" && printf 'VID = XYZ\n' >"$work/cwd/FwUpdateTool.ini"
(cd "$work/cwd" && "$tool" --simulate quince list >"$work/out" 2>"$work/err")
if ! grep -q 'The setting VID = "XYZ" is not a hexadecimal number' "$work/err" || grep -q 'VID' "$work/out"; then
    echo "FAILED: the settings warning is not (only) on standard error"
    failed=1
fi
[ "$failed" -eq 0 ] && echo "every bad input refused with its message and exit code"
exit "$failed"
