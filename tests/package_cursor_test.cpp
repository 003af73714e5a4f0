#include "package/package_cursor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace pkx {
namespace {

// Bytes in memory, read in order like the program file.
class MemoryBytes final : public PackageSource {
  public:
    explicit MemoryBytes(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
    bool MoveTo(uint64_t offset) override {
        position_ = offset;
        return offset <= bytes_.size();
    }
    // A short read fills what it can, as a file's does.
    bool Read(void* buffer, uint32_t count) override {
        const size_t done = std::min<size_t>(count, bytes_.size() - position_);
        std::memcpy(buffer, bytes_.data() + position_, done);
        position_ += done;
        return done == count;
    }
    bool Skip(uint64_t count) override {
        position_ += count;
        return !skipFails;
    }
    bool skipFails = false;  // as a seek the system refuses

  private:
    std::vector<uint8_t> bytes_;
    uint64_t position_ = 0;
};

TEST(PackageCursorTest, AShortStringCutShortLeavesTheBufferAsItWas) {
    MemoryBytes bytes({5, 'a', 'b'});
    PackageCursor in(bytes, 0, 100);  // the source ends first
    ASSERT_TRUE(in.MoveToStart());
    char text[kPathBufferSize] = "kept";
    EXPECT_FALSE(in.ReadShortString(text));
    EXPECT_STREQ(text, "kept");
    EXPECT_FALSE(in.ok());
}

TEST(PackageCursorTest, AFailedSkipStopsTheCursor) {
    MemoryBytes bytes({1, 2, 3, 4});
    bytes.skipFails = true;
    PackageCursor in(bytes, 0, 4);
    ASSERT_TRUE(in.MoveToStart());
    EXPECT_FALSE(in.Skip(1));
    uint8_t value = 0;
    EXPECT_FALSE(in.ReadU8(&value)) << "the source could still be read";
    EXPECT_FALSE(in.ok());
}

}  // namespace
}  // namespace pkx
