// The package digest check on real files, with the package at an offset
// inside a larger file as in a program file.
#include "engine/integrity_check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/cancellation.h"
#include "platform/fault_injection.h"
#include "tests/recording_ui.h"
#include "tests/test_support.h"
#include "tools/packwriter/package_writer.h"

namespace pkx {
namespace {

using packwriter::Bytes;

constexpr uint32_t kPackageStart = 300;

// Bytes `i * 7 + seed`, so that every position holds a known value.
Bytes Pattern(size_t size, uint8_t seed) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + seed);
    return bytes;
}

// `hashed` bytes followed by their MD5 digest.
Bytes SealedPackage(const Bytes& hashed) {
    Bytes package = hashed;
    const CheckValue digest = packwriter::Md5CheckValue(hashed);
    package.insert(package.end(), digest.bytes, digest.bytes + 16);
    return package;
}

class IntegrityCheckTest : public ::testing::Test {
  protected:
    void SetUp() override { context_.events = &events_; }
    void TearDown() override { SetCancelPollHook(nullptr, nullptr); }

    // Writes image bytes, the package and trailing bytes, and opens the file
    // positioned at the package's first byte.
    void Install(const Bytes& package, uint8_t surroundSeed = 1) {
        Bytes file = Pattern(kPackageStart, surroundSeed);
        file.insert(file.end(), package.begin(), package.end());
        const Bytes tail = Pattern(40, surroundSeed + 1);
        file.insert(file.end(), tail.begin(), tail.end());
        ASSERT_TRUE(test::WriteFile(path_, std::string(file.begin(), file.end())));
        ASSERT_EQ(file_.OpenRead(path_.c_str(), kShareRead, kAttributeNormal), 0u);
        ASSERT_EQ(file_.Seek(kPackageStart, kFileBegin), kPackageStart);
    }

    ResultCode Check(uint32_t size) { return CheckPackageIntegrity(file_, size, context_); }

    test::TempFolder folder_;
    std::string path_ = folder_ / "program.bin";
    BinaryFile file_;
    test::RecordingEvents events_;
    ApplyContext context_;
};

TEST_F(IntegrityCheckTest, RealPackagePassesAndLeavesFileAtPackageStart) {
    packwriter::PackageSpec spec;
    spec.title = "Tool";
    spec.oldVersionLabel = "1.0";
    spec.newVersionLabel = "2.0";
    spec.adds.push_back({"readme.txt", {}, {}, Pattern(1500, 3)});
    Bytes package;
    ASSERT_TRUE(packwriter::BuildPackage(spec, &package));
    Install(package);

    EXPECT_EQ(Check(static_cast<uint32_t>(package.size())), result::kSuccess);
    EXPECT_EQ(file_.Seek(0, kFileCurrent), kPackageStart);
    EXPECT_EQ(events_.Codes(), std::vector<uint32_t>{EV_CHECK_INTEGRITY});
    EXPECT_EQ(events_.events[0].param, 0);
}

// 514 hashed bytes: a full chunk, a 2-byte chunk, then the digest.
TEST_F(IntegrityCheckTest, EverySingleChangedByteIsAMismatch) {
    const Bytes good = SealedPackage(Pattern(514, 9));
    for (size_t i = 0; i < good.size(); ++i) {
        Bytes damaged = good;
        damaged[i] ^= 0x01;
        file_.Close();
        Install(damaged);
        ASSERT_EQ(Check(static_cast<uint32_t>(damaged.size())), result::kPackageDigestMismatch)
            << "byte " << i;
    }
}

TEST_F(IntegrityCheckTest, BytesOutsideThePackageAreNotCovered) {
    const Bytes package = SealedPackage(Pattern(700, 5));
    Install(package, 1);
    ASSERT_EQ(Check(static_cast<uint32_t>(package.size())), result::kSuccess);
    file_.Close();
    Install(package, 77);  // other image and trailing bytes
    EXPECT_EQ(Check(static_cast<uint32_t>(package.size())), result::kSuccess);
}

TEST_F(IntegrityCheckTest, SixteenBytePackageHoldsTheDigestOfNothing) {
    Install(SealedPackage({}));
    EXPECT_EQ(Check(16), result::kSuccess);
    EXPECT_EQ(file_.Seek(0, kFileCurrent), kPackageStart);

    file_.Close();
    Install(Pattern(16, 0));
    EXPECT_EQ(Check(16), result::kPackageDigestMismatch);
}

