// The progress window's behaviour, driven by events, checked on a recording view.
#include "shell/progress_presenter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/worker_events.h"
#include "engine/backups.h"
#include "engine/journal.h"
#include "tests/recording_ui.h"
#include "tests/test_support.h"
#include "texts/text_table.h"

namespace pkx {
namespace {

// A path of an event, and as the log shows it: as the system writes paths.
constexpr char kEventPath[] = "C:\\App\\sub\\app.exe";
#ifdef _WIN32
constexpr char kShownPath[] = "C:\\App\\sub\\app.exe";
#else
constexpr char kShownPath[] = "/App/sub/app.exe";
#endif

struct RecordingView : ProgressView {
    std::vector<std::string> log;
    std::string windowTitle, headline, rightsLabel, rightsText, status, logLabel;
    std::string buttonText, checkBoxText, filePercent, totalPercent, openFailure;
    uint32_t fileValue = 0, totalValue = 0;
    bool buttonEnabled = true, checkBoxChecked = false, checkBoxEnabled = true;
    int fontApplied = 0, closed = 0;

    void SetWindowTitle(const char* t) override { windowTitle = t; }
    void SetHeadline(const char* t) override { headline = t; }
    void SetRightsLabel(const char* t) override { rightsLabel = t; }
    void SetRightsText(const char* t) override { rightsText = t; }
    void SetStatus(const char* t) override { status = t; }
    void SetLogLabel(const char* t) override { logLabel = t; }
    void SetFileProgress(uint32_t v, const char* p) override {
        fileValue = v;
        if (p) filePercent = p;
    }
    void SetTotalProgress(uint32_t v, const char* p) override {
        totalValue = v;
        if (p) totalPercent = p;
    }
    void AppendLog(const char* line) override { log.emplace_back(line); }
    void SetButtonText(const char* t) override { buttonText = t; }
    void EnableButton(bool e) override { buttonEnabled = e; }
    void SetCheckBoxText(const char* t) override { checkBoxText = t; }
    void SetCheckBox(bool c) override { checkBoxChecked = c; }
    void EnableCheckBox(bool e) override { checkBoxEnabled = e; }
    bool IsCheckBoxChecked() override { return checkBoxChecked; }
    bool IsCheckBoxEnabled() override { return checkBoxEnabled; }
    void ApplyFont() override { ++fontApplied; }
    void ShowOpenFailure(const char* text, const char*) override { openFailure = text; }
    void Close() override { ++closed; }
};

struct FakeWorker : WorkerControl {
    bool startSucceeds = true;
    int finished = 0;
    bool StartWorker() override { return startSucceeds; }
    void FinishWorker(uint32_t) override { ++finished; }
};

class PresenterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        LoadDefaultTexts(context);
        std::strcpy(context.title, "App");
    }
    std::string Text(uint32_t id) { return context.texts[id]; }
    std::string Expanded(uint32_t id, const char* a, const char* b = nullptr) {
        char out[512];
        ExpandTemplate(out, sizeof out, context.texts[id], a, b, nullptr, 932);
        return out;
    }
    // A built-in text that no package replaces, with its path as shown.
    static std::string Builtin(uint32_t id, const char* path = nullptr) {
        char text[kTextBufferSize];
        LoadResourceText(id, text, sizeof text);
        char shown[kPathBufferSize] = "";
        if (path != nullptr) Os().PathForDisplay(path, shown, sizeof shown);
        char out[512];
        ExpandTemplate(out, sizeof out, text, path ? shown : nullptr, nullptr, nullptr, 932);
        return out;
    }

    ApplyContext context;
    RecordingView view;
    FakeWorker worker;
    ProgressPresenter presenter{context, view, worker};
};

TEST_F(PresenterTest, InitializeSetsVersionTitleAndStartsWorker) {
    presenter.Initialize();
    EXPECT_EQ(view.windowTitle, "pkx Self Extract Updater ver.1.50");
    EXPECT_FALSE(view.buttonEnabled);
    EXPECT_EQ(view.filePercent, "0.0%");
    EXPECT_EQ(view.totalPercent, "0.0%");
    EXPECT_TRUE(presenter.WorkerRunning());
    EXPECT_TRUE(view.log.empty());
}

