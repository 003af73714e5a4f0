// Old-version verification against real installed files.
#include "engine/old_version_check.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/cancellation.h"
#include "package/writer/package_writer.h"
#include "support/binary_file.h"
#include "tests/platforms/fault_injection.h"
#include "tests/recording_ui.h"
#include "tests/test_support.h"

namespace pkx {
namespace {

constexpr uint8_t kMd5 = 0;
constexpr uint8_t kDateSize = 1;

CheckValue Md5Of(const std::string& text) {
    return packwriter::Md5CheckValue(text.data(), text.size());
}

bool operator==(const CheckValue& a, const CheckValue& b) {
    return std::memcmp(a.bytes, b.bytes, 16) == 0;
}

FileEntry Entry(const std::string& name, const CheckValue& oldValue = {},
                const CheckValue& newValue = {}) {
    FileEntry entry;
    std::strcpy(entry.name, name.c_str());
    entry.oldCheckValue = oldValue;
    entry.newCheckValue = newValue;
    return entry;
}

FileTime WriteTimeOf(const std::string& path) {
    FileHandle handle = kInvalidFile;
    FileTime time;
    EXPECT_EQ(
        Os().Open(path.c_str(), kGenericRead, kShareRead, kOpenExisting, kAttributeNormal, &handle),
        0u);
    EXPECT_EQ(Os().GetWriteTime(handle, &time), 0u);
    Os().Close(handle);
    return time;
}

class OldVersionCheckTest : public ::testing::Test {
  protected:
    void SetUp() override {
        context_.events = &events_;
        std::strcpy(context_.targetFolder, (target_.path() + "\\").c_str());
        std::strcpy(context_.oldVersionLabel, "1.0");
    }
    void TearDown() override { SetCancelPollHook(nullptr, nullptr); }

    std::string Install(const std::string& name, const std::string& content) {
        const std::string path = target_ / name;
        EXPECT_TRUE(test::WriteFile(path, content));
        return path;
    }

    ResultCode Verify(uint8_t checkMode = kMd5) {
        return VerifyOldVersion(lists_, checkMode, context_);
    }

