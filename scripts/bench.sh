#!/usr/bin/env bash
# Builds and runs the benchmarks; each reports its median over 5 repetitions.
# Ends with the cost of a run with the report (limits and uncertainties)
# against a bare one, on one thread.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DASSAY_BENCH=ON -DASSAY_TESTS=OFF >/dev/null
cmake --build build-bench -j2 >/dev/null
out=$(./build-bench/bench/assay_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
  --benchmark_display_aggregates_only=true "$@" 2>&1 | grep -v -E '_(mean|stddev|cv) ')
echo "$out"
echo "$out" | awk '
  /^BM_whole_run\/threads:1\/straightforward:0\/report:0\/.*_median/ { bare = $2 }
  /^BM_whole_run\/threads:1\/straightforward:0\/report:1\/.*_median/ { report = $2 }
  END { if (bare > 0 && report > 0) printf "report run / bare run, 1 thread: %.2f\n", report / bare }'
