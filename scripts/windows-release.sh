#!/bin/bash
# Makes the Windows release folder (default out/windows-release): pkxbuild.exe
# (x86-64), pkxupdate.exe (the i686 updater users run, which pkxbuild.exe
# takes when no --stub is given) and pkxupdate64.exe (the x86-64 updater),
# cross-built with MinGW-w64 in build-win64 and build-win32.
set -eu -o pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
OUT=${1:-$ROOT/out/windows-release}
JOBS=${JOBS:-2}

# build <folder> <toolchain> <targets...>
build() {
    local folder=$1 toolchain=$2
    shift 2
    cmake -S "$ROOT" -B "$ROOT/$folder" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/$toolchain" >/dev/null
    cmake --build "$ROOT/$folder" -j "$JOBS" --target "$@"
}

build build-win64 mingw-x86_64.cmake pkxbuild pkxupdate
build build-win32 mingw-i686.cmake pkxupdate
mkdir -p "$OUT"
cp "$ROOT/build-win64/pkxbuild.exe" "$OUT/pkxbuild.exe"
cp "$ROOT/build-win32/pkxupdate.exe" "$OUT/pkxupdate.exe"
cp "$ROOT/build-win64/pkxupdate.exe" "$OUT/pkxupdate64.exe"
ls -l "$OUT"
