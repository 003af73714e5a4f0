// Refusing to update while the program to be updated is running.
#pragma once

#include <cstdint>

#include "core/apply_context.h"
#include "package/package_header.h"

namespace pkx {

// How long a waiting check waits for the program to end, and the pause
// between two looks, so that waiting leaves the processor to the user.
inline constexpr uint32_t kRunningWaitLimitMs = 30000;
inline constexpr uint32_t kRunningPollPauseMs = 200;

// Looks for a process whose executable file name equals `name` (ASCII letters
// without regard to case). Wait flag 0: one look. Otherwise looks again until
// the program has ended or kRunningWaitLimitMs have passed. Returns 0 (not
// running, or ended while waiting), kProgramRunning, or kListProcesses.
ResultCode CheckRunningProgram(const char* name, uint8_t waitFlag);

// Looks for a top-level window by title and class (an empty text matches
// any; both empty: no look at all). Wait flag 0: a window found gives
// kProgramRunning. Otherwise waits for the window to close for at most
// kRunningWaitLimitMs and then gives 0 whether or not it closed.
ResultCode CheckRunningWindow(const char* title, const char* className, uint8_t waitFlag);

// The package's running check: sends EV_CHECK_RUNNING with the title when the
// wait flag is exactly 1, then runs the window (kind 1) or process (kind 2)
// check. Other kinds check nothing and give 0.
ResultCode RunRunningCheck(const RunningCheck& check, ApplyContext& context);

// The file name and extension of `path`: what follows its last backslash or
// slash that is not the trail byte of a double-byte character of `codePage`.
const char* FileNamePart(const char* path, uint32_t codePage);

// Equal but for the case of ASCII letters; the bytes of double-byte
// characters of `codePage` are compared as they are.
bool SameFileName(const char* a, const char* b, uint32_t codePage);

}  // namespace pkx
