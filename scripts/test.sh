#!/bin/bash
# The test command: builds the tree for Linux, Linux with ASan/UBSan, Windows
# (tests run under Wine) and libFuzzer, runs every test, fuzzes for a bounded
# time and checks the formatting. Builds are cached in build-* folders.
# Ends with "N passed, N failed" over all phases; exits non-zero on a failure.
set -u -o pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT" || exit 1
JOBS=2
# Each fuzzer makes a fixed number of runs from its seeds with a fixed seed,
# so that the phase is the same on every machine; PKX_FUZZ_RUNS raises it.
FUZZ_RUNS=${PKX_FUZZ_RUNS:-200000}
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

# Shows the end of a log after a failure.
show_tail() {
    log "---- last lines of $1 ----"
    tail -n "${2:-40}" "$1"
    log "----"
}

# configure_and_build <folder> <log> <cmake options...>
configure_and_build() {
    local folder=$1 logfile=$2
    shift 2
    {
        cmake -S "$ROOT" -B "$ROOT/$folder" "$@" &&
            cmake --build "$ROOT/$folder" -j "$JOBS"
    } >"$logfile" 2>&1
}

# Counts passed and failed cases of a CTest JUnit file; a GoogleTest XML file,
# when given, replaces the one CTest case that ran the whole Windows suite.
count_results() {
    python3 - "$@" <<'EOF'
import sys, xml.etree.ElementTree as ET

def cases(path):
    return ET.parse(path).getroot().iter("testcase")

def failed(case):
    return (case.find("failure") is not None or case.find("error") is not None
            or case.get("status") == "fail")

passed = failures = 0
suite = sys.argv[2] if len(sys.argv) > 2 else None
suite_name = sys.argv[3] if len(sys.argv) > 3 else None
for case in cases(sys.argv[1]):
    if case.get("status") in ("notrun", "disabled", "skipped"):
        continue
    if suite and case.get("name") == suite_name:
        try:
            inner = [c for c in cases(suite) if c.get("result") != "skipped"]
            bad = sum(1 for c in inner if failed(c))
            passed += len(inner) - bad
            # A crash after some cases still fails the run as a whole.
            failures += bad if bad or not failed(case) else 1
            continue
        except (OSError, ET.ParseError):
            pass
    if failed(case):
        failures += 1
    else:
        passed += 1
print(passed, failures)
EOF
}

# run_ctest <phase> <folder> [gtest xml]
run_ctest() {
    local phase=$1 folder=$2 gtest_xml=${3:-}
    local junit="$ROOT/$folder/ctest-junit.xml" logfile="$LOGS/$phase-ctest.log"
    rm -f "$junit"
    (cd "$ROOT/$folder" && ctest -j "$JOBS" --timeout 600 --no-tests=ignore --output-on-failure \
        --output-junit "$junit") >"$logfile" 2>&1
    local rc=$?
    local counts="0 0"
    if [ -f "$junit" ]; then
        if [ -n "$gtest_xml" ]; then
            counts=$(count_results "$junit" "$gtest_xml" pkx_tests)
        else
            counts=$(count_results "$junit")
        fi
    fi
    read -r CT_PASSED CT_FAILED <<<"$counts"
    if [ "$rc" -ne 0 ] && [ "$CT_FAILED" -eq 0 ]; then
        CT_FAILED=1
    fi
    if [ "$CT_FAILED" -gt 0 ]; then
        grep -E '^\s*[0-9]+ - |tests passed|Failure|FAILED|ERROR' "$logfile" | head -60
        log "(full log: $logfile)"
    fi
}

# build_and_test <phase> <folder> [gtest xml] -- <cmake options...>
build_and_test() {
    local phase=$1 folder=$2 gtest_xml=""
    shift 2
    if [ "$1" != "--" ]; then
        gtest_xml=$1
        shift
    fi
    shift
    local start=$SECONDS
    log "== $phase: build ($folder) =="
    if ! configure_and_build "$folder" "$LOGS/$phase-build.log" "$@"; then
        show_tail "$LOGS/$phase-build.log"
        record "$phase" 0 1 $((SECONDS - start)) "build failed"
        return
    fi
    local built=$SECONDS
    log "== $phase: tests =="
    [ -n "$gtest_xml" ] && rm -f "$gtest_xml"
    run_ctest "$phase" "$folder" "$gtest_xml"
    record "$phase" "$CT_PASSED" "$CT_FAILED" $((SECONDS - start)) \
        "build $((built - start))s, tests $((SECONDS - built))s"
}

