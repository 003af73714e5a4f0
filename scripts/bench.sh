#!/bin/bash
# Builds the benchmarks (bench/*.cpp, Google Benchmark, optimised) and runs
# each; extra arguments go to every benchmark, e.g. --benchmark_filter=MD5.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$ROOT/build-bench"

"$ROOT/scripts/setup.sh"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DPKX_BUILD_BENCH=ON \
    -DPKX_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j 2

found=0
for src in "$ROOT"/bench/*.cpp; do
    [ -e "$src" ] || continue
    found=1
    name=$(basename "$src" .cpp)
    echo "== $name =="
    "$BUILD/$name" "$@"
done
[ "$found" -eq 1 ] || echo "no benchmarks in bench/"
