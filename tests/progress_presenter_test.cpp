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

namespace pkx::test {
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
    std::string windowTitle, status, logLabel;
    std::string buttonText, checkBoxText, filePercent, openFailure;
    uint32_t fileValue = 0;
    bool buttonEnabled = true, checkBoxChecked = false, checkBoxEnabled = true;
    int fontApplied = 0, closed = 0;

    void SetWindowTitle(const char* t) override { windowTitle = t; }
    void SetHeadline(const char*) override {}
    void SetRightsLabel(const char*) override {}
    void SetRightsText(const char*) override {}
    void SetStatus(const char* t) override { status = t; }
    void SetLogLabel(const char* t) override { logLabel = t; }
    void SetFileProgress(uint32_t v, const char* p) override {
        fileValue = v;
        if (p) filePercent = p;
    }
    void SetTotalProgress(uint32_t, const char*) override {}
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
        std::strcpy(context.programPath, kEventPath);
        std::strcpy(context.targetFolder, kEventPath);
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

TEST_F(PresenterTest, InitializeStartsTheWorkerOrLogsWhyNot) {
    presenter.Initialize();
    EXPECT_EQ(view.windowTitle, "pkx Self Extract Updater ver.1.50");
    EXPECT_FALSE(view.buttonEnabled);
    EXPECT_EQ(view.filePercent, "0.0%");
    EXPECT_TRUE(presenter.WorkerRunning());
    EXPECT_TRUE(view.log.empty());

    // A worker that cannot start: the failure is logged and the user may close.
    worker.startSucceeds = false;
    view = RecordingView();
    presenter.Initialize();
    const uint32_t id =
        systemCodePage == 932 ? text::kThreadFailedJapanese : text::kThreadFailedEnglish;
    EXPECT_EQ(view.log, std::vector<std::string>{Builtin(id) + "\r\n"});
    EXPECT_TRUE(view.buttonEnabled);
    EXPECT_EQ(context.failed, 1u);
    presenter.OnCancelCommand();
    EXPECT_EQ(view.closed, 1);
}

// What the log shows for each worker event that is not final.
enum class Param { kNone, kPath, kTitle };
struct EventLine {
    uint32_t code;
    Param param;
    uint32_t logId;        // 0: no line
    bool detail;           // with the detail prefix
    uint32_t statusId;     // 0: the status stays
    bool builtin = false;  // a text no package replaces
};

// clang-format off
const EventLine kEventLines[] = {
    {EV_READY,                 Param::kNone,  text::kReadingInformation,  false, 0},
    {EV_CHECK_OLD_MD5,         Param::kNone,  text::kCheckingOldMd5,      false, 0},
    {EV_CHECK_OLD_DATE_SIZE,   Param::kNone,  text::kCheckingOldDateSize, false, 0},
    {EV_HASHING_FILE,          Param::kPath,  text::kHashingFile,         true,  0},
    {EV_READING_FILE_DATE,     Param::kPath,  text::kReadingFileDate,     true,  0},
    {EV_TARGET_FOLDER,         Param::kNone,  text::kTargetFolderLine,    false, 0},
    {EV_UPDATING_FILE,         Param::kPath,  text::kUpdatingFile,        false, text::kUpdatingStatus},
    {EV_ADDING_FILE,           Param::kPath,  text::kAddingFile,          false, text::kAddingStatus},
    {EV_DELETING_FILE,         Param::kPath,  text::kDeletingFile,        false, text::kDeletingStatus},
    {EV_CHECK_INTEGRITY,       Param::kNone,  text::kCheckingIntegrity,   false, 0},
    {EV_CHECK_RUNNING,         Param::kTitle, text::kCheckingRunning,     false, 0},
    {EV_SOURCE_MISSING,        Param::kPath,  text::kSourceMissing,       false, 0},
    {EV_OVERWRITING_NEW,       Param::kPath,  text::kOverwritingNew,      false, 0},
    {EV_SEPARATOR,             Param::kNone,  text::kSeparator,           false, 0},
    {EV_DELETE_TARGET_MISSING, Param::kPath,  text::kDeleteTargetMissing, false, 0},
    {EV_APPLY_TEXTS,           Param::kNone,  text::kProgramFileLine,     false, text::kExaminingStatus},
    {EV_TRY_NEXT_PACKAGE,      Param::kNone,  text::kOldVersionDiffers,   false, 0},
    {EV_ALREADY_UPDATED,       Param::kPath,  text::kAlreadyUpdated,      false, 0},
    {EV_ALREADY_ADDED,         Param::kPath,  text::kAlreadyAdded,        false, 0},
    {EV_RECOVERY_FOUND,        Param::kPath,  text::kRecoveryFound,       false, 0, true},
    {EV_RECOVERY_RESTORED,     Param::kPath,  text::kRecoveryRestored,    false, 0, true},
    {EV_RECOVERY_REMOVED,      Param::kPath,  text::kRecoveryRemoved,     false, 0, true},
    {EV_RECOVERY_DONE,         Param::kNone,  text::kRecoveryDone,        false, 0, true},
    {EV_RECOVERY_COMPLETED,    Param::kNone,  text::kRecoveryCompleted,   false, 0, true},
    {EV_RECOVERY_BACKUP_DELETED, Param::kPath, text::kRecoveryBackupDeleted, false, 0, true},
    {EV_LINK_REFUSED,          Param::kPath,  text::kLinkRefused,         false, 0, true},
    {EV_FOLDER_NEEDS_ADMINISTRATOR, Param::kPath, text::kFolderNeedsAdministrator, false, 0, true},
    {EV_HEADLINE,              Param::kTitle, 0, false, 0},
    {EV_RIGHTS_TEXT,           Param::kNone,  0, false, 0},
    {EV_DELETE_DEFAULT,        Param::kNone,  0, false, 0},
    {EV_SET_TITLE,             Param::kTitle, 0, false, 0},
    {16,                       Param::kNone,  0, false, 0},
    {101,                      Param::kNone,  0, false, 0},
};
// clang-format on

TEST_F(PresenterTest, EveryEventLogsItsLine) {
    presenter.Initialize();
    const std::string prefix = Builtin(text::kDetailPrefix);
    for (const EventLine& e : kEventLines) {
        SCOPED_TRACE(e.code);
        view.log.clear();
        view.status = "before";
        view.fileValue = 7;
        const char* param = e.param == Param::kPath ? kEventPath : "Title";
        EXPECT_TRUE(presenter.HandleEvent(
            e.code, e.param == Param::kNone ? 0 : reinterpret_cast<intptr_t>(param)));
        if (e.logId == 0) {
            EXPECT_TRUE(view.log.empty());
            continue;
        }
        // Paths, the target folder and the program's path among them, show as
        // the system writes them.
        const std::string expected =
            e.builtin ? Builtin(e.logId, e.param == Param::kPath ? kEventPath : nullptr)
                      : Expanded(e.logId, e.param == Param::kTitle ? "Title" : kShownPath);
        ASSERT_EQ(view.log.size(), 1u);
        EXPECT_EQ(view.log[0], (e.detail ? prefix : "") + expected);
        if (e.statusId == text::kExaminingStatus) {
            EXPECT_EQ(view.status, Text(e.statusId));
        } else if (e.statusId != 0) {
            EXPECT_EQ(view.status, Expanded(e.statusId, "app", ".exe"));
            EXPECT_EQ(view.fileValue, 0u) << "a new file starts at 0";
        } else {
            EXPECT_EQ(view.status, "before");
        }
    }
    // A file not put back, then where its old version waits; an added file
    // not removed has no backup.
    const UnrestoredFile blocked{"C:\\app\\c.txt", "C:\\app\\c.txt.1.0.old"},
        stays{"C:\\app\\d.txt", ""};
    view.log.clear();
    presenter.HandleEvent(EV_NOT_RESTORED, reinterpret_cast<intptr_t>(&blocked));
    presenter.HandleEvent(EV_NOT_RESTORED, reinterpret_cast<intptr_t>(&stays));
    EXPECT_EQ(view.log, (std::vector<std::string>{Builtin(text::kNotRestored, blocked.path),
                                                  Builtin(text::kBackupRemains, blocked.backup),
                                                  Builtin(text::kNotRemoved, stays.path)}));
    // A journal not followed: why, and that it may go.
    const std::pair<JournalRefusal, uint32_t> refusals[] = {
        {JournalRefusal::kOutsideNames, text::kJournalOutside},
        {JournalRefusal::kDamaged, text::kJournalDamaged},
        {JournalRefusal::kLaterVersion, text::kJournalLater},
        {JournalRefusal::kTooLarge, text::kJournalTooLarge},
        {JournalRefusal::kBehindLink, text::kJournalBehindLink},
    };
    for (const auto& [reason, id] : refusals) {
        const RefusedJournal refused{kEventPath, reason};
        view.log.clear();
        presenter.HandleEvent(EV_JOURNAL_REFUSED, reinterpret_cast<intptr_t>(&refused));
        EXPECT_EQ(view.log, (std::vector<std::string>{Builtin(id, kEventPath),
                                                      Builtin(text::kJournalMayBeRemoved)}));
    }
}

// The headline, rights text, window title and delete-backups default are
// checked by the console runs, which show them.
TEST_F(PresenterTest, ViewEventsSetTheirFields) {
    presenter.Initialize();
    presenter.HandleEvent(EV_APPLY_TEXTS, 0);
    EXPECT_EQ(view.fontApplied, 1);
    EXPECT_EQ(view.buttonText, Text(text::kCancelButton));
    EXPECT_EQ(view.checkBoxText, Text(text::kDeleteBackupsBox));
    EXPECT_EQ(view.logLabel, Text(text::kLogLabel));

    PackageRef skipped, applied;
    std::strcpy(skipped.oldVersionLabel, "1.0");
    std::strcpy(skipped.newVersionLabel, "1.1");
    std::strcpy(applied.oldVersionLabel, "1.1");
    std::strcpy(applied.newVersionLabel, "1.2");
    applied.applied = 1;
    view.log.clear();
    presenter.HandleEvent(EV_PACKAGE_SUMMARY, reinterpret_cast<intptr_t>(&skipped));
    presenter.HandleEvent(EV_PACKAGE_SUMMARY, reinterpret_cast<intptr_t>(&applied));
    EXPECT_EQ(view.log, (std::vector<std::string>{Expanded(text::kPackageSkipped, "1.0", "1.1"),
                                                  Expanded(text::kPackageApplied, "1.1", "1.2")}));
}

TEST_F(PresenterTest, EveryFailureLogsItsText) {
    presenter.Initialize();  // the startup texts are in force until a package is read
    const auto t = [this](uint32_t id) { return Text(id); };
    const std::string failed = t(text::kFailed);
    // clang-format off
    const struct {
        uint32_t code;
        intptr_t param;
        std::vector<std::string> lines;  // before the rollback's two
    } cases[] = {
        {EV_FAILED, result::kReadProgramFile,          {t(text::kErrorReadProgramFile), failed}},
        {EV_FAILED, result::kNotAPackage,              {t(text::kErrorNotAPackage), failed}},
        {EV_FAILED, result::kUnknownVersion,           {t(text::kErrorUnknownVersion), failed}},
        {EV_FAILED, result::kOldFileMissing,           {t(text::kErrorOldFileMissing), failed}},
        {EV_FAILED, result::kOpenOldFile,              {t(text::kErrorOpenOldFile), failed}},
        {EV_FAILED, result::kReadOldFile,              {t(text::kErrorReadOldFile), failed}},
        {EV_FAILED, result::kNoTargetFolder,           {t(text::kErrorNoTargetFolder), Expanded(text::kErrorNotInstalled, "App"), failed}},
        {EV_FAILED, result::kOldFileDiffersMd5,        {t(text::kErrorOldFileDiffersMd5), failed}},
        {EV_FAILED, result::kOldFileDiffersDateSize,   {t(text::kErrorOldFileDiffersDateSize), failed}},
        {EV_FAILED, result::kRenameToBackup,           {t(text::kErrorRenameToBackup), failed}},
        {EV_FAILED, result::kOpenNewFile,              {t(text::kErrorOpenNewFile), failed}},
        {EV_FAILED, result::kWriteNewFile,             {t(text::kErrorWriteNewFile), failed}},
        {EV_FAILED, result::kBadDifferenceData,        {t(text::kErrorBadDifferenceData), failed}},
        {EV_FAILED, result::kUnknownDifferenceVersion, {t(text::kErrorUnknownDifferenceVersion), failed}},
        {EV_FAILED, result::kPackageDigestMismatch,    {t(text::kErrorPackageDigestMismatch), failed}},
        {EV_FAILED, result::kListProcesses,            {t(text::kErrorListProcesses), failed}},
        {EV_FAILED, result::kAddedFileExists,          {t(text::kErrorAddedFileExists), failed}},
        {EV_FAILED, result::kJournal,                  {Builtin(text::kErrorJournal), failed}},
        {EV_FAILED, result::kRecoveryIncomplete,       {Builtin(text::kErrorRecovery), failed}},
        {EV_FAILED, 0x20000,                           {failed}},
        {EV_FAILED, result::kOpenProgramFile,          {failed}},
        {EV_CANCELLED, 0,                              {t(text::kCancelled)}},
        {EV_PROGRAM_RUNNING, 0,                        {Expanded(text::kProgramRunning, "App")}},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.param);
        context.failed = 0;
        view = RecordingView();
        presenter.Initialize();
        const int waited = worker.finished;
        presenter.HandleEvent(c.code, c.param);
        std::vector<std::string> expected = c.lines;
        expected.push_back(t(text::kRestoring));
        expected.push_back(t(text::kRestored));
        EXPECT_EQ(view.log, expected);
        EXPECT_EQ(context.failed, 1u);
        EXPECT_FALSE(view.checkBoxEnabled);
        EXPECT_EQ(view.buttonText, t(text::kCloseButton));
        EXPECT_TRUE(view.buttonEnabled);
        EXPECT_EQ(worker.finished, waited + 1);
        const bool openFailure = c.param == static_cast<intptr_t>(result::kOpenProgramFile);
        EXPECT_EQ(view.openFailure, openFailure ? t(text::kErrorOpenProgramFile) : "");
        EXPECT_EQ(view.closed, openFailure ? 1 : 0);
    }
}

