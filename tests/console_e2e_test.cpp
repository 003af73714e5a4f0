// The console updater as its users run it: a self-extracting file made of the
// built pkxupdate and a package, run as its own process with answers on
// standard input and the log read from standard output.
#ifndef _WIN32

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "package/writer/delta_writer.h"
#include "tests/console_process.h"
#include "tests/worker_fixtures.h"

#ifdef PKX_CONSOLE_UPDATER

namespace pkx::test {
namespace {

using packwriter::PackageModel;

constexpr int kTimeLimit = 120000;
// A signal that is not taken leaves the updater waiting for input.
constexpr int kSignalTimeLimit = 20000;

// Built-in texts of the English table, which a UTF-8 locale of any language
// but Japanese shows.
const std::string kReady = "Reading information from the update package...";         // 1017
const std::string kStopping = "Stopping the update...";                              // 1018
const std::string kFinished = "The update has been applied.";                        // 1019
const std::string kFailed = "An error occurred while applying the update.";          // 1020
const std::string kCancelled = "The update was cancelled.";                          // 1021
const std::string kRestored = "The files changed so far have been restored.";        // 1024
const std::string kDeleteQuestion = "Delete the backup files (*.old) when closing";  // 1007
const std::string kUnknownDelta =
    "[Error] The difference data has an unknown format version.";  // 1056
const std::string kWrongPassword =
    "The password is incorrect.\nPlease check it and enter it again.";  // 1063
const std::string kNoFolder = "Please enter the folder to update.";     // 1067
const std::string kFolderMissing = "The folder does not exist.";        // 1068
const std::string kTryNext =
    "A file of the old version differs. Trying the next update...";  // 1069

// Under a UTF-8 locale of no particular language the system code page is 1252.
const std::vector<std::string> kUtf8Locale = {"LC_ALL=C.UTF-8"};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

bool HasLine(const std::string& text, const std::string& line) {
    for (const std::string& candidate : Lines(text)) {
        if (candidate == line) return true;
    }
    return false;
}

size_t Occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

struct Outcome {
    int exitCode = -2;
    std::string out;
    std::string err;
};

// The installation a package updates from 1.0 to 2.0, before and after.
struct SampleVersions {
    Files before = {
        {"app.exe", Pattern(3000, 1)},
        {"sub\\data.bin", Pattern(500, 2)},
        {"readme.txt", "Sample 1.0\n"},
        {"obsolete.txt", "gone in 2.0\n"},
    };
    Files after = {
        {"app.exe", Edited(Pattern(3000, 1), 1000, 100, 3)},
        {"sub\\data.bin", Pattern(500, 2)},
        {"readme.txt", "Sample 1.0\n"},
        {"plugins\\new.dll", Pattern(700, 4)},
    };
};

class ConsoleUpdaterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::optional<std::string> updater = ReadFile(PKX_CONSOLE_UPDATER);
        ASSERT_TRUE(updater.has_value()) << PKX_CONSOLE_UPDATER;
        stub_ = ToBytes(*updater);
        if (stub_.size() > kPayloadOffset) {
#ifdef __SANITIZE_ADDRESS__
            GTEST_SKIP() << "the instrumented updater does not fit before its payload";
#else
            FAIL() << "pkxupdate has " << stub_.size() << " bytes; the payload starts at "
                   << kPayloadOffset;
#endif
        }
    }

    // A package updating `folder` from `versions.before` to `versions.after`
    // with one record of each kind.
    PackageModel SamplePackage(const SampleVersions& versions, uint8_t deleteDefault = 1) {
        PackageModel model = FixedFolderModel(installation.path(), "1.0", "2.0");
        model.deleteBackupsDefault = deleteDefault;
        model.updates.push_back(
            UpdateRecord("app.exe", versions.before.at("app.exe"), versions.after.at("app.exe")));
        model.adds.push_back(AddRecord("plugins\\new.dll", versions.after.at("plugins\\new.dll")));
        model.deletes.push_back(DeleteRecord("obsolete.txt", versions.before.at("obsolete.txt")));
        return model;
    }