TEST_F(PresenterTest, FailedWorkerStartLogsAndLetsTheUserClose) {
    worker.startSucceeds = false;
    presenter.Initialize();
    ASSERT_EQ(view.log.size(), 1u);
    char expected[300];
    LoadResourceText(systemCodePage == 932 ? 109 : 209, expected, sizeof expected);
    EXPECT_EQ(view.log[0], std::string(expected) + "\r\n");
    EXPECT_TRUE(view.buttonEnabled);
    EXPECT_EQ(context.failed, 1u);
    presenter.OnCancelCommand();
    EXPECT_EQ(view.closed, 1);
}

TEST_F(PresenterTest, PercentagesShowOneDecimal) {
    presenter.Initialize();
    const std::pair<uint32_t, const char*> cases[] = {
        {0, "0.0%"}, {5, "0.5%"}, {999, "99.9%"}, {1000, "100.0%"}};
    for (const auto& [value, text] : cases) {
        presenter.HandleEvent(EV_FILE_PROGRESS, value);
        EXPECT_EQ(view.filePercent, text);
        EXPECT_EQ(view.fileValue, value);
        presenter.HandleEvent(EV_TOTAL_PROGRESS, value);
        EXPECT_EQ(view.totalPercent, text);
    }
}

TEST_F(PresenterTest, UpdatingFileLogsPathAndShowsNameInStatus) {
    presenter.Initialize();
    presenter.HandleEvent(EV_FILE_PROGRESS, 500);
    presenter.HandleEvent(EV_UPDATING_FILE, reinterpret_cast<intptr_t>(kEventPath));
    ASSERT_EQ(view.log.size(), 1u);
    EXPECT_EQ(view.log[0], Expanded(1030, kShownPath));
    EXPECT_EQ(view.status, Expanded(1012, "app", ".exe"));
    EXPECT_EQ(view.fileValue, 0u);
}

TEST_F(PresenterTest, FailureLinesFollowTheResultCode) {
    presenter.Initialize();
    presenter.HandleEvent(EV_FAILED, 0x10009);
    ASSERT_GE(view.log.size(), 2u);
    EXPECT_EQ(view.log[0], Text(1050));
    EXPECT_EQ(view.log[1], Text(1020));
    EXPECT_EQ(view.log[2], Text(1023));
    EXPECT_EQ(view.log[3], Text(1024));
    EXPECT_EQ(context.failed, 1u);
    EXPECT_FALSE(view.checkBoxEnabled);
    EXPECT_EQ(view.buttonText, Text(1002));
    EXPECT_TRUE(view.buttonEnabled);
    EXPECT_EQ(worker.finished, 1);

    view.log.clear();
    presenter.HandleEvent(EV_FAILED, 0x10008);
    EXPECT_EQ(view.log[0], Text(1048));
    EXPECT_EQ(view.log[1], Expanded(1049, "App"));
    EXPECT_EQ(view.log[2], Text(1020));

    view.log.clear();
    presenter.HandleEvent(EV_FAILED, 0x10002);
    EXPECT_EQ(view.log[0], Text(1042));

    view.log.clear();
    presenter.HandleEvent(EV_FAILED, 0x20000);
    EXPECT_EQ(view.log[0], Text(1020));
    EXPECT_EQ(view.log[1], Text(1023));

    for (const auto& [code, id] : {std::pair<uint32_t, uint32_t>{0x10013, text::kErrorJournal},
                                   std::pair<uint32_t, uint32_t>{0x10014, text::kErrorRecovery}}) {
        view.log.clear();
        presenter.HandleEvent(EV_FAILED, code);
        EXPECT_EQ(view.log[0], Builtin(id));
        EXPECT_EQ(view.log[1], Text(1020));
    }
}

