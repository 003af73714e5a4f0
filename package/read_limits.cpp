#include "package/read_limits.h"

#include "platform/platform.h"

namespace pkx {

namespace {
constexpr uint32_t kLargestSeek = 0x7FFFFFFFu;
}  // namespace

ResultCode RemainingBytes(BinaryFile& file, uint32_t* remaining) {
    const uint32_t position = file.Seek(0, kFileCurrent);
    const uint32_t size = file.Size();
    if (position == kBadPosition || size == kBadPosition) return result::kReadProgramFile;
    *remaining = position < size ? size - position : 0;
    return result::kSuccess;
}

ResultCode CheckFitsInFile(BinaryFile& file, uint64_t bytes) {
    uint32_t remaining = 0;
    if (RemainingBytes(file, &remaining) != 0) return result::kReadProgramFile;
    if (bytes > remaining) return result::kReadProgramFile;
    return result::kSuccess;
}

ResultCode SkipBytes(BinaryFile& file, uint32_t count) {
    if (CheckFitsInFile(file, count) != 0) return result::kReadProgramFile;
    while (count > 0) {
        // Seek takes a signed distance: a longer skip goes in steps.
        const uint32_t step = count < kLargestSeek ? count : kLargestSeek;
        if (file.Seek(static_cast<int32_t>(step), kFileCurrent) == kBadPosition) {
            return result::kReadProgramFile;
        }
        count -= step;
    }
    return result::kSuccess;
}

}  // namespace pkx
