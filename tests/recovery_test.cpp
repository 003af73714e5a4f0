// Journals planted in an installation before a run, naming what lies outside
// it (by name or through a link), damaged, or of a later version: each is
// refused before any change, named in the log with why, and stays; nothing
// inside or outside changes. So is a record behind a link.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "fuzz/journal_bytes.h"
#include "tests/worker_fixtures.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace pkx::test {
namespace {

using packwriter::PackageModel;
using R = JournalRefusal;

const std::string kApp = Pattern(900, 401);
const std::string kAppNew = Edited(kApp, 100, 50, 402);

// A sandbox: the installation "app", and beside it "outside", which no run
// of app's updater may touch; on POSIX app holds "link", leading outside.
class PlantedJournalTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(PutFiles(app, {{"app.exe", kApp}, {"planted", "p"}, {"stolen", "s"}}));
        Files files = {{"secret", "secret"}};
        for (int i = 1; i <= 10; ++i) files["v" + std::to_string(i)] = std::to_string(i);
        ASSERT_TRUE(PutFiles(outside, files));
#ifndef _WIN32
        ASSERT_EQ(symlink(NativePath(outside).c_str(), NativePath(app + "\\link").c_str()), 0);
#endif
    }

    // Runs an update of app.exe, with another record when given.
    std::unique_ptr<WorkerRun> Update(const std::function<void(PackageModel&)>& record = {}) {
        PackageModel model = FixedFolderModel(app, "1.0", "2.0");
        model.updates.push_back(UpdateRecord("app.exe", kApp, kAppNew));
        if (record) record(model);
        auto run = std::make_unique<WorkerRun>();
        run->context->autoFinish = 1;
        run->WriteProgram(BuildOrFail(model));
        run->Run();
        return run;
    }

    TempFolder sandbox;
    const std::string app = sandbox / "app";
    const std::string outside = sandbox / "outside";
    const std::string journal = app + "\\" + kJournalName;
};