    // pkxupdate with `payload` behind it, as an executable file.
    std::string WriteUpdater(const Bytes& payload) {
        Bytes file;
        std::string error;
        EXPECT_TRUE(packwriter::BuildSelfExtracting(stub_, payload, &file, &error)) << error;
        const std::string path = program / "update";
        EXPECT_EQ(packwriter::WriteFileBytes(path.c_str(), file), 0u);
        EXPECT_EQ(chmod(NativePath(path).c_str(), 0755), 0);
        return path;
    }

    bool Start(ChildProcess& child, const Bytes& payload, const std::vector<std::string>& arguments,
               const std::vector<std::string>& environment = kUtf8Locale) {
        const std::string path = WriteUpdater(payload);
        return child.Start(NativePath(path), arguments, NativePath(program.path()), environment);
    }

    Outcome Run(const Bytes& payload, const std::vector<std::string>& arguments,
                const std::string& input,
                const std::vector<std::string>& environment = kUtf8Locale) {
        ChildProcess child;
        Outcome outcome;
        if (!Start(child, payload, arguments, environment)) {
            ADD_FAILURE() << "cannot start the updater";
            return outcome;
        }
        child.Write(input);
        child.CloseInput();
        outcome.exitCode = child.Finish(kTimeLimit);
        outcome.out = child.out();
        outcome.err = child.err();
        return outcome;
    }

    Files Installed() const { return FilesOf(ListTree(installation.path())); }
    std::string InstalledPath(const std::string& name) const {
        return NativePath(installation / name);
    }

    Bytes stub_;
    TempFolder program;
    TempFolder installation;
};

TEST_F(ConsoleUpdaterTest, UnattendedRunUpdatesAndLogsInTheTerminalEncoding) {
    const SampleVersions versions;
    Install(installation.path(), versions.before);
    const Outcome run = Run(BuildOrFail(SamplePackage(versions)), {"-F"}, "");

    EXPECT_EQ(run.exitCode, 0) << run.out;
    EXPECT_EQ(Difference(Installed(), versions.after), "") << "backups must be deleted too";
    const std::string folder = NativePath(installation.path());
    EXPECT_TRUE(HasLine(run.out, "== pkx Self Extract Updater ver.1.50 =="));
    EXPECT_TRUE(HasLine(run.out, "== Test Product Updater (1.0 -> 2.0) =="));
    EXPECT_TRUE(HasLine(run.out, "Updates Test Product from version 1.0 to version 2.0"));
    EXPECT_TRUE(HasLine(run.out, "Copyright: (c) Test"));
    EXPECT_TRUE(HasLine(run.out, "Folder to update [" + folder + "/]"));
    EXPECT_TRUE(HasLine(run.out, "[" + folder + "/app.exe] Updating..."));
    EXPECT_TRUE(HasLine(run.out, "[" + folder + "/obsolete.txt] Deleting..."));
    EXPECT_TRUE(HasLine(run.out, kReady));
    EXPECT_TRUE(HasLine(run.out, kFinished));
    EXPECT_EQ(run.out.find(kDeleteQuestion), std::string::npos) << "-F asks nothing";
    // Standard error is no terminal: no progress drawing.
    EXPECT_EQ(run.err, "");
}

// The last progress line drawn on standard error: what follows the last erase.
std::string LastDrawn(const std::string& err) {
    const size_t at = err.rfind("\r\x1b[K");
    if (at == std::string::npos) return "(nothing drawn)";
    const std::string line = err.substr(at + 4);
    return line.substr(0, line.find_first_of("\r\n"));
}

