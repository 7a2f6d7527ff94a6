#!/usr/bin/env bash
# The whole test run: dependencies, a normal build with every test, then the
# same suite built with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh
jobs=$(nproc)

echo "== layers (one-way includes)"
tools/check_layers.sh

# The libraries build as unity batches here: about half the compile time on
# two cores. tools/build.sh alone builds them file by file (quicker to rebuild
# after an edit).
export BRIGANT_UNITY=ON

echo "== build and test (RelWithDebInfo; label 'system' boots a QEMU guest, a few minutes)"
tools/build.sh build
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== build and test (AddressSanitizer + UndefinedBehaviorSanitizer)"
tools/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DBRIGANT_SANITIZE=ON
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs" -LE "system|package"

echo "== fuzz (libFuzzer, clang, bounded time)"
tools/fuzz.sh
echo "== all tests passed"