// What the recovery of an interrupted update did, a line per file.
TEST_F(PresenterTest, RecoveryEventsLogWhatWasFoundAndDone) {
    presenter.Initialize();
    const UnrestoredFile blocked{"C:\\app\\c.txt", "C:\\app\\c.txt.1.0.old"};
    const UnrestoredFile stays{"C:\\app\\d.txt", ""};
    presenter.HandleEvent(EV_RECOVERY_FOUND, reinterpret_cast<intptr_t>("C:\\app\\j"));
    presenter.HandleEvent(EV_RECOVERY_RESTORED, reinterpret_cast<intptr_t>("C:\\app\\a.exe"));
    presenter.HandleEvent(EV_RECOVERY_REMOVED, reinterpret_cast<intptr_t>("C:\\app\\b.dll"));
    presenter.HandleEvent(EV_NOT_RESTORED, reinterpret_cast<intptr_t>(&blocked));
    presenter.HandleEvent(EV_NOT_RESTORED, reinterpret_cast<intptr_t>(&stays));
    presenter.HandleEvent(EV_RECOVERY_DONE, 0);
    presenter.HandleEvent(EV_RECOVERY_COMPLETED, 0);
    EXPECT_EQ(view.log, (std::vector<std::string>{
                            Builtin(text::kRecoveryFound, "C:\\app\\j"),
                            Builtin(text::kRecoveryRestored, "C:\\app\\a.exe"),
                            Builtin(text::kRecoveryRemoved, "C:\\app\\b.dll"),
                            Builtin(text::kNotRestored, blocked.path),
                            Builtin(text::kBackupRemains, blocked.backup),
                            Builtin(text::kNotRemoved, stays.path),
                            Builtin(text::kRecoveryDone),
                            Builtin(text::kRecoveryCompleted),
                        }));
}

TEST_F(PresenterTest, CancelAndRunningAreNoErrors) {
    presenter.Initialize();
    presenter.HandleEvent(EV_CANCELLED, 0);
    EXPECT_EQ(view.log[0], Text(1021));
    EXPECT_EQ(view.log[1], Text(1023));
    view.log.clear();
    presenter.HandleEvent(EV_PROGRAM_RUNNING, 0);
    EXPECT_EQ(view.log[0], Expanded(1022, "App"));
    EXPECT_EQ(context.failed, 1u);
}

TEST_F(PresenterTest, OpenFailureShowsMessageBoxAndCloses) {
    presenter.Initialize();
    presenter.HandleEvent(EV_FAILED, 0x10001);
    EXPECT_EQ(view.openFailure, Text(1041));
    EXPECT_EQ(view.closed, 1);
    EXPECT_EQ(view.log[0], Text(1020));
}

TEST_F(PresenterTest, CancelWhileRunningRequestsStopAndDisablesButton) {
    presenter.Initialize();
    presenter.HandleEvent(EV_READY, 0);
    EXPECT_TRUE(view.buttonEnabled);
    presenter.OnCancelCommand();
    EXPECT_FALSE(view.buttonEnabled);
    EXPECT_EQ(context.cancelRequested.load(), 1u);
    EXPECT_EQ(view.log.back(), Text(1018));
    EXPECT_EQ(view.closed, 0);
}

TEST_F(PresenterTest, AutoFinishClosesAfterSuccess) {
    context.autoFinish = 1;
    presenter.Initialize();
    EXPECT_FALSE(view.checkBoxEnabled);
    presenter.HandleEvent(EV_FINISHED, 0);
    EXPECT_EQ(view.status, Text(1005));
    EXPECT_EQ(view.log.back(), Text(1019));
    EXPECT_EQ(view.closed, 1);
}

TEST_F(PresenterTest, SuccessWaitsForCloseWithoutAutoFinish) {
    presenter.Initialize();
    presenter.HandleEvent(EV_FINISHED, 0);
    EXPECT_EQ(view.closed, 0);
    EXPECT_EQ(view.buttonText, Text(1002));
    presenter.OnCancelCommand();
    EXPECT_EQ(view.closed, 1);
    EXPECT_EQ(context.failed, 0u);
}

TEST_F(PresenterTest, SummaryLinesFollowAppliedFlag) {
    presenter.Initialize();
    PackageRef skipped, applied;
    std::strcpy(skipped.oldVersionLabel, "1.0");
    std::strcpy(skipped.newVersionLabel, "1.1");
    std::strcpy(applied.oldVersionLabel, "1.1");
    std::strcpy(applied.newVersionLabel, "1.2");
    applied.applied = 1;
    presenter.HandleEvent(EV_PACKAGE_SUMMARY, reinterpret_cast<intptr_t>(&skipped));
    presenter.HandleEvent(EV_PACKAGE_SUMMARY, reinterpret_cast<intptr_t>(&applied));
    EXPECT_EQ(view.log[0], Expanded(1070, "1.0", "1.1"));
    EXPECT_EQ(view.log[1], Expanded(1071, "1.1", "1.2"));
}

