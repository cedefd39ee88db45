#!/usr/bin/env bash
# Builds the libFuzzer target with clang-14 (the whole project under
# AddressSanitizer and UndefinedBehaviorSanitizer) and runs it:
#
#   scripts/fuzz.sh [SECONDS]          (default 60)
#
# The run starts from a copy of fuzz/corpus in a temporary directory, so the
# repository is never changed. Exits non-zero when the fuzzer finds a crash, a
# leak, undefined behaviour or an input slower than the time limit; the input
# is kept in the build directory's fuzz-artifacts/ and its path printed.
# KELMARION_FUZZ_BUILD_DIR picks the build directory (default build/fuzz).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
build_dir=${KELMARION_FUZZ_BUILD_DIR:-build/fuzz}
fuzzer=document_save_fuzzer

scripts/install_dependencies.sh

# Every object carries the sanitizers and libFuzzer's coverage instrumentation;
# only the fuzzer links libFuzzer itself. Asio 1.22 only detects coroutines on
# clang through <experimental/coroutine>, hence ASIO_HAS_CO_AWAIT. UBSan's
# "function" check is left out: with coverage instrumentation, clang 14 fails
# on coroutines with "Cannot represent a difference across sections".
sanitizers="-fsanitize=address,undefined -fno-sanitize=function -fno-sanitize-recover=all"
echo "== fuzz: build ($build_dir)" >&2
CC=clang-14 CXX=clang++-14 cmake -S . -B "$build_dir" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g -fno-omit-frame-pointer" \
  -DCMAKE_CXX_FLAGS="-DASIO_HAS_CO_AWAIT=1 -fsanitize=fuzzer-no-link $sanitizers" \
  -DCMAKE_EXE_LINKER_FLAGS="$sanitizers" \
  -DKELMARION_BUILD_FUZZERS=ON -DKELMARION_BUILD_TESTS=OFF \
  -DKELMARION_BUILD_BENCHMARKS=OFF -DKELMARION_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build_dir" --target "$fuzzer" -j "$(nproc)"

work_dir=$(mktemp -d "${TMPDIR:-/tmp}/kelmarion-fuzz.XXXXXX")
trap 'rm -rf "$work_dir"' EXIT
cp -r fuzz/corpus "$work_dir/corpus"
artifacts="$build_dir/fuzz-artifacts"
mkdir -p "$artifacts"

echo "== fuzz: $fuzzer for ${seconds} s" >&2
status=0
UBSAN_OPTIONS=print_stacktrace=1 "$build_dir/fuzz/$fuzzer" \
  -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=20 -max_len=8192 \
  -dict=fuzz/document.dict -artifact_prefix="$artifacts/" -print_final_stats=1 \
  "$work_dir/corpus" >"$work_dir/fuzz.log" 2>&1 || status=$?
if [[ $status -ne 0 ]]; then
  tail -n 60 "$work_dir/fuzz.log" >&2
  echo "fuzz: $fuzzer failed (status $status); inputs kept in $artifacts" >&2
  exit 1
fi
grep -E '^stat::(number_of_executed_units|peak_rss_mb)|^Done ' "$work_dir/fuzz.log" >&2 || true
