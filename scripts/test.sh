#!/usr/bin/env bash
# Builds the project twice (a debug build, and one under AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs the whole test suite on each, against
# SQLite and a throwaway PostgreSQL server that this script starts and stops.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install_dependencies.sh

jobs=$(nproc)
for preset in dev asan; do
  echo "== build: $preset" >&2
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done

for preset in dev asan; do
  echo "== test: $preset" >&2
  scripts/with_postgres.sh ctest --preset "$preset" -j "$jobs"
done

# The benchmarks are not timed here, only kept working: each runs once, smallest size.
echo "== benchmarks: smoke run" >&2
scripts/with_postgres.sh sh -c 'build/dev/bench/store_bench --benchmark_filter="/100\$" \
    --benchmark_min_time=0.001 && build/dev/bench/inspect_bench \
    --benchmark_filter="/100\$" --benchmark_min_time=0.001' >/dev/null
