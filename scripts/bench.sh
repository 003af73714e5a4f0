#!/bin/bash
# Benchmarks, built optimised in build-bench.
#
#   scripts/bench.sh [ARGS]     the Google Benchmark programs (bench/*.cpp);
#                               ARGS go to each, e.g. --benchmark_filter=MD5
#   scripts/bench.sh pairs [--reference] [--wine] [--only NAME]
#                               the real pairs against xdelta3, bsdiff and zstd
#                               (scripts/bench_pairs.py); --reference adds the
#                               least stream size the classic format allows
#                               (slow, several GB of memory),
#                               --wine times the Windows updater under Wine too
#
# The npm releases, the synthetic pair and the generated tree of small files
# are kept in ~/.cache/pkx-bench (PKX_BENCH_CACHE), outside the tree.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$ROOT/build-bench"

"$ROOT/scripts/setup.sh"

# The tools of the real pairs, from apt where missing: a command that is
# there already (npm comes with some Node.js installations) is kept.
install_pair_tools() {
    local missing=()
    command -v xdelta3 >/dev/null || missing+=(xdelta3)
    command -v bsdiff >/dev/null || missing+=(bsdiff)
    command -v zstd >/dev/null || missing+=(zstd)
    command -v xz >/dev/null || missing+=(xz-utils)
    command -v npm >/dev/null || missing+=(npm)
    [ -x /usr/bin/time ] || missing+=(time)
    command -v strace >/dev/null || missing+=(strace)
    [ "$(dpkg-query -W -f='${Status}' libdivsufsort-dev 2>/dev/null)" = "install ok installed" ] ||
        missing+=(libdivsufsort-dev)
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "bench: installing ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
}

MODE=micro
if [ "${1:-}" = "pairs" ]; then
    MODE=pairs
    shift
    install_pair_tools
fi

cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DPKX_BUILD_BENCH=ON \
    -DPKX_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j 2

run_pairs() {
    local args=(--build "$BUILD") arg
    for arg in "$@"; do
        [ "$arg" = "--wine" ] || continue
        local win32="$ROOT/build-win32"
        cmake -S "$ROOT" -B "$win32" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" \
            >/dev/null
        cmake --build "$win32" -j 2 --target pkxupdate
        args+=(--win32-build "$win32")
        # The Windows updater shows its progress dialog: it needs a display.
        if [ -z "${DISPLAY:-}" ]; then
            Xvfb :97 -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
            XVFB_PID=$!
            trap 'kill "$XVFB_PID" 2>/dev/null' EXIT
            export DISPLAY=:97
            sleep 1
        fi
    done
    python3 "$ROOT/scripts/bench_pairs.py" "${args[@]}" "$@"
}

if [ "$MODE" = pairs ]; then
    run_pairs "$@"
    exit 0
fi

found=0
for src in "$ROOT"/bench/*.cpp; do
    [ -e "$src" ] || continue
    found=1
    name=$(basename "$src" .cpp)
    echo "== $name =="
    "$BUILD/$name" "$@"
done
[ "$found" -eq 1 ] || echo "no benchmarks in bench/"
