# Sourced by the benchmarks over the generated 2,000-meeting store: sets
# `store` to its folder and has StoreBench make it when it is missing.
store="${QUILLET_BENCH_STORE:-/tmp/quillet-bench-store}"
export QUILLET_BENCH_STORE="$store"
build-release/bench/StoreBench --benchmark_filter=BM_List --benchmark_min_time=0.01 >/dev/null 2>&1
