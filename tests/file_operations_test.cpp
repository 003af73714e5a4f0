// Updating, adding and deleting real files, and undoing it with the rollback.
#include "engine/file_operations.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "engine/folder_changes.h"
#include "engine/old_version_check.h"
#include "tests/platforms/fault_injection.h"
#include "tests/worker_fixtures.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace pkx {
namespace {

using packwriter::Bytes;
using packwriter::EncodeDeltaStream;

constexpr uint32_t kImageSize = 0x80;
constexpr uint32_t kDigestSize = 16;

const FileTime kTime1{0x12340000u, 0x01D5C000u};
const FileTime kTime2 = test::kNewWriteTime;

bool HasWriteTime(const std::string& path, const FileTime& expected) {
    FileHandle handle = kInvalidFile;
    FileTime time;
    if (Os().Open(path.c_str(), kGenericRead, kShareRead, kOpenExisting, kAttributeNormal,
                  &handle) != 0)
        return false;
    const bool read = Os().GetWriteTime(handle, &time) == 0;
    Os().Close(handle);
    return read && time.low == expected.low && time.high == expected.high;
}

std::vector<uint32_t> ProgressValues(const test::RecordingEvents& events) {
    std::vector<uint32_t> values;
    for (const test::RecordedEvent& event : events.events)
        if (event.code == EV_FILE_PROGRESS) values.push_back(static_cast<uint32_t>(event.param));
    return values;
}

// A program file: image bytes, then a package region holding the records'
// data areas and 16 digest bytes, which the file operations do not check.
class ProgramFile {
  public:
    explicit ProgramFile(std::string path) : path_(std::move(path)) { Rewrite(); }

    // Appends a data area; returns its offset from the package start.
    uint32_t AddData(const std::string& data) {
        const uint32_t offset = static_cast<uint32_t>(areas_.size()) + 4;
        areas_ += data;
        Rewrite();
        return offset;
    }

    void Describe(PackageRef* package) const {
        package->offset = kImageSize;
        package->size = static_cast<uint32_t>(4 + areas_.size() + kDigestSize);
    }

    BinaryFile& file() { return file_; }

  private:
    void Rewrite() {
        file_.Close();
        const std::string bytes =
            std::string(kImageSize, 'I') + "PKX " + areas_ + std::string(kDigestSize, 'D');
        EXPECT_TRUE(test::WriteFile(path_, bytes));
        EXPECT_EQ(file_.OpenRead(path_.c_str(), kShareRead, kAttributeNormal), 0u);
    }

