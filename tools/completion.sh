#!/usr/bin/env bash
# Writes the bash completion of brigant-fw from its own --help: the global
# options, the verbs, each verb's options, and the values of the options and
# arguments whose value names say what they take (FILE: files, DIR: folders,
# NODE: /dev/sg*, PRESET: the simulator's presets from --simulate help,
# NAME:{a,b}: a or b), so that it completes what the program accepts.
# Usage: tools/completion.sh PROGRAM NAME [OUTPUT]
set -euo pipefail
program=$1
name=$2
[ $# -lt 3 ] || exec >"$3"

# The option and argument lines of --help texts, as "NAMES TYPE" (NAMES
# comma-separated; TYPE empty for a flag).
entries() {
    awk '/^(Positionals|Options):$/ {on = 1; next} /^$/ {on = 0}
         on && /^  [^ ]/ {
             split(substr($0, 3), c, "  +")
             n = split(c[1], w, " ")
             print w[1], (n > 1 && w[2] !~ /^(Excludes:|Needs:|REQUIRED)$/ ? w[2] : "")
         }'
}
# The option names of a --help text.
options() { entries | awk '$1 ~ /^-/ {print $1}' | tr ',' '\n' | sort -u | tr '\n' ' '; }
# The bash pattern of every option (or FILE argument) whose value is of a kind
# completed here, with that kind. Other values (N, CODE, PROGRAM) get the
# usual words: some options take theirs only optionally.
values() {
    entries | awk '
        $1 !~ /^-/ && $1 != "FILE" {next}
        $2 ~ /^FILE/ {kind = "file"} $2 ~ /^DIR/ {kind = "dir"} $2 ~ /^NODE/ {kind = "node"}
        $2 ~ /^PRESET/ {kind = "preset"} $2 ~ /:\{/ {kind = "words " substr($2, index($2, "{"))}
        kind != "" {gsub(/,/, "|", $1); print $1, kind; kind = ""}'
}

help=$("$program" --help)
verbs=$(sed -n '/^Subcommands:/,/^$/p' <<<"$help" | awk 'NR > 1 && /^  [a-z]/ {printf "%s ", $1}')
# (read to the end: a reader that stops early would end the program by SIGPIPE)
presets=$("$program" --simulate help | awk '/^Options of/ {done = 1} !done && /^  [a-z]/ {printf "%s ", $1}')
globals=$(options <<<"$help")
table=$(values <<<"$help")
verb_cases=""
for verb in $verbs; do
    verb_help=$("$program" "$verb" --help)
    # After the verb: its options and the global ones.
    verb_cases+=$(printf '\n        %s) words="%s" ;;' "$verb" "$(options <<<"$verb_help"$'\n\n'"$help")")
    table+=$'\n'$(values <<<"$verb_help" | sed "s/^FILE /$verb:FILE /")
done
func=_$(tr -c 'A-Za-z0-9\n' '_' <<<"$name")
cat <<HEAD
# bash completion for $name, generated from its --help.
$func() {
    local cur=\${COMP_WORDS[COMP_CWORD]} prev="" verb="" w words="" kind=""
    ((COMP_CWORD < 2)) || prev=\${COMP_WORDS[COMP_CWORD-1]}
    # --option=value: bash splits the word at the "=".
    if [[ \$cur == = ]]; then
        cur=""
    elif [[ \$prev == = && COMP_CWORD -ge 3 ]]; then
        prev=\${COMP_WORDS[COMP_CWORD-2]}
    fi
    for w in "\${COMP_WORDS[@]:1:COMP_CWORD-1}"; do
        case " $verbs" in *" \$w "*) verb=\$w ;; esac
    done
    # The value of the option before the word, else a verb's file argument.
    case \$prev in
HEAD
sort -u <<<"$table" | awk '$1 !~ /:FILE$/ && $1 != "" {
    pattern = $1
    sub(/^[^ ]+ /, "")
    printf "    %s) kind=\"%s\" ;;\n", pattern, $0
}'
printf '    *)\n        case $verb:$cur in\n'
sort -u <<<"$table" | awk '$1 ~ /:FILE$/ {
    sub(/:FILE$/, "", $1)
    printf "        %s:[^-]* | %s:) kind=file ;;\n", $1, $1
}'
cat <<BODY
        esac ;;
    esac
    case \$kind in
    file) compopt -o filenames 2>/dev/null; mapfile -t COMPREPLY < <(compgen -f -- "\$cur"); return ;;
    dir) compopt -o filenames 2>/dev/null; mapfile -t COMPREPLY < <(compgen -d -- "\$cur"); return ;;
    node) words=\$(compgen -G '/dev/sg[0-9]*') ;;
    preset) words="$presets" ;;
    words*) words=\${kind#words \\{}; words=\${words%\\}}; words=\${words//,/ } ;;
    *)
        case \$verb in
        "") words="$globals$verbs" ;;$verb_cases
        esac ;;
    esac
    mapfile -t COMPREPLY < <(compgen -W "\$words" -- "\$cur")
}
complete -F $func $name
BODY
