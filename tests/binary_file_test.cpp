#include "support/binary_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/platforms/fault_injection.h"
#include "tests/test_support.h"

namespace pkx {
namespace {

using namespace win32err;

class BinaryFileTest : public ::testing::Test {
  protected:
    uint32_t OpenRead(BinaryFile& file, const char* name) {
        return file.OpenRead((temp / name).c_str(), kShareNone, kAttributeNormal);
    }

    test::TempFolder temp;
    FaultInjector injector{NativePlatform()};
};

// Typed little-endian values and strings, or a failure when fewer bytes than
// asked for are left.
TEST_F(BinaryFileTest, ReadsExactCountsOfLittleEndianValuesAndStrings) {
    ASSERT_TRUE(
        test::WriteFile(temp / "data", std::string("\x7F\x34\x12\x78\x56\x34\x12\x05hello", 13)));
    BinaryFile file;
    ASSERT_EQ(OpenRead(file, "data"), 0u);
    EXPECT_EQ(file.Size(), 13u);
    uint8_t u8 = 0, length = 0;
    uint16_t u16 = 0;
    uint32_t u32 = 0;
    ASSERT_EQ(file.ReadU8(&u8), 0u);
    ASSERT_EQ(file.ReadU16(&u16), 0u);
    ASSERT_EQ(file.ReadU32(&u32), 0u);
    EXPECT_EQ(u8, 0x7F);
    EXPECT_EQ(u16, 0x1234);
    EXPECT_EQ(u32, 0x12345678u);
    ASSERT_EQ(file.ReadU8(&length), 0u);
    char text[256];
    memset(text, '#', sizeof text);
    ASSERT_EQ(file.ReadString(text, length), 0u);
    EXPECT_STREQ(text, "hello");
    EXPECT_EQ(file.Seek(0, kFileCurrent), 13u);

    ASSERT_EQ(file.Seek(10, kFileBegin), 10u);
    uint32_t done = 99;
    ASSERT_EQ(file.Read(text, 2, &done), 0u);
    EXPECT_EQ(done, 2u);
    EXPECT_EQ(file.Read(text, 2, &done), kHandleEof);  // one byte left
    EXPECT_EQ(done, 0u);
    ASSERT_EQ(file.Seek(10, kFileBegin), 10u);
    EXPECT_EQ(file.ReadU32(&u32), kHandleEof);
    EXPECT_EQ(file.Seek(0, kFileCurrent), 13u);
    EXPECT_EQ(file.ReadString(text, 0), 0u);
    EXPECT_EQ(text[0], '\0');
    // A failed string read is terminated after what arrived.
    ASSERT_EQ(file.Seek(11, kFileBegin), 11u);
    memset(text, '#', sizeof text);
    EXPECT_EQ(file.ReadString(text, 5), kHandleEof);
    EXPECT_STREQ(text, "lo");
}

TEST_F(BinaryFileTest, AClosedObjectAnswersSixWithoutCallingThePlatform) {
    PlatformScope scope(injector);
    BinaryFile file;
    char buffer[4];
    uint32_t done = 5;
    uint8_t u8 = 0;
    uint16_t u16 = 0;
    uint32_t u32 = 0;
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(file.NativeHandle(), kInvalidFile);
    EXPECT_EQ(file.Read(buffer, 4, &done), kInvalidHandle);
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(file.ReadU8(&u8), kInvalidHandle);
    EXPECT_EQ(file.ReadU16(&u16), kInvalidHandle);
    EXPECT_EQ(file.ReadU32(&u32), kInvalidHandle);
    EXPECT_EQ(file.ReadString(buffer, 3), kInvalidHandle);
    EXPECT_EQ(file.Write("x", 1, &done), kInvalidHandle);
    // Seek and Size give 6 too, which callers testing for 0xFFFFFFFF take as a position.
    EXPECT_EQ(file.Seek(0, kFileBegin), 6u);
    EXPECT_EQ(file.Size(), 6u);
    EXPECT_EQ(file.Close(), 0u);
    EXPECT_EQ(injector.Count(), 0u);
}

TEST_F(BinaryFileTest, PlatformCodesPassThroughAndShortTransfersStillFail) {
    ASSERT_TRUE(test::WriteFile(temp / "in", "0123456789"));
    injector.FailAt(1, kReadFault, Operation::kRead);
    injector.FailAt(2, 0, Operation::kRead);  // the platform reads nothing and names no error
    injector.FailAt(1, kDiskFull, Operation::kWrite);
    injector.FailAt(2, 0, Operation::kWrite);
    injector.FailAt(1, kInvalidParameter, Operation::kSeek);
    injector.FailAt(1, kAccessDenied, Operation::kSize);
    PlatformScope scope(injector);

    BinaryFile in;
    ASSERT_EQ(OpenRead(in, "in"), 0u);
    char buffer[4];
    uint32_t done = 7;
    EXPECT_EQ(in.Read(buffer, 4, &done), kReadFault);
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(in.Read(buffer, 4, &done), kHandleEof);
    EXPECT_EQ(in.Seek(3, kFileBegin), kBadPosition);
    EXPECT_EQ(in.Size(), kBadPosition);
    EXPECT_EQ(in.Size(), 10u);

    BinaryFile out;
    ASSERT_EQ(out.OpenWrite((temp / "out").c_str(), kShareNone, kAttributeArchive), 0u);
    done = 7;
    EXPECT_EQ(out.Write("abcd", 4, &done), kDiskFull);
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(out.Write("abcd", 4, &done), kDiskFull);
    EXPECT_EQ(out.Write("abcd", 4, &done), 0u);
    EXPECT_EQ(done, 4u);
    EXPECT_EQ(injector.FaultsTriggered(), 6u);
}

// Opening again closes the old handle first; a failed open leaves the object
// closed; OpenWrite truncates.
TEST_F(BinaryFileTest, OpeningClosesWhatWasOpenAndOpenWriteTruncates) {
    ASSERT_TRUE(test::WriteFile(temp / "a", "old and long content"));
    ASSERT_TRUE(test::WriteFile(temp / "b", "b"));
    {
        PlatformScope scope(injector);
        BinaryFile file, other;
        ASSERT_EQ(OpenRead(file, "a"), 0u);
        ASSERT_EQ(OpenRead(file, "b"), 0u);
        EXPECT_EQ(injector.Count(Operation::kClose), 1u);
        EXPECT_EQ(OpenRead(other, "a"), 0u);
        EXPECT_EQ(OpenRead(file, "none"), kFileNotFound);
        EXPECT_FALSE(file.IsOpen());
        EXPECT_EQ(file.Size(), kInvalidHandle);
        EXPECT_EQ(OpenRead(other, "b"), 0u);
    }
    {
        BinaryFile out, locked;
        ASSERT_EQ(out.OpenWrite((temp / "a").c_str(), kShareNone, kAttributeArchive), 0u);
        ASSERT_EQ(out.Write("new", 3), 0u);
        EXPECT_EQ(locked.OpenWrite((temp / "a").c_str(), kShareNone, kAttributeArchive),
                  kSharingViolation);
        EXPECT_FALSE(locked.IsOpen());
    }  // the destructor closes
    EXPECT_EQ(test::ReadFile(temp / "a"), "new");
}

}  // namespace
}  // namespace pkx