    std::string path_;
    std::string areas_;
    BinaryFile file_;
};

class FileOperationsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        context_.events = &events_;
        std::strcpy(context_.programFolder, (programFolder_.path() + "\\").c_str());
        UseTarget(target_.path() + "\\");
        SetLabel("1.20");
    }

    void UseTarget(const std::string& folder) {
        std::strcpy(context_.targetFolder, folder.c_str());
    }
    void SetLabel(const char* label) {
        std::strcpy(context_.oldVersionLabel, label);
        std::strcpy(package_.oldVersionLabel, label);
    }

    std::string Install(const std::string& name, const std::string& content) {
        const std::string path = target_ / name;
        EXPECT_TRUE(test::WriteFile(path, content));
        return path;
    }
    std::string Content(const std::string& name) const {
        return test::ReadFile(target_ / name).value_or("<missing>");
    }

    FileEntry Record(const std::string& name, const std::string& data, FileTime time = kTime1) {
        FileEntry entry;
        std::strcpy(entry.name, name.c_str());
        entry.writeTime = time;
        entry.dataOffset = program_.AddData(data);
        entry.dataSize = static_cast<uint32_t>(data.size());
        program_.Describe(&package_);
        return entry;
    }
    FileEntry UpdateRecord(const std::string& name, const std::string& oldContent,
                           const std::string& newContent, FileTime time = kTime1) {
        const Bytes stream =
            EncodeDeltaStream(test::ToBytes(oldContent), test::ToBytes(newContent), {64});
        return Record(name, std::string(stream.begin(), stream.end()), time);
    }
    static FileEntry DeleteRecord(const std::string& name) {
        FileEntry entry;
        std::strcpy(entry.name, name.c_str());
        return entry;
    }

    ResultCode Update(const FileEntry& entry) {
        return UpdateEntry(program_.file(), entry, package_, context_);
    }
    ResultCode Add(const FileEntry& entry) {
        return AddEntry(program_.file(), entry, package_, context_);
    }
    ResultCode Delete(const FileEntry& entry) { return DeleteEntry(entry, package_, context_); }

    // Rolls back this test's one package.
    void Restore() {
        context_.packages = {package_};
        EXPECT_TRUE(RestoreBackups(context_));
    }
    // The run succeeded and the window closes: the backups are deleted or
    // kept, then the journal goes.
    void Close(bool deleteBackups) {
        ASSERT_EQ(CommitJournal(context_), result::kSuccess);
        context_.packages = {package_};
        if (deleteBackups) DeleteBackups(context_);
        EndJournal(context_);
    }

    // The operation announced `path` first and kept its backup, if it made
    // one, once for the clean-up.
    void ExpectAnnounced(uint32_t event, const std::string& path, bool backedUp = true) {
        ASSERT_FALSE(events_.events.empty());
        EXPECT_EQ(events_.events[0].code, event);
        EXPECT_EQ(events_.events[0].text, path);
        EXPECT_EQ(package_.backupPaths,
                  backedUp ? std::vector<std::string>{path} : std::vector<std::string>{});
    }

    test::TempFolder programFolder_;
    test::TempFolder target_;
    // The operations make the program's folder current; it is left before the
    // temporary folders go, as Windows cannot remove a current folder.
    test::ScopedCurrentFolder keepCurrentFolder_{"."};
    ProgramFile program_{programFolder_ / "update.exe"};
    test::RecordingEvents events_;
    ApplyContext context_;
    PackageRef package_;
};