TEST_F(ConsoleUpdaterTest, ProgressIsDrawnOnATerminalToItsWidth) {
    const std::string full = "[############] 100.0%  [############] 100.0%";
    // One column stays free, so the cursor never wraps.
    const std::pair<unsigned short, std::string> cases[] = {
        {80, full + "  Finished"}, {50, full + "  Fin"}, {40, full.substr(0, 39)}};
    for (const auto& [columns, last] : cases) {
        SCOPED_TRACE(columns);
        const SampleVersions versions;
        Install(installation.path(), versions.before);
        ChildProcess child;
        child.UseTerminalForErrors(columns);
        ASSERT_TRUE(Start(child, BuildOrFail(SamplePackage(versions)), {"-F"}));
        child.CloseInput();
        EXPECT_EQ(child.Finish(kTimeLimit), 0) << child.out();
        EXPECT_EQ(LastDrawn(child.err()), last);
        EXPECT_EQ(child.out().find('\x1b'), std::string::npos) << "no drawing in the log";
        if (columns == 80) {
            EXPECT_NE(child.err().find("\r\x1b[K[............]   0.0%  [............]   0.0%"),
                      std::string::npos);
            // The status of an update: base name, extension, then the rest of text 1012.
            EXPECT_NE(child.err().find("  Updating app.exe..."), std::string::npos);
        }
        EXPECT_EQ(Difference(Installed(), versions.after), "");
        for (const auto& [name, content] : Installed()) std::remove(InstalledPath(name).c_str());
    }
}

TEST_F(ConsoleUpdaterTest, AnswersComeFromStandardInput) {
    const SampleVersions versions;
    Install(installation.path(), versions.before);
    PackageModel model = SamplePackage(versions);
    // "pässword" in the system code page (1252): typed in UTF-8, it must be
    // converted before it is hashed.
    packwriter::SetPassword(model, "p\xE4ssword");
    model.folderSources = {{0, 0, "", "", "", {}}};
    model.noticeBlocks = {{0, "Read this first.", "Read this last."}};

    const std::string input =
        "maybe\ny\n"                // confirmation, asked twice
        "wrong\np\xC3\xA4ssword\n"  // password
        "\n/no/such/folder\n" +     // folder: empty, missing,
        NativePath(installation.path()) +
        "/\n"   // then the right one
        "\n\n"  // both notices
        "n\n";  // keep the backups
    const Outcome run = Run(BuildOrFail(model), {}, input);

    EXPECT_EQ(run.exitCode, 0) << run.out;
    EXPECT_EQ(Occurrences(run.out, " [y/n] "), 2u);
    EXPECT_EQ(Occurrences(run.out, kWrongPassword), 1u) << run.out;
    EXPECT_EQ(Occurrences(run.out, kNoFolder), 1u);
    EXPECT_EQ(Occurrences(run.out, kFolderMissing), 1u);
    EXPECT_NE(run.out.find("Read this first."), std::string::npos);
    EXPECT_NE(run.out.find("Read this last."), std::string::npos);
    EXPECT_NE(run.out.find(kDeleteQuestion + " [Y/n] "), std::string::npos);
    EXPECT_TRUE(HasLine(run.out, kFinished));

    Files expected = versions.after;
    expected["app.exe.1.0.old"] = versions.before.at("app.exe");
    expected["obsolete.txt.1.0.old"] = versions.before.at("obsolete.txt");
    EXPECT_EQ(Difference(Installed(), expected), "");
}

// The updater is started in "/": a relative answer still means a folder
// beside the updater. "/" names the root, which, as a name ending in a
// separator, is never taken for an existing folder.
TEST_F(ConsoleUpdaterTest, FolderAnswers) {
    const SampleVersions versions;
    Install(program / "app", versions.before);
    PackageModel model = SamplePackage(versions);
    model.folderSources = {{0, 0, "", "", "", {}}};
    const Bytes package = BuildOrFail(model);
    const struct {
        std::string answer;
        int exitCode;
        std::string line;
    } cases[] = {
        {"app\n", 0, "Folder to update [app/]"},
        {"/\n", 255, kFolderMissing},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        ChildProcess child;
        ASSERT_TRUE(child.Start(NativePath(WriteUpdater(package)), {"-F"}, "/", kUtf8Locale));
        child.Write(c.answer);
        child.CloseInput();
        EXPECT_EQ(child.Finish(kTimeLimit), c.exitCode) << child.out();
        EXPECT_TRUE(HasLine(child.out(), c.line)) << child.out();
        EXPECT_EQ(child.out().find(kNoFolder), std::string::npos);
        EXPECT_EQ(child.out().find("Updating...") != std::string::npos, c.exitCode == 0);
    }
    EXPECT_EQ(Difference(FilesOf(ListTree(program / "app")), versions.after), "");
}