TEST_F(IntegrityCheckTest, PackageShorterThanItsDigestIsAReadFailure) {
    Install(Pattern(40, 0));
    EXPECT_EQ(Check(15), result::kReadProgramFile);
    EXPECT_EQ(Check(0), result::kReadProgramFile);
}

TEST_F(IntegrityCheckTest, PackageRunningPastTheFileEndIsAReadFailure) {
    const Bytes package = SealedPackage(Pattern(100, 2));
    Install(package);
    // The file ends 40 bytes after the package.
    EXPECT_EQ(Check(static_cast<uint32_t>(package.size()) + 41), result::kReadProgramFile);
}

TEST_F(IntegrityCheckTest, CancelPollsBeforeFirstReadAndBetweenChunks) {
    // 1536 hashed bytes: three full chunks, polled before the first read and
    // after the first two.
    const Bytes package = SealedPackage(Pattern(1536, 4));
    Install(package);
    int polls = 0;
    SetCancelPollHook([](ApplyContext&, void* data) { ++*static_cast<int*>(data); }, &polls);
    EXPECT_EQ(Check(static_cast<uint32_t>(package.size())), result::kSuccess);
    EXPECT_EQ(polls, 3);
}

TEST_F(IntegrityCheckTest, CancelBeforeOrDuringTheCheckGivesOne) {
    const Bytes package = SealedPackage(Pattern(1536, 4));
    Install(package);
    context_.cancelRequested = 1;
    EXPECT_EQ(Check(static_cast<uint32_t>(package.size())), result::kCancelled);
    EXPECT_EQ(events_.Count(EV_CHECK_INTEGRITY), 1u);

    context_.cancelRequested = 0;
    ASSERT_EQ(file_.Seek(kPackageStart, kFileBegin), kPackageStart);
    struct Countdown {
        int pollsLeft = 2;
    } countdown;
    SetCancelPollHook(
        [](ApplyContext& context, void* data) {
            if (--static_cast<Countdown*>(data)->pollsLeft == 0) context.cancelRequested = 1;
        },
        &countdown);
    EXPECT_EQ(Check(static_cast<uint32_t>(package.size())), result::kCancelled);
    // One chunk was read before the cancellation was seen.
    EXPECT_EQ(file_.Seek(0, kFileCurrent), kPackageStart + 512);
}

TEST_F(IntegrityCheckTest, ReadFailureMidRangeIsAReadFailureNotAMismatch) {
    const Bytes package = SealedPackage(Pattern(1536, 4));
    Install(package);
    FaultInjector faults(NativePlatform());
    ScopedPlatform scope(faults);
    for (uint32_t code : {win32err::kReadFault, win32err::kSuccess}) {  // error, short read
        faults.Reset();
        faults.FailAt(2, code, Operation::kRead);
        ASSERT_EQ(file_.Seek(kPackageStart, kFileBegin), kPackageStart);
        EXPECT_EQ(Check(static_cast<uint32_t>(package.size())), result::kReadProgramFile);
        EXPECT_EQ(faults.FaultsTriggered(), 1u);
    }
    // The stored digest itself cannot be read.
    faults.Reset();
    faults.FailAt(4, win32err::kReadFault, Operation::kRead);
    ASSERT_EQ(file_.Seek(kPackageStart, kFileBegin), kPackageStart);
    EXPECT_EQ(Check(static_cast<uint32_t>(package.size())), result::kReadProgramFile);
}

TEST_F(IntegrityCheckTest, PositionQueryOrReturnSeekFailureIsAReadFailure) {
    const Bytes package = SealedPackage(Pattern(100, 4));
    Install(package);
    FaultInjector faults(NativePlatform());
    ScopedPlatform scope(faults);
    faults.FailAt(1, win32err::kInvalidParameter, Operation::kSeek);
    EXPECT_EQ(Check(static_cast<uint32_t>(package.size())), result::kReadProgramFile);
    EXPECT_EQ(faults.Count(Operation::kRead), 0u);

    faults.Reset();
    faults.FailAt(2, win32err::kInvalidParameter, Operation::kSeek);
    EXPECT_EQ(Check(static_cast<uint32_t>(package.size())), result::kReadProgramFile);
}

TEST_F(IntegrityCheckTest, WorksWithoutAnEventReceiver) {
    const Bytes package = SealedPackage(Pattern(100, 4));
    Install(package);
    context_.events = nullptr;
    EXPECT_EQ(Check(static_cast<uint32_t>(package.size())), result::kSuccess);
}

}  // namespace
}  // namespace pkx
