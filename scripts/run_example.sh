#!/usr/bin/env bash
# The main job: builds the release tree, creates the example engine database
# build/release/shop.db from examples/shop.sql (fresh each time), saves its
# schema "main" into the store kelmarion_meta.db in the current directory, and
# shows what the store holds. Run it twice: the second save updates the same
# records and creates none.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/release"

"$root/scripts/install_dependencies.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release \
  -DKELMARION_BUILD_TESTS=OFF -DKELMARION_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target kelmarion-meta >/dev/null

engine_db="$build/shop.db"
rm -f "$engine_db"
sqlite3 "$engine_db" <"$root/examples/shop.sql"

tool="$build/apps/kelmarion-meta"
"$tool" save --engine "sqlite:///$engine_db" --schema main
echo
"$tool" show --schema main
