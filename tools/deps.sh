#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, if any are missing.
set -euo pipefail
packages=(build-essential cmake ninja-build pkg-config libudev-dev libcli11-dev
          libgtest-dev libgmock-dev googletest umockdev libumockdev-dev clang libclang-rt-dev
          qt6-base-dev nlohmann-json3-dev libsgutils2-dev libssl-dev)
# Google Benchmark: the micro-benchmarks in bench/ (built with the rest, run by hand).
packages+=(libbenchmark-dev)
# python3 reads back the JSON in tests/cli and checks it against docs/json-schema.json
# (python3-jsonschema); script (bsdutils) gives them a pseudo-terminal.
packages+=(python3 python3-jsonschema bsdutils)
# The package: dpkg-deb and dpkg-shlibdeps (dpkg-dev); file, objcopy and
# readelf (binutils), with which CPack finds the programs and moves their
# symbols into the -dbgsym package; lintian and the validators of the desktop
# entry and metainfo for its test; pkexec starts the helper it installs.
packages+=(dpkg-dev file binutils lintian desktop-file-utils appstream pkexec)
# The window's smoke test runs it on a virtual X server: xvfb-run (xvfb), with
# the authority file it makes (xauth).
packages+=(xvfb xauth)
# The system tests' QEMU guest and what its initramfs and udev are made of;
# sg3_utils and smartctl, standard clients the simulated bridges must satisfy.
packages+=(qemu-system-x86 busybox-static cpio kmod udev sg3-utils smartmontools)
# tools/check_sizes.sh measures functions with universal-ctags.
packages+=(universal-ctags)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing missing packages: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq || true
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi
