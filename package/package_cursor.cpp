#include "package/package_cursor.h"

#include <cstring>

namespace pkx {

namespace {
// Seek takes a signed distance: a longer skip goes in steps.
constexpr uint32_t kLargestSeek = 0x7FFFFFFFu;
}  // namespace

bool FilePackageSource::MoveTo(uint64_t offset) {
    // An offset beyond 2 GiB becomes a negative distance, which the seek refuses.
    return file_.Seek(static_cast<int32_t>(offset), kFileBegin) != kBadPosition;
}

bool FilePackageSource::Read(void* buffer, uint32_t count) {
    return file_.Read(buffer, count) == win32err::kSuccess;
}

bool FilePackageSource::Skip(uint64_t count) {
    while (count > 0) {
        const uint32_t step = count < kLargestSeek ? static_cast<uint32_t>(count) : kLargestSeek;
        if (file_.Seek(static_cast<int32_t>(step), kFileCurrent) == kBadPosition) return false;
        count -= step;
    }
    return true;
}

bool PackageCursor::MoveToStart() {
    position_ = begin_;
    if (ok_ && !source_.MoveTo(begin_)) ok_ = false;
    return ok_;
}

// Claims the next `count` bytes; false (and stopped) when they pass the end.
bool PackageCursor::Take(uint64_t count) {
    if (!Fits(count)) {
        ok_ = false;
        return false;
    }
    position_ += count;
    return true;
}

bool PackageCursor::Read(void* buffer, uint32_t count) {
    if (!Take(count)) return false;
    if (!source_.Read(buffer, count)) ok_ = false;
    return ok_;
}

bool PackageCursor::Skip(uint64_t count) {
    if (!Take(count)) return false;
    if (!source_.Skip(count)) ok_ = false;
    return ok_;
}

bool PackageCursor::ReadU8(uint8_t* value) {
    uint8_t byte = 0;
    if (!Read(&byte, 1)) return false;
    *value = byte;
    return true;
}

bool PackageCursor::ReadU16(uint16_t* value) {
    uint8_t bytes[2];
    if (!Read(bytes, sizeof bytes)) return false;
    *value = static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
    return true;
}

bool PackageCursor::ReadU32(uint32_t* value) {
    uint8_t bytes[4];
    if (!Read(bytes, sizeof bytes)) return false;
    *value = static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
             (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
    return true;
}

bool PackageCursor::ReadShortString(char* buffer) {
    uint8_t length = 0;
    if (!ReadU8(&length)) return false;
    // Read aside so that a short read leaves the destination as it was.
    char text[kPathBufferSize];
    if (!Read(text, length)) return false;
    text[length] = '\0';
    std::memcpy(buffer, text, static_cast<size_t>(length) + 1);
    return true;
}

}  // namespace pkx
