// Translation of errno values into the Win32 codes the seam promises.
#pragma once

#include <cstdint>

namespace pkx::posix {

// The Win32 code closest to `error` (an errno value); never 0.
uint32_t Win32Error(int error);

// ERROR_FILE_NOT_FOUND (2) when the folder that would hold `path` exists,
// ERROR_PATH_NOT_FOUND (3) when it does not. `path` is a native path.
uint32_t NotFoundError(const char* path);

// Win32Error, with ENOENT and ENOTDIR resolved against `path` as Windows
// does: a missing last component is 2, a missing or non-folder parent is 3.
uint32_t Win32ErrorForPath(int error, const char* path);

}  // namespace pkx::posix