TEST_F(ConsoleUpdaterTest, OverlongPasswordIsCutAsTheDialogsFieldCutsIt) {
    const SampleVersions versions;
    Install(installation.path(), versions.before);
    PackageModel model = SamplePackage(versions);
    packwriter::SetPassword(model, std::string(259, 'x'));
    const Outcome run = Run(BuildOrFail(model), {"-F"}, std::string(300, 'x') + "\n");
    EXPECT_EQ(run.exitCode, 0) << run.out;
    EXPECT_EQ(run.out.find(kWrongPassword), std::string::npos);
    EXPECT_EQ(Difference(Installed(), versions.after), "");
}

TEST_F(ConsoleUpdaterTest, DeleteBackupsQuestionTakesTheAnswerOrTheDefault) {
    struct Case {
        uint8_t deleteDefault;
        std::string answer;
        bool deleted;
    };
    const Case cases[] = {
        {1, "n\n", false}, {1, "\n", true}, {0, "", false}, {0, "YES\n", true}, {0, "\n", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE("default " + std::to_string(c.deleteDefault) + ", answer '" + c.answer + "'");
        const SampleVersions versions;
        Install(installation.path(), versions.before);
        const Outcome run =
            Run(BuildOrFail(SamplePackage(versions, c.deleteDefault)), {}, "y\n" + c.answer);
        EXPECT_EQ(run.exitCode, 0) << run.out;
        EXPECT_NE(run.out.find(kDeleteQuestion + (c.deleteDefault ? " [Y/n] " : " [y/N] ")),
                  std::string::npos);
        EXPECT_EQ(PathExists(installation / "app.exe.1.0.old"), !c.deleted);
        EXPECT_EQ(PathExists(installation / "obsolete.txt.1.0.old"), !c.deleted);
        // The next case starts from the old installation again.
        for (const auto& [name, content] : Installed()) std::remove(InstalledPath(name).c_str());
    }
}

TEST_F(ConsoleUpdaterTest, RefusedConfirmationTouchesNothing) {
    for (const std::string answer : {"n\n", "no\n", ""}) {
        SCOPED_TRACE("answer '" + answer + "'");
        const SampleVersions versions;
        Install(installation.path(), versions.before);
        const Outcome run = Run(BuildOrFail(SamplePackage(versions)), {}, answer);
        EXPECT_EQ(run.exitCode, 255);
        EXPECT_TRUE(HasLine(run.out, kCancelled)) << run.out;
        EXPECT_EQ(run.out.find("Updating"), std::string::npos);
        EXPECT_EQ(Difference(Installed(), versions.before), "");
    }
}

TEST_F(ConsoleUpdaterTest, FailedUpdateIsRolledBack) {
    const SampleVersions versions;
    Install(installation.path(), versions.before);
    PackageModel model = SamplePackage(versions);
    // The second update's difference stream has an unknown version: it fails
    // after app.exe has been rebuilt.
    packwriter::UpdateRecordModel broken =
        UpdateRecord("sub\\data.bin", versions.before.at("sub\\data.bin"), Pattern(500, 9));
    broken.data = packwriter::DeltaStreamWriter(64, 999).End().Take();
    model.updates.push_back(broken);

    // Asked, not unattended: a failed run has no backups to delete.
    const Outcome run = Run(BuildOrFail(model), {}, "y\ny\n");

    EXPECT_EQ(run.exitCode, 255);
    EXPECT_EQ(run.out.find(kDeleteQuestion), std::string::npos);
    EXPECT_TRUE(HasLine(run.out, "[" + NativePath(installation / "app.exe") + "] Updating..."));
    EXPECT_TRUE(HasLine(run.out, kUnknownDelta)) << run.out;
    EXPECT_TRUE(HasLine(run.out, kFailed));
    EXPECT_TRUE(HasLine(run.out, kRestored));
    EXPECT_EQ(Difference(Installed(), versions.before), "");
}

// Ctrl-C in the middle of the file operations. The updater's output pipe is
// kept small and left unread once the first small file is being updated, so
// the updater blocks writing its log with the rest of the run still ahead:
// the signal arrives after the big file and some small ones have been
// rewritten, whatever the machine's speed.
TEST_F(ConsoleUpdaterTest, InterruptDuringALargeUpdateRollsEverythingBack) {
    SampleVersions versions;
    const std::string big = Pattern(64u << 20, 7);
    versions.before["big.bin"] = big;
    versions.after["big.bin"] = Edited(big, 40u << 20, 4096, 8);
    PackageModel model = SamplePackage(versions);
    model.updates.push_back(UpdateRecord("big.bin", big, versions.after.at("big.bin"), 0));
    for (int i = 0; i < 200; ++i) {
        const std::string name = "small\\file" + std::to_string(1000 + i) + ".txt";
        versions.before[name] = "old " + std::to_string(i);
        versions.after[name] = "new " + std::to_string(i);
        model.updates.push_back(UpdateRecord(name, versions.before[name], versions.after[name]));
    }
    Install(installation.path(), versions.before);

    ChildProcess child;
    ASSERT_TRUE(Start(child, BuildOrFail(model), {"-F"}));
    child.CloseInput();
    ASSERT_TRUE(child.LimitOutputPipe());
    ASSERT_TRUE(child.WaitForOutput("file1000.txt] Updating...\n", kTimeLimit)) << child.out();
    // Ctrl-C pressed repeatedly and the terminal closing: one cancellation,
    // and the process still ends by itself after the rollback.
    child.Signal(SIGINT);
    child.Signal(SIGINT);
    child.Signal(SIGHUP);
    child.Signal(SIGTERM);
    EXPECT_EQ(child.Finish(kTimeLimit), 255) << child.out();

    EXPECT_EQ(Occurrences(child.out(), kStopping), 1u) << child.out();
    EXPECT_TRUE(HasLine(child.out(), kCancelled));
    EXPECT_TRUE(HasLine(child.out(), kRestored));
    EXPECT_EQ(child.out().find("file1199.txt] Updating"), std::string::npos);
    EXPECT_EQ(Difference(Installed(), versions.before), "");
}

// Ctrl-C while the package is checked, before Cancel can be given, is kept
// until it can: the run stops before any file changes.
TEST_F(ConsoleUpdaterTest, InterruptDuringThePackageCheckCancelsOnceCancelIsPossible) {
    SampleVersions versions;
    PackageModel model = SamplePackage(versions);
    // Content enough to keep the integrity check busy for a while.
    model.adds.push_back(AddRecord("big.bin", Pattern(64u << 20, 9)));
    Install(installation.path(), versions.before);

    ChildProcess child;
    ASSERT_TRUE(Start(child, BuildOrFail(model), {"-F"}));
    child.CloseInput();
    ASSERT_TRUE(
        child.WaitForOutput("Checking the integrity of the update package...\n", kTimeLimit))
        << child.out();
    child.Signal(SIGINT);
    EXPECT_EQ(child.Finish(kTimeLimit), 255) << child.out();
    EXPECT_EQ(Occurrences(child.out(), kStopping), 1u) << child.out();
    EXPECT_TRUE(HasLine(child.out(), kCancelled));
    EXPECT_EQ(child.out().find("Updating..."), std::string::npos);
    EXPECT_EQ(Difference(Installed(), versions.before), "");
}

// The updater killed outright (SIGKILL) at several moments of an update of
// many files. The next updater to run in the folder, even one with nothing
// to update, first puts back exactly the old files, or keeps the new ones
// when the update had completed; the updater then runs as usual.
TEST_F(ConsoleUpdaterTest, KilledUpdateIsRestoredByTheNextStart) {
    SampleVersions versions;
    PackageModel model = SamplePackage(versions);
    for (int i = 0; i < 40; ++i) {
        const std::string name = "files\\file" + std::to_string(100 + i) + ".bin";
        versions.before[name] = Pattern(100000, 20 + i);
        versions.after[name] = Edited(versions.before[name], 5000, 3000, 60 + i);
        model.updates.push_back(UpdateRecord(name, versions.before[name], versions.after[name]));
    }
    const Bytes package = BuildOrFail(model);
    const Bytes nothing = BuildOrFail(FixedFolderModel(installation.path(), "2.0", "2.0"));
    const std::string found = "A record of an interrupted update was found";
    const std::string restored = "The state before the interrupted update has been restored.";

    const std::vector<std::string> moments = {
        "Folder to update [",         "file100.bin] Updating...\n",  "file115.bin] Updating...\n",
        "file139.bin] Updating...\n", "obsolete.txt] Deleting...\n", kFinished + "\n"};
    int recovered = 0;
    for (const std::string& moment : moments) {
        SCOPED_TRACE(moment);
        for (const auto& [name, content] : Installed()) std::remove(InstalledPath(name).c_str());
        Install(installation.path(), versions.before);
        ChildProcess child;
        ASSERT_TRUE(Start(child, package, {"-F"}));
        child.CloseInput();
        // Left unread from here, the log fills its pipe and the updater waits.
        ASSERT_TRUE(child.LimitOutputPipe());
        ASSERT_TRUE(child.WaitForOutput(moment, kTimeLimit)) << child.out();
        child.Signal(SIGKILL);
        child.Finish(kTimeLimit);

        const Outcome probe = Run(nothing, {"-F"}, "");
        EXPECT_EQ(probe.exitCode, 0) << probe.out;
        const bool journal = probe.out.find(found) != std::string::npos;
        recovered += journal && probe.out.find(restored) != std::string::npos ? 1 : 0;
        Files now = Installed();
        for (auto it = now.begin(); it != now.end();) {
            it = it->first.size() > 4 && it->first.substr(it->first.size() - 4) == ".old"
                     ? now.erase(it)
                     : std::next(it);
        }
        const bool isOld = Installed() == versions.before;
        EXPECT_TRUE(isOld || now == versions.after) << Difference(Installed(), versions.before);

        if (isOld) {
            const Outcome again = Run(package, {"-F"}, "");
            EXPECT_EQ(again.exitCode, 0) << again.out;
            EXPECT_EQ(Difference(Installed(), versions.after), "");
        }
    }
    // Killed in the middle of the file operations at least three times.
    EXPECT_GE(recovered, 3);
    RecordProperty("recovered_kills", recovered);
}

// Ctrl-C, or a request to terminate, at a question answers it as its Cancel
// or No would; a notice, which has neither, closes and the update is
// cancelled. At the delete-backups question after a success it keeps them.
TEST_F(ConsoleUpdaterTest, SignalAtAQuestion) {
    const auto password = [](PackageModel& model) { packwriter::SetPassword(model, "x"); };
    const auto folder = [](PackageModel& model) { model.folderSources = {{0, 0, "", "", "", {}}}; };
    const auto notice = [](PackageModel& model) {
        model.noticeBlocks = {{0, "Read this first.", ""}};
    };
    const auto nothing = [](PackageModel&) {};
    const std::string deleteQuestion = kDeleteQuestion + " [Y/n] ";
    const struct {
        const char* question;
        int signal;
        std::vector<std::string> arguments;
        std::function<void(PackageModel&)> ask;
        std::string input;
        bool succeeds;  // else cancelled and rolled back
    } cases[] = {
        {" [y/n] ", SIGINT, {}, nothing, "", false},
        {" [y/n] ", SIGTERM, {}, nothing, "", false},
        {"Please enter the password: ", SIGINT, {"-F"}, password, "", false},
        {"Please enter the password: ", SIGTERM, {"-F"}, password, "", false},
        {"Enter the folder to update: ", SIGINT, {"-F"}, folder, "", false},
        {"--- [Enter] ---", SIGINT, {"-F"}, notice, "", false},
        {"--- [Enter] ---", SIGTERM, {"-F"}, notice, "", false},
        {deleteQuestion.c_str(), SIGINT, {}, nothing, "y\n", true},
        {deleteQuestion.c_str(), SIGTERM, {}, nothing, "y\n", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.question) + (c.signal == SIGINT ? " Ctrl-C" : " SIGTERM"));
        const SampleVersions versions;
        Install(installation.path(), versions.before);
        PackageModel model = SamplePackage(versions);
        c.ask(model);
        ChildProcess child;
        ASSERT_TRUE(Start(child, BuildOrFail(model), c.arguments));
        child.Write(c.input);
        ASSERT_TRUE(child.WaitForOutput(c.question, kTimeLimit)) << child.out();
        child.Signal(c.signal);
        EXPECT_EQ(child.Finish(kSignalTimeLimit), c.succeeds ? 0 : 255) << child.out();
        EXPECT_TRUE(HasLine(child.out(), c.succeeds ? kFinished : kCancelled)) << child.out();
        Files expected = c.succeeds ? versions.after : versions.before;
        if (c.succeeds) {
            expected["app.exe.1.0.old"] = versions.before.at("app.exe");
            expected["obsolete.txt.1.0.old"] = versions.before.at("obsolete.txt");
        } else {
            EXPECT_TRUE(HasLine(child.out(), kRestored));
        }
        EXPECT_EQ(Difference(Installed(), expected), "");
        for (const auto& [name, content] : Installed()) std::remove(InstalledPath(name).c_str());
    }
}

