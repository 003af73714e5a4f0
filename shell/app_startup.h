// Preparing the one ApplyContext of the process and finishing after the run,
// the same for the Windows program and the console updater.
#pragma once

#include "core/apply_context.h"

namespace pkx {

// True when the first argument starts with "-F" or "-f".
bool IsAutoFinishSwitch(const char* firstArgument);

// Fills the fields the program owns: paths of the program file, code page,
// switch, title, and the default texts (so that a failure before the first
// package header still reads as its text).
void PrepareContext(ApplyContext& context, const char* firstArgument);

// The document to open after a successful run, or false when there is none.
bool DocumentToOpen(const ApplyContext& context, char* path, uint32_t size);

// 0 after success, 255 after an error, a cancellation or a running program.
int ExitCode(const ApplyContext& context);

}  // namespace pkx
