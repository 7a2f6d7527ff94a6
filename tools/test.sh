#!/usr/bin/env bash
# The whole test run: dependencies, a normal build with every test, then the
# same suite built with AddressSanitizer and UndefinedBehaviorSanitizer, then
# the fuzz targets. The system test's QEMU guest waits on its simulated
# hardware most of its time (about 0.9 of one core in 12 minutes): it runs
# beside the rest, which runs at a lower priority so that the guest keeps its
# pace.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh
jobs=$(nproc)

echo "== layers (one-way includes)"
tools/check_layers.sh

echo "== layout (file and function sizes, tools/, README, the architecture page)"
tools/check_layout.sh

# The libraries build as unity batches here: about half the compile time on
# two cores. tools/build.sh alone builds them file by file (quicker to rebuild
# after an edit).
export BRIGANT_UNITY=ON

echo "== build (RelWithDebInfo)"
tools/build.sh build

echo "== system tests (QEMU guest) started beside the rest; their output follows at the end"
system_log=build/system-test.log
# In a session of its own: whatever ends this script ends the guest too
# (the whole process group, QEMU included).
setsid tests/system/run.sh build >"$system_log" 2>&1 &
system_pid=$!
trap 'kill -- -"$system_pid" 2>/dev/null || true' EXIT

echo "== test (RelWithDebInfo; the system tests and those that measure time alone come last)"
nice -n 10 ctest --test-dir build --output-on-failure -j "$jobs" -LE "system|alone"

echo "== build and test (AddressSanitizer + UndefinedBehaviorSanitizer)"
nice -n 10 tools/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DBRIGANT_SANITIZE=ON
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  nice -n 10 ctest --test-dir build-asan --output-on-failure -j "$jobs" -LE "system|package|alone"

# 30 s per target here (a fresh clone starts from the seed corpus each time);
# tools/fuzz.sh alone gives each 60 s.
echo "== fuzz (libFuzzer, clang, bounded time)"
BRIGANT_FUZZ_SECONDS=${BRIGANT_FUZZ_SECONDS:-30} nice -n 10 tools/fuzz.sh

echo "== system tests (QEMU guest)"
system_rc=0
wait "$system_pid" || system_rc=$?
trap - EXIT
cat "$system_log"
case $system_rc in
0) ;;
77) echo "== system tests skipped: this machine cannot run the guest" ;;
*)
  echo "== system tests FAILED (exit $system_rc; logs in build/system-test/last-run)"
  exit 1
  ;;
esac
echo "== the tests that measure time, alone (RelWithDebInfo, then sanitized)"
ctest --test-dir build --output-on-failure -L alone
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --test-dir build-asan --output-on-failure -L alone
echo "== all tests passed"
