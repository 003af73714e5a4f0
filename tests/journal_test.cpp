// The journal as it is written and read back: whole entries only, planned
// changes that were not made declared void, the commit.
#include "engine/journal.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/recovery.h"
#include "tests/test_support.h"

namespace pkx {
namespace {

class JournalTest : public ::testing::Test {
  protected:
    void SetUp() override {
        UseTarget(folder);
        std::strcpy(context.title, "Product");
        std::strcpy(package.oldVersionLabel, "1.0");
        std::strcpy(package.newVersionLabel, "2.0");
    }

    void UseTarget(const test::TempFolder& target) {
        std::strcpy(context.targetFolder, (target.path() + "\\").c_str());
    }
    Change Make(ChangeKind kind, const std::string& path) {
        Change change;
        change.kind = kind;
        std::strcpy(change.path, path.c_str());
        if (kind != ChangeKind::kAdd) std::strcpy(change.backup, (path + ".1.0.old").c_str());
        return change;
    }
    void Record(const Change& change) {
        ASSERT_EQ(RecordChange(context, package, change), result::kSuccess);
    }
    // "B:a.txt" ... for the changes read back, paths after `folder`.
    std::vector<std::string> Read(ResultCode expected = result::kSuccess) {
        ForgetJournal(context.journal);
        BinaryFile file;
        EXPECT_EQ(file.OpenRead(journal.c_str(), kShareNone, kAttributeNormal), 0u);
        EXPECT_EQ(ReadJournal(file, context.targetFolder, &contents), expected);
        std::vector<std::string> changes;
        const std::string prefix = folder.path() + "\\";
        for (const Change& change : contents.changes) {
            std::string path = change.path;
            if (path.compare(0, prefix.size(), prefix) == 0) path = path.substr(prefix.size());
            changes.push_back(std::string(1, static_cast<char>(change.kind)) + ":" + path);
        }
        return changes;
    }

