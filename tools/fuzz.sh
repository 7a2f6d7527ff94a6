#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer in build-fuzz and runs each for a bounded time:
# BRIGANT_FUZZ_SECONDS per target (default 60); BRIGANT_FUZZ_TARGETS picks
# targets (default: all five). New inputs that the runs find
# stay in build-fuzz/corpus; the seeds in fuzz/corpus are only read.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${BRIGANT_FUZZ_SECONDS:-60}
dir=build-fuzz
default_targets="fuzz_settings fuzz_firmware_checks fuzz_command_line fuzz_sim_presets fuzz_helper_protocol"
targets=(${BRIGANT_FUZZ_TARGETS:-$default_targets})

cmake -S . -B "$dir" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRIGANT_FUZZ=ON -DBRIGANT_SANITIZE=ON -DBRIGANT_TESTS=OFF >/dev/null
cmake --build "$dir" -j "$(nproc)" --target "${targets[@]}"

for target in "${targets[@]}"; do
  work="$dir/corpus/$target"
  log="$dir/$target.log"
  mkdir -p "$work"
  echo "== fuzz $target for ${seconds}s"
  # Firmware headers lie up to 48 KiB into a file.
  max_len=4096
  [ "$target" = fuzz_firmware_checks ] && max_len=65536
  dict=()
  [ -f "fuzz/$target.dict" ] && dict=(-dict="fuzz/$target.dict")
  if ! ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
      "$dir/fuzz/$target" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$dir/" "${dict[@]}" "$work" "fuzz/corpus/$target" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "== fuzz $target FAILED (log: $log)"
    exit 1
  fi
  grep -E '^stat::number_of_executed_units|^Done|^INFO: a corpus of|#[0-9]+.*DONE' "$log" | tail -n 3 || true
done
echo "== fuzzing found nothing"
