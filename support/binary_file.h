// One open file with exact-count reads and writes and typed little-endian
// reads. Every operation is one platform call; there is no buffering.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace pkx {

// Result of Seek and Size when the platform call fails.
inline constexpr uint32_t kBadPosition = 0xFFFFFFFFu;

class BinaryFile {
  public:
    BinaryFile() = default;
    // Takes `handle` (kInvalidFile: none), opened elsewhere.
    explicit BinaryFile(FileHandle handle) : handle_(handle) {}
    ~BinaryFile() { Close(); }
    BinaryFile(const BinaryFile&) = delete;
    BinaryFile& operator=(const BinaryFile&) = delete;

    // Close any open handle, then open an existing file for reading (or
    // create or truncate one for writing). 0, or the platform's code with
    // the object closed.
    [[nodiscard]] uint32_t OpenRead(const char* path, uint32_t share, uint32_t flags);
    [[nodiscard]] uint32_t OpenWrite(const char* path, uint32_t share, uint32_t flags);
    // Any access and disposition (CreateFileA's values).
    [[nodiscard]] uint32_t Open(const char* path, uint32_t access, uint32_t share,
                                uint32_t disposition, uint32_t flags);
    // Closes any open handle and takes `handle`, opened elsewhere.
    void Adopt(FileHandle handle);
    // Always 0; closing a closed object does nothing.
    uint32_t Close();

    // The new position, kBadPosition when the platform call fails, and 6
    // (not a position) when the object is closed.
    [[nodiscard]] uint32_t Seek(int32_t distance, uint32_t origin);
    // The low 32 bits of the size, kBadPosition on failure, 6 when closed.
    [[nodiscard]] uint32_t Size();

    // 0 when exactly `count` bytes moved; otherwise 6 when closed, the
    // platform's code, or for a short transfer the platform did not call an
    // error ERROR_HANDLE_EOF (38) for reads and ERROR_DISK_FULL (112) for
    // writes. `*done` is set to 0 first and to `count` on success only.
    [[nodiscard]] uint32_t Read(void* buffer, uint32_t count, uint32_t* done = nullptr);
    [[nodiscard]] uint32_t ReadU8(uint8_t* value);
    [[nodiscard]] uint32_t ReadU16(uint16_t* value);
    [[nodiscard]] uint32_t ReadU32(uint32_t* value);
    // Reads `count` bytes and stores a NUL after the bytes read: `buffer`
    // holds count + 1 bytes.
    [[nodiscard]] uint32_t ReadString(char* buffer, uint32_t count);
    [[nodiscard]] uint32_t Write(const void* buffer, uint32_t count, uint32_t* done = nullptr);

    FileHandle NativeHandle() const { return handle_; }
    bool IsOpen() const { return handle_ != kInvalidFile; }

  private:
    // Read without the count-out contract; `*transferred` tells what arrived.
    uint32_t ReadExact(void* buffer, uint32_t count, uint32_t* transferred);

    FileHandle handle_ = kInvalidFile;
};

}  // namespace pkx
