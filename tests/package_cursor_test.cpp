#include "package/package_cursor.h"

#include <gtest/gtest.h>

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
    bool Read(void* buffer, uint32_t count) override {
        if (count > bytes_.size() - position_) return false;
        std::memcpy(buffer, bytes_.data() + position_, count);
        position_ += count;
        return true;
    }
    bool Skip(uint64_t count) override {
        position_ += count;
        return true;
    }

  private:
    std::vector<uint8_t> bytes_;
    uint64_t position_ = 0;
};

TEST(PackageCursorTest, AReadPastTheEndFailsAndEveryLaterReadToo) {
    // A short string of 3 bytes, then a u32, in a file that goes on beyond
    // the cursor's end at 6.
    MemoryBytes bytes({3, 'a', 'b', 'c', 0x11, 0x22, 0x33, 0x44, 0x55, 0x66});
    PackageCursor in(bytes, 0, 6);
    ASSERT_TRUE(in.MoveToStart());
    char text[kPathBufferSize] = "kept";
    ASSERT_TRUE(in.ReadShortString(text));
    EXPECT_STREQ(text, "abc");
    uint32_t value = 7;
    EXPECT_FALSE(in.ReadU32(&value));  // 4 bytes, 2 left before the end
    EXPECT_EQ(value, 7u);
    EXPECT_FALSE(in.ok());
    uint8_t byte = 9;
    EXPECT_FALSE(in.ReadU8(&byte));  // would fit, but the cursor has stopped
    EXPECT_EQ(byte, 9);
    EXPECT_EQ(in.Remaining(), 0u);
}

TEST(PackageCursorTest, AShortStringCutShortLeavesTheBufferAsItWas) {
    MemoryBytes bytes({5, 'a', 'b'});
    PackageCursor in(bytes, 0, 100);  // the source ends first
    ASSERT_TRUE(in.MoveToStart());
    char text[kPathBufferSize] = "kept";
    EXPECT_FALSE(in.ReadShortString(text));
    EXPECT_STREQ(text, "kept");
    EXPECT_FALSE(in.ok());
}

TEST(PackageCursorTest, FitsCountsFromThePositionToTheEnd) {
    MemoryBytes bytes(std::vector<uint8_t>(64));
    PackageCursor in(bytes, 16, 48);
    ASSERT_TRUE(in.MoveToStart());
    ASSERT_TRUE(in.Skip(8));
    EXPECT_TRUE(in.Fits(24));
    EXPECT_FALSE(in.Fits(25));
    EXPECT_FALSE(in.Skip(25));
    EXPECT_FALSE(in.Fits(0));  // stopped: nothing fits any more
}

}  // namespace
}  // namespace pkx
