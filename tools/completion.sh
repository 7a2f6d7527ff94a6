#!/usr/bin/env bash
# Writes the bash completion of brigant-fw from its own --help: the global
# options, the verbs, and each verb's options, so that it completes what the
# program accepts. Usage: tools/completion.sh PROGRAM NAME [OUTPUT]
set -euo pipefail
program=$1
name=$2
[ $# -lt 3 ] || exec >"$3"

# The option names of a --help text (the first column of its option lines).
options() { awk '/^  -/ {print $1}' | tr ',' '\n' | grep -E '^--?[A-Za-z]' | sort -u | tr '\n' ' '; }

help=$("$program" --help)
verbs=$(sed -n '/^Subcommands:/,/^$/p' <<<"$help" | awk 'NR > 1 && /^  [a-z]/ {printf "%s ", $1}')
func=_$(tr -c 'A-Za-z0-9\n' '_' <<<"$name")
cat <<HEAD
# bash completion for $name, generated from its --help.
$func() {
    local cur=\${COMP_WORDS[COMP_CWORD]} verb="" w words
    for w in "\${COMP_WORDS[@]:1:COMP_CWORD-1}"; do
        case " $verbs" in *" \$w "*) verb=\$w ;; esac
    done
    case \$verb in
HEAD
printf '    "") words="%s%s" ;;\n' "$(options <<<"$help")" "$verbs"
for verb in $verbs; do
    printf '    %s) words="%s" ;;\n' "$verb" "$("$program" "$verb" --help | options)"
done
cat <<TAIL
    esac
    COMPREPLY=(\$(compgen -W "\$words" -- "\$cur"))
}
complete -o default -F $func $name
TAIL