    test::TempFolder target_;
    test::RecordingEvents events_;
    ApplyContext context_;
    FileEntryLists lists_;
};

TEST_F(OldVersionCheckTest, EmptyListsSendOnlyTheStartEvent) {
    EXPECT_EQ(Verify(kMd5), result::kSuccess);
    EXPECT_EQ(events_.Codes(), std::vector<uint32_t>{EV_CHECK_OLD_MD5});
    events_.events.clear();
    EXPECT_EQ(Verify(7), result::kSuccess);  // any non-zero mode is date and size
    EXPECT_EQ(events_.Codes(), std::vector<uint32_t>{EV_CHECK_OLD_DATE_SIZE});
}

TEST_F(OldVersionCheckTest, MatchingFilesPassWithOneEventEachCarryingTheFullPath) {
    const std::string a = Install("a.exe", "old a");
    const std::string b = Install("sub\\b.dll", "old b");
    const std::string c = Install("c.txt", "to delete");
    lists_.updates = {Entry("a.exe", Md5Of("old a")), Entry("sub\\b.dll", Md5Of("old b"))};
    lists_.deletes = {Entry("c.txt", Md5Of("to delete"))};
    lists_.adds = {Entry("new.txt")};

    EXPECT_EQ(Verify(), result::kSuccess);
    ASSERT_EQ(events_.Codes(), (std::vector<uint32_t>{EV_CHECK_OLD_MD5, EV_HASHING_FILE,
                                                      EV_HASHING_FILE, EV_HASHING_FILE}));
    EXPECT_EQ(events_.events[1].text, a);
    EXPECT_EQ(events_.events[2].text, b);
    EXPECT_EQ(events_.events[3].text, c);  // deletes come before adds
    for (const FileEntry& entry : lists_.updates) EXPECT_EQ(entry.alreadyUpdated, 0u);
    context_.events = nullptr;
    EXPECT_EQ(Verify(), result::kSuccess);
}

TEST_F(OldVersionCheckTest, MissingFilesAreAcceptedOnlyWithSkipFlagOne) {
    for (uint8_t flag : {0, 1, 2}) {
        SCOPED_TRACE(int(flag));
        context_.skipMissingSources = context_.skipMissingDeletes = flag;
        const ResultCode expected = flag == 1 ? result::kSuccess : result::kOldFileMissing;
        lists_ = {};
        lists_.updates = {Entry("gone.exe")};
        events_.events.clear();
        EXPECT_EQ(Verify(), expected);
        EXPECT_EQ(events_.Count(EV_HASHING_FILE), flag == 1 ? 0u : 1u);
        if (flag != 1) {
            EXPECT_EQ(events_.events.back().text, target_ / "gone.exe");
        }
        lists_ = {};
        lists_.deletes = {Entry("gone.txt")};
        EXPECT_EQ(Verify(), expected);
    }
}

// Only an update may already be in its new state, and only when the package
// carries new check values.
TEST_F(OldVersionCheckTest, FileAlreadyInNewStateIsMarkedOnlyForUpdatesWithNewCheckValues) {
    Install("a.exe", "new a");
    lists_.updates = {Entry("a.exe", Md5Of("old a"), Md5Of("new a"))};
    context_.hasNewCheckValues = 1;
    EXPECT_EQ(Verify(), result::kSuccess);
    EXPECT_EQ(lists_.updates[0].alreadyUpdated, 1u);

    lists_.updates[0].alreadyUpdated = 0;
    context_.hasNewCheckValues = 0;
    EXPECT_EQ(Verify(), result::kOldFileDiffersMd5);
    EXPECT_EQ(lists_.updates[0].alreadyUpdated, 0u);

    context_.hasNewCheckValues = 1;
    lists_ = {};
    lists_.deletes = {Entry("a.exe", Md5Of("old a"), Md5Of("new a"))};
    EXPECT_EQ(Verify(), result::kOldFileDiffersMd5);
    EXPECT_EQ(lists_.deletes[0].alreadyUpdated, 0u);
}

TEST_F(OldVersionCheckTest, FirstMismatchEndsTheVerification) {
    Install("a.exe", "changed");
    Install("b.exe", "old b");
    lists_.updates = {Entry("a.exe", Md5Of("old a")), Entry("b.exe", Md5Of("old b"))};
    EXPECT_EQ(Verify(), result::kOldFileDiffersMd5);
    EXPECT_EQ(events_.Count(EV_HASHING_FILE), 1u);
}

TEST_F(OldVersionCheckTest, AddRecordRules) {
    Install("exists.txt", "present");
    // Missing: accepted without any event, whatever the flags.
    lists_.adds = {Entry("absent.txt")};
    EXPECT_EQ(Verify(), result::kSuccess);
    EXPECT_EQ(events_.Codes(), std::vector<uint32_t>{EV_CHECK_OLD_MD5});

    // Existing, no new check values: the overwrite flag decides, no value is taken.
    lists_.adds = {Entry("exists.txt")};
    for (uint8_t flag : {1, 2}) {
        context_.overwriteExistingAdds = flag;
        EXPECT_EQ(Verify(), result::kSuccess) << int(flag);
    }
    EXPECT_EQ(events_.Count(EV_HASHING_FILE), 0u);
    context_.overwriteExistingAdds = 0;
    EXPECT_EQ(Verify(), result::kAddedFileExists);

    // Existing, with new check values: only the new state passes.
    context_.hasNewCheckValues = 1;
    context_.overwriteExistingAdds = 1;
    lists_.adds = {Entry("exists.txt", {}, Md5Of("something else"))};
    EXPECT_EQ(Verify(), result::kAddedFileExists);
    EXPECT_EQ(lists_.adds[0].alreadyUpdated, 0u);
    lists_.adds = {Entry("exists.txt", {}, Md5Of("present"))};
    EXPECT_EQ(Verify(), result::kSuccess);
    EXPECT_EQ(lists_.adds[0].alreadyUpdated, 1u);
}

TEST_F(OldVersionCheckTest, AddsAreNotCancelledButUpdatesAndDeletesAre) {
    lists_.adds = {Entry("absent.txt")};
    context_.cancelRequested = 1;
    EXPECT_EQ(Verify(), result::kSuccess);

    Install("a.exe", "old a");
    lists_.deletes = {Entry("a.exe", Md5Of("old a"))};
    EXPECT_EQ(Verify(), result::kCancelled);
    lists_.deletes.clear();
    lists_.updates = {Entry("a.exe", Md5Of("old a"))};
    EXPECT_EQ(Verify(), result::kCancelled);
    EXPECT_EQ(events_.Count(EV_HASHING_FILE), 0u);
}

TEST_F(OldVersionCheckTest, DateAndSizeForm) {
    const std::string path = Install("a.exe", "twelve bytes");
    const FileTime time = WriteTimeOf(path);
    const CheckValue expected = packwriter::DateSizeCheckValue(time, 12);

    CheckValue value;
    EXPECT_EQ(ComputeCheckValue(path.c_str(), &value, kDateSize, context_, false),
              result::kSuccess);
    EXPECT_TRUE(value == expected);
    EXPECT_EQ(events_.Codes(), std::vector<uint32_t>{EV_READING_FILE_DATE});

    lists_.updates = {Entry("a.exe", expected)};
    EXPECT_EQ(Verify(kDateSize), result::kSuccess);

    CheckValue nonZeroFourth = expected;
    nonZeroFourth.bytes[15] = 1;
    lists_.updates = {Entry("a.exe", nonZeroFourth)};
    EXPECT_EQ(Verify(kDateSize), result::kOldFileDiffersDateSize);

    // A file equal to its new state, without new check values: date-and-size mismatch.
    lists_.updates = {Entry("a.exe", packwriter::DateSizeCheckValue(time, 13), expected)};
    EXPECT_EQ(Verify(kDateSize), result::kOldFileDiffersDateSize);
}

TEST_F(OldVersionCheckTest, Md5OfEmptyAndMultiChunkFiles) {
    const std::string empty = Install("empty.bin", "");
    std::string big(512 * 3 + 17, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 31);
    const std::string large = Install("large.bin", big);

    CheckValue value;
    ASSERT_EQ(ComputeCheckValue(empty.c_str(), &value, kMd5, context_, false), result::kSuccess);
    EXPECT_TRUE(value == Md5Of(""));
    ASSERT_EQ(ComputeCheckValue(large.c_str(), &value, kMd5, context_, false), result::kSuccess);
    EXPECT_TRUE(value == Md5Of(big));
}

TEST_F(OldVersionCheckTest, ComputeCheckValueMissingFile) {
    const std::string path = target_ / "gone.bin";
    CheckValue value;
    value.bytes[0] = 0xAA;
    EXPECT_EQ(ComputeCheckValue(path.c_str(), &value, kMd5, context_, true),
              kCheckValueMissingAllowed);
    EXPECT_TRUE(value == CheckValue{});
    EXPECT_TRUE(events_.events.empty());
    EXPECT_EQ(ComputeCheckValue(path.c_str(), &value, kMd5, context_, false),
              result::kOldFileMissing);
    EXPECT_EQ(events_.Codes(), std::vector<uint32_t>{EV_HASHING_FILE});
}

TEST_F(OldVersionCheckTest, FileHeldOpenWithoutSharingCannotBeOpened) {
    const std::string path = Install("locked.dll", "in use");
    BinaryFile holder;
    ASSERT_EQ(holder.OpenRead(path.c_str(), kShareNone, kAttributeNormal), 0u);
    lists_.updates = {Entry("locked.dll", Md5Of("in use"))};
    EXPECT_EQ(Verify(), result::kOpenOldFile);
    holder.Close();
    EXPECT_EQ(Verify(), result::kSuccess);
}

TEST_F(OldVersionCheckTest, ReadFailuresAreOldFileReadFailures) {
    // Read ahead in three requests: 64 KiB, 64 KiB and the rest.
    const std::string path = Install("a.bin", std::string(2 * 64 * 1024 + 2000, 'x'));
    FaultInjector faults(NativePlatform());
    ScopedPlatform scope(faults);
    CheckValue value;
    faults.FailAt(2, win32err::kReadFault, Operation::kRead);
    EXPECT_EQ(ComputeCheckValue(path.c_str(), &value, kMd5, context_, false), result::kReadOldFile);
    EXPECT_TRUE(value == CheckValue{});
    faults.Reset();
    faults.FailAt(3, win32err::kSuccess, Operation::kRead);  // short read
    EXPECT_EQ(ComputeCheckValue(path.c_str(), &value, kMd5, context_, false), result::kReadOldFile);
    faults.Reset();
    faults.FailAt(1, win32err::kAccessDenied, Operation::kSize);
    EXPECT_EQ(ComputeCheckValue(path.c_str(), &value, kDateSize, context_, false),
              result::kReadOldFile);
}

TEST_F(OldVersionCheckTest, CancelWhileHashingStopsWithinOneChunk) {
    Install("large.bin", std::string(512 * 8, 'y'));
    lists_.updates = {Entry("large.bin", Md5Of(std::string(512 * 8, 'y')))};
    // Polls: before the record, before the first read, after the first chunk.
    int pollsLeft = 3;
    SetCancelPollHook(
        [](ApplyContext& context, void* data) {
            if (--*static_cast<int*>(data) == 0) context.cancelRequested = 1;
        },
        &pollsLeft);
    FaultInjector faults(NativePlatform());
    ScopedPlatform scope(faults);
    EXPECT_EQ(Verify(), result::kCancelled);
    EXPECT_EQ(faults.Count(Operation::kRead), 1u);
}

// Names whose full path or backup path would not fit in 260 bytes are refused
// before any file is opened.
TEST_F(OldVersionCheckTest, OverlongNamesAreRefusedBeforeAnythingIsOpened) {
    const size_t folderLength = std::strlen(context_.targetFolder);
    const std::string tooLong(260 - folderLength, 'n');            // full path of 260 bytes
    const std::string backupTooLong(259 - folderLength - 4, 'n');  // fits, ".1.0.old" does not
    const std::string fits(259 - folderLength - 8, 'n');           // backup path of 259 bytes

    FaultInjector faults(NativePlatform());
    ScopedPlatform scope(faults);
    for (const std::string& name : {tooLong, backupTooLong}) {
        for (auto list :
             {&FileEntryLists::updates, &FileEntryLists::deletes, &FileEntryLists::adds}) {
            lists_ = {};
            (lists_.*list) = {Entry(name)};
            EXPECT_EQ(Verify(),
                      list == &FileEntryLists::adds ? result::kOpenNewFile : result::kOpenOldFile);
        }
    }
    EXPECT_EQ(faults.Count(Operation::kOpen), 0u);
    EXPECT_EQ(faults.Count(Operation::kExists), 0u);
    EXPECT_EQ(events_.Count(EV_HASHING_FILE), 0u);

    lists_ = {};
    lists_.adds = {Entry(fits)};
    EXPECT_EQ(Verify(), result::kSuccess);
}

}  // namespace
}  // namespace pkx
