#!/bin/bash
# The test command: builds the tree for Linux, Linux with ASan/UBSan, Windows
# (tests run under Wine) and libFuzzer, runs every test, fuzzes for a bounded
# time and checks the formatting. Builds are cached in build-* folders.
# Ends with "N passed, N failed" over all phases; exits non-zero on a failure.
set -u -o pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT" || exit 1
JOBS=2
# A fixed number of runs with a fixed seed, the same on every machine, and a
# time bound per fuzzer, so that a slow machine runs fewer.
FUZZ_RUNS=${PKX_FUZZ_RUNS:-200000}
FUZZ_SECONDS=${PKX_FUZZ_SECONDS:-20}
LOGS="$ROOT/build-logs"
mkdir -p "$LOGS"
TOTAL_PASSED=0
TOTAL_FAILED=0
SUMMARY=()
XVFB_PID=""

log() { printf '%s\n' "$*"; }

# record <phase> <passed> <failed> <seconds> [note]
record() {
    TOTAL_PASSED=$((TOTAL_PASSED + $2))
    TOTAL_FAILED=$((TOTAL_FAILED + $3))
    local status=ok
    [ "$3" -gt 0 ] && status=FAILED
    SUMMARY+=("$(printf '%-8s %-6s %5d passed %4d failed %5ds  %s' "$1" "$status" "$2" "$3" "$4" "${5:-}")")
}

# build <phase> <folder> <cmake options...>: configures and builds, or records
# the phase as failed and returns non-zero.
build() {
    local phase=$1 folder=$2 start=$SECONDS logfile="$LOGS/$1-build.log"
    shift 2
    log "== $phase: build ($folder) =="
    if ! { cmake -S "$ROOT" -B "$ROOT/$folder" "$@" &&
        cmake --build "$ROOT/$folder" -j "$JOBS"; } >"$logfile" 2>&1; then
        tail -n 40 "$logfile"
        record "$phase" 0 1 $((SECONDS - start)) "build failed"
        return 1
    fi
}

# count_results <CTest JUnit file> [GoogleTest XML file]: "passed failed". The
# GoogleTest file's cases replace the one CTest case that ran pkx_tests.
count_results() {
    python3 - "$@" <<'EOF'
import sys, xml.etree.ElementTree as ET

def cases(path):
    return [c for c in ET.parse(path).getroot().iter("testcase")
            if c.get("status") not in ("notrun", "disabled", "skipped")
            and c.get("result") != "skipped"]

def failed(case):
    return (case.find("failure") is not None or case.find("error") is not None
            or case.get("status") == "fail")

passed = failures = 0
for case in cases(sys.argv[1]):
    inner = [case]
    if len(sys.argv) > 2 and case.get("name") == "pkx_tests":
        try:
            inner = cases(sys.argv[2])
        except (OSError, ET.ParseError):
            pass
    bad = sum(map(failed, inner))
    passed += len(inner) - bad
    failures += bad or int(failed(case))  # a crash after some cases fails the run
print(passed, failures)
EOF
}

# build_and_test <phase> <folder> [GoogleTest XML] -- <cmake options...>
# TESTS_NOTE, when set, is shown in the phase's header.
build_and_test() {
    local phase=$1 folder=$2 gtest_xml="" start=$SECONDS
    shift 2
    if [ "$1" != "--" ]; then
        gtest_xml=$1
        shift
    fi
    shift
    build "$phase" "$folder" "$@" || return
    local built=$SECONDS junit="$ROOT/$folder/ctest-junit.xml" logfile="$LOGS/$phase-ctest.log"
    log "== $phase: tests${TESTS_NOTE:+ ($TESTS_NOTE)} =="
    rm -f "$junit" ${gtest_xml:+"$gtest_xml"}
    (cd "$ROOT/$folder" && ctest -j "$JOBS" --timeout 600 --no-tests=ignore --output-on-failure \
        --output-junit "$junit") >"$logfile" 2>&1
    local rc=$? passed=0 failed=0
    [ -f "$junit" ] && read -r passed failed <<<"$(count_results "$junit" ${gtest_xml:+"$gtest_xml"})"
    [ "$rc" -ne 0 ] && [ "$failed" -eq 0 ] && failed=1
    if [ "$failed" -gt 0 ]; then
        grep -E '^\s*[0-9]+ - |tests passed|Failure|FAILED|ERROR' "$logfile" | head -60
        log "(full log: $logfile)"
    fi
    record "$phase" "$passed" "$failed" $((SECONDS - start)) \
        "${TESTS_NOTE:+$TESTS_NOTE; }build $((built - start))s, tests $((SECONDS - built))s"
}