start_display() {
    [ -n "${DISPLAY:-}" ] && return 0
    local n
    for n in $(seq 90 199); do
        if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then
            Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >"$LOGS/xvfb.log" 2>&1 &
            XVFB_PID=$!
            local _
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
        fi
    done
    log "warning: no virtual display could be started"
}

cleanup() {
    local prefix
    for prefix in "$ROOT"/build-win32/wineprefix*; do
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

phase_fuzz() {
    local start=$SECONDS folder=build-fuzz
    local fuzzers=() src
    for src in "$ROOT"/fuzz/*_fuzzer.cpp; do
        [ -e "$src" ] && fuzzers+=("$(basename "$src" .cpp)")
    done
    if [ ${#fuzzers[@]} -eq 0 ]; then
        record fuzz 0 0 0 "no fuzzers in fuzz/"
        return
    fi
    log "== fuzz: build ($folder) =="
    if ! CC=clang CXX=clang++ configure_and_build "$folder" "$LOGS/fuzz-build.log" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPKX_FUZZ=ON -DPKX_BUILD_TESTS=OFF -DPKX_WERROR=ON; then
        show_tail "$LOGS/fuzz-build.log"
        record fuzz 0 1 $((SECONDS - start)) "build failed"
        return
    fi

    local dir="$ROOT/$folder" passed=0 failed=0
    rm -rf "$dir/seeds"
    mkdir -p "$dir/seeds" "$dir/artifacts"
    if [ -x "$dir/seed_corpus" ]; then
        if "$dir/seed_corpus" "$dir/seeds" >"$LOGS/fuzz-seeds.log" 2>&1; then
            passed=$((passed + 1))
        else
            show_tail "$LOGS/fuzz-seeds.log"
            failed=$((failed + 1))
        fi
    fi

    local name
    log "== fuzz: ${#fuzzers[@]} fuzzers, ${FUZZ_RUNS} runs each =="
    for name in "${fuzzers[@]}"; do
        local corpus=("$dir/corpus/$name")
        rm -rf "$dir/corpus/$name"
        mkdir -p "$dir/corpus/$name"
        [ -d "$dir/seeds/$name" ] && corpus+=("$dir/seeds/$name")
        local logfile="$LOGS/fuzz-$name.log"
        if timeout 600 "$dir/$name" -runs="$FUZZ_RUNS" -seed=1 -timeout=10 \
            -rss_limit_mb=2048 -print_final_stats=1 \
            -artifact_prefix="$dir/artifacts/$name-" "${corpus[@]}" >"$logfile" 2>&1; then
            passed=$((passed + 1))
            log "$name: $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$logfile" |
                grep -o '[0-9]*$') runs, no crash"
        else
            failed=$((failed + 1))
            log "$name: FAILED"
            show_tail "$logfile" 60
        fi
    done
    record fuzz "$passed" "$failed" $((SECONDS - start))
}

phase_format() {
    local start=$SECONDS files=() file
    log "== format =="
    while IFS= read -r file; do
        [ -f "$file" ] && files+=("$file")
    done < <(git -C "$ROOT" ls-files --cached --others --exclude-standard -- \
        '*.cpp' '*.cc' '*.h' '*.hpp' | sort -u)
    if [ ${#files[@]} -eq 0 ]; then
        record format 0 0 $((SECONDS - start)) "no C++ files"
        return
    fi
    local bad=()
    for file in "${files[@]}"; do
        clang-format --dry-run -Werror "$file" >/dev/null 2>&1 || bad+=("$file")
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

build_and_test native build-native -- \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g" -DPKX_WERROR=ON

export ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
build_and_test asan build-asan -- \
    -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g" -DPKX_SANITIZE=ON -DPKX_WERROR=ON

start_display
build_and_test win32 build-win32 "$ROOT/build-win32/test-results/pkx_tests.xml" -- \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" -DPKX_WERROR=ON
. "$ROOT/scripts/test_win32_gui.sh"  # the Windows program's GUI tests (phase win32gui)

phase_fuzz
phase_format

log ""
log "== Summary (logs in build-logs/) =="
for line in "${SUMMARY[@]}"; do
    log "$line"
done
log "total time $((SECONDS - START))s"
log "$TOTAL_PASSED passed, $TOTAL_FAILED failed"
[ "$TOTAL_FAILED" -eq 0 ]
