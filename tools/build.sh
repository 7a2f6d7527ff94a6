#!/usr/bin/env bash
# Configures and builds one tree: tools/build.sh DIR [cmake options...]
# BRIGANT_UNITY=ON builds the libraries as unity batches (tests stay one file each).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$1
shift
cmake -S . -B "$dir" -G Ninja -DBRIGANT_WERROR=ON -DCMAKE_UNITY_BUILD="${BRIGANT_UNITY:-OFF}" "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