TEST_F(ConsoleUpdaterTest, HelpAndVersionPrintAndTouchNothing) {
    const SampleVersions versions;
    Install(installation.path(), versions.before);
    const Bytes package = BuildOrFail(SamplePackage(versions));
    const Outcome help = Run(package, {"--help"}, "y\n");
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.out.rfind("Usage: update [-F]\n", 0), 0u) << help.out;
    EXPECT_NE(help.out.find("255"), std::string::npos) << "the exit codes are listed";
    const Outcome version = Run(package, {"--version"}, "y\n");
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, "pkx Self Extract Updater ver.1.50\n");
    EXPECT_EQ(help.err + version.err, "");
    EXPECT_EQ(Difference(Installed(), versions.before), "");
}

// Names are UTF-8 bytes whatever the locale, and every text is printed in
// UTF-8: the built-in texts of the locale's language, the texts of a
// package's language block from the block's code page, and lines that mix
// them.
struct LocaleCase {
    std::string locale;
    std::string adding;      // text 1031 after the path
    std::string finished;    // text 1019
    std::string tryNext;     // text 1069 for a package below version 130
    std::string detailLine;  // the prefix and text 1028 of the block, around a path
};

const LocaleCase kLocales[] = {
    {"ja_JP.UTF-8", "新規に追加中です...", "差分ファイルの適用が終了しました.",
     "旧バージョンのファイル内容が異なります。次の差分データの適用を試みます。",
     "\u3000\u3000--> [%] Prüfsumme..."},
    {"en_US.UTF-8", "Adding...", kFinished, kTryNext, "    --> [%] Prüfsumme..."},
    {"C.UTF-8", "Adding...", kFinished, kTryNext, "    --> [%] Prüfsumme..."},
};