// Lines are cut at whole characters: those of code page 932 where texts are
// held in it (Windows), those of UTF-8 where they are held in UTF-8.
TEST_F(PresenterTest, CutNeverSplitsACharacter) {
    WindowsCodePages windows(Os());
    PlatformScope scope(windows);
    for (const auto& [codePage, character] : std::vector<std::pair<uint32_t, std::string>>{
             {932, "\x82\xA0"}, {kUtf8CodePage, "\u3042"}}) {
        SCOPED_TRACE(codePage);
        presenter.Initialize();
        context.textCodePage = codePage;
        // 1 single byte then wide characters: the limit falls inside one.
        std::string text = "a";
        while (text.size() < 400) text += character;
        std::strcpy(context.texts[text::kSeparator], text.substr(0, 256).c_str());
        view.log.clear();
        presenter.HandleEvent(EV_SEPARATOR, 0);
        presenter.HandleEvent(EV_CHECK_RUNNING, reinterpret_cast<intptr_t>(text.c_str()));
        ASSERT_EQ(view.log.size(), 2u);
        for (const std::string& line : view.log) {
            EXPECT_LE(line.size(), kLogLineLimit);
            EXPECT_EQ(line.compare(line.size() - character.size(), character.size(), character), 0)
                << "a character was split";
        }
        // The prefix of a detail line counts too.
        const std::string path(600, 'x');
        presenter.HandleEvent(EV_HASHING_FILE, reinterpret_cast<intptr_t>(path.c_str()));
        EXPECT_EQ(view.log.back().size(), kLogLineLimit);
    }
}

