#include "support/binary_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/platforms/fault_injection.h"
#include "tests/test_support.h"

namespace pkx {
namespace {

using test::ReadFile;
using test::TempFolder;
using test::WriteFile;

class BinaryFileTest : public ::testing::Test {
  protected:
    TempFolder temp;
    FaultInjector injector{NativePlatform()};
};

TEST_F(BinaryFileTest, ReadsTypedLittleEndianValuesAndStrings) {
    ASSERT_TRUE(WriteFile(temp / "data", std::string("\x7F\x34\x12\x78\x56\x34\x12\x05hello", 13)));
    BinaryFile file;
    ASSERT_EQ(file.OpenRead((temp / "data").c_str(), kShareRead, kAttributeNormal), 0u);
    EXPECT_TRUE(file.IsOpen());
    EXPECT_EQ(file.Size(), 13u);
    uint8_t u8 = 0;
    uint16_t u16 = 0;
    uint32_t u32 = 0;
    ASSERT_EQ(file.ReadU8(&u8), 0u);
    ASSERT_EQ(file.ReadU16(&u16), 0u);
    ASSERT_EQ(file.ReadU32(&u32), 0u);
    EXPECT_EQ(u8, 0x7F);
    EXPECT_EQ(u16, 0x1234);
    EXPECT_EQ(u32, 0x12345678u);
    uint8_t length = 0;
    ASSERT_EQ(file.ReadU8(&length), 0u);
    char text[256];
    memset(text, '#', sizeof text);
    ASSERT_EQ(file.ReadString(text, length), 0u);
    EXPECT_STREQ(text, "hello");
    EXPECT_EQ(file.Seek(0, kFileCurrent), 13u);
}

TEST_F(BinaryFileTest, ExactCountsOrFailure) {
    ASSERT_TRUE(WriteFile(temp / "three", "abc"));
    BinaryFile file;
    ASSERT_EQ(file.OpenRead((temp / "three").c_str(), kShareNone, kAttributeNormal), 0u);
    char buffer[8] = {};
    uint32_t done = 99;
    ASSERT_EQ(file.Read(buffer, 2, &done), 0u);
    EXPECT_EQ(done, 2u);
    done = 99;
    EXPECT_EQ(file.Read(buffer, 2, &done), win32err::kHandleEof);  // one byte left
    EXPECT_EQ(done, 0u);

    ASSERT_EQ(file.Seek(0, kFileBegin), 0u);
    uint32_t value = 0xAAAAAAAAu;
    EXPECT_EQ(file.ReadU32(&value), win32err::kHandleEof);
    EXPECT_EQ(file.Seek(0, kFileCurrent), 3u);

    char empty[1] = {'#'};
    EXPECT_EQ(file.ReadString(empty, 0), 0u);
    EXPECT_EQ(empty[0], '\0');
    // A failed string read is terminated after what arrived.
    ASSERT_EQ(file.Seek(1, kFileBegin), 1u);
    char partial[8];
    memset(partial, '#', sizeof partial);
    EXPECT_EQ(file.ReadString(partial, 5), win32err::kHandleEof);
    EXPECT_STREQ(partial, "bc");
}

TEST_F(BinaryFileTest, AClosedObjectAnswersSixWithoutCallingThePlatform) {
    ScopedPlatform scope(injector);
    BinaryFile file;
    char buffer[4];
    uint32_t done = 5;
    uint8_t u8 = 0;
    uint16_t u16 = 0;
    uint32_t u32 = 0;
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(file.NativeHandle(), kInvalidFile);
    EXPECT_EQ(file.Read(buffer, 4, &done), win32err::kInvalidHandle);
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(file.ReadU8(&u8), win32err::kInvalidHandle);
    EXPECT_EQ(file.ReadU16(&u16), win32err::kInvalidHandle);
    EXPECT_EQ(file.ReadU32(&u32), win32err::kInvalidHandle);
    EXPECT_EQ(file.ReadString(buffer, 3), win32err::kInvalidHandle);
    EXPECT_EQ(file.Write("x", 1, &done), win32err::kInvalidHandle);
    // Seek and Size give 6 too, which callers testing for 0xFFFFFFFF take as a position.
    EXPECT_EQ(file.Seek(0, kFileBegin), 6u);
    EXPECT_EQ(file.Size(), 6u);
    EXPECT_EQ(file.Close(), 0u);
    EXPECT_EQ(injector.Count(), 0u);
}

TEST_F(BinaryFileTest, PlatformCodesPassThroughAndShortTransfersStillFail) {
    ASSERT_TRUE(WriteFile(temp / "in", "0123456789"));
    injector.FailAt(1, win32err::kReadFault, Operation::kRead);
    injector.FailAt(2, 0, Operation::kRead);  // the platform reads nothing and names no error
    injector.FailAt(1, win32err::kDiskFull, Operation::kWrite);
    injector.FailAt(2, 0, Operation::kWrite);
    injector.FailAt(1, win32err::kInvalidParameter, Operation::kSeek);
    injector.FailAt(1, win32err::kAccessDenied, Operation::kSize);
    ScopedPlatform scope(injector);

    BinaryFile in;
    ASSERT_EQ(in.OpenRead((temp / "in").c_str(), kShareRead, kAttributeNormal), 0u);
    char buffer[4];
    uint32_t done = 7;
    EXPECT_EQ(in.Read(buffer, 4, &done), win32err::kReadFault);
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(in.Read(buffer, 4, &done), win32err::kHandleEof);
    EXPECT_EQ(in.Seek(3, kFileBegin), kBadPosition);
    EXPECT_EQ(in.Size(), kBadPosition);
    EXPECT_EQ(in.Size(), 10u);

    BinaryFile out;
    ASSERT_EQ(out.OpenWrite((temp / "out").c_str(), kShareNone, kAttributeArchive), 0u);
    done = 7;
    EXPECT_EQ(out.Write("abcd", 4, &done), win32err::kDiskFull);
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(out.Write("abcd", 4, &done), win32err::kDiskFull);
    EXPECT_EQ(out.Write("abcd", 4, &done), 0u);
    EXPECT_EQ(done, 4u);
    EXPECT_EQ(injector.FaultsTriggered(), 6u);
}

TEST_F(BinaryFileTest, OpenWriteTruncatesAndOpenFailuresLeaveTheObjectClosed) {
    ASSERT_TRUE(WriteFile(temp / "old", "old and long content"));
    {
        BinaryFile out;
        ASSERT_EQ(out.OpenWrite((temp / "old").c_str(), kShareNone, kAttributeArchive), 0u);
        ASSERT_EQ(out.Write("new", 3), 0u);

        BinaryFile locked;
        EXPECT_EQ(locked.OpenWrite((temp / "old").c_str(), kShareNone, kAttributeArchive),
                  win32err::kSharingViolation);
        EXPECT_FALSE(locked.IsOpen());
        EXPECT_EQ(locked.Size(), win32err::kInvalidHandle);
    }  // the destructor closes
    EXPECT_EQ(ReadFile(temp / "old"), "new");

    BinaryFile missing;
    EXPECT_EQ(missing.OpenRead((temp / "none").c_str(), kShareRead, kAttributeNormal),
              win32err::kFileNotFound);
    EXPECT_FALSE(missing.IsOpen());
}

TEST_F(BinaryFileTest, ReopeningClosesTheOldHandleFirst) {
    ASSERT_TRUE(WriteFile(temp / "a", "a"));
    ASSERT_TRUE(WriteFile(temp / "b", "b"));
    ScopedPlatform scope(injector);
    BinaryFile file;
    ASSERT_EQ(file.OpenRead((temp / "a").c_str(), kShareNone, kAttributeNormal), 0u);
    ASSERT_EQ(file.OpenRead((temp / "b").c_str(), kShareNone, kAttributeNormal), 0u);
    EXPECT_EQ(injector.Count(Operation::kClose), 1u);
    BinaryFile other;
    EXPECT_EQ(other.OpenRead((temp / "a").c_str(), kShareNone, kAttributeNormal), 0u);

    // A failed reopen also leaves nothing open.
    EXPECT_EQ(file.OpenRead((temp / "none").c_str(), kShareNone, kAttributeNormal),
              win32err::kFileNotFound);
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(other.OpenRead((temp / "b").c_str(), kShareNone, kAttributeNormal), 0u);
}

}  // namespace
}  // namespace pkx