std::string WithPath(const std::string& line, const std::string& path) {
    const size_t at = line.find('%');
    return line.substr(0, at) + path + line.substr(at + 1);
}

TEST_F(ConsoleUpdaterTest, JapaneseAndAccentedNamesInEveryLocale) {
    SampleVersions versions;
    for (const char* name : {"データ\\ぁ\\表示.txt", "Café\\crème brûlée.txt"}) {
        versions.after[name] = name;
    }
    for (const LocaleCase& c : kLocales) {
        SCOPED_TRACE(c.locale);
        Install(installation.path(), versions.before);
        PackageModel model = SamplePackage(versions);
        for (const char* name : {"データ\\ぁ\\表示.txt", "Café\\crème brûlée.txt"}) {
            model.adds.push_back(AddRecord(name, name));
        }
        const Outcome run = Run(BuildOrFail(model), {"-F"}, "", {"LC_ALL=" + c.locale});
        EXPECT_EQ(run.exitCode, 0) << run.out;
        EXPECT_EQ(Difference(Installed(), versions.after), "");
        const std::string folder = NativePath(installation.path());
        EXPECT_TRUE(HasLine(run.out, "[" + folder + "/データ/ぁ/表示.txt] " + c.adding)) << run.out;
        EXPECT_TRUE(HasLine(run.out, "[" + folder + "/Café/crème brûlée.txt] " + c.adding));
        EXPECT_TRUE(HasLine(run.out, c.finished));
        for (const auto& [name, content] : Installed()) std::remove(InstalledPath(name).c_str());
    }
}

