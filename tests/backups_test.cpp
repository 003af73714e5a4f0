// Backup names, the rollback and the clean-up.
#include "engine/backups.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/file_operations.h"
#include "engine/journal.h"
#include "tests/test_support.h"

namespace pkx {
namespace {

std::string Backup(const std::string& path, const char* label) {
    char backup[kPathBufferSize];
    std::memset(backup, 'x', sizeof backup);
    if (!BuildBackupPath(path.c_str(), label, backup)) {
        EXPECT_EQ(backup[0], '\0');
        return "<refused>";
    }
    return backup;
}

TEST(BackupPathTest, NamesFollowTheBackupRule) {
    EXPECT_EQ(Backup("C:\\App\\tool.exe", "1.20"), "C:\\App\\tool.exe.1.20.old");
    EXPECT_EQ(Backup("C:\\App\\tool.exe", "1/20"), "C:\\App\\tool.exe.1_20.old");
    EXPECT_EQ(Backup("C:\\App\\tool.exe", "v1:2*3?"), "C:\\App\\tool.exe.v1_2_3_.old");
    EXPECT_EQ(Backup("C:\\App\\sub\\dir\\x.dll", "1.0"), "C:\\App\\sub\\dir\\x.dll.1.0.old");
    EXPECT_EQ(Backup("C:\\App\\dir.d\\README", "1.0"), "C:\\App\\dir.d\\README.1.0.old");
    EXPECT_EQ(Backup("C:\\App\\arc.tar.gz", "1.0"), "C:\\App\\arc.tar.gz.1.0.old");
    EXPECT_EQ(Backup("inst\\tool.exe", "1.0"), "inst\\tool.exe.1.0.old");
    // A slash in a record name separates folders: the backup lies beside the
    // file, in its own folder, for creation, rollback and clean-up alike.
    EXPECT_EQ(Backup("C:\\App\\sub/x.dll", "1.0"), "C:\\App\\sub/x.dll.1.0.old");
    EXPECT_EQ(Backup("C:\\App\\a/b/c", "2/0"), "C:\\App\\a/b/c.2_0.old");
}

TEST(BackupPathTest, OnlyPathsThatFitAreBuilt) {
    const std::string folder = "C:\\App\\";
    const std::string fits = folder + std::string(259 - folder.size() - 8, 'n');  // + ".1.0.old"
    EXPECT_EQ(Backup(fits, "1.0").size(), 259u);
    EXPECT_EQ(Backup(fits + "n", "1.0"), "<refused>");
    EXPECT_EQ(Backup(std::string(300, 'n'), "1"), "<refused>");
    EXPECT_EQ(Backup("C:\\a.b", std::string(259, 'L').c_str()), "<refused>");
    char path[kPathBufferSize];
    ASSERT_TRUE(BuildFullPath("C:\\App\\", "sub\\x.dll", path));
    EXPECT_STREQ(path, "C:\\App\\sub\\x.dll");
    const std::string name(259 - 7, 'n');
    EXPECT_TRUE(BuildFullPath("C:\\App\\", name.c_str(), path));
    EXPECT_FALSE(BuildFullPath("C:\\App\\", (name + "n").c_str(), path));
    EXPECT_STREQ(path, "");
}

// Changes recorded in the journal as the file operations record them, and
// the files on disk as the run left them.
class BackupsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::strcpy(context_.targetFolder, (target_.path() + "\\").c_str());
        std::strcpy(context_.title, "Product");
    }

    PackageRef& AddPackage(const char* label) {
        context_.packages.emplace_back();
        PackageRef& package = context_.packages.back();
        std::strcpy(package.oldVersionLabel, label);
        return package;
    }
    std::string Put(const std::string& name, const std::string& content) {
        const std::string path = target_ / name;
        EXPECT_TRUE(test::WriteFile(path, content));
        return path;
    }
    void Record(const PackageRef& package, ChangeKind kind, const std::string& name) {
        Change change;
        change.kind = kind;
        std::strcpy(change.path, (target_ / name).c_str());
        if (kind != ChangeKind::kAdd) {
            ASSERT_TRUE(BuildBackupPath(change.path, package.oldVersionLabel, change.backup));
        }
        ASSERT_EQ(RecordChange(context_, package, change), result::kSuccess);
    }
    // The run succeeded and the window closes with the box ticked.
    void DeleteBackupsOnClose() {
        ASSERT_EQ(CommitJournal(context_), result::kSuccess);
        DeleteBackups(context_);
        EndJournal(context_);
    }