# The Windows build whose tests run here: the i686 one users run, or where
# this machine cannot execute 32-bit x86 code (Wine's 32-bit loader fails
# with "Exec format error") the x86-64 one under 64-bit Wine.
# PKX_WINDOWS_BUILD=x86-64 (or i686) chooses instead.
choose_windows_build() {
    WINDOWS_BUILD=i686
    WINDOWS_NOTE=""
    case "${PKX_WINDOWS_BUILD:-auto}" in
        x86-64) WINDOWS_BUILD=x86-64 WINDOWS_NOTE="x86-64 build: chosen by PKX_WINDOWS_BUILD" ;;
        i686) ;;
        auto)
            if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
                WINDOWS_BUILD=x86-64 WINDOWS_NOTE="x86-64 build: this machine cannot run 32-bit code"
            fi
            ;;
        *)
            log "PKX_WINDOWS_BUILD is i686 or x86-64, not '$PKX_WINDOWS_BUILD'"
            exit 2
            ;;
    esac
}

# updater_size <folder> <toolchain file>: builds the folder's updater alone
# and checks that it ends before the payload offset (phase "winsize").
updater_size() {
    local folder=$1 toolchain=$2 start=$SECONDS logfile="$LOGS/winsize-$1.log"
    log "== winsize: pkxupdate.exe of $folder =="
    if { cmake -S "$ROOT" -B "$ROOT/$folder" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/$toolchain" \
        -DPKX_WERROR=ON && cmake --build "$ROOT/$folder" -j "$JOBS" --target pkxupdate &&
        (cd "$ROOT/$folder" && ctest -V -R '^pkxupdate_size$'); } >"$logfile" 2>&1; then
        record winsize 1 0 $((SECONDS - start)) \
            "$folder: $(grep -o -m1 'pkxupdate.exe: .*)' "$logfile")"
    else
        tail -n 40 "$logfile"
        record winsize 0 1 $((SECONDS - start)) "$folder: see $logfile"
    fi
}

# The Windows builder (pkxbuild.exe, x86-64) in build-win64, which the
# winsize phase configured: built with the updater beside it and run under
# 64-bit Wine, which every machine has (phase "winbuild"). Where build-win64
# is the tests' own folder, the win32 phase runs it with the other tests.
windows_builder() {
    local start=$SECONDS logfile="$LOGS/winbuild.log"
    log "== winbuild: pkxbuild.exe of build-win64 under Wine =="
    if { cmake --build "$ROOT/build-win64" -j "$JOBS" --target pkxbuild pkxupdate &&
        (cd "$ROOT/build-win64" && ctest -V -R '^pkxbuild_windows$' --no-tests=error); } \
        >"$logfile" 2>&1; then
        record winbuild 1 0 $((SECONDS - start))
    else
        grep -E '^FAILED|Error' "$logfile" | head -40
        record winbuild 0 1 $((SECONDS - start)) "see $logfile"
    fi
}

