// The journal as it is written and read back: whole entries only, planned
// changes that were not made declared void, the commit; a tear ends it,
// damage and names outside its folder refuse it.
#include "engine/journal.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/recovery.h"
#include "fuzz/journal_bytes.h"
#include "tests/platforms/fault_injection.h"
#include "tests/test_support.h"

namespace pkx {
namespace {

using test::JournalBytes;

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
        if (kind == ChangeKind::kBackup || kind == ChangeKind::kWrite) {
            std::strcpy(change.backup, (path + ".1.0.old").c_str());
        }
        return change;
    }
    void Record(const Change& change) {
        ASSERT_EQ(RecordChange(context, package, change), result::kSuccess);
    }
    // "B:a.txt" ... for the changes read back from the journal of `where`.
    std::vector<std::string> Read(JournalRefusal expected = JournalRefusal::kNone,
                                  const test::TempFolder* where = nullptr) {
        ForgetJournal(context.journal);
        BinaryFile file;
        const std::string path = (where != nullptr ? *where : folder) / kJournalName;
        EXPECT_EQ(file.OpenRead(path.c_str(), kShareNone, kAttributeNormal), 0u);
        JournalRefusal refusal = JournalRefusal::kNone;
        const ResultCode r = ReadJournal(file, &contents, &refusal);
        EXPECT_EQ(refusal, expected);
        EXPECT_EQ(r, expected == JournalRefusal::kNone ? result::kSuccess : result::kJournal);
        std::vector<std::string> changes;
        for (const JournalChange& change : contents.changes) {
            changes.push_back(std::string(1, static_cast<char>(change.kind)) + ":" +
                              contents.Name(change.path));
        }
        return changes;
    }
    std::vector<std::string> ReadBytes(const std::string& bytes,
                                       JournalRefusal expected = JournalRefusal::kNone) {
        EXPECT_TRUE(test::WriteFile(journal, bytes));
        return Read(expected);
    }

    // Notes the files removed by following a journal.
    struct Removals final : UndoObserver {
        void Restored(const char*) override {}
        void Removed(const char* path) override { paths.push_back(path); }
        void NotRestored(const char*, const char*) override {}
        std::vector<std::string> paths;
    } removed;
    test::TempFolder folder;
    std::string journal = folder / kJournalName;
    ApplyContext context;
    PackageRef package;
    JournalContents contents;
};

// Every text may fill a path buffer, and none comes back shortened: a
// shortened name would undo another file. A package of the run that finds
// another folder keeps a journal there, with its names inside it.
TEST_F(JournalTest, ChangesComeBackWholeInTheJournalOfTheirFolderAndTheCommitAfterThem) {
    const std::string longest(kPathBufferSize - 1, 'x');
    for (char* text : {context.title, package.oldVersionLabel, package.newVersionLabel}) {
        std::strcpy(text, longest.c_str());
    }
    ASSERT_TRUE(test::MakeFolders(folder / "sub"));  // the commit flushes the changed folders
    for (const Change& change :
         {Make(ChangeKind::kBackup, folder / "a.txt"), Make(ChangeKind::kWrite, folder / "a.txt"),
          Make(ChangeKind::kFolder, folder / "sub"),
          Make(ChangeKind::kAdd, folder / "sub\\b.txt")}) {
        Record(change);
    }
    test::TempFolder elsewhere;
    const std::string inside = elsewhere.path() + "\\";
    const std::string name(kPathBufferSize - 1 - inside.size(), 'n');
    UseTarget(elsewhere);
    Record(Make(ChangeKind::kAdd, inside + name));
    context.deleteBackupsDefault = 1;
    ASSERT_EQ(CommitJournal(context), result::kSuccess);

    EXPECT_EQ(Read(), (std::vector<std::string>{"B:a.txt", "W:a.txt", "F:sub", "A:sub\\b.txt"}));
    EXPECT_STREQ(contents.Name(contents.changes[0].backup), "a.txt.1.0.old");
    EXPECT_TRUE(contents.committed && contents.deleteBackups);
    EXPECT_EQ(Read(JournalRefusal::kNone, &elsewhere), std::vector<std::string>{"A:" + name});
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

// A cut anywhere, or zeros where the file grew but its bytes never came, is a
// tear: the whole entries before it hold. A bad entry with more after it is
// damage, and the journal is not followed.
TEST_F(JournalTest, ATearEndsTheJournalAndDamageBeforeTheEndRefusesIt) {
    for (const char* name : {"a", "b", "c"}) Record(Make(ChangeKind::kAdd, folder / name));
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
        size_t wholeEntries = 0;
        while (wholeEntries < ends.size() && ends[wholeEntries] <= cut) ++wholeEntries;
        const size_t changes = wholeEntries <= 1 ? 0 : std::min<size_t>(wholeEntries - 1, 3);
        for (const std::string& zeros : {std::string(), std::string(40, '\0')}) {
            EXPECT_EQ(ReadBytes(whole.substr(0, cut) + zeros).size(), changes);
            EXPECT_EQ(contents.committed, wholeEntries == 5);
        }
    }
    const struct {
        size_t at;
        char change;
        JournalRefusal expected;
    } damages[] = {
        {ends[1] + 5, 0x40, JournalRefusal::kDamaged},  // a name in the first change
        {ends[2] + 1, 0x7F, JournalRefusal::kDamaged},  // a length past the end, entries after
        {ends[3] + 3, 0x01, JournalRefusal::kNone},     // the commit's check: the last entry
    };
    for (const auto& damage : damages) {
        SCOPED_TRACE("damaged at " + std::to_string(damage.at));
        std::string damaged = whole;
        damaged[damage.at] = static_cast<char>(damaged[damage.at] ^ damage.change);
        ReadBytes(damaged, damage.expected);
        EXPECT_FALSE(contents.committed);
    }
    // Version 1 is read by the same rules; a commit taken back no longer holds.
    EXPECT_EQ(ReadBytes(JournalBytes(1).Change('B', "a", "a.1.old").bytes()).size(), 1u);
    EXPECT_EQ(ReadBytes(JournalBytes().Change('A', "a").Commit(true).Rollback().bytes()).size(),
              1u);
    EXPECT_FALSE(contents.committed);
}