// One updated file with its backup beside it and both changes in the
// journal, as a run leaves them.
class PresenterBackupTest : public PresenterTest {
  protected:
    void SetUp() override {
        PresenterTest::SetUp();
        std::strcpy(context.targetFolder, (folder.path() + "\\").c_str());
        PrepareRun();
    }
    void PrepareRun() {
        ForgetJournal(context.journal);
        std::remove(NativePath(journal).c_str());
        context.packages.clear();
        context.packages.emplace_back();
        PackageRef& package = context.packages.back();
        std::strcpy(package.oldVersionLabel, "1.0");
        package.backupPaths.push_back(file);
        package.folderLength = static_cast<uint32_t>(std::strlen(context.targetFolder));
        Change change;
        std::strcpy(change.path, file.c_str());
        ASSERT_TRUE(BuildBackupPath(file.c_str(), "1.0", change.backup));
        backup = change.backup;
        for (const ChangeKind kind : {ChangeKind::kBackup, ChangeKind::kWrite}) {
            change.kind = kind;
            ASSERT_EQ(RecordChange(context, package, change), result::kSuccess);
        }
        ASSERT_TRUE(WriteFile(file, "new"));
        ASSERT_TRUE(WriteFile(backup, "old"));
    }

    TempFolder folder;
    std::string file = folder / "app.exe";
    std::string backup;
    std::string journal = folder / kJournalName;
};

