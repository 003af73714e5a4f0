#!/bin/bash
# The Windows program's GUI tests: pkx_gui_driver of a Windows build under
# Wine on an X display, all tests under a Japanese locale (code page 932), the
# code-page tests again under an English one (1252); screenshots of the
# dialogs in <build>/screenshots/. Sourced by scripts/test.sh: the phase
# "win32gui". On its own it starts Xvfb when DISPLAY is unset:
#
#   scripts/test_win32_gui.sh [build folder]     (default: build-win32; build-win64
#                                                 for the x86-64 build)

# gui_count_results <results xml>...: "passed failed"; a file the run did not
# finish counts as a failure. (The driver has no skipped or disabled tests.)
gui_count_results() {
    local passed=0 failed=0 xml counts
    for xml in "$@"; do
        counts=$(sed -n 's/^<testsuites tests="\([0-9]*\)" failures="\([0-9]*\)".*/\1 \2/p' "$xml" 2>/dev/null)
        if [ -z "$counts" ]; then
            failed=$((failed + 1))
            continue
        fi
        passed=$((passed + ${counts% *} - ${counts#* }))
        failed=$((failed + ${counts#* }))
    done
    echo "$passed $failed"
}

# gui_failures <log>: each failed assertion with the lines that say what it
# saw, and the failed tests' names. The driver writes CR LF under Wine.
gui_failures() {
    tr -d '\r' <"$1" | awk '/: Failure$/ { n = 6 } /^\[  FAILED  \]/ || n-- > 0' | head -80
}

# gui_run_driver <build> <locale> <results xml> [GoogleTest options]
gui_run_driver() {
    local build=$1 locale=$2 xml=$3
    shift 3
    local run="$build/wine-run.sh"
    local shots="$build/screenshots" work="$build/gui-work"
    mkdir -p "$shots" "$work"
    rm -f "$xml"
    PKX_WINE_LANG=$locale timeout 600 "$run" "$build/tests/win32_gui/pkx_gui_driver.exe" \
        --updater="$("$run" winepath -w "$build/pkxupdate.exe")" \
        --work="$("$run" winepath -w "$work")" --work-unix="$work" \
        --screenshots="$("$run" winepath -w "$shots")" --screenshots-unix="$shots" \
        --gtest_output="xml:$("$run" winepath -w "$xml")" "$@"
}

# gui_phase <build folder> <log file>: sets GUI_PASSED, GUI_FAILED, GUI_NOTE.
gui_phase() {
    local build=$1 logfile=$2
    GUI_PASSED=0
    GUI_FAILED=0
    GUI_NOTE=""
    [ -n "${DISPLAY:-}" ] || GUI_NOTE="no X display"
    [ -x "$build/wine-run.sh" ] && [ -f "$build/tests/win32_gui/pkx_gui_driver.exe" ] ||
        GUI_NOTE="no pkx_gui_driver.exe in $build"
    if [ -n "$GUI_NOTE" ]; then
        GUI_FAILED=1
        return
    fi
    # Wine draws the window frames itself (there is no window manager), so
    # that the screenshots show titles; each locale has a prefix of its own.
    local locale
    for locale in ja_JP.UTF-8 en_US.UTF-8; do
        PKX_WINE_LANG=$locale "$build/wine-run.sh" reg add 'HKCU\Software\Wine\X11 Driver' \
            /v Managed /d N /f >/dev/null 2>&1
    done
    rm -rf "$build/gui-work" "$build/screenshots"
    local ja="$build/test-results/gui-cp932.xml" en="$build/test-results/gui-cp1252.xml"
    mkdir -p "$build/test-results"
    {
        echo "== Japanese locale (code page 932): all GUI tests =="
        gui_run_driver "$build" ja_JP.UTF-8 "$ja"
        echo "== English locale (code page 1252): the code-page tests =="
        gui_run_driver "$build" en_US.UTF-8 "$en" --gtest_filter='CodePageTest.*'
        "$build/wine-run.sh" wineserver -w >/dev/null 2>&1
        PKX_WINE_LANG=en_US.UTF-8 "$build/wine-run.sh" wineserver -w >/dev/null 2>&1
    } >"$logfile" 2>&1
    read -r GUI_PASSED GUI_FAILED <<<"$(gui_count_results "$ja" "$en")"
    GUI_NOTE="screenshots in $build/screenshots"
}

gui_main() {
    local root
    root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
    local build=${1:-$root/build-win32}
    build=$(cd "$build" && pwd) || exit 2
    local xvfb=""
    if [ -z "${DISPLAY:-}" ]; then
        local n
        for n in $(seq 120 199); do
            [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
            Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
            xvfb=$!
            sleep 1
            export DISPLAY=":$n"
            break
        done
    fi
    local logfile="$build/gui-tests.log" start=$SECONDS
    gui_phase "$build" "$logfile"
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
    gui_failures "$logfile"
    echo "GUI tests: $GUI_PASSED passed, $GUI_FAILED failed in $((SECONDS - start))s" \
        "($GUI_NOTE; log $logfile)"
    [ "$GUI_FAILED" -eq 0 ]
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -u -o pipefail
    gui_main "$@"
    exit $?
fi

# Sourced by scripts/test.sh, after its win32 phase, on the build it tested.
gui_start=$SECONDS
log "== win32gui: GUI tests under Wine${WINDOWS_NOTE:+ ($WINDOWS_NOTE)} =="
gui_phase "$ROOT/${WINDOWS_FOLDER:-build-win32}" "$LOGS/win32gui.log"
if [ "$GUI_FAILED" -gt 0 ]; then
    gui_failures "$LOGS/win32gui.log"
    log "(full log: $LOGS/win32gui.log)"
fi
record win32gui "$GUI_PASSED" "$GUI_FAILED" $((SECONDS - gui_start)) \
    "${WINDOWS_NOTE:+$WINDOWS_NOTE; }$GUI_NOTE"
