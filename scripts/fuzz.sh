#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for the given number of
# seconds (default 60): scripts/fuzz.sh [seconds] [target...]
# Installs clang and its libFuzzer runtime (scripts/setup.sh fuzz) when they
# are missing and the script runs as root. scripts/fuzz.sh --check-toolchain only tells
# (by its status) whether they are there.
# Targets: scan method_reader spectrum_reader run lsq, and the readers of other
# spectrum formats spe n42 radiacode csv chn, the start times (times) and the
# method's metadata file (metadata). The growing corpus lives in
# build-fuzz/corpus/<target>, findings in build-fuzz/findings/<target>.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

# True when clang and its libFuzzer runtime are installed.
have_toolchain() {
  command -v clang++ >/dev/null || return 1
  echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }' \
    | clang++ -x c++ -fsanitize=fuzzer -o /dev/null - 2>/dev/null
}
if [ "${1:-}" = "--check-toolchain" ]; then
  have_toolchain
  exit $?
fi

seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(scan method_reader spectrum_reader run lsq spe n42 radiacode csv chn times metadata)

if ! have_toolchain; then
  scripts/setup.sh fuzz || true
  if ! have_toolchain; then
    echo "fuzz.sh: clang with libFuzzer is needed (apt-get install clang libclang-rt-14-dev)" >&2
    exit 2
  fi
fi
cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DASSAY_FUZZ=ON -DASSAY_TESTS=OFF >/dev/null
cmake --build build-fuzz -j2 >/dev/null

declare -A max_len=([scan]=256 [method_reader]=65536 [spectrum_reader]=16384 [run]=32768 [lsq]=8192
  [spe]=16384 [n42]=16384 [radiacode]=32768 [csv]=32768 [chn]=16384 [times]=128 [metadata]=4096)
status=0
for target in "${targets[@]}"; do
  # Absolute paths: the targets change their working directory.
  corpus=$root/build-fuzz/corpus/$target
  findings=$root/build-fuzz/findings/$target
  mkdir -p "$corpus" "$findings"
  echo "== $target: ${seconds} s"
  if ! ./build-fuzz/fuzz/fuzz_"$target" -max_total_time="$seconds" -max_len="${max_len[$target]}" \
      -timeout=20 -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$findings/" \
      "$corpus" "$root/fuzz/corpus/$target" 2>build-fuzz/"$target".log; then
    status=1
    echo "   finding; see build-fuzz/$target.log and $findings/"
  fi
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' build-fuzz/"$target".log \
    | sed 's/^/   /' || true
done
exit $status