TEST_F(PresenterTest, DetailLinesCarryThePrefixOfTheTableInUse) {
#ifdef _WIN32
    const std::string japanese = "\x81\x40\x81\x40--> ";
#else
    const std::string japanese = "\u3000\u3000--> ";
#endif
    for (const auto& [codePage, prefix] : std::vector<std::pair<uint32_t, std::string>>{
             {932, japanese}, {1252, "    --> "}, {1251, "    --> "}}) {
        test::CodePageScope scope(codePage);
        view.log.clear();
        presenter.Initialize();
        presenter.HandleEvent(EV_READING_FILE_DATE, reinterpret_cast<intptr_t>(kEventPath));
        ASSERT_EQ(view.log.size(), 1u);
        EXPECT_EQ(view.log[0].substr(0, prefix.size()), prefix) << codePage;
        EXPECT_NE(view.log[0].find(kShownPath), std::string::npos) << view.log[0];
        // Long lines are cut.
        const std::string path(600, 'x');
        presenter.HandleEvent(EV_HASHING_FILE, reinterpret_cast<intptr_t>(path.c_str()));
        EXPECT_EQ(view.log[1].size(), kLogLineLimit);
    }
}

// Lines are cut at whole characters: those of code page 932 where texts are
// held in it (Windows), those of UTF-8 where they are held in UTF-8.
TEST_F(PresenterTest, CutNeverSplitsACharacter) {
    test::WindowsCodePages windows(Os());
    test::PlatformScope scope(windows);
    for (const auto& [codePage, character] : std::vector<std::pair<uint32_t, std::string>>{
             {932, "\x82\xA0"}, {kUtf8CodePage, "\u3042"}}) {
        SCOPED_TRACE(codePage);
        presenter.Initialize();
        context.textCodePage = codePage;
        // 1 single byte then wide characters: the limit falls inside one.
        std::string text = "a";
        while (text.size() < 400) text += character;
        std::strcpy(context.texts[1039], text.substr(0, 256).c_str());
        presenter.HandleEvent(EV_SEPARATOR, 0);
        presenter.HandleEvent(EV_CHECK_RUNNING, reinterpret_cast<intptr_t>(text.c_str()));
        for (const std::string& line : {view.log[view.log.size() - 2], view.log.back()}) {
            EXPECT_LE(line.size(), kLogLineLimit);
            EXPECT_EQ(line.compare(line.size() - character.size(), character.size(), character), 0)
                << "a character was split";
        }
    }
}

TEST_F(PresenterTest, ApplyTextsSetsLabelsAndLogsProgramPath) {
    std::strcpy(context.programPath, kEventPath);
    presenter.Initialize();
    presenter.HandleEvent(EV_APPLY_TEXTS, 0);
    EXPECT_EQ(view.fontApplied, 1);
    EXPECT_EQ(view.log[0], Expanded(1011, kShownPath));
    EXPECT_EQ(view.buttonText, Text(1001));
    EXPECT_EQ(view.checkBoxText, Text(1007));
    EXPECT_EQ(view.rightsLabel, Text(1004));
    EXPECT_EQ(view.logLabel, Text(1006));
    EXPECT_EQ(view.status, Text(1016));
}

TEST_F(PresenterTest, UnlistedCodesChangeNothing) {
    presenter.Initialize();
    EXPECT_TRUE(presenter.HandleEvent(16, 0));
    EXPECT_TRUE(presenter.HandleEvent(101, 0));
    EXPECT_TRUE(view.log.empty());
}

// One updated file with its backup beside it and both changes in the
// journal, as a run leaves them.
class PresenterBackupTest : public PresenterTest {
  protected:
    void SetUp() override {
        PresenterTest::SetUp();
        std::strcpy(context.targetFolder, (folder.path() + "\\").c_str());
        context.packages.emplace_back();
        PackageRef& package = context.packages.back();
        std::strcpy(package.oldVersionLabel, "1.0");
        package.backupPaths.push_back(file);
        Change change;
        std::strcpy(change.path, file.c_str());
        ASSERT_TRUE(BuildBackupPath(file.c_str(), "1.0", change.backup));
        backup = change.backup;
        for (const ChangeKind kind : {ChangeKind::kBackup, ChangeKind::kWrite}) {
            change.kind = kind;
            ASSERT_EQ(RecordChange(context, package, change), result::kSuccess);
        }
        ASSERT_TRUE(test::WriteFile(file, "new"));
        ASSERT_TRUE(test::WriteFile(backup, "old"));
    }
    // As the worker ends a successful run: the journal committed, then the event.
    void Finish(uint32_t autoFinish, uint8_t deleteDefault) {
        ASSERT_EQ(CommitJournal(context), result::kSuccess);
        context.autoFinish = autoFinish;
        context.deleteBackupsDefault = deleteDefault;
        presenter.Initialize();
        presenter.HandleEvent(EV_DELETE_DEFAULT, 0);
        presenter.HandleEvent(EV_READY, 0);
        presenter.HandleEvent(EV_FINISHED, 0);
    }

