#!/usr/bin/env bash
# Builds the project and runs the example host program: it saves the schema
# document examples/sales.json into the SQLite store kelmarion_meta.db in the
# current directory, then prints what the store holds. Run it twice: the second
# save updates the same records and adds none.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

"$root/scripts/install_dependencies.sh"
cmake -S "$root" -B "$root/build/release" -DCMAKE_BUILD_TYPE=Release \
  -DKELMARION_BUILD_TESTS=OFF -DKELMARION_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$root/build/release" -j "$(nproc)" --target save_document >/dev/null

"$root/build/release/examples/save_document" "$root/examples/sales.json" kelmarion_meta.db
