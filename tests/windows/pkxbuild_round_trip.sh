#!/bin/bash
# pkxbuild.exe under Wine, from one release folder holding pkxbuild.exe and
# pkxupdate.exe: builds an updater between two folders with Japanese and
# long names below a path longer than MAX_PATH, proves it with verify, lists it with inspect --json, applies
# it with the updater and compares the trees; then the refusals.
# Usage: pkxbuild_round_trip.sh <build folder> (needs a DISPLAY).
set -u -o pipefail
BUILD=$1
RUN="$BUILD/wine-run.sh"
PKXBUILD="$BUILD/pkxbuild.exe"
WORK=$(mktemp -d "$BUILD/pkxbuild-test.XXXXXX")
INSTALL="$BUILD/wineprefix/drive_c/pkxbuild-test/app"
trap 'rm -rf "$WORK" "${INSTALL%/app}"' EXIT
FAILED=0

fail() {
    echo "FAILED: $*" >&2
    FAILED=1
}

# expect <exit code> <text the output holds> <command...>
expect() {
    local code=$1 text=$2 output status=0
    shift 2
    output=$("$@" 2>&1) || status=$?
    [ "$status" -eq "$code" ] || fail "$* exited with $status, not $code: $output"
    [[ "$output" == *"$text"* ]] || fail "$* did not say '$text': $output"
}

cd "$WORK" || exit 1
LONG=$(printf 'long%.0s' $(seq 1 15))
mkdir -p old/sub new/sub "new/日本語" "new/深い/$LONG"
echo 1.0 >old/a.txt
echo 2.0 >new/a.txt
echo same >old/sub/b.txt
cp -p old/sub/b.txt new/sub/b.txt
echo gone >old/sub/c.txt
echo 新しい >"new/日本語/ファイル.txt"
head -c 70000 /dev/urandom >"new/深い/$LONG/$LONG.bin"
cat >update.toml <<'TOML'
code_page = 932
title = "テスト"
old_version = "1.0"
new_version = "2.0"

[[folder_source]]
kind = "path"
folder = "drive-root"
path = 'pkxbuild-test\app'
TOML

# Built from a copy whose paths pass MAX_PATH; no --stub: pkxupdate.exe
# lies beside pkxbuild.exe.
DEEP=$(printf 'd%.0s' $(seq 1 100))
DEEP="deep/$DEEP/$DEEP/$DEEP"
mkdir -p "$DEEP"
cp -a old new "$DEEP/"
expect 0 "proof: a copy of $DEEP/old becomes $DEEP/new" \
    "$RUN" "$PKXBUILD" create --old "$DEEP/old" --new "$DEEP/new" --manifest update.toml \
    -o app-update.exe
expect 0 "app-update.exe: verified" \
    "$RUN" "$PKXBUILD" verify app-update.exe --old old --new new --code-page 932
"$RUN" "$PKXBUILD" inspect app-update.exe --json --code-page 932 >inspect.json ||
    fail "inspect --json exited with $?"
python3 - inspect.json "$LONG" <<'PY' || fail "inspect --json: $(cat inspect.json)"
import json, sys
report = json.load(open(sys.argv[1], encoding="utf-8"))
long = sys.argv[2]
names = {r["name"]: r["kind"] for p in report["packages"] for r in p["records"]}
assert report["ok"] and names == {
    "a.txt": "update", "sub\\c.txt": "delete", "日本語\\ファイル.txt": "add",
    f"深い\\{long}\\{long}.bin": "add"}, names
PY

# The updater applies it to an installation under Wine.
mkdir -p "$INSTALL"
cp -a old/. "$INSTALL/"
"$RUN" ./app-update.exe -F || fail "the updater exited with $?"
diff -r new "$INSTALL" || fail "the installation differs from the new folder"
# Each file it wrote carries the new file's write time, to FILETIME's 100 ns.
for file in a.txt "日本語/ファイル.txt" "深い/$LONG/$LONG.bin"; do
    [ "$(stat -c %.7Y "new/$file")" = "$(stat -c %.7Y "$INSTALL/$file")" ] ||
        fail "$file: write time $(stat -c %.9Y "$INSTALL/$file"), not $(stat -c %.9Y "new/$file")"
done

# A damaged copy: inspect exits with 1.
cp app-update.exe damaged.exe
printf '\377\377\377\377' | dd of=damaged.exe bs=1 seek=$((0x1F000 + 300)) conv=notrunc 2>/dev/null
expect 1 "1 of 1 package BAD" "$RUN" "$PKXBUILD" inspect damaged.exe

# Refusals: a name code page 932 cannot hold, signing, a wrong new folder.
mkdir -p other/x
echo x >other/x/ü.txt
expect 1 'x\ü.txt: text has characters that code page 932 cannot hold' \
    "$RUN" "$PKXBUILD" create --old old --new other --manifest update.toml -o refused.exe
expect 1 "sign it with signtool" \
    "$RUN" "$PKXBUILD" create --old old --new new --manifest update.toml -o signed.exe \
    --sign-cert cert.pem --sign-key key.pem
[ ! -e refused.exe ] && [ ! -e signed.exe ] || fail "a refused updater was written"
expect 1 "which the new folder does not hold" \
    "$RUN" "$PKXBUILD" verify app-update.exe --old old --new other --code-page 932
exit "$FAILED"
