// Reading a package's fields in order, bounded by the package.
//
// Every length, count and offset in a package comes from its bytes, so every
// read goes through one cursor that knows where the package ends: in a
// container, a count in one package cannot "fit" by running into the next.
// The first read that would pass the end, or that fails, stops the cursor for
// good; every read after it fails too.
#pragma once

#include <cstdint>
#include <cstring>

#include "core/apply_context.h"
#include "support/binary_file.h"

namespace pkx {

// Where a cursor's bytes come from: read in order, passed over, or read from
// a given offset on.
class PackageSource {
  public:
    // Makes `offset` (from the start of the file) the next byte to read.
    virtual bool MoveTo(uint64_t offset) = 0;
    // Exactly `count` next bytes; false when they are not all there.
    virtual bool Read(void* buffer, uint32_t count) = 0;
    // Passes over the next `count` bytes.
    virtual bool Skip(uint64_t count) = 0;

  protected:
    ~PackageSource() = default;
};

// The program file as a source: one platform read per field, no buffering.
class FilePackageSource final : public PackageSource {
  public:
    explicit FilePackageSource(BinaryFile& file) : file_(file) {}
    bool MoveTo(uint64_t offset) override;
    bool Read(void* buffer, uint32_t count) override;
    bool Skip(uint64_t count) override;

  private:
    BinaryFile& file_;
};

// Bytes in memory as a source: the builder's and the fuzzers' side.
class MemoryPackageSource final : public PackageSource {
  public:
    MemoryPackageSource(const uint8_t* bytes, uint64_t size) : bytes_(bytes), size_(size) {}
    bool MoveTo(uint64_t offset) override {
        position_ = offset;
        return offset <= size_;
    }
    bool Read(void* buffer, uint32_t count) override {
        if (position_ > size_ || count > size_ - position_) return false;
        if (count > 0) std::memcpy(buffer, bytes_ + position_, count);
        position_ += count;
        return true;
    }
    bool Skip(uint64_t count) override {
        position_ += count;
        return position_ <= size_;
    }

  private:
    const uint8_t* bytes_;
    uint64_t size_;
    uint64_t position_ = 0;
};

class PackageCursor {
  public:
    // Bytes [begin, end) of `source`; the first read is at `begin` once
    // MoveToStart() has put the source there (or when it already is there).
    PackageCursor(PackageSource& source, uint64_t begin, uint64_t end)
        : source_(source), begin_(begin), position_(begin), end_(end) {}
    // The bytes of `package` in the program file.
    PackageCursor(PackageSource& source, const PackageRef& package)
        : PackageCursor(source, package.offset, uint64_t{package.offset} + package.size) {}
    PackageCursor(const PackageCursor&) = delete;
    PackageCursor& operator=(const PackageCursor&) = delete;

    bool ok() const { return ok_; }
    uint64_t position() const { return position_; }
    // Bytes left before the end; 0 once stopped.
    uint64_t Remaining() const { return ok_ && end_ > position_ ? end_ - position_ : 0; }
    // True when `bytes` more lie before the end (never once stopped). Callers
    // pass a count times the least size of an item, computed in 64 bits, so
    // that nothing is allocated for items the package cannot hold.
    bool Fits(uint64_t bytes) const { return ok_ && bytes <= Remaining(); }
    // Stops the cursor, as after a failed read.
    void Fail() { ok_ = false; }

    bool MoveToStart();
    // The reads leave their destination unchanged when they fail.
    bool ReadU8(uint8_t* value);
    bool ReadU16(uint16_t* value);
    bool ReadU32(uint32_t* value);
    // A u8 length and that many bytes, stored NUL-terminated in `buffer`
    // (kPathBufferSize bytes).
    bool ReadShortString(char* buffer);
    // `count` bytes into `buffer`; after a failure its contents are undefined.
    bool Read(void* buffer, uint32_t count);
    bool Skip(uint64_t count);

  private:
    bool Take(uint64_t count);

    PackageSource& source_;
    uint64_t begin_;
    uint64_t position_;
    uint64_t end_;
    bool ok_ = true;
};

}  // namespace pkx