// A container of two version 125 packages, each with one language block of
// code page 1252 that lacks texts 1069 to 1071: the first package does not
// fit and is skipped.
TEST_F(ConsoleUpdaterTest, BlockTextsAndBuiltInTextsMixInEveryLocale) {
    const SampleVersions versions;
    packwriter::LanguageBlockModel german;
    german.codePage = 1252;
    german.fontFace = "Arial";
    german.fontHeight = 12;
    for (uint32_t id = 1000; id < 1069; ++id) german.texts.push_back("Text " + std::to_string(id));
    german.texts[28] =
        "[%s] Pr\xFC"
        "fsumme...";  // 1028
    PackageModel older = FixedFolderModel(installation.path(), "0.9", "1.0");
    older.version = 125;
    older.languageBlocks.push_back(german);
    older.updates.push_back(UpdateRecord("app.exe", Pattern(3000, 5), Pattern(3000, 6)));
    PackageModel current = SamplePackage(versions);
    current.version = 125;
    current.hasNewCheckValues = 0;
    current.languageBlocks.push_back(german);
    const Bytes payload = ContainerOf({BuildOrFail(older), BuildOrFail(current)});

    for (const LocaleCase& c : kLocales) {
        SCOPED_TRACE(c.locale);
        Install(installation.path(), versions.before);
        const Outcome run = Run(payload, {"-F"}, "", {"LC_ALL=" + c.locale});
        EXPECT_EQ(run.exitCode, 0) << run.out;
        EXPECT_TRUE(HasLine(run.out, c.tryNext)) << run.out;
        EXPECT_TRUE(HasLine(run.out, WithPath(c.detailLine, NativePath(installation / "app.exe"))));
        EXPECT_EQ(Difference(Installed(), versions.after), "");
        for (const auto& [name, content] : Installed()) std::remove(InstalledPath(name).c_str());
    }
}