    test::TempFolder target_;
    ApplyContext context_;
};

TEST_F(BackupsTest, RestoreUndoesEveryRecordedChangeAndRemovesTheJournal) {
    const PackageRef& package = AddPackage("1.0");
    Record(package, ChangeKind::kBackup, "updated.exe");
    Record(package, ChangeKind::kWrite, "updated.exe");
    Record(package, ChangeKind::kAdd, "added.dll");
    Record(package, ChangeKind::kBackup, "deleted.txt");
    Record(package, ChangeKind::kAdd, "never-created.dat");  // announced, never made
    Put("updated.exe", "new");
    Put("updated.exe.1.0.old", "old");
    Put("added.dll", "added");
    Put("deleted.txt.1.0.old", "deleted");
    Put("unrelated.txt", "stays");
    EXPECT_TRUE(test::PathExists(target_ / kJournalName));

    EXPECT_TRUE(RestoreBackups(context_));
    EXPECT_EQ(test::ListTree(target_.path()),
              (test::Tree{
                  {"updated.exe", "old"}, {"deleted.txt", "deleted"}, {"unrelated.txt", "stays"}}));
}

// Undone last first, a file that several changes touched ends as it was
// before the first of them.
TEST_F(BackupsTest, RestoreUndoesTheChangesLastFirst) {
    struct Case {
        const char* what;
        test::Tree before;
    };
    const Case cases[] = {{"added, then overwritten by a second add", {}},
                          {"updated by two packages in turn", {{"app.exe", "v1"}}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ApplyContext& context = context_;
        context.packages.clear();
        if (c.before.empty()) {
            const PackageRef& package = AddPackage("1");
            Record(package, ChangeKind::kAdd, "app.exe");
            Record(package, ChangeKind::kBackup, "app.exe");
            Record(package, ChangeKind::kWrite, "app.exe");
            Put("app.exe.1.old", "first add");
            Put("app.exe", "second add");
        } else {
            context.packages.reserve(2);
            const PackageRef& first = AddPackage("1");
            const PackageRef& second = AddPackage("2");
            for (const PackageRef* package : {&first, &second}) {
                Record(*package, ChangeKind::kBackup, "app.exe");
                Record(*package, ChangeKind::kWrite, "app.exe");
            }
            Put("app.exe.1.old", "v1");
            Put("app.exe.2.old", "v2");
            Put("app.exe", "v3");
        }
        EXPECT_TRUE(RestoreBackups(context));
        EXPECT_EQ(test::ListTree(target_.path()), c.before);
    }
}

TEST_F(BackupsTest, CleanUpRemovesOnlyTheBackups) {
    AddPackage("1/0").backupPaths = {Put("updated.exe", "new"), Put("added.dll", "added"),
                                     target_ / "deleted.txt"};
    AddPackage("2:0").backupPaths = {target_ / "updated.exe"};
    Put("updated.exe.1_0.old", "old");
    Put("updated.exe.2_0.old", "older");
    Put("deleted.txt.1_0.old", "deleted");

    DeleteBackups(context_);
    EXPECT_EQ(test::ListTree(target_.path()),
              (test::Tree{{"updated.exe", "new"}, {"added.dll", "added"}}));
}

// The backup made for a name with a slash is the one the rollback and the
// clean-up look for.
TEST_F(BackupsTest, SlashNamesAgreeBetweenCreationRollbackAndCleanUp) {
    Put("sub\\x.dll", "old");
    std::strcpy(context_.oldVersionLabel, "1.0");
    FileEntry entry;
    std::strcpy(entry.name, "sub/x.dll");
    PackageRef& package = AddPackage("1.0");

    ASSERT_EQ(DeleteEntry(entry, package, context_), result::kSuccess);
    EXPECT_EQ(test::ReadFile(target_ / "sub\\x.dll.1.0.old").value_or(""), "old");
    EXPECT_TRUE(RestoreBackups(context_));
    EXPECT_EQ(test::ListTree(target_.path()), (test::Tree{{"sub\\", ""}, {"sub\\x.dll", "old"}}));

    ASSERT_EQ(DeleteEntry(entry, package, context_), result::kSuccess);
    DeleteBackupsOnClose();
    EXPECT_EQ(test::ListTree(target_.path()), (test::Tree{{"sub\\", ""}}));
}

}  // namespace
}  // namespace pkx