TEST_F(PlantedJournalTest, AJournalNotWrittenByAnUpdateOfThisFolderIsRefusedUntouched) {
    const std::string slashed = NativePath(outside);
    struct Planted {
        const char* what;
        std::string bytes;
        R reason;
    };
    std::string damaged = JournalBytes().Change('A', "a").Change('A', "b").bytes();
    damaged[13] ^= 0x20;  // the first name: a bad entry, a whole one after it
    // clang-format off
    std::vector<Planted> planted = {
        {"an added file by its full path", JournalBytes().Package().Change('A', outside + "\\v1").bytes(), R::kOutsideNames},
        {"an added file by its full path with slashes", JournalBytes().Change('A', slashed + "/v2").bytes(), R::kOutsideNames},
        {"an added file on a drive", JournalBytes().Change('A', "C:" + outside + "\\v3").bytes(), R::kOutsideNames},
        {"an added file up a step", JournalBytes().Change('A', "..\\outside/v4").bytes(), R::kOutsideNames},
        {"an added file up a slashed step", JournalBytes().Change('A', "../outside/v5").bytes(), R::kOutsideNames},
        {"a written file with its backup outside", JournalBytes().Change('W', "app.exe", "../outside/v7").bytes(), R::kOutsideNames},
        {"a backup of a file outside, inside", JournalBytes().Change('B', "../outside/v8", "v8.old").bytes(), R::kOutsideNames},
        {"a backup of a file inside, a secret outside", JournalBytes().Change('B', "stolen", outside + "\\secret").bytes(), R::kOutsideNames},
        {"a file outside backed up by a planted one, then added",
         JournalBytes().Change('B', "../outside/v9", "planted").Change('A', "../outside/v9").bytes(), R::kOutsideNames},
        {"a written file with the root as its backup", JournalBytes().Change('W', "app.exe", "/").bytes(), R::kOutsideNames},
        {"a commit taken back", JournalBytes().Change('A', "../outside/v10").Commit().Rollback().bytes(), R::kOutsideNames},
        {"version 1 with a full path", JournalBytes(1).Change('A', outside + "\\v1", "", 1).bytes(), R::kOutsideNames},
        {"a backup in another folder", JournalBytes().Change('B', "app.exe", "sub\\a.1.old").bytes(), R::kOutsideNames},
        {"a backup that is its file", JournalBytes().Change('W', "app.exe", "app.exe").bytes(), R::kOutsideNames},
        {"a damaged entry with more after it", damaged, R::kDamaged},
        {"an unknown kind", JournalBytes().Entry('Z', "").bytes(), R::kDamaged},
        {"a change after the commit", JournalBytes().Commit().Change('A', "a").bytes(), R::kDamaged},
        {"a void entry past the changes", JournalBytes().Change('A', "a").Entry('V', std::string("\2\0\0\0", 4)).bytes(), R::kDamaged},
        {"a later version", JournalBytes(3).bytes(), R::kLaterVersion},
    };
#ifndef _WIN32
    planted.push_back({"an added file behind a link", JournalBytes().Change('A', "link/v6").bytes(), R::kBehindLink});
    planted.push_back({"a committed journal whose backups lie behind a link",
                       JournalBytes().Change('B', "link/v6", "link/v6.old").Commit(true).bytes(), R::kBehindLink});
#endif
    // clang-format on
    for (const Planted& p : planted) {
        SCOPED_TRACE(p.what);
        ASSERT_TRUE(WriteFile(journal, p.bytes));
        const Tree before = ListTree(sandbox.path());
        auto run = Update();
        EXPECT_EQ(run->context->result, result::kJournal);
        const RecordedEvent* refused = run->events.Find(EV_JOURNAL_REFUSED);
        ASSERT_NE(refused, nullptr);
        EXPECT_EQ(refused->text, journal);
        EXPECT_EQ(refused->param, static_cast<intptr_t>(p.reason));
        EXPECT_EQ(run->TextOf(EV_LINK_REFUSED), p.reason == R::kBehindLink ? app + "\\link" : "");
        EXPECT_EQ(run->events.Count(EV_RECOVERY_FOUND) + run->events.Count(EV_READY), 0u);
        // Nothing was tried, so the dialog truthfully says "restored".
        EXPECT_TRUE(run->Restore());
        EXPECT_EQ(ListTree(sandbox.path()), before);
    }
}

#ifndef _WIN32
// A record on the way through a link is refused, the link named, before the
// journal or anything else is written.
TEST_F(PlantedJournalTest, ARecordBehindALinkIsRefusedBeforeTheFirstChange) {
    const std::pair<std::function<void(PackageModel&)>, ResultCode> records[] = {
        {[](PackageModel& m) { m.updates.push_back(UpdateRecord("link\\v6", "6", "six")); },
         result::kOpenOldFile},
        {[](PackageModel& m) { m.adds.push_back(AddRecord("link\\new\\x.txt", "x")); },
         result::kOpenNewFile},
        {[](PackageModel& m) { m.deletes.push_back(DeleteRecord("link\\v6", "6")); },
         result::kOpenOldFile},
    };
    const Tree before = ListTree(sandbox.path());
    for (const auto& [record, code] : records) {
        auto run = Update(record);
        EXPECT_EQ(run->context->result, code);
        EXPECT_EQ(run->TextOf(EV_LINK_REFUSED), app + "\\link");
        EXPECT_TRUE(run->Restore());
        EXPECT_EQ(ListTree(sandbox.path()), before);
    }
    // A journal that is itself a link is not even read.
    ASSERT_EQ(symlink(NativePath(outside + "\\v1").c_str(), NativePath(journal).c_str()), 0);
    auto run = Update();
    EXPECT_EQ(run->ParamsOf(EV_JOURNAL_REFUSED), std::vector<intptr_t>{intptr_t(R::kBehindLink)});
    EXPECT_EQ(ReadFile(outside + "\\v1"), "1");
}
#endif

}  // namespace
}  // namespace pkx::test
