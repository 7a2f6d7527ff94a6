#!/usr/bin/env bash
# Builds the Debian package: tools/package.sh [BUILD_DIR] (default build-deb),
# and beside it the -dbgsym package with the programs' debugging symbols.
# The programs are built for /usr, where the package installs them (the tools
# start the helper from the libexec path they were built with).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-deb}
tools/build.sh "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr -DBRIGANT_TESTS=OFF
(cd "$dir" && cpack -B "$PWD/package")
ls "$dir"/package/*.deb "$dir"/package/*.ddeb