TEST_F(FileOperationsTest, UpdateRebuildsFileAndKeepsOldAsBackup) {
    const std::string oldContent = test::Pattern(1000, 1);
    const std::string newContent = test::Edited(oldContent, 300, 20, 2);
    const std::string path = Install("tool.exe", oldContent);
#ifndef _WIN32
    ASSERT_EQ(chmod(test::NativePath(path).c_str(), 0750), 0);  // it must stay executable
#endif

    ASSERT_EQ(Update(UpdateRecord("tool.exe", oldContent, newContent, kTime2)), result::kSuccess);
    EXPECT_EQ(Content("tool.exe"), newContent);
    EXPECT_EQ(Content("tool.exe.1.20.old"), oldContent);
    EXPECT_TRUE(HasWriteTime(path, kTime2));
    ExpectAnnounced(EV_UPDATING_FILE, path);
    ASSERT_GE(events_.events.size(), 2u);
    EXPECT_EQ(ProgressValues(events_).back(), 1000u);
#ifndef _WIN32
    struct stat info;
    ASSERT_EQ(stat(test::NativePath(path).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0750u);
#endif
}

#ifndef _WIN32
// In a run's folders the mode a new file is made with is learnt from the
// first one made; a rebuilt file whose old mode differs from it is still
// given the old mode, the first time and after.
TEST_F(FileOperationsTest, AnUpdatedFileInARunTakesTheModeOfTheOld) {
    ASSERT_TRUE(test::MakeFolders(target_ / "bin"));
    const KeptFolders kept;
    for (const mode_t mode : {mode_t{0640}, mode_t{0750}}) {
        const std::string path = Install("bin\\tool", "old");
        ASSERT_EQ(chmod(test::NativePath(path).c_str(), mode), 0);
        ASSERT_EQ(Update(UpdateRecord("bin\\tool", "old", "new")), result::kSuccess);
        struct stat info;
        ASSERT_EQ(stat(test::NativePath(path).c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, mode);
        std::remove(test::NativePath(path + ".1.20.old").c_str());
    }
}
#endif

TEST_F(FileOperationsTest, AddCreatesNestedFoldersThenTheFile) {
    const std::string content = test::Pattern(2500, 7);
    const std::string path = target_ / "sub\\deeper\\new.dll";

    ASSERT_EQ(Add(Record("sub\\deeper\\new.dll", content, kTime2)), result::kSuccess);
    EXPECT_TRUE(test::IsFolder(target_ / "sub\\deeper"));
    EXPECT_EQ(Content("sub\\deeper\\new.dll"), content);
    EXPECT_TRUE(HasWriteTime(path, kTime2));
    ExpectAnnounced(EV_ADDING_FILE, path, false);
    // 1024, 2048 and 2500 of 2500 bytes, then the closing value.
    EXPECT_EQ(ProgressValues(events_), (std::vector<uint32_t>{409, 819, 1000, 1000}));

    events_.events.clear();
    ASSERT_EQ(Add(Record("empty.txt", "", kTime2)), result::kSuccess);
    EXPECT_EQ(Content("empty.txt"), "");
    EXPECT_TRUE(HasWriteTime(target_ / "empty.txt", kTime2));
    for (uint32_t value : ProgressValues(events_)) EXPECT_EQ(value, 1000u);
}

// A slash in a record name separates folders: the backup lies beside the
// file, where the rollback and the clean-up look for it.
TEST_F(FileOperationsTest, DeleteMovesFileToBackupThatRollbackOrCleanUpResolves) {
    SetLabel("1/2:3");  // characters that cannot stand in a name become underscores
    Install("sub\\obsolete.dll", "old");
    const std::string path = target_.path() + "\\sub/obsolete.dll";
    const test::Tree before = test::ListTree(target_.path());
    ASSERT_EQ(Delete(DeleteRecord("sub/obsolete.dll")), result::kSuccess);
    EXPECT_EQ(events_.Codes(),
              (std::vector<uint32_t>{EV_DELETING_FILE, EV_FILE_PROGRESS, EV_FILE_PROGRESS}));
    ExpectAnnounced(EV_DELETING_FILE, path);
    EXPECT_EQ(ProgressValues(events_), (std::vector<uint32_t>{0, 1000}));
    EXPECT_FALSE(test::PathExists(path));
    EXPECT_EQ(Content("sub\\obsolete.dll.1_2_3.old"), "old");
    Restore();
    EXPECT_EQ(test::ListTree(target_.path()), before);

    // The clean-up deletes the run's own backups only: an added file has none.
    Install("sub\\new.txt.1_2_3.old", "not the run's");
    ASSERT_EQ(Delete(DeleteRecord("sub/obsolete.dll")), result::kSuccess);
    ASSERT_EQ(Add(Record("sub\\new.txt", "new")), result::kSuccess);
    Close(true);
    EXPECT_EQ(
        test::ListTree(target_.path()),
        (test::Tree{
            {"sub\\", ""}, {"sub\\new.txt", "new"}, {"sub\\new.txt.1_2_3.old", "not the run's"}}));
}

// Each of these stops, or passes over its record, before anything is written
// or recorded for the rollback, and names the record's file in its one event.
TEST_F(FileOperationsTest, RefusedOrSkippedOperationsChangeNothing) {
    struct Case {
        const char* what;
        char op;  // 'u'pdate, 'a'dd, 'd'elete
        const char* name;
        uint8_t flag;  // the skip flags and the overwrite flag
        std::function<void(FileEntry&)> change;
        ResultCode expected;
        uint32_t event;
    };
    const auto already = [](FileEntry& entry) { entry.alreadyUpdated = 1; };
    const std::vector<Case> cases = {
        {"leftover backup from an earlier run", 'u', "tool.exe", 0, nullptr,
         result::kRenameToBackup, EV_UPDATING_FILE},
        {"stream runs into the digest and beyond", 'u', "data.bin", 0,
         [&](FileEntry& entry) { entry.dataSize = package_.size; }, result::kReadProgramFile,
         EV_UPDATING_FILE},
        {"add over an existing file without the overwrite flag", 'a', "data.bin", 0, nullptr,
         result::kAddedFileExists, EV_ADDING_FILE},
        {"add data offset wraps around", 'a', "data.bin", 1,
         [](FileEntry& entry) { entry.dataOffset = 0xFFFFFFF0u; }, result::kReadProgramFile,
         EV_OVERWRITING_NEW},
        {"a file blocks the folder", 'a', "sub\\new.dll", 0, nullptr, result::kOpenNewFile,
         EV_ADDING_FILE},
        {"missing update, skip flag 1", 'u', "gone.exe", 1, nullptr, result::kSuccess,
         EV_SOURCE_MISSING},
        {"missing delete, skip flag 1", 'd', "gone.dll", 1, nullptr, result::kSuccess,
         EV_DELETE_TARGET_MISSING},
        {"missing update", 'u', "gone.exe", 0, nullptr, result::kOldFileMissing, EV_UPDATING_FILE},
        {"update found before, gone since", 'u', "gone.exe", 1,
         [](FileEntry& entry) { entry.foundThere = 1; }, result::kRenameToBackup, EV_UPDATING_FILE},
        {"missing delete", 'd', "gone.dll", 0, nullptr, result::kOldFileMissing, EV_DELETING_FILE},
        {"update already new", 'u', "tool.exe", 0, already, result::kSuccess, EV_ALREADY_UPDATED},
        {"add already new", 'a', "data.bin", 0, already, result::kSuccess, EV_ALREADY_ADDED},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        test::TempFolder folder;
        UseTarget(folder.path() + "\\");
        test::PutFiles(folder.path(), {{"tool.exe", "old"},
                                       {"tool.exe.1.20.old", "from an earlier run"},
                                       {"data.bin", "previous"},
                                       {"sub", "a file, not a folder"}});
        context_.skipMissingSources = context_.skipMissingDeletes = test.flag;
        context_.overwriteExistingAdds = test.flag;
        package_.backupPaths.clear();
        events_.events.clear();
        const test::Tree before = test::ListTree(folder.path());
        FileEntry entry = test.op == 'u'   ? UpdateRecord(test.name, "previous", "new")
                          : test.op == 'a' ? Record(test.name, "replacement")
                                           : DeleteRecord(test.name);
        if (test.change) test.change(entry);
        const ResultCode r = test.op == 'u'   ? Update(entry)
                             : test.op == 'a' ? Add(entry)
                                              : Delete(entry);
        EXPECT_EQ(r, test.expected);
        EXPECT_EQ(events_.Codes(), std::vector<uint32_t>{test.event});
        EXPECT_EQ(events_.events.at(0).text, folder / test.name);
        // Only a journal may be new, which the rollback removes.
        test::Tree after = test::ListTree(folder.path());
        after.erase(kJournalName);
        EXPECT_EQ(after, before);
        EXPECT_TRUE(package_.backupPaths.empty());
        Restore();
        EXPECT_EQ(test::ListTree(folder.path()), before);
    }
}

TEST_F(FileOperationsTest, OverwritingAddKeepsPreviousFileAndRollbackRestoresIt) {
    Install("data.bin", "previous");
    const test::Tree before = test::ListTree(target_.path());
    context_.overwriteExistingAdds = 2;  // any non-zero value allows it

    ASSERT_EQ(Add(Record("data.bin", "replacement")), result::kSuccess);
    // Recorded once: a second record would delete the restored file again.
    ExpectAnnounced(EV_OVERWRITING_NEW, target_ / "data.bin");
    EXPECT_EQ(events_.Count(EV_ADDING_FILE), 0u);
    EXPECT_EQ(Content("data.bin"), "replacement");
    EXPECT_EQ(Content("data.bin.1.20.old"), "previous");
    Restore();
    EXPECT_EQ(test::ListTree(target_.path()), before);
}

TEST_F(FileOperationsTest, CancelledAddIsRemovedByTheRollback) {
    const FileEntry entry = Record("big.bin", test::Pattern(4096, 3));
    context_.cancelRequested = 1;
    EXPECT_EQ(Add(entry), result::kCancelled);
    EXPECT_EQ(ProgressValues(events_), std::vector<uint32_t>{0});
    EXPECT_EQ(Content("big.bin"), "");

    // Cancelled after the first chunk.
    context_.cancelRequested = 0;
    Restore();
    package_.backupPaths.clear();
    events_.events.clear();
    test::CancelAtPoll cancel;
    cancel.at = 2;
    test::CancelHookScope hook(&cancel);
    EXPECT_EQ(Add(entry), result::kCancelled);
    EXPECT_EQ(Content("big.bin").size(), 1024u);
    EXPECT_EQ(ProgressValues(events_), (std::vector<uint32_t>{250, 250}));
    Restore();
    EXPECT_TRUE(test::FilesOf(test::ListTree(target_.path())).empty());
}

// Names whose full path or backup path would not fit in 260 bytes are refused
// by the verification and by each operation before any file is looked at.
TEST_F(FileOperationsTest, OverlongNamesAreRefusedWithoutTouchingAnything) {
    const size_t folderLength = std::strlen(context_.targetFolder);
    const std::string tooLong(260 - folderLength, 'n');            // full path of 260 bytes
    const std::string backupTooLong(259 - folderLength - 4, 'n');  // ".1.20.old" does not fit
    const std::string fits(259 - folderLength - 9, 'n');           // backup path of 259 bytes
    const FileEntry updates[] = {UpdateRecord(tooLong, "a", "b"),
                                 UpdateRecord(backupTooLong, "a", "b")};
    const FileEntry adds[] = {Record(tooLong, "a"), Record(backupTooLong, "a")};
    FaultInjector faults(NativePlatform());
    PlatformScope scope(faults);
    for (int i = 0; i < 2; ++i) {
        const std::string name = i == 0 ? tooLong : backupTooLong;
        for (auto list :
             {&FileEntryLists::updates, &FileEntryLists::deletes, &FileEntryLists::adds}) {
            FileEntryLists lists;
            (lists.*list) = {DeleteRecord(name)};
            EXPECT_EQ(VerifyOldVersion(lists, 0, context_),
                      list == &FileEntryLists::adds ? result::kOpenNewFile : result::kOpenOldFile);
        }
        EXPECT_EQ(Update(updates[i]), result::kOpenOldFile);
        EXPECT_EQ(Add(adds[i]), result::kOpenNewFile);
        EXPECT_EQ(Delete(DeleteRecord(name)), result::kOpenOldFile);
    }
    EXPECT_EQ(faults.Count(Operation::kOpen), 0u);
    EXPECT_EQ(faults.Count(Operation::kExists), 0u);
    EXPECT_EQ(faults.Count(Operation::kMove), 0u);
    EXPECT_EQ(events_.Count(EV_CHECK_OLD_MD5), events_.events.size()) << "only the checks' start";
    EXPECT_TRUE(package_.backupPaths.empty());
    FileEntryLists lists;
    lists.adds = {DeleteRecord(fits)};
    EXPECT_EQ(VerifyOldVersion(lists, 0, context_), result::kSuccess);
}

// A relative target folder is taken against the program's folder, whatever
// the current folder was before the changes were foreseen, by the operations
// and the rollback alike.
TEST_F(FileOperationsTest, RelativeTargetFolderIsTakenAgainstTheProgramFolder) {
    test::TempFolder elsewhere;
    test::ScopedCurrentFolder current(elsewhere.path());
    UseTarget("inst\\");
    ASSERT_TRUE(test::WriteFile(programFolder_ / "inst\\obsolete.dll", "old"));
    FileEntryLists lists;
    lists.deletes = {DeleteRecord("obsolete.dll")};
    std::vector<Change> changes;
    ForeseeChanges(lists, package_, context_, &changes);
    ASSERT_EQ(Delete(lists.deletes[0]), result::kSuccess);
    EXPECT_TRUE(test::PathExists(programFolder_ / "inst\\obsolete.dll.1.20.old"));
    EXPECT_EQ(package_.backupPaths, std::vector<std::string>{"inst\\obsolete.dll"});

    test::ScopedCurrentFolder again(elsewhere.path());
    Restore();
    EXPECT_EQ(test::ReadFile(programFolder_ / "inst\\obsolete.dll").value_or(""), "old");
}

// A backup-named file left from an earlier run next to an added file is no
// backup of this run: the rollback leaves it as it was.
TEST_F(FileOperationsTest, LeftoverBackupNextToAddedFileStaysALeftover) {
    Install("new.dll.1.20.old", "leftover");
    ASSERT_EQ(Add(Record("new.dll", "added")), result::kSuccess);
    Restore();
    EXPECT_EQ(test::FilesOf(test::ListTree(target_.path())),
              (test::Files{{"new.dll.1.20.old", "leftover"}}));
}

}  // namespace
}  // namespace pkx
