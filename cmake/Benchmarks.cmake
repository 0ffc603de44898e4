# ASSAY_BENCH: the Google Benchmark programs in bench/.
option(ASSAY_BENCH "Build the benchmarks" OFF)