    test::TempFolder folder;
    std::string journal = folder / kJournalName;
    ApplyContext context;
    PackageRef package;
    JournalContents contents;
};

// Every text may fill a path buffer, and none comes back shortened: a
// shortened name would undo another file.
TEST_F(JournalTest, ChangesComeBackWholeAsRecordedAndTheCommitAfterThem) {
    const std::string longest(kPathBufferSize - 1, 'x');
    for (char* text : {context.title, package.oldVersionLabel, package.newVersionLabel}) {
        std::strcpy(text, longest.c_str());
    }
    ASSERT_TRUE(test::MakeFolders(folder / "sub"));  // the commit flushes the changed folders
    for (const Change& change :
         {Make(ChangeKind::kBackup, folder / "a.txt"), Make(ChangeKind::kWrite, folder / "a.txt"),
          Make(ChangeKind::kAdd, folder / "sub\\b.txt")}) {
        Record(change);
    }
    // A package of the run that found another folder: its names go in full.
    test::TempFolder elsewhere;
    const std::string inside = elsewhere.path() + "\\";
    const std::string name = inside + std::string(kPathBufferSize - 1 - inside.size(), 'n');
    UseTarget(elsewhere);
    Record(Make(ChangeKind::kAdd, name));
    ASSERT_EQ(CommitJournal(context), result::kSuccess);
    UseTarget(folder);

    EXPECT_EQ(Read(),
              (std::vector<std::string>{"B:a.txt", "W:a.txt", "A:sub\\b.txt", "A:" + name}));
    EXPECT_EQ(std::string(contents.changes[0].backup), folder / "a.txt.1.0.old");
    EXPECT_TRUE(contents.committed);
}

// Foreseen changes cost one flush; a change that was not foreseen voids the
// rest of the plan, and a file that could not be created voids its change.
TEST_F(JournalTest, PlannedChangesNotMadeAreDeclaredVoid) {
    ASSERT_EQ(PlanChanges(context, package,
                          {Make(ChangeKind::kBackup, folder / "a.txt"),
                           Make(ChangeKind::kWrite, folder / "a.txt"),
                           Make(ChangeKind::kAdd, folder / "c.txt")}),
              result::kSuccess);
    Record(Make(ChangeKind::kBackup, folder / "a.txt"));
    Record(Make(ChangeKind::kAdd, folder / "d.txt"));
    Record(Make(ChangeKind::kAdd, folder / "e.txt"));
    ASSERT_EQ(VoidLastChange(context), result::kSuccess);
    EXPECT_EQ(Read(), (std::vector<std::string>{"B:a.txt", "A:d.txt"}));
    EXPECT_FALSE(contents.committed);
}

// An entry that did not reach the disk whole ends the reading: what follows
// it was written later, so the changes it announced never began.
TEST_F(JournalTest, EveryCutOrDamageKeepsTheWholeEntriesBeforeIt) {
    for (const char* name : {"a", "b", "c"}) {
        Record(Make(ChangeKind::kAdd, folder / name));
    }
    ASSERT_EQ(CommitJournal(context), result::kSuccess);
    ForgetJournal(context.journal);
    const std::string whole = test::ReadFile(journal).value_or("");
    // Where each entry ends: kind, u16 length, payload, 4 check bytes.
    std::vector<size_t> ends;
    for (size_t at = 8; at + 3 <= whole.size();) {
        at += 3 + (static_cast<uint8_t>(whole[at + 1]) | static_cast<uint8_t>(whole[at + 2]) << 8) +
              4;
        ends.push_back(at);
    }
    ASSERT_EQ(ends.size(), 5u);  // the package, three changes, the commit
    ASSERT_EQ(ends.back(), whole.size());

    for (size_t cut = 0; cut <= whole.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        ASSERT_TRUE(test::WriteFile(journal, whole.substr(0, cut)));
        size_t whole_entries = 0;
        while (whole_entries < ends.size() && ends[whole_entries] <= cut) ++whole_entries;
        const size_t changes = whole_entries <= 1 ? 0 : std::min<size_t>(whole_entries - 1, 3);
        EXPECT_EQ(Read().size(), changes);
        EXPECT_EQ(contents.committed, whole_entries == 5);
    }
    for (const size_t at : {ends[1] + 5, ends[2] - 1}) {
        SCOPED_TRACE("damaged at " + std::to_string(at));
        std::string damaged = whole;
        damaged[at] = static_cast<char>(damaged[at] ^ 0x40);
        ASSERT_TRUE(test::WriteFile(journal, damaged));
        EXPECT_EQ(Read().size(), 1u);
        EXPECT_FALSE(contents.committed);
    }
}

// A name freed by moving its file to a backup and then given to an added file
// spelt otherwise: once an undoing cut short has brought the old file back,
// undoing again must not take it for the added one.
TEST_F(JournalTest, UndoingAgainKeepsTheOldFileUnderAnAddedNameSpeltOtherwise) {
    struct : UndoObserver {
        void Restored(const char*) override {}
        void Removed(const char* path) override { removed.push_back(path); }
        void NotRestored(const char*, const char*) override {}
        std::vector<std::string> removed;
    } observer;
    ASSERT_TRUE(test::MakeFolders(folder / "sub"));
    Record(Make(ChangeKind::kBackup, folder / "sub\\a.txt"));
    Record(Make(ChangeKind::kAdd, folder / "sub/a.txt"));
    ForgetJournal(context.journal);
    ASSERT_TRUE(test::WriteFile(folder / "sub\\a.txt", "old"));  // back, its backup gone

    bool committed = true;
    EXPECT_EQ(UndoJournal(context.targetFolder, false, observer, &committed), result::kSuccess);
    EXPECT_EQ(test::ReadFile(folder / "sub\\a.txt"), "old");
    EXPECT_TRUE(observer.removed.empty());
}

TEST_F(JournalTest, AJournalOfALaterVersionIsNotRead) {
    ASSERT_TRUE(test::WriteFile(journal, std::string("PKXJ\x02\0\0\0", 8)));
    Read(result::kJournal);
}

}  // namespace
}  // namespace pkx
