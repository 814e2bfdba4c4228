#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DVELMORA_BUILD_FUZZERS=ON -DVELMORA_BUILD_TESTS=OFF >/dev/null
cmake --build build/fuzz --target fuzzers
shopt -s nullglob
targets=(build/fuzz/fuzz/*_fuzzer)
for target in "${targets[@]}"; do
  name=$(basename "$target")
  corpus=build/fuzz/corpus/$name
  mkdir -p "$corpus"
  dict=()
  [ -f "tests/fuzz/$name.dict" ] && dict=(-dict="tests/fuzz/$name.dict")
  echo "fuzzing $name for ${seconds}s"
  "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 "${dict[@]}" "$corpus" \
    2>build/fuzz/$name.log || { tail -50 build/fuzz/$name.log; exit 1; }
  grep -E '^stat::number_of_executed_units' build/fuzz/$name.log || true
done
