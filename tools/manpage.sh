#!/usr/bin/env bash
# Writes the manual page of a program from its own --help (and each of its
# sub-commands' --help), so that the page says what the program says, and
# adds the hand-written sections of SECTIONS (roff: .SH ENVIRONMENT, FILES...).
# Usage: tools/manpage.sh PROGRAM NAME VERSION "one-line summary" [OUTPUT [SECTIONS]]
#
# A CLI11 --help becomes SYNOPSIS, DESCRIPTION, OPTIONS and one COMMANDS
# subsection per sub-command. Each sub-command's own footer (the global
# options and exit codes it repeats) is left out: the page has them once, from
# the program's footer, whose "Exit codes:" block becomes EXIT STATUS,
# "Examples:" EXAMPLES, and any other "Heading:" block a section of its name.
# A --help of another form is shown as it is under DESCRIPTION.
set -euo pipefail
program=$1
name=$2
version=$3
summary=$4
sections=${6:-}
[ $# -lt 5 ] || exec >"$5"

# --help as the user sees it, the program's path replaced by its name.
help_of() { "$program" "$@" --help 2>&1 | sed "s|$program|$name|g"; }

# Roff from one CLI11 --help: "main" gives the program's sections, "verb" the
# body of one sub-command's subsection. Every section starts with ".SH TITLE".
to_roff() {
    awk -v mode="$1" -v name="$name" '
    # Roff-safe text: backslashes escaped, a leading control character
    # neutralised, and the hyphens that start an option as minus signs.
    function text(s,    out, i, c, prev) {
        gsub(/\\/, "\\e", s)
        out = ""
        prev = " "
        for (i = 1; i <= length(s); i++) {
            c = substr(s, i, 1)
            out = out ((c == "-" && prev !~ /[A-Za-z0-9]/) ? "\\-" : c)
            prev = c
        }
        if (out ~ /^[.\047]/)
            out = "\\&" out
        return out
    }
    # A synopsis or an option column: option names (and a verb) bold, the
    # names of values italic, brackets and remarks such as REQUIRED as they are.
    function tag(s, verb,    n, w, i, core, pre, post, out) {
        n = split(s, w, " ")
        out = ""
        for (i = 1; i <= n; i++) {
            core = w[i]
            match(core, /^\[*/)
            pre = substr(core, 1, RLENGTH)
            core = substr(core, RLENGTH + 1)
            post = ""
            if (match(core, /[].]+$/)) {
                post = substr(core, RSTART)
                core = substr(core, 1, RSTART - 1)
            }
            if (core ~ /^-/) {
                core = "\\fB" text(core) "\\fR"
                gsub(/,/, "\\fR, \\fB", core)
            } else if (i == 1 && verb)
                core = "\\fB" text(core) "\\fR"
            else if (core != "" && core !~ /^(Excludes:|Needs:|REQUIRED)$/)
                core = "\\fI" text(core) "\\fR"
            out = out (i > 1 ? " " : "") pre core post
        }
        return out
    }
    function entry(t, d) { body = body ".TP\n" t "\n" text(d) "\n" }
    function flush() {
        if (section != "" && section != "-" && body != "")
            out[++count] = (mode == "verb" ? "" : heading[section] "\n") body
        body = ""
    }
    BEGIN {
        heading["Options"] = ".SH OPTIONS"
        heading["Positionals"] = ".SH ARGUMENTS"
        heading["Exit codes"] = ".SH \"EXIT STATUS\""
        heading["Examples"] = ".SH EXAMPLES"
        heading["Footer"] = ".SH OPTIONS"
    }
    NR == 1 { description = $0; next }
    /^Usage: / { sub(/^Usage: [^ ]+ */, ""); sub(/SUBCOMMAND/, "COMMAND"); usage = $0; next }
    /^$/ { flush(); section = ""; next }
    /^[A-Z][A-Za-z ]*:$/ {
        flush()
        section = substr($0, 1, length($0) - 1)
        # A sub-command keeps its arguments and options; the rest of its
        # footer repeats the program footer.
        if (mode == "verb" && section != "Positionals" && section != "Options")
            section = "-"
        if (!(section in heading))
            heading[section] = ".SH " toupper(section)
        next
    }
    section == "-" { next }
    # A description CLI11 put on the next line, indented to column 30.
    section != "" && /^   / {
        sub(/^ +/, "")
        if (pending != "") { entry(pending, $0); pending = "" } else body = body text($0) "\n"
        next
    }
    # An entry: "  NAME COLUMN  description", or the column alone.
    section != "" && /^  [^ ]/ {
        line = substr($0, 3)
        if (section == "Subcommands")
            next # each has its own subsection
        if (mode == "verb" && line ~ /^-h,--help /)
            next # said once, among the program options
        if (match(line, /  +/)) {
            col = substr(line, 1, RSTART - 1)
            rest = substr(line, RSTART + RLENGTH)
        } else {
            col = line
            rest = ""
        }
        if (section == "Positionals") {
            split(col, w, " ")
            t = "\\fI" text(w[1]) "\\fR"
        } else if (section == "Examples") {
            t = "\\fB" text(col) "\\fR"
        } else if (section == "Options") {
            t = tag(col, 0)
        } else if (rest != "") {
            t = text(col)
        } else {
            body = body text(line) "\n"
            next
        }
        if (rest == "")
            pending = t
        else
            entry(t, rest)
        next
    }
    # A footer paragraph without a heading goes with the options.
    mode == "main" && section == "" { section = "Footer" }
    mode == "main" { body = body ".PP\n" text($0) "\n"; next }
    END {
        flush()
        if (mode == "main")
            printf ".SH SYNOPSIS\n.B %s\n%s\n.SH DESCRIPTION\n%s\n", text(name), tag(usage, 0), text(description)
        else
            printf ".B %s\n%s\n.PP\n%s\n", text(name), tag(usage, 1), text(description)
        for (i = 1; i <= count; i++)
            printf "%s", out[i]
    }'
}

help=$(help_of)
{
    if grep -q '^Usage: ' <<<"$help"; then
        to_roff main <<<"$help"
    else
        printf '.SH DESCRIPTION\n.nf\n'
        sed -e 's/\\/\\e/g' -e "s/^\\([.']\\)/\\\\\\&\\1/" <<<"$help"
        printf '.fi\n'
    fi
    subcommands=$(sed -n '/^Subcommands:/,/^$/p' <<<"$help" | awk 'NR > 1 && /^  [a-z]/ {print $1}')
    if [ -n "$subcommands" ]; then
        printf '.SH COMMANDS\nThe options above may stand before or after the command.\n'
        for sub in $subcommands; do
            printf '.SS %s\n' "$sub"
            help_of "$sub" | to_roff verb
        done
    fi
    if [ -n "$sections" ]; then
        printf '.\\" written by hand\n'
        cat "$sections"
    fi
} | awk -v title="$(tr '[:lower:]' '[:upper:]' <<<"$name")" -v name="$name" -v version="$version" \
    -v summary="$summary" '
    # The sections in the order of man-pages(7). Those it does not know come
    # after COMMANDS when --help has them, after FILES when written by hand.
    BEGIN {
        n = split("SYNOPSIS|DESCRIPTION|OPTIONS|ARGUMENTS|COMMANDS|EXIT STATUS|ENVIRONMENT|FILES|NOTES|EXAMPLES" \
                  "|SEE ALSO", known, "|")
    }
    /^\.\\" written by hand$/ { by_hand = 1; next }
    /^\.SH / {
        current = $0
        sub(/^\.SH /, "", current)
        gsub(/"/, "", current)
        if (!(current in body)) {
            order[++count] = current
            hand[current] = by_hand
        }
        next
    }
    { body[current] = body[current] $0 "\n" }
    function emit(s) {
        if (!(s in body)) return
        printf ".SH %s\n%s", (s ~ / / ? "\"" s "\"" : s), body[s]
        delete body[s]
    }
    END {
        gsub(/-/, "\\-", name)
        printf ".TH %s 1 \"\" \"%s %s\" \"User Commands\"\n", title, name, version
        printf ".SH NAME\n%s \\- %s\n", name, summary
        for (k = 1; k <= n; k++) is_known[known[k]] = 1
        for (k = 1; k <= n; k++) {
            emit(known[k])
            if (known[k] == "COMMANDS" || known[k] == "FILES")
                for (j = 1; j <= count; j++)
                    if (!(order[j] in is_known) && hand[order[j]] == (known[k] == "FILES"))
                        emit(order[j])
        }
    }'