    test::TempFolder folder;
    std::string file = folder / "app.exe";
    std::string backup;
    std::string journal = folder / kJournalName;
};

TEST_F(PresenterBackupTest, AutoFinishFollowsThePackageDefault) {
    Finish(1, 1);
    EXPECT_EQ(view.closed, 1);
    EXPECT_FALSE(test::PathExists(backup));
    EXPECT_FALSE(test::PathExists(journal));
    EXPECT_EQ(test::ReadFile(file), "new");
}

TEST_F(PresenterBackupTest, AutoFinishKeepsBackupsWhenTheDefaultSaysSo) {
    Finish(1, 0);
    EXPECT_EQ(view.closed, 1);
    EXPECT_EQ(test::ReadFile(backup), "old");
    EXPECT_FALSE(test::PathExists(journal));
}

TEST_F(PresenterBackupTest, InteractiveSuccessDeletesOnlyOnClose) {
    Finish(0, 1);
    EXPECT_EQ(view.closed, 0);
    EXPECT_TRUE(view.checkBoxChecked);
    EXPECT_EQ(test::ReadFile(backup), "old") << "deleted before Close";
    EXPECT_TRUE(test::PathExists(journal)) << "the journal stays until the backups are dealt with";
    presenter.OnCancelCommand();
    EXPECT_EQ(view.closed, 1);
    EXPECT_FALSE(test::PathExists(backup));
    EXPECT_FALSE(test::PathExists(journal));
}

TEST_F(PresenterBackupTest, InteractiveSuccessWithTheBoxClearedKeepsBackups) {
    Finish(0, 1);
    view.checkBoxChecked = false;
    presenter.OnCancelCommand();
    EXPECT_EQ(view.closed, 1);
    EXPECT_EQ(test::ReadFile(backup), "old");
}

TEST_F(PresenterBackupTest, CancelledRunPutsTheOldFileBackAndStaysOpen) {
    context.autoFinish = 1;
    context.deleteBackupsDefault = 1;
    presenter.Initialize();
    presenter.HandleEvent(EV_DELETE_DEFAULT, 0);
    presenter.HandleEvent(EV_READY, 0);
    presenter.OnCancelCommand();
    presenter.HandleEvent(EV_CANCELLED, 0);
    EXPECT_EQ(test::ReadFile(file), "old");
    EXPECT_FALSE(test::PathExists(backup));
    EXPECT_FALSE(test::PathExists(journal));
    EXPECT_EQ(view.log.back(), Text(1024));
    EXPECT_FALSE(view.checkBoxEnabled);
    EXPECT_EQ(view.closed, 0) << "a failed unattended run waits for Close";
    EXPECT_EQ(context.failed, 1u);
    // The restored file is never taken for a backup to delete.
    presenter.OnCancelCommand();
    EXPECT_EQ(view.closed, 1);
    EXPECT_EQ(test::ReadFile(file), "old");
}

// A file held open by another program cannot be put back: the log names it
// and its backup, never says "restored", and the journal stays for the next
// start.
TEST_F(PresenterBackupTest, RollbackThatCannotRestoreAFileSaysSo) {
    FileHandle held = kInvalidFile;
    ASSERT_EQ(
        Os().Open(file.c_str(), kGenericRead, kShareNone, kOpenExisting, kAttributeNormal, &held),
        0u);
    presenter.Initialize();
    presenter.HandleEvent(EV_FAILED, static_cast<intptr_t>(result::kReadOldFile));
    Os().Close(held);

    const std::vector<std::string> tail(view.log.end() - 4, view.log.end());
    EXPECT_EQ(tail, (std::vector<std::string>{Text(1023), Builtin(text::kNotRestored, file.c_str()),
                                              Builtin(text::kBackupRemains, backup.c_str()),
                                              Builtin(text::kRestoreFailed)}));
    EXPECT_EQ(test::ReadFile(file), "new");
    EXPECT_EQ(test::ReadFile(backup), "old");
    EXPECT_TRUE(test::PathExists(journal));
    EXPECT_EQ(context.failed, 1u);
}

}  // namespace
}  // namespace pkx