// How a run ends, and what Close leaves of the file and its backup.
TEST_F(PresenterBackupTest, EndingsAndTheDeleteBackupsBox) {
    const struct {
        const char* what;
        uint32_t autoFinish;
        uint8_t deleteDefault;
        uint32_t finalEvent;
        bool boxAtClose;   // the user's choice before Close (interactive runs)
        bool closedAtEnd;  // closed without waiting for Close
        const char* fileAfter;
        bool backupKept;
    } cases[] = {
        // clang-format off
        {"unattended, default delete",   1, 1, EV_FINISHED,  true,  true,  "new", false},
        {"unattended, default keep",     1, 0, EV_FINISHED,  false, true,  "new", true},
        {"interactive, box checked",     0, 1, EV_FINISHED,  true,  false, "new", false},
        {"interactive, box cleared",     0, 1, EV_FINISHED,  false, false, "new", true},
        // The restored file is never taken for a backup to delete.
        {"cancelled, box checked",       1, 1, EV_CANCELLED, true,  false, "old", false},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        PrepareRun();
        view = RecordingView();
        // As the worker ends a successful run: the journal committed, then the event.
        if (c.finalEvent == EV_FINISHED) {
            ASSERT_EQ(CommitJournal(context), result::kSuccess);
        }
        context.autoFinish = c.autoFinish;
        context.deleteBackupsDefault = c.deleteDefault;
        presenter.Initialize();
        presenter.HandleEvent(EV_DELETE_DEFAULT, 0);
        presenter.HandleEvent(EV_READY, 0);
        if (c.finalEvent == EV_CANCELLED) presenter.OnCancelCommand();
        presenter.HandleEvent(c.finalEvent, 0);
        EXPECT_EQ(view.closed, c.closedAtEnd ? 1 : 0);
        if (!c.closedAtEnd) {
            EXPECT_EQ(PathExists(backup), c.finalEvent == EV_FINISHED) << "nothing before Close";
            EXPECT_EQ(PathExists(journal), c.finalEvent == EV_FINISHED)
                << "the journal stays until the backups are dealt with";
            view.checkBoxChecked = c.boxAtClose;
            presenter.OnCancelCommand();
            EXPECT_EQ(view.closed, 1);
        }
        EXPECT_EQ(ReadFile(file), c.fileAfter);
        EXPECT_EQ(PathExists(backup), c.backupKept);
        EXPECT_FALSE(PathExists(journal));
    }
}

