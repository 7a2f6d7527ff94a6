#!/usr/bin/env bash
# Writes the manual page of a program from its own --help (and each of its
# sub-commands' --help), so that the page says what the program says.
# Usage: tools/manpage.sh PROGRAM NAME VERSION "one-line summary" [OUTPUT]
set -euo pipefail
program=$1
name=$2
version=$3
summary=$4
[ $# -lt 5 ] || exec >"$5"

# Roff-safe verbatim text: backslashes escaped, control characters at a line start neutralised.
verbatim() {
    sed -e 's/\\/\\e/g' -e "s/^\\([.']\\)/\\\\\\&\\1/" -e "s|$program|$name|g"
}

help=$("$program" --help)
printf '.TH %s 1 "" "%s %s" "User Commands"\n' "$(tr '[:lower:]' '[:upper:]' <<<"$name")" "$name" "$version"
printf '.SH NAME\n%s \\- %s\n' "$name" "$summary"
printf '.SH DESCRIPTION\n.nf\n'
verbatim <<<"$help"
printf '.fi\n'
subcommands=$(sed -n '/^Subcommands:/,/^$/p' <<<"$help" | awk 'NR > 1 && /^  [a-z]/ {print $1}')
if [ -n "$subcommands" ]; then
    printf '.SH COMMANDS\n'
    for sub in $subcommands; do
        printf '.SS %s\n.nf\n' "$sub"
        "$program" "$sub" --help | verbatim
        printf '.fi\n'
    done
fi
printf '.SH PRIVILEGES\nRaw SCSI access to a bridge needs privileges: run through the helper\n'
printf '(installed with the package), or as root. The helper, brigant-fw-helper, is\n'
printf 'started through pkexec and passes only the commands this tool sends, and only\n'
printf 'to disks behind USB, UASP and FireWire bridges.\n'
printf '.SH SEE ALSO\n.BR brigant-fw (1),\n.BR brigant-fwtool (1),\n.BR pkexec (1)\n'
