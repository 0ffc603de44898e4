#!/usr/bin/env bash
# Builds and runs the benchmarks; each reports its median over 5 repetitions.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DASSAY_BENCH=ON -DASSAY_TESTS=OFF >/dev/null
cmake --build build-bench -j2 >/dev/null
./build-bench/bench/assay_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
  --benchmark_display_aggregates_only=true "$@" 2>&1 | grep -v -E '_(mean|stddev|cv) '
