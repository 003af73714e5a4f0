// Parts of the Win32 platform that tests reach directly: both ways of
// listing running programs, whichever the system in use would choose.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace pkx::win32 {

// The kind of Windows in use, from GetVersionExA: -1 NT before 4.0,
// 1 Windows 95, 2 Windows 98, 3 NT 4.0, 4 Windows 2000 and other NT 5+ with
// a minor version other than 1, 5 Windows Me, 6 NT 5+ with minor version 1.
int OsKind();

// Toolhelp snapshot (functions looked up at run time): visits each
// process's executable name as the system reports it.
uint32_t EnumerateBySnapshot(ProcessVisitor& visitor);

// psapi (loaded at run time): visits the path of every module of every
// process that can be opened, the executable and its libraries alike. A
// module name that cannot be read ends the walk with its error code.
uint32_t EnumerateByModules(ProcessVisitor& visitor);

}  // namespace pkx::win32
