// The package digest check, the package at an offset inside a program file.
#include "engine/integrity_check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/platforms/fault_injection.h"
#include "tests/worker_fixtures.h"

namespace pkx {
namespace {

using packwriter::Bytes;

constexpr uint32_t kPackageStart = 300;

Bytes Pattern(size_t size, uint32_t seed) { return test::ToBytes(test::Pattern(size, seed)); }

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

    // Image bytes, the package, trailing bytes; opened at the package's start.
    void Install(const Bytes& package, uint32_t surroundSeed = 1) {
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
    packwriter::PackageModel model;
    model.title = "Tool";
    model.adds.push_back({"readme.txt", {}, {}, Pattern(1500, 3)});
    Bytes package;
    ASSERT_TRUE(packwriter::BuildPackage(model, &package));
    Install(package);

    EXPECT_EQ(Check(static_cast<uint32_t>(package.size())), result::kSuccess);
    EXPECT_EQ(file_.Seek(0, kFileCurrent), kPackageStart);
    EXPECT_EQ(events_.Codes(), std::vector<uint32_t>{EV_CHECK_INTEGRITY});
    EXPECT_EQ(events_.events[0].param, 0);
    context_.events = nullptr;
    EXPECT_EQ(Check(static_cast<uint32_t>(package.size())), result::kSuccess);
}

// 514 hashed bytes: a full chunk, a 2-byte chunk, then the digest. Bytes
// around the package are not covered.
TEST_F(IntegrityCheckTest, EverySingleChangedByteInsideThePackageIsAMismatch) {
    const Bytes good = SealedPackage(Pattern(514, 9));
    Install(good, 77);
    ASSERT_EQ(Check(static_cast<uint32_t>(good.size())), result::kSuccess);
    for (size_t i = 0; i < good.size(); ++i) {
        Bytes damaged = good;
        damaged[i] ^= 0x01;
        file_.Close();
        Install(damaged);
        ASSERT_EQ(Check(static_cast<uint32_t>(damaged.size())), result::kPackageDigestMismatch)
            << "byte " << i;
    }
}

TEST_F(IntegrityCheckTest, SizesAtTheLimits) {
    const Bytes hundred = SealedPackage(Pattern(100, 2));
    struct Case {
        const char* what;
        Bytes package;
        uint32_t size;
        ResultCode expected;
    };
    const Case cases[] = {
        {"digest of nothing", SealedPackage({}), 16, result::kSuccess},
        {"sixteen bytes that are not that digest", Pattern(16, 0), 16,
         result::kPackageDigestMismatch},
        {"shorter than the digest", Pattern(40, 0), 15, result::kReadProgramFile},
        {"empty", Pattern(40, 0), 0, result::kReadProgramFile},
        // The file ends 40 bytes after the package.
        {"past the file end", hundred, static_cast<uint32_t>(hundred.size()) + 41,
         result::kReadProgramFile},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        file_.Close();
        Install(test.package);
        EXPECT_EQ(Check(test.size), test.expected);
    }
}

TEST_F(IntegrityCheckTest, CancelIsPolledBeforeTheFirstReadAndBetweenChunks) {
    // 1536 hashed bytes: three full chunks.
    const Bytes package = SealedPackage(Pattern(1536, 4));
    const uint32_t size = static_cast<uint32_t>(package.size());
    Install(package);
    test::CancelAtPoll counter;
    {
        test::CancelHookScope hook(&counter);
        EXPECT_EQ(Check(size), result::kSuccess);
    }
    EXPECT_EQ(counter.polls, 3u);

    ASSERT_EQ(file_.Seek(kPackageStart, kFileBegin), kPackageStart);
    context_.cancelRequested = 1;
    EXPECT_EQ(Check(size), result::kCancelled);
    EXPECT_EQ(events_.Count(EV_CHECK_INTEGRITY), 2u);

    context_.cancelRequested = 0;
    ASSERT_EQ(file_.Seek(kPackageStart, kFileBegin), kPackageStart);
    test::CancelAtPoll cancel;
    cancel.at = 2;
    test::CancelHookScope hook(&cancel);
    EXPECT_EQ(Check(size), result::kCancelled);
    EXPECT_EQ(cancel.polls, 2u) << "no poll after the cancel seen after the first chunk";
}

// A failing read or seek is a read failure, never a digest mismatch.
TEST_F(IntegrityCheckTest, PlatformFailuresAreReadFailures) {
    // Read ahead in two requests: 64 KiB, then the rest.
    const Bytes package = SealedPackage(Pattern(64 * 1024 + 1536, 4));
    Install(package);
    struct Case {
        const char* what;
        uint64_t k;
        uint32_t code;
        Operation kind;
    };
    const Case cases[] = {
        {"second read", 2, win32err::kReadFault, Operation::kRead},
        {"short second read", 2, win32err::kSuccess, Operation::kRead},
        {"stored digest", 3, win32err::kReadFault, Operation::kRead},
        {"position query", 1, win32err::kInvalidParameter, Operation::kSeek},
        {"return to the package start", 2, win32err::kInvalidParameter, Operation::kSeek},
    };
    FaultInjector faults(NativePlatform());
    PlatformScope scope(faults);
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        ASSERT_EQ(file_.Seek(kPackageStart, kFileBegin), kPackageStart);
        faults.Reset();
        faults.FailAt(test.k, test.code, test.kind);
        EXPECT_EQ(Check(static_cast<uint32_t>(package.size())), result::kReadProgramFile);
        EXPECT_EQ(faults.FaultsTriggered(), 1u);
    }
}

}  // namespace
}  // namespace pkx
