// Old-version verification against real installed files.
#include "engine/old_version_check.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "support/binary_file.h"
#include "tests/platforms/fault_injection.h"
#include "tests/worker_fixtures.h"

namespace pkx {
namespace {

constexpr uint8_t kMd5 = 0;
constexpr uint8_t kDateSize = 1;

using test::Md5Of;

FileEntry Entry(const std::string& name, const CheckValue& oldValue = {},
                const CheckValue& newValue = {}) {
    FileEntry entry;
    std::strcpy(entry.name, name.c_str());
    entry.oldCheckValue = oldValue;
    entry.newCheckValue = newValue;
    return entry;
}

class OldVersionCheckTest : public ::testing::Test {
  protected:
    void SetUp() override {
        context_.events = &events_;
        std::strcpy(context_.targetFolder, (target_.path() + "\\").c_str());
        std::strcpy(context_.oldVersionLabel, "1.0");
    }

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

enum class Kind { kUpdate, kDelete, kAdd };

// One record against the file found for it.
struct State {
    const char* what;
    Kind kind;
    const char* installed;  // null: no file
    const char* oldState;
    const char* newState;
    uint8_t hasNewCheckValues;
    uint8_t flag;  // the skip flag of updates and deletes, the overwrite flag of adds
    ResultCode expected;
    uint32_t alreadyUpdated;
    size_t hashed;             // EV_HASHING_FILE events
    bool vanishes = false;     // gone between its existence test and its value
    bool cancelAsked = false;  // only adds are not cancelled
    const char* name = "f";
};

// clang-format off
const State kStates[] = {
    {"update in its old state",   Kind::kUpdate, "old", "old", "new", 1, 0, result::kSuccess, 0, 1},
    {"delete in its old state",   Kind::kDelete, "old", "old", "",    1, 0, result::kSuccess, 0, 1},
    {"update changed",            Kind::kUpdate, "changed", "old", "new", 1, 0, result::kOldFileDiffersMd5, 0, 1},
    {"update missing",            Kind::kUpdate, nullptr, "old", "new", 1, 0, result::kOldFileMissing, 0, 1},
    {"update missing, skip 1",    Kind::kUpdate, nullptr, "old", "new", 1, 1, result::kSuccess, 0, 0},
    {"update missing, skip 2",    Kind::kUpdate, nullptr, "old", "new", 1, 2, result::kOldFileMissing, 0, 1},
    {"delete missing",            Kind::kDelete, nullptr, "old", "",    1, 0, result::kOldFileMissing, 0, 1},
    {"delete missing, skip 1",    Kind::kDelete, nullptr, "old", "",    1, 1, result::kSuccess, 0, 0},
    {"delete missing, skip 2",    Kind::kDelete, nullptr, "old", "",    1, 2, result::kOldFileMissing, 0, 1},
    {"update already new",        Kind::kUpdate, "new", "old", "new", 1, 0, result::kSuccess, 1, 1},
    {"update new, no new values", Kind::kUpdate, "new", "old", "new", 0, 0, result::kOldFileDiffersMd5, 0, 1},
    {"delete never already new",  Kind::kDelete, "new", "old", "new", 1, 0, result::kOldFileDiffersMd5, 0, 1},
    {"add absent",                Kind::kAdd,    nullptr, "", "new", 1, 0, result::kSuccess, 0, 0},
    {"add present, overwrite 0",  Kind::kAdd,    "x",  "", "new", 0, 0, result::kAddedFileExists, 0, 0},
    {"add present, overwrite 1",  Kind::kAdd,    "x",  "", "new", 0, 1, result::kSuccess, 0, 0},
    {"add present, overwrite 2",  Kind::kAdd,    "x",  "", "new", 0, 2, result::kSuccess, 0, 0},
    {"add present, other value",  Kind::kAdd,    "x",  "", "new", 1, 1, result::kAddedFileExists, 0, 1},
    {"add already new",           Kind::kAdd,    "new", "", "new", 1, 0, result::kSuccess, 1, 1},
    {"add vanishing",             Kind::kAdd,    "new", "", "new", 1, 1, result::kOldFileMissing, 0, 0, true},
    {"update, cancel asked",      Kind::kUpdate, "old", "old", "new", 1, 0, result::kCancelled, 0, 0, false, true},
    {"delete, cancel asked",      Kind::kDelete, "old", "old", "",    1, 0, result::kCancelled, 0, 0, false, true},
    {"add absent, cancel asked",  Kind::kAdd,    nullptr, "", "new", 1, 0, result::kSuccess, 0, 0, false, true},
    // Names that lead out of the folder, or name the journal, are refused.
    {"parent step",               Kind::kDelete, nullptr, "old", "",    1, 0, result::kOpenOldFile, 0, 0, false, false, "..\\outside.txt"},
    {"parent steps",              Kind::kUpdate, nullptr, "old", "new", 1, 0, result::kOpenOldFile, 0, 0, false, false, "lib\\..\\..\\outside.txt"},
    {"slashed parent step",       Kind::kAdd,    nullptr, "", "new", 1, 0, result::kOpenNewFile, 0, 0, false, false, "../outside.txt"},
    {"dots and a space",          Kind::kDelete, nullptr, "old", "",    1, 0, result::kOpenOldFile, 0, 0, false, false, ".. \\outside.txt"},
    {"three dots",                Kind::kAdd,    nullptr, "", "new", 1, 0, result::kOpenNewFile, 0, 0, false, false, "lib\\...\\x.txt"},
    {"the journal's name",        Kind::kAdd,    nullptr, "", "new", 1, 0, result::kOpenNewFile, 0, 0, false, false, "PKX-Update.Journal"},
    // Nor are names that are not relative, have an empty step or name a device.
    {"rooted",                    Kind::kDelete, nullptr, "old", "",    1, 0, result::kOpenOldFile, 0, 0, false, false, "\\outside.txt"},
    {"a drive",                   Kind::kUpdate, nullptr, "old", "new", 1, 0, result::kOpenOldFile, 0, 0, false, false, "C:outside.txt"},
    {"an empty step",             Kind::kAdd,    nullptr, "", "new", 1, 0, result::kOpenNewFile, 0, 0, false, false, "lib\\\\x.txt"},
    {"a device",                  Kind::kAdd,    nullptr, "", "new", 1, 0, result::kOpenNewFile, 0, 0, false, false, "lib\\Com1 .txt"},
};
// clang-format on

TEST_F(OldVersionCheckTest, States) {
    for (const State& s : kStates) {
        SCOPED_TRACE(s.what);
        std::remove(test::NativePath(target_ / "f").c_str());
        if (s.installed != nullptr) Install("f", s.installed);
        context_.hasNewCheckValues = s.hasNewCheckValues;
        context_.skipMissingSources = context_.skipMissingDeletes = s.flag;
        context_.overwriteExistingAdds = s.flag;
        context_.cancelRequested = s.cancelAsked;
        lists_ = {};
        auto& list = s.kind == Kind::kUpdate   ? lists_.updates
                     : s.kind == Kind::kDelete ? lists_.deletes
                                               : lists_.adds;
        list = {Entry(s.name, Md5Of(s.oldState), Md5Of(s.newState))};
        events_.events.clear();
        FaultInjector faults(NativePlatform());
        if (s.vanishes) {  // after the name was seen
            faults.FailAt(1, win32err::kFileNotFound, Operation::kOpen);
            faults.FailAt(1, 0, Operation::kExists);
        }
        PlatformScope scope(faults);
        EXPECT_EQ(Verify(), s.expected);
        EXPECT_EQ(list[0].alreadyUpdated, s.alreadyUpdated);
        EXPECT_EQ(events_.Count(EV_HASHING_FILE), s.hashed);
        if (s.hashed != 0) {
            EXPECT_EQ(events_.events.back().text, target_ / "f");
        }
    }
}

TEST_F(OldVersionCheckTest, UpdatesThenDeletesThenAddsUntilTheFirstMismatch) {
    const std::string a = Install("a.exe", "old a");
    const std::string b = Install("sub\\b.dll", "old b");
    const std::string c = Install("c.txt", "to delete");
    Install("d.txt", "present");
    lists_.updates = {Entry("a.exe", Md5Of("old a")), Entry("sub\\b.dll", Md5Of("old b"))};
    lists_.deletes = {Entry("c.txt", Md5Of("to delete"))};
    lists_.adds = {Entry("d.txt", {}, Md5Of("present"))};
    context_.hasNewCheckValues = 1;
    EXPECT_EQ(Verify(), result::kSuccess);
    std::vector<std::string> hashed;
    for (const auto& event : events_.events) hashed.push_back(event.text);
    EXPECT_EQ(hashed, (std::vector<std::string>{"", a, b, c, target_ / "d.txt"}));

    lists_.updates[0].oldCheckValue = Md5Of("other");
    events_.events.clear();
    EXPECT_EQ(Verify(), result::kOldFileDiffersMd5);
    EXPECT_EQ(events_.Count(EV_HASHING_FILE), 1u);
}

TEST_F(OldVersionCheckTest, DateAndSizeForm) {
    const std::string path = Install("a.exe", "twelve bytes");
    FileTime time;
    {
        BinaryFile file;
        ASSERT_EQ(file.OpenRead(path.c_str(), kShareRead, kAttributeNormal), 0u);
        ASSERT_EQ(Os().GetWriteTime(file.NativeHandle(), &time), 0u);
    }
    const CheckValue expected = packwriter::DateSizeCheckValue(time, 12);

    CheckValue value;
    EXPECT_EQ(ComputeCheckValue(path.c_str(), &value, kDateSize, context_, false),
              result::kSuccess);
    EXPECT_EQ(test::Hex(value.bytes, 16), test::Hex(expected.bytes, 16));
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
    PlatformScope scope(faults);
    CheckValue value;
    faults.FailAt(2, win32err::kReadFault, Operation::kRead);
    EXPECT_EQ(ComputeCheckValue(path.c_str(), &value, kMd5, context_, false), result::kReadOldFile);
    EXPECT_EQ(test::Hex(value.bytes, 16), std::string(32, '0'));
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
    test::CancelAtPoll cancel;
    cancel.at = 3;
    test::CancelHookScope hook(&cancel);
    FaultInjector faults(NativePlatform());
    PlatformScope scope(faults);
    EXPECT_EQ(Verify(), result::kCancelled);
    EXPECT_EQ(faults.Count(Operation::kRead), 1u);
}

}  // namespace
}  // namespace pkx
