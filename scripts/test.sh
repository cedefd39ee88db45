#!/usr/bin/env bash
# Builds the project twice (a debug build, and one under AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs the whole test suite on each, against
# SQLite and throwaway PostgreSQL and MariaDB servers that this script starts
# and stops.
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
  scripts/with_postgres.sh scripts/with_mariadb.sh ctest --preset "$preset" -j "$jobs"
done

# The tool's save under valgrind (debug build): a definite or indirect leak, or
# an invalid memory access, fails the run. Once inspecting the example database,
# once reading the example document.
echo "== valgrind: kelmarion-meta save" >&2
valgrind_dir=$(mktemp -d "${TMPDIR:-/tmp}/kelmarion-valgrind.XXXXXX")
trap 'rm -rf "$valgrind_dir"' EXIT
sqlite3 "$valgrind_dir/shop.db" <examples/shop.sql
valgrind_save() {
  valgrind --quiet --leak-check=full --errors-for-leak-kinds=definite,indirect \
    --error-exitcode=1 build/dev/apps/kelmarion-meta save --store "$valgrind_dir/store.db" "$@" \
    >/dev/null
}
valgrind_save --engine "sqlite:///$valgrind_dir/shop.db" --schema main
valgrind_save --document examples/sales.json

# The benchmarks are not timed here, only kept working: each runs once, smallest size.
echo "== benchmarks: smoke run" >&2
scripts/with_postgres.sh scripts/with_mariadb.sh sh -c 'build/dev/bench/store_bench --benchmark_filter="/100\$" \
    --benchmark_min_time=0.001 && build/dev/bench/inspect_bench \
    --benchmark_filter="/100(/real_time)?\$" --benchmark_min_time=0.001 \
    && build/dev/bench/save_instructions postgresql ours resave 100' >/dev/null
build/dev/bench/save_memory 100 >/dev/null
build/dev/bench/doc_bench --benchmark_filter='/100$' --benchmark_min_time=0.001 >/dev/null
build/dev/bench/save_instructions sqlite floor resave 100 >/dev/null

# The document fuzzer, briefly: a crash, leak or undefined behaviour fails the run.
scripts/fuzz.sh 60
