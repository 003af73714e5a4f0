#include "support/binary_file.h"

namespace pkx {

uint32_t BinaryFile::Open(const char* path, uint32_t access, uint32_t share, uint32_t disposition,
                          uint32_t flags) {
    Close();
    FileHandle opened = kInvalidFile;
    uint32_t result = Os().Open(path, access, share, disposition, flags, &opened);
    if (result != win32err::kSuccess) {
        // A platform that failed is not trusted to have left no handle.
        if (opened != kInvalidFile) Os().Close(opened);
        return result;
    }
    if (opened == kInvalidFile) return win32err::kInvalidHandle;
    handle_ = opened;
    return win32err::kSuccess;
}

uint32_t BinaryFile::OpenRead(const char* path, uint32_t share, uint32_t flags) {
    return Open(path, kGenericRead, share, kOpenExisting, flags);
}

uint32_t BinaryFile::OpenWrite(const char* path, uint32_t share, uint32_t flags) {
    return Open(path, kGenericWrite, share, kCreateAlways, flags);
}

void BinaryFile::Adopt(FileHandle handle) {
    Close();
    handle_ = handle;
}

uint32_t BinaryFile::Close() {
    if (IsOpen()) {
        Os().Close(handle_);
        handle_ = kInvalidFile;
    }
    return win32err::kSuccess;
}

uint32_t BinaryFile::Seek(int32_t distance, uint32_t origin) {
    if (!IsOpen()) return win32err::kInvalidHandle;
    uint32_t position = 0;
    if (Os().Seek(handle_, distance, origin, &position) != win32err::kSuccess) return kBadPosition;
    return position;
}

uint32_t BinaryFile::Size() {
    if (!IsOpen()) return win32err::kInvalidHandle;
    uint32_t size = 0;
    if (Os().Size(handle_, &size) != win32err::kSuccess) return kBadPosition;
    return size;
}

uint32_t BinaryFile::ReadExact(void* buffer, uint32_t count, uint32_t* transferred) {
    *transferred = 0;
    if (!IsOpen()) return win32err::kInvalidHandle;
    uint32_t result = Os().Read(handle_, buffer, count, transferred);
    if (*transferred > count) *transferred = count;  // never trust more than was asked
    if (result != win32err::kSuccess) return result;
    return *transferred == count ? win32err::kSuccess : win32err::kHandleEof;
}

uint32_t BinaryFile::Read(void* buffer, uint32_t count, uint32_t* done) {
    if (done != nullptr) *done = 0;
    uint32_t transferred = 0;
    uint32_t result = ReadExact(buffer, count, &transferred);
    if (result == win32err::kSuccess && done != nullptr) *done = count;
    return result;
}

uint32_t BinaryFile::ReadU8(uint8_t* value) { return Read(value, 1); }

uint32_t BinaryFile::ReadU16(uint16_t* value) {
    uint8_t bytes[2];
    uint32_t result = Read(bytes, sizeof bytes);
    if (result == win32err::kSuccess) *value = static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
    return result;
}

uint32_t BinaryFile::ReadU32(uint32_t* value) {
    uint8_t bytes[4];
    uint32_t result = Read(bytes, sizeof bytes);
    if (result == win32err::kSuccess) {
        *value = static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
                 (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
    }
    return result;
}

uint32_t BinaryFile::ReadString(char* buffer, uint32_t count) {
    uint32_t transferred = 0;
    uint32_t result = ReadExact(buffer, count, &transferred);
    // Terminated also after a failure, so that no caller reads stale bytes.
    buffer[transferred] = '\0';
    return result;
}

uint32_t BinaryFile::Write(const void* buffer, uint32_t count, uint32_t* done) {
    if (done != nullptr) *done = 0;
    if (!IsOpen()) return win32err::kInvalidHandle;
    uint32_t transferred = 0;
    uint32_t result = Os().Write(handle_, buffer, count, &transferred);
    if (result != win32err::kSuccess) return result;
    if (transferred != count) return win32err::kDiskFull;
    if (done != nullptr) *done = count;
    return win32err::kSuccess;
}

}  // namespace pkx