TEST_F(ConsoleUpdaterTest, DocumentIsHandedToTheDesktopOpener) {
    const SampleVersions versions;
    PackageModel model = SamplePackage(versions);
    model.documentName = "readme.txt";
    const Bytes package = BuildOrFail(model);

    TempFolder tools;
    const std::string record = NativePath(tools / "opened");
    ASSERT_TRUE(WriteFile(tools / "xdg-open", "#!/bin/sh\necho \"$(pwd -P)|$1\" > " + record +
                                                  ".part\nmv " + record + ".part " + record +
                                                  "\n"));
    ASSERT_EQ(chmod(NativePath(tools / "xdg-open").c_str(), 0755), 0);

    Install(installation.path(), versions.before);
    const Outcome opened =
        Run(package, {"-F"}, "", {"LC_ALL=C.UTF-8", "PATH=" + NativePath(tools.path()) + ":/bin"});
    EXPECT_EQ(opened.exitCode, 0) << opened.out;
    // The opener runs on its own; give it time to write its record.
    for (int i = 0; i < 100 && !PathExists(tools / "opened"); ++i) usleep(100 * 1000);
    const std::string folder = NativePath(installation.path());
    EXPECT_EQ(ReadFile(tools / "opened").value_or("(not opened)"),
              folder + "|" + folder + "/readme.txt\n");

    // Without an opener the run is just as successful.
    for (const auto& [name, content] : Installed()) std::remove(InstalledPath(name).c_str());
    Install(installation.path(), versions.before);
    const Outcome unopened =
        Run(package, {"-F"}, "", {"LC_ALL=C.UTF-8", "PATH=" + NativePath(program.path())});
    EXPECT_EQ(unopened.exitCode, 0) << unopened.out;
    EXPECT_EQ(Difference(Installed(), versions.after), "");
}

}  // namespace
}  // namespace pkx::test

#endif  // PKX_CONSOLE_UPDATER
#endif  // _WIN32