// Larger than any run writes: refused unread.
TEST_F(JournalTest, AJournalLargerThanAnyRunWritesIsNotRead) {
    ASSERT_TRUE(
        test::WriteFile(journal, JournalBytes().bytes() + std::string(kJournalSizeLimit, 0)));
    FaultInjector counter(NativePlatform());
    PlatformScope scope(counter);
    Read(JournalRefusal::kTooLarge);
    EXPECT_EQ(counter.Count(Operation::kRead), 0u);
}

// A committed run rolled back all the same: the entry that takes the commit
// back replaces a torn tail, which would otherwise make it damage.
TEST_F(JournalTest, TheRollbackEntryFollowsTheWholeEntriesOnly) {
    // An entry whose check is bad, zeros after it: a tear, which an entry
    // written over its start would turn into damage.
    const std::string torn =
        std::string("A\x0c\0\x0a\0xx\x05\x01\0\7\7\7\7\7\0\0\0\1", 19) + std::string(20, '\0');
    ASSERT_TRUE(test::WriteFile(journal, JournalBytes().Change('A', "a").Commit().bytes() + torn));
    ASSERT_TRUE(test::WriteFile(folder / "a", "new"));
    FileHandle held = kInvalidFile;  // the added file cannot go: the journal stays
    ASSERT_EQ(Os().Open((folder / "a").c_str(), kGenericRead, kShareNone, kOpenExisting,
                        kAttributeNormal, &held),
              0u);
    {
        FoundJournal found;
        ASSERT_EQ(found.Open(context.targetFolder), result::kSuccess);
        EXPECT_TRUE(found.committed());
        EXPECT_EQ(found.Follow(true, removed), result::kRecoveryIncomplete);
    }
    Os().Close(held);
    EXPECT_EQ(Read(), std::vector<std::string>{"A:a"});
    EXPECT_FALSE(contents.committed);
}

// A name freed by moving its file to a backup and then given to an added file
// spelt otherwise: once an undoing cut short has brought the old file back,
// undoing again must not take it for the added one.
TEST_F(JournalTest, UndoingAgainKeepsTheOldFileUnderAnAddedNameSpeltOtherwise) {
    ASSERT_TRUE(test::MakeFolders(folder / "sub"));
    Record(Make(ChangeKind::kBackup, folder / "sub\\a.txt"));
    Record(Make(ChangeKind::kAdd, folder / "sub/a.txt"));
    ForgetJournal(context.journal);
    ASSERT_TRUE(test::WriteFile(folder / "sub\\a.txt", "old"));  // back, its backup gone

    FoundJournal found;
    ASSERT_EQ(found.Open(context.targetFolder), result::kSuccess);
    EXPECT_EQ(found.Follow(false, removed), result::kSuccess);
    EXPECT_EQ(test::ReadFile(folder / "sub\\a.txt"), "old");
    EXPECT_TRUE(removed.paths.empty());
}

}  // namespace
}  // namespace pkx
