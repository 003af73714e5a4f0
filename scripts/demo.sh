#!/bin/bash
# The demo: builds the console updater and the package builder, lays out
# version 1.0 of the bundled sample program (samples/v1) in out/demo/app,
# builds a self-extracting updater to version 2.0 (samples/v2) and runs it,
# then shows the updated folder and checks it against samples/v2.
#
#   scripts/demo.sh                 unattended run (-F): no questions
#   scripts/demo.sh --interactive   confirmation and delete-backups questions
#   PKX_DEMO_BUILD=<folder>         build folder (default build-native)
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="${PKX_DEMO_BUILD:-$ROOT/build-native}"
DEMO="$ROOT/out/demo"
APP="$DEMO/app"
UPDATER="$DEMO/sample-update-1.0-to-2.0"

INTERACTIVE=0
case "${1:-}" in
    "") ;;
    --interactive) INTERACTIVE=1 ;;
    *)
        echo "usage: $0 [--interactive]" >&2
        exit 2
        ;;
esac

step() { printf '\n\033[1m== %s ==\033[0m\n' "$*"; }

step "Tools"
if [ -x "$ROOT/scripts/setup.sh" ]; then
    "$ROOT/scripts/setup.sh"
else
    for tool in cmake g++ python3; do
        command -v "$tool" >/dev/null || { echo "demo: $tool is missing" >&2; exit 1; }
    done
fi

step "Build (build-native)"
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$BUILD" -j 2 --target pkxupdate pkxbuild
ls -l "$BUILD/pkxupdate" "$BUILD/pkxbuild"

step "Sample installation, version 1.0 (out/demo/app)"
rm -rf "$DEMO"
mkdir -p "$DEMO"
cp -a "$ROOT/samples/v1" "$APP"
(cd "$APP" && ./sample-app.sh)

step "Updater 1.0 -> 2.0 (pkxbuild create)"
# The package finds the installation through the registry value its
# installer wrote (on Linux, in the registry export that PKX_REGISTRY names),
# and asks for the folder when that value is missing.
cat >"$DEMO/registry.reg" <<EOF
REGEDIT4

[HKEY_LOCAL_MACHINE\SOFTWARE\pkx demo\Sample App]
"InstallDir"="$APP"
EOF
export PKX_REGISTRY="$DEMO/registry.reg"
cat >"$DEMO/manifest.toml" <<EOF
title = "Sample App"
old_version = "1.0"
new_version = "2.0"
rights = "(c) pkx demo"
delete_backups = true

[[folder_source]]
kind = "registry"
root = "HKLM"
key = 'SOFTWARE\pkx demo\Sample App'
value = "InstallDir"

[[folder_source]]
kind = "ask"

[[notice]]
after = "Sample App 2.0 is installed. Run ./sample-app.sh in the app folder."
EOF
"$BUILD/pkxbuild" create --old "$ROOT/samples/v1" --new "$ROOT/samples/v2" \
    --manifest "$DEMO/manifest.toml" --stub "$BUILD/pkxupdate" -o "$UPDATER"
ls -l "$UPDATER"

step "Run the updater"
# It speaks the locale's language: Japanese under ja_JP.UTF-8 (try
# LC_ALL=ja_JP.UTF-8 scripts/demo.sh), English under any other.
status=0
if [ "$INTERACTIVE" -eq 1 ]; then
    "$UPDATER" || status=$?
else
    # The after-notice waits for Enter: the demo gives it.
    echo | "$UPDATER" -F || status=$?
fi
echo "exit code: $status"
[ "$status" -eq 0 ] || { echo "demo: the update failed" >&2; exit 1; }

step "The updated folder"
(cd "$APP" && find . -mindepth 1 | sort | while read -r entry; do
    if [ -d "$entry" ]; then
        printf '%10s  %s/\n' "" "${entry#./}"
    else
        printf '%10d  %s\n' "$(stat -c %s "$entry")" "${entry#./}"
    fi
done)
(cd "$APP" && sh ./sample-app.sh)

step "Compare with samples/v2"
# Backups (*.old) stay when the interactive run keeps them.
if diff -r -x '*.old' "$ROOT/samples/v2" "$APP"; then
    echo "out/demo/app equals samples/v2"
else
    echo "demo: out/demo/app differs from samples/v2" >&2
    exit 1
fi
