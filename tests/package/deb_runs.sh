#!/usr/bin/env bash
# Builds the .deb of a build tree, unpacks it into a temporary root and runs
# from there: brigant-fw --version, a simulated one-button update with --yes;
# the helper and its policy are where pkexec looks for them, and the desktop
# entry and metainfo (when the window is built) validate.
# Usage: deb_runs.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1) || {
    cat "$work/cpack.log"
    exit 1
}
debs=("$work"/out/*.deb)
[ -f "${debs[0]}" ] || { echo "no .deb made"; cat "$work/cpack.log"; exit 1; }
dpkg-deb -I "${debs[0]}" >"$work/info"
grep -q 'Depends:.*pkexec' "$work/info" || { echo "the package does not depend on pkexec"; exit 1; }
dpkg-deb -x "${debs[0]}" "$work/root"

prefix=$(grep -o 'CMAKE_INSTALL_PREFIX:PATH=.*' "$build/CMakeCache.txt" | cut -d= -f2)
root=$work/root$prefix
"$root/bin/brigant-fw" --version >"$work/version"
grep -q '^brigant-fw ' "$work/version" || { echo "--version from the package failed"; exit 1; }

# The helper is installed where the policy says and where the tools start it.
policy=$root/share/polkit-1/actions/io.brigant.fw-helper.policy
helper_path=$(grep -o 'exec.path">[^<]*' "$policy" | cut -d'>' -f2)
[ -x "$work/root$helper_path" ] || { echo "no helper at $helper_path"; exit 1; }
grep -q '<allow_active>auth_admin_keep</allow_active>' "$policy"
grep -q '<allow_any>no</allow_any>' "$policy"
grep -q '<allow_inactive>no</allow_inactive>' "$policy"
[ ! -e "$work/root/lib/udev/rules.d" ] && [ ! -e "$work/root/usr/lib/udev/rules.d" ] || {
    echo "the package installs a udev rule"
    exit 1
}

"$root/bin/brigant-fw" --simulate quince --sim-state "$work/state" update --embedded --yes --no-backup \
    >"$work/update.log" 2>&1 || { echo "simulated update from the package failed"; cat "$work/update.log"; exit 1; }
"$root/bin/brigant-fw" --simulate quince --sim-state "$work/state" info >"$work/info.log" 2>&1 || true
if "$root/bin/brigant-fw" --simulate quince --sim-state "$work/state" update --embedded --yes --no-backup \
    >"$work/again.log" 2>&1; then
    echo "a second update of the updated bridge did not report that the firmware is current"
    exit 1
elif [ $? -ne 4 ]; then
    echo "a second update ended with an unexpected exit code"
    cat "$work/again.log"
    exit 1
fi

# The manual page and the completion know the helper option the program has.
grep -q -- '--helper' "$root/share/man/man1/brigant-fw.1" || {
    echo "brigant-fw(1) from the package does not show --helper"
    exit 1
}
completed=$(bash -c 'source "$1"; COMP_WORDS=(brigant-fw --helper up); COMP_CWORD=2; _brigant_fw; echo "${COMPREPLY[*]}"' \
    _ "$root/share/bash-completion/completions/brigant-fw")
[ "$completed" = update ] || { echo "completion of 'up' gave '$completed'"; exit 1; }

if [ -x "$root/bin/brigant-fwtool" ]; then
    [ -f "$root/share/man/man1/brigant-fwtool.1" ]
    desktop-file-validate "$root/share/applications/io.brigant.fwtool.desktop"
    appstreamcli validate --no-net "$root/share/metainfo/io.brigant.fwtool.metainfo.xml"
    [ -f "$root/share/icons/hicolor/scalable/apps/brigant-fwtool.svg" ]
fi
echo "package ${debs[0]##*/}: unpacked, ran and validated"
