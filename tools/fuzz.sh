#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer in build-fuzz and runs each for a bounded time:
# BRIGANT_FUZZ_SECONDS per target (default 60); BRIGANT_FUZZ_TARGETS picks
# targets (default: all five), BRIGANT_FUZZ_JOBS how many run at once
# (default: one per core). New inputs that the runs find
# stay in build-fuzz/corpus; the seeds in fuzz/corpus are only read.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${BRIGANT_FUZZ_SECONDS:-60}
dir=build-fuzz
default_targets="fuzz_settings fuzz_firmware_checks fuzz_command_line fuzz_sim_presets fuzz_helper_protocol"
targets=(${BRIGANT_FUZZ_TARGETS:-$default_targets})
jobs=${BRIGANT_FUZZ_JOBS:-$(nproc)}

cmake -S . -B "$dir" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRIGANT_FUZZ=ON -DBRIGANT_SANITIZE=ON -DBRIGANT_TESTS=OFF \
  -DCMAKE_UNITY_BUILD=ON >/dev/null
cmake --build "$dir" -j "$(nproc)" --target "${targets[@]}"

# One target per core at a time: each still gets its full time.
fuzz_one() {
  local target=$1 work="$dir/corpus/$1" log="$dir/$1.log" max_len=4096 dict=()
  mkdir -p "$work"
  # Firmware headers lie up to 48 KiB into a file.
  [ "$target" = fuzz_firmware_checks ] && max_len=65536
  [ -f "fuzz/$target.dict" ] && dict=(-dict="fuzz/$target.dict")
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$dir/fuzz/$target" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$dir/$target-" "${dict[@]}" "$work" "fuzz/corpus/$target" >"$log" 2>&1
}

failed=()
running=()
finish_oldest() {
  local target=${running[0]}
  running=("${running[@]:1}")
  if wait "${pids[$target]}"; then
    echo "== fuzz $target: done"
    grep -E '^stat::number_of_executed_units|^Done|^INFO: a corpus of|#[0-9]+.*DONE' "$dir/$target.log" | tail -n 3 || true
  else
    tail -n 60 "$dir/$target.log"
    echo "== fuzz $target FAILED (log: $dir/$target.log)"
    failed+=("$target")
  fi
}
declare -A pids
for target in "${targets[@]}"; do
  [ "${#running[@]}" -ge "$jobs" ] && finish_oldest
  echo "== fuzz $target for ${seconds}s"
  fuzz_one "$target" &
  pids[$target]=$!
  running+=("$target")
done
while [ "${#running[@]}" -gt 0 ]; do finish_oldest; done
[ "${#failed[@]}" -eq 0 ] || exit 1
echo "== fuzzing found nothing"
