#!/usr/bin/env bash
# Builds the .deb of a build tree, unpacks it into a temporary root and runs
# from there: brigant-fw --version, a simulated one-button update with --yes;
# the helper and its policy are where pkexec looks for them, and the desktop
# entry and metainfo (when the window is built) validate. lintian finds no
# error or warning (those kept are overridden in the package, each with its
# reason); the programs are stripped, their symbols in the -dbgsym package;
# the manual pages are compressed; the completion completes.
# Usage: deb_runs.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
    echo "$1"
    [ $# -lt 2 ] || cat "$2"
    exit 1
}
prefix=$(grep -o 'CMAKE_INSTALL_PREFIX:PATH=.*' "$build/CMakeCache.txt" | cut -d= -f2)
[ "$prefix" = /usr ] ||
    fail "the package installs under /usr: configure $build with -DCMAKE_INSTALL_PREFIX=/usr (not $prefix)"
(cd "$work" && cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1) ||
    fail "cpack failed" "$work/cpack.log"
debs=("$work"/out/*.deb)
ddebs=("$work"/out/*-dbgsym*.ddeb)
[ -f "${debs[0]}" ] || fail "no .deb made" "$work/cpack.log"
[ -f "${ddebs[0]}" ] || fail "no -dbgsym package made" "$work/cpack.log"
dpkg-deb -I "${debs[0]}" >"$work/info"
grep -q 'Depends:.*pkexec' "$work/info" || fail "the package does not depend on pkexec"
lintian --fail-on error,warning --tag-display-limit 0 "${debs[0]}" "${ddebs[0]}" >"$work/lintian.log" 2>&1 ||
    fail "lintian:" "$work/lintian.log"
dpkg-deb -x "${debs[0]}" "$work/root"
dpkg-deb -x "${ddebs[0]}" "$work/dbgsym"
root=$work/root/usr

# Every program is stripped, and its debugging symbols are in the -dbgsym
# package under its build ID.
programs=$(find "$work/root" -type f -exec sh -c 'head -c4 "$1" | grep -q "^.ELF"' _ {} \; -print)
[ -n "$programs" ] || fail "no programs in the package"
for p in $programs; do
    sections=$(readelf -S "$p")
    grep -q -e '\.debug_info' -e '\.symtab' <<<"$sections" && fail "${p#"$work/root"} is not stripped"
    id=$(readelf -n "$p" | awk '/Build ID:/ {print $3}')
    [ -n "$id" ] || fail "${p#"$work/root"} has no build ID"
    debug=$work/dbgsym/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug
    [ -f "$debug" ] && grep -q '\.debug_info' <<<"$(readelf -S "$debug" 2>/dev/null)" ||
        fail "the -dbgsym package has no symbols for ${p#"$work/root"}"
done

# The program's version is the package's.
version=$(dpkg-deb -f "${debs[0]}" Version)
"$root/bin/brigant-fw" --version >"$work/version"
[ "$(head -1 "$work/version")" = "brigant-fw $version" ] ||
    fail "brigant-fw --version does not say the package version $version" "$work/version"

# The copyright file, machine-readable.
read -r format <"$root/share/doc/brigant-fw/copyright"
[ "$format" = 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ] ||
    fail "no machine-readable /usr/share/doc/brigant-fw/copyright"

# The helper is installed where the policy says and where the tools start it.
policy=$root/share/polkit-1/actions/io.brigant.fw-helper.policy
helper_path=$(grep -o 'exec.path">[^<]*' "$policy" | cut -d'>' -f2)
[ -x "$work/root$helper_path" ] || fail "no helper at $helper_path"
grep -q '<allow_active>auth_admin_keep</allow_active>' "$policy"
grep -q '<allow_any>no</allow_any>' "$policy"
grep -q '<allow_inactive>no</allow_inactive>' "$policy"
[ ! -e "$work/root/lib/udev/rules.d" ] && [ ! -e "$work/root/usr/lib/udev/rules.d" ] ||
    fail "the package installs a udev rule"

"$root/bin/brigant-fw" --simulate quince --sim-state "$work/state" update --embedded --yes --no-backup \
    >"$work/update.log" 2>&1 || fail "simulated update from the package failed" "$work/update.log"
"$root/bin/brigant-fw" --simulate quince --sim-state "$work/state" info >"$work/info.log" 2>&1 || true
if "$root/bin/brigant-fw" --simulate quince --sim-state "$work/state" update --embedded --yes --no-backup \
    >"$work/again.log" 2>&1; then
    fail "a second update of the updated bridge did not report that the firmware is current"
elif [ $? -ne 4 ]; then
    fail "a second update ended with an unexpected exit code" "$work/again.log"
fi

# A compressed manual page for every program in /usr/bin, and no other. The
# command line's page has its options and its exit codes once, not again
# under every verb.
for p in "$root"/bin/*; do
    gzip -t "$root/share/man/man1/${p##*/}.1.gz" || fail "no compressed manual page for ${p##*/}"
done
[ -z "$(find "$root/share/man" -type f ! -name '*.gz')" ] || fail "an uncompressed manual page"
zcat "$root/share/man/man1/brigant-fw.1.gz" >"$work/brigant-fw.1"
grep -q -- '\\-\\-helper' "$work/brigant-fw.1" || fail "brigant-fw(1) from the package does not show --helper"
[ "$(grep -c 'stopped by SIGINT' "$work/brigant-fw.1")" = 1 ] &&
    [ "$(grep -c '^\.SH "EXIT STATUS"' "$work/brigant-fw.1")" = 1 ] ||
    fail "brigant-fw(1) does not have its exit codes once, in EXIT STATUS"
grep -q 'Global options' "$work/brigant-fw.1" && fail "brigant-fw(1) repeats the global options under a verb"

# The completion: words (the last one is completed, in a folder with two
# files and a folder) and what it offers.
mkdir "$work/cwd" "$work/cwd/state" && touch "$work/cwd/fw-a.bin" "$work/cwd/fw-b.bin"
sg_nodes=$(compgen -G '/dev/sg[0-9]*' | sort | tr '\n' ' ' || true)
while IFS='|' read -r words expected; do
    [ -n "$words" ] || continue
    words=${words%"${words##*[! ]}"} # without the spaces that align the table
    completed=$(cd "$work/cwd" && bash -c 'source "$1"; eval "COMP_WORDS=($2)"; COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
        _brigant_fw; printf "%s\n" "${COMPREPLY[@]}" | sort | tr "\n" " "' \
        _ "$root/share/bash-completion/completions/brigant-fw" "$words")
    expected=$(eval "echo $expected")
    [ "${completed% }" = "${expected% }" ] || fail "completion of '$words' gave '$completed', not '$expected'"
done <<'TABLE'
brigant-fw --helper up                     | update
brigant-fw --simulate quin                 | quince
brigant-fw --simulate quince update fw     | fw-a.bin fw-b.bin
brigant-fw check fw-a                      | fw-a.bin
brigant-fw verify ""                       | fw-a.bin fw-b.bin state
brigant-fw update --in                     | --include-nvram --index
brigant-fw list --de                       | --debug --device
brigant-fw info --bus u                    | uasp usb
brigant-fw --sim-state ""                  | state
brigant-fw --trace = fw-b                  | fw-b.bin
brigant-fw --device ""                     | $sg_nodes
TABLE

if [ -x "$root/bin/brigant-fwtool" ]; then
    zgrep -q 'brigant\\-fwtool (1)' "$root/share/man/man1/brigant-fwtool.1.gz" &&
        fail "brigant-fwtool(1) lists itself under SEE ALSO"
    desktop-file-validate "$root/share/applications/io.brigant.fwtool.desktop"
    appstreamcli validate --no-net "$root/share/metainfo/io.brigant.fwtool.metainfo.xml"
    [ -f "$root/share/icons/hicolor/scalable/apps/brigant-fwtool.svg" ]
fi
echo "package ${debs[0]##*/}: unpacked, ran and validated"