// A file held open by another program cannot be put back: the log names it
// and its backup, never says "restored", the journal stays for the next start,
// and Close keeps the backup, the only old copy, whatever the box says.
TEST_F(PresenterBackupTest, RollbackThatCannotRestoreAFileSaysSoAndKeepsTheBackup) {
    FileHandle held = kInvalidFile;
    ASSERT_EQ(
        Os().Open(file.c_str(), kGenericRead, kShareNone, kOpenExisting, kAttributeNormal, &held),
        0u);
    context.deleteBackupsDefault = 1;
    presenter.Initialize();
    presenter.HandleEvent(EV_DELETE_DEFAULT, 0);
    presenter.HandleEvent(EV_FAILED, static_cast<intptr_t>(result::kReadOldFile));
    Os().Close(held);

    const std::vector<std::string> tail(view.log.end() - 4, view.log.end());
    EXPECT_EQ(tail, (std::vector<std::string>{Text(1023), Builtin(text::kNotRestored, file.c_str()),
                                              Builtin(text::kBackupRemains, backup.c_str()),
                                              Builtin(text::kRestoreFailed)}));
    EXPECT_EQ(ReadFile(file), "new");
    EXPECT_TRUE(PathExists(journal));
    EXPECT_EQ(context.failed, 1u);
    view.checkBoxChecked = true;
    presenter.OnCancelCommand();
    EXPECT_EQ(view.closed, 1);
    EXPECT_EQ(ReadFile(backup), "old");
}

}  // namespace
}  // namespace pkx::test