# Starts Xvfb on a free display when there is no DISPLAY.
start_display() {
    [ -n "${DISPLAY:-}" ] && return 0
    local n _
    for n in $(seq 90 199); do
        [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
        Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >"$LOGS/xvfb.log" 2>&1 &
        XVFB_PID=$!
        for _ in $(seq 1 50); do
            if xdpyinfo -display ":$n" >/dev/null 2>&1; then
                export DISPLAY=":$n"
                log "(Xvfb on display :$n)"
                return 0
            fi
            kill -0 "$XVFB_PID" 2>/dev/null || break
            sleep 0.2
        done
        kill "$XVFB_PID" 2>/dev/null
        wait "$XVFB_PID" 2>/dev/null
        XVFB_PID=""
    done
    log "warning: no virtual display could be started"
}

cleanup() {
    local prefix
    for prefix in "$ROOT"/build-win32/wineprefix* "$ROOT"/build-win64/wineprefix*; do
        [ -d "$prefix" ] && WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1
    done
    if [ -n "$XVFB_PID" ]; then
        kill "$XVFB_PID" 2>/dev/null
        wait "$XVFB_PID" 2>/dev/null
    fi
}
trap cleanup EXIT

phase_setup() {
    local start=$SECONDS
    log "== setup =="
    if "$ROOT/scripts/setup.sh"; then
        record setup 0 0 $((SECONDS - start))
    else
        record setup 0 1 $((SECONDS - start)) "scripts/setup.sh failed"
    fi
}

# The seed writer, then each fuzzer from its seeds; one case each.
phase_fuzz() {
    local start=$SECONDS dir="$ROOT/build-fuzz" passed=0 failed=0 src name logfile
    CC=clang CXX=clang++ build fuzz build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPKX_FUZZ=ON \
        -DPKX_BUILD_TESTS=OFF -DPKX_WERROR=ON || return
    rm -rf "$dir/seeds" "$dir/corpus"
    mkdir -p "$dir/seeds" "$dir/artifacts"
    if "$dir/seed_corpus" "$dir/seeds" >"$LOGS/fuzz-seeds.log" 2>&1; then
        passed=1
    else
        tail -n 40 "$LOGS/fuzz-seeds.log"
        failed=1
    fi
    log "== fuzz: ${FUZZ_RUNS} runs of each fuzzer, or ${FUZZ_SECONDS} s =="
    for src in "$ROOT"/fuzz/*_fuzzer.cpp; do
        name=$(basename "$src" .cpp)
        logfile="$LOGS/fuzz-$name.log"
        mkdir -p "$dir/corpus/$name" "$dir/seeds/$name"
        # libFuzzer fails on a crash, a leak, an input that runs over 10 s
        # or one over the memory limit; the outer bound only ends a hang.
        if timeout $((FUZZ_SECONDS * 2 + 300)) "$dir/$name" -runs="$FUZZ_RUNS" \
            -max_total_time="$FUZZ_SECONDS" -seed=1 -timeout=10 -rss_limit_mb=2048 \
            -print_final_stats=1 -artifact_prefix="$dir/artifacts/$name-" "$dir/corpus/$name" \
            "$dir/seeds/$name" >"$logfile" 2>&1; then
            passed=$((passed + 1))
            local runs
            runs=$(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$logfile" |
                grep -o '[0-9]*$')
            if [ "${runs:-0}" -lt "$FUZZ_RUNS" ]; then
                log "$name: $runs runs (stopped by its time bound of ${FUZZ_SECONDS} s), no crash"
            else
                log "$name: $runs runs, no crash"
            fi
        else
            failed=$((failed + 1))
            log "$name: FAILED"
            tail -n 60 "$logfile"
        fi
    done
    record fuzz "$passed" "$failed" $((SECONDS - start))
}

phase_format() {
    local start=$SECONDS files=() bad=() file
    log "== format =="
    mapfile -t files < <(git -C "$ROOT" ls-files --cached --others --exclude-standard -- \
        '*.cpp' '*.cc' '*.h' '*.hpp' | sort -u)
    for file in "${files[@]}"; do
        [ -f "$file" ] && ! clang-format --dry-run -Werror "$file" >/dev/null 2>&1 && bad+=("$file")
    done
    if [ ${#bad[@]} -eq 0 ]; then
        record format 1 0 $((SECONDS - start)) "${#files[@]} files"
    else
        log "not formatted (clang-format -i): ${bad[*]}"
        record format 0 1 $((SECONDS - start)) "${#bad[@]} of ${#files[@]} files not formatted"
    fi
}

START=$SECONDS
phase_setup

# Line tables (-g1) are all that the sanitizers' and the tests' reports use;
# full debug information costs about a seventh of each compile.
build_and_test native build-native -- \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1" -DPKX_WERROR=ON

export ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
build_and_test asan build-asan -- \
    -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g1" -DPKX_SANITIZE=ON -DPKX_WERROR=ON

start_display
choose_windows_build
if [ "$WINDOWS_BUILD" = i686 ]; then
    WINDOWS_FOLDER=build-win32 WINDOWS_TOOLCHAIN=mingw-i686.cmake
    updater_size build-win64 mingw-x86_64.cmake
else
    WINDOWS_FOLDER=build-win64 WINDOWS_TOOLCHAIN=mingw-x86_64.cmake
    updater_size build-win32 mingw-i686.cmake
fi
TESTS_NOTE=$WINDOWS_NOTE build_and_test win32 "$WINDOWS_FOLDER" \
    "$ROOT/$WINDOWS_FOLDER/test-results/pkx_tests.xml" -- \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/$WINDOWS_TOOLCHAIN" -DPKX_WERROR=ON
. "$ROOT/scripts/test_win32_gui.sh" # the Windows program's GUI tests (phase win32gui)
[ "$WINDOWS_FOLDER" = build-win64 ] || windows_builder

phase_fuzz
phase_format

log ""
log "== Summary (logs in build-logs/) =="
printf '%s\n' "${SUMMARY[@]}"
log "total time $((SECONDS - START))s"
log "$TOTAL_PASSED passed, $TOTAL_FAILED failed"
[ "$TOTAL_FAILED" -eq 0 ]
