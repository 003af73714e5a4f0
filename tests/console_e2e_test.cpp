// The console updater as users run it: the built pkxupdate with a package behind
// it, run as a process answered on standard input, its log read from standard output.
#ifndef _WIN32

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "package/writer/delta_writer.h"
#include "platform/posix/code_pages.h"
#include "tests/console_process.h"
#include "tests/worker_fixtures.h"

#ifdef PKX_CONSOLE_UPDATER

namespace pkx::test {
namespace {

using packwriter::PackageModel;
using Change = std::function<void(PackageModel&)>;

constexpr int kTimeLimit = 120000;
// A signal that is not taken leaves the updater waiting for input.
constexpr int kSignalTimeLimit = 20000;

// Built-in texts of the English table, which a UTF-8 locale of any language
// but Japanese shows.
const std::string kFinished = "The update has been applied.";
const std::string kCancelled = "The update was cancelled.";
const std::string kRestored = "The files changed so far have been restored.";
const std::string kDeleteQuestion = "Delete the backup files (*.old) when closing";
const std::string kDeleteYes = kDeleteQuestion + " [Y/n] ", kDeleteNo = kDeleteQuestion + " [y/N] ";
const std::string kWrongPassword =
    "The password is incorrect.\nPlease check it and enter it again.";
const std::string kNoFolder = "Please enter the folder to update.";
const std::string kFolderMissing = "The folder does not exist.";

// Under a UTF-8 locale of no particular language the system code page is 1252.
const std::vector<std::string> kUtf8Locale = {"LC_ALL=C.UTF-8"};

// `text` as a whole line of a log.
std::string Line(const std::string& text) { return "\n" + text + "\n"; }

size_t Occurrences(const std::string& log, const std::string& part) {
    const std::string text = "\n" + log;
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

const Change kAskFolder = [](PackageModel& model) {
    model.folderSources = {{0, 0, "", "", "", {}}};
};

// What a run leaves in the installation.
enum class Left { kOld, kNew, kBackups };  // the new files and the backups

class ConsoleUpdaterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::optional<std::string> updater = ReadFile(PKX_CONSOLE_UPDATER);
        ASSERT_TRUE(updater.has_value()) << PKX_CONSOLE_UPDATER;
        stub_ = ToBytes(*updater);
#ifdef __SANITIZE_ADDRESS__
        if (stub_.size() > kPayloadOffset) GTEST_SKIP() << "the instrumented updater is too big";
#endif
    }

    // A package updating the installation from `before` to `after` with one
    // record of each kind, then `change`d.
    PackageModel SamplePackage(const Change& change = nullptr) {
        PackageModel model = FixedFolderModel(installation.path(), "1.0", "2.0");
        model.deleteBackupsDefault = 1;
        model.updates.push_back(UpdateRecord("app.exe", before.at("app.exe"), after.at("app.exe")));
        model.adds.push_back(AddRecord("plugins\\new.dll", after.at("plugins\\new.dll")));
        model.deletes.push_back(DeleteRecord("obsolete.txt", before.at("obsolete.txt")));
        if (change) change(model);
        return model;
    }

    // pkxupdate with `payload` behind it, started in "/", away from its folder.
    bool Start(ChildProcess& child, const Bytes& payload, const std::vector<std::string>& arguments,
               const std::vector<std::string>& environment = kUtf8Locale) {
        Bytes file;
        std::string error;
        EXPECT_TRUE(packwriter::BuildSelfExtracting(stub_, payload, &file, &error)) << error;
        const std::string path = NativePath(program / "update");
        // A process the last run forked (to start the opener) may still run the
        // old file, which cannot be opened for writing then; a new file can.
        std::remove(path.c_str());
        EXPECT_EQ(packwriter::WriteFileBytes(path.c_str(), file), 0u);
        EXPECT_EQ(chmod(path.c_str(), 0755), 0);
        return child.Start(path, arguments, "/", environment);
    }

    // Runs the updater to its end with `input` on standard input: its exit code.
    int Run(ChildProcess& child, const Bytes& payload, const std::vector<std::string>& arguments,
            const std::string& input, const std::vector<std::string>& environment = kUtf8Locale) {
        if (!Start(child, payload, arguments, environment)) return -2;
        child.Write(input);
        child.CloseInput();
        return child.Finish(kTimeLimit);
    }

    // The old installation again, and nothing else in its folder.
    void Reinstall() {
        std::filesystem::remove_all(NativePath(installation.path()));
        Install(installation.path(), before);
    }
    Files Installed() const { return FilesOf(ListTree(installation.path())); }
    Files Expected(Left left) const {
        if (left == Left::kOld) return before;
        Files files = after;
        if (left == Left::kBackups) {
            files["app.exe.1.0.old"] = before.at("app.exe");
            files["obsolete.txt.1.0.old"] = before.at("obsolete.txt");
        }
        return files;
    }

    Bytes stub_;
    TempFolder program;
    TempFolder installation;
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

// Runs answered from standard input, or unattended (-F): the texts each log
// shows (and how often) and the files left.
TEST_F(ConsoleUpdaterTest, AnswersFromStandardInput) {
    const std::string folder = NativePath(installation.path());
    const auto deleteDefault = [](uint8_t value) {
        return [value](PackageModel& model) { model.deleteBackupsDefault = value; };
    };
    const Change asking = [](PackageModel& model) {
        // "pässword" in the system code page (1252): typed in UTF-8, it must
        // be converted before it is hashed.
        packwriter::SetPassword(model, "p\xE4ssword");
        kAskFolder(model);
        model.noticeBlocks = {{0, "Read this first.", "Read this last."}};
    };
    const std::string inside = folder.substr(folder.rfind('/') + 1);
    const Change overlong = [](PackageModel& model) {
        packwriter::SetPassword(model, std::string(259, 'x'));
    };
    // The second update's difference stream has an unknown version: it fails
    // after app.exe has been rebuilt.
    const Change broken = [this](PackageModel& model) {
        packwriter::UpdateRecordModel record =
            UpdateRecord("sub\\data.bin", before.at("sub\\data.bin"), Pattern(500, 9));
        record.data = packwriter::DeltaStreamWriter(64, 999).End().Take();
        model.updates.push_back(record);
    };
    const std::string appUpdating = Line("[" + folder + "/app.exe] Updating...");
    // A desktop opener that records where it ran and what it was given.
    TempFolder tools;
    const std::string record = NativePath(tools / "opened");
    ASSERT_TRUE(WriteFile(tools / "xdg-open", "#!/bin/sh\necho \"$(pwd -P)|$1\" > " + record +
                                                  ".part\nmv " + record + ".part " + record +
                                                  "\n"));
    ASSERT_EQ(chmod(NativePath(tools / "xdg-open").c_str(), 0755), 0);
    const Change document = [](PackageModel& model) { model.documentName = "readme.txt"; };
    const struct {
        Change change;
        std::vector<std::string> arguments;
        std::string input;
        int exitCode;
        std::vector<std::string> shown;  // each as many times as it is listed
        std::vector<std::string> hidden;
        Left left;
        std::vector<std::string> environment = kUtf8Locale;
    } cases[] = {
        // clang-format off
        // Unattended: asks nothing and deletes the backups by default.
        {nullptr, {"-F"}, "", 0,
         {Line("== pkx Self Extract Updater ver.1.50 =="), Line("== Test Product Updater (1.0 -> 2.0) =="),
          Line("Updates Test Product from version 1.0 to version 2.0"), Line("Copyright: (c) Test"),
          Line("Folder to update [" + folder + "/]"), appUpdating,
          Line("[" + folder + "/obsolete.txt] Deleting..."),
          Line("Reading information from the update package..."), Line(kFinished)},
         {kDeleteQuestion}, Left::kNew},
        // Confirmation asked twice; password wrong, then right; folder empty,
        // missing, then right; both notices; backups kept. Lines end in LF or CR LF.
        {asking, {}, "maybe\ny\r\nwrong\np\xC3\xA4ssword\r\n\n/no/such/folder\n" + folder + "/\n\n\nn\n", 0,
         {" [y/n] ", " [y/n] ", kWrongPassword, kNoFolder, kFolderMissing, "Read this first.",
          "Read this last.", kDeleteYes, Line(kFinished)},
         {}, Left::kBackups},
        // A relative folder means one beside the updater (which runs in "/").
        // "/" names the root, which, as a name ending in a separator, is never
        // taken for an existing folder.
        {kAskFolder, {"-F"}, "../" + inside + "\n", 0, {Line("Folder to update [../" + inside + "/]")},
         {kNoFolder}, Left::kNew},
        {kAskFolder, {"-F"}, "/\n", 255, {Line(kFolderMissing)}, {kNoFolder, "Updating..."}, Left::kOld},
        // An overlong password is cut as the dialog's field cuts it; an
        // overlong line is cut and the rest of it dropped.
        {overlong, {}, "y\n" + std::string(5000, 'x') + "\nn\n", 0, {kDeleteYes}, {kWrongPassword},
         Left::kBackups},
        // The delete-backups question takes the answer (a last line needs no line
        // end) or the package's default.
        {nullptr,          {}, "y\nn\n",   0, {kDeleteYes},   {}, Left::kBackups},
        {nullptr,          {}, "y\n\n",    0, {kDeleteYes},   {}, Left::kNew},
        {deleteDefault(0), {}, "y\n",      0, {kDeleteNo}, {}, Left::kBackups},
        {deleteDefault(0), {}, "y\nYES",   0, {kDeleteNo}, {}, Left::kNew},
        {deleteDefault(0), {}, "y\n\n",    0, {kDeleteNo}, {}, Left::kBackups},
        // A refused confirmation touches nothing.
        {nullptr, {}, "n\n", 255, {Line(kCancelled)}, {"Updating"}, Left::kOld},
        {nullptr, {}, "",    255, {Line(kCancelled)}, {"Updating"}, Left::kOld},
        // Help and version print and touch nothing.
        {nullptr, {"--help"}, "y\n", 0, {"\nUsage: update [-F]\n", "\n  255  "}, {"=="}, Left::kOld},
        {nullptr, {"--version"}, "y\n", 0, {Line("pkx Self Extract Updater ver.1.50")}, {"=="}, Left::kOld},
        // A failed run is rolled back and has no backups to delete.
        {broken, {}, "y\ny\n", 255,
         {appUpdating, Line("[Error] The difference data has an unknown format version."),
          Line("An error occurred while applying the update."), Line(kRestored)},
         {kDeleteQuestion}, Left::kOld},
        // The document goes to the desktop opener; without one the run is just as
        // successful. The opener's row comes last: it runs on after the updater,
        // in the installation folder, which the next row would lay out anew.
        {document, {"-F"}, "", 0, {}, {}, Left::kNew, {"LC_ALL=C.UTF-8", "PATH=" + NativePath(program.path())}},
        {document, {"-F"}, "", 0, {}, {}, Left::kNew, {"LC_ALL=C.UTF-8", "PATH=" + NativePath(tools.path()) + ":/bin"}},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("case " + std::to_string(&c - cases));
        Reinstall();
        ChildProcess run;
        EXPECT_EQ(
            Run(run, BuildOrFail(SamplePackage(c.change)), c.arguments, c.input, c.environment),
            c.exitCode)
            << run.out();
        for (const std::string& text : c.shown) {
            const size_t times = std::count(c.shown.begin(), c.shown.end(), text);
            EXPECT_EQ(Occurrences(run.out(), text), times) << text << " in\n" << run.out();
        }
        for (const std::string& text : c.hidden)
            EXPECT_EQ(Occurrences(run.out(), text), 0u) << text;
        EXPECT_EQ(run.err(), "") << "standard error is no terminal: nothing is drawn";
        EXPECT_EQ(Difference(Installed(), Expected(c.left)), "");
    }
    // The opener runs on its own; give it time to write its record.
    for (int i = 0; i < 100 && !PathExists(tools / "opened"); ++i) usleep(100 * 1000);
    EXPECT_EQ(ReadFile(tools / "opened").value_or("(not opened)"),
              folder + "|" + folder + "/readme.txt\n");
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
        Reinstall();
        ChildProcess child;
        child.UseTerminalForErrors(columns);
        EXPECT_EQ(Run(child, BuildOrFail(SamplePackage()), {"-F"}, ""), 0) << child.out();
        EXPECT_EQ(LastDrawn(child.err()), last);
        EXPECT_EQ(child.out().find('\x1b'), std::string::npos) << "no drawing in the log";
        if (columns == 80) {
            EXPECT_NE(child.err().find("\r\x1b[K[............]   0.0%  [............]   0.0%"),
                      std::string::npos);
            // The status of an update: base name, extension, then the rest of text
            // 1012.
            EXPECT_NE(child.err().find("  Updating app.exe..."), std::string::npos);
        }
        EXPECT_EQ(Difference(Installed(), after), "");
    }
}

// Ctrl-C pressed repeatedly mid-update, then the terminal closing and its pipe
// breaking: one cancellation, and the run ends by itself after the rollback
// (the small, unread output pipe holds the updater after the big file, whatever
// the machine's speed). Ctrl-C during the package check, before Cancel can be
// given, is kept until it can: no file changes.
TEST_F(ConsoleUpdaterTest, InterruptsCancelOnceAndRollBack) {
    const std::string big = Pattern(64u << 20, 7);
    before["big.bin"] = big;
    after["big.bin"] = Edited(big, 40u << 20, 4096, 8);
    PackageModel large = SamplePackage();
    large.updates.push_back(UpdateRecord("big.bin", big, after.at("big.bin"), 0));
    for (int i = 0; i < 200; ++i) {
        const std::string name = "small\\file" + std::to_string(1000 + i) + ".txt";
        before[name] = "old " + std::to_string(i);
        after[name] = "new " + std::to_string(i);
        large.updates.push_back(UpdateRecord(name, before[name], after[name]));
    }
    // Content enough to keep the integrity check busy for a while.
    PackageModel checked = SamplePackage();
    checked.adds.push_back(AddRecord("big.bin.new", Pattern(64u << 20, 9)));
    const struct {
        const PackageModel& model;
        std::string moment;
        std::vector<int> signals;
        std::string neverShown;
    } cases[] = {
        {large,
         "file1000.txt] Updating...\n",
         {SIGINT, SIGINT, SIGHUP, SIGTERM, SIGPIPE},
         "file1199.txt] Updating"},
        {checked, "Checking the integrity of the update package...\n", {SIGINT}, "Updating..."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.moment);
        Reinstall();
        ChildProcess child;
        ASSERT_TRUE(Start(child, BuildOrFail(c.model), {"-F"}));
        child.CloseInput();
        ASSERT_TRUE(child.LimitOutputPipe());
        ASSERT_TRUE(child.WaitForOutput(c.moment, kTimeLimit)) << child.out();
        for (const int signal : c.signals) child.Signal(signal);
        EXPECT_EQ(child.Finish(kTimeLimit), 255) << child.out();
        EXPECT_EQ(Occurrences(child.out(), "Stopping the update..."), 1u) << child.out();
        EXPECT_EQ(Occurrences(child.out(), Line(kCancelled)), 1u);
        EXPECT_EQ(Occurrences(child.out(), Line(kRestored)), 1u);
        EXPECT_EQ(child.out().find(c.neverShown), std::string::npos);
        EXPECT_EQ(Difference(Installed(), before), "");
    }
}

// Ctrl-C, or a request to terminate, at a question answers it as its Cancel
// or No would; a notice, which has neither, closes and the update is
// cancelled. At the delete-backups question after a success it keeps them.
TEST_F(ConsoleUpdaterTest, SignalAtAQuestion) {
    const Change password = [](PackageModel& model) { packwriter::SetPassword(model, "x"); };
    const Change notice = [](PackageModel& model) {
        model.noticeBlocks = {{0, "Read this first.", ""}};
    };
    const struct {
        std::string question;
        std::vector<std::string> arguments;
        Change ask;
        std::string input;
        bool succeeds;  // else cancelled and rolled back
    } cases[] = {
        {" [y/n] ", {}, nullptr, "", false},
        {"Please enter the password: ", {"-F"}, password, "", false},
        {"Enter the folder to update: ", {"-F"}, kAskFolder, "", false},
        {"--- [Enter] ---", {"-F"}, notice, "", false},
        {kDeleteYes, {}, nullptr, "y\n", true},
    };
    for (const auto& c : cases) {
        for (const int signal : {SIGINT, SIGTERM}) {
            SCOPED_TRACE(c.question + (signal == SIGINT ? " Ctrl-C" : " SIGTERM"));
            Reinstall();
            ChildProcess child;
            ASSERT_TRUE(Start(child, BuildOrFail(SamplePackage(c.ask)), c.arguments));
            child.Write(c.input);
            ASSERT_TRUE(child.WaitForOutput(c.question, kTimeLimit)) << child.out();
            child.Signal(signal);
            EXPECT_EQ(child.Finish(kSignalTimeLimit), c.succeeds ? 0 : 255) << child.out();
            EXPECT_EQ(Occurrences(child.out(), Line(c.succeeds ? kFinished : kCancelled)), 1u);
            EXPECT_EQ(Occurrences(child.out(), Line(kRestored)), c.succeeds ? 0u : 1u);
            EXPECT_EQ(Difference(Installed(), Expected(c.succeeds ? Left::kBackups : Left::kOld)),
                      "");
        }
    }
}

// A signal that means no Cancel (a terminal resized, a child ended) leaves the
// question waiting: the answer typed after it counts, neither a Cancel nor the
// end of input (which would take the package's default).
TEST_F(ConsoleUpdaterTest, OtherSignalsLeaveTheQuestionWaiting) {
    const Change keepByDefault = [](PackageModel& model) { model.deleteBackupsDefault = 0; };
    Reinstall();
    ChildProcess child;
    ASSERT_TRUE(Start(child, BuildOrFail(SamplePackage(keepByDefault)), {}));
    child.Write("y\n");
    ASSERT_TRUE(child.WaitForOutput(kDeleteNo, kTimeLimit)) << child.out();
    for (const int signal : {SIGWINCH, SIGCHLD, SIGURG}) child.Signal(signal);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // delivered before the answer
    child.Write("y\n");
    child.CloseInput();
    EXPECT_EQ(child.Finish(kTimeLimit), 0) << child.out();
    EXPECT_EQ(Difference(Installed(), Expected(Left::kNew)), "");
}

// Names are UTF-8 bytes in every locale, and every text is printed in UTF-8,
// or in the encoding of a legacy locale: built-in texts of the locale's
// language, a language block's texts from its code page (1252, lacking 1069
// to 1071), and lines mixing them. The first of the container's two version
// 125 packages does not fit and is skipped.
TEST_F(ConsoleUpdaterTest, NamesAndTextsInEveryLocale) {
    const char* const names[] = {"データ\\ぁ\\表示.txt", "Café\\crème brûlée.txt"};
    packwriter::LanguageBlockModel german;
    german.codePage = 1252;
    german.fontFace = "Arial";
    german.fontHeight = 12;
    for (uint32_t id = 1000; id < 1069; ++id) german.texts.push_back("Text " + std::to_string(id));
    german.texts[28] = "[%s] Pr\374fsumme...";   // 1028, in code page 1252
    german.texts[31] = "[%s] Hinzuf\374gen...";  // 1031
    PackageModel older = FixedFolderModel(installation.path(), "0.9", "1.0");
    older.version = 125;
    older.languageBlocks.push_back(german);
    older.updates.push_back(UpdateRecord("app.exe", Pattern(3000, 5), Pattern(3000, 6)));
    PackageModel current = SamplePackage([&](PackageModel& model) {
        model.version = 125;
        model.hasNewCheckValues = 0;
        model.languageBlocks.push_back(german);
        for (const char* name : names) model.adds.push_back(AddRecord(name, name));
    });
    for (const char* name : names) after[name] = name;
    const Bytes payload = ContainerOf({BuildOrFail(older), BuildOrFail(current)});

    const std::string folder = NativePath(installation.path());
    const std::string english = "A file of the old version differs. Trying the next update...";
    // A legacy locale of this test's own, made where the system has none.
    TempFolder locales;
    const std::string legacy = NativePath(locales.path()) + "/en_US.ISO-8859-1";
    ASSERT_EQ(std::system(("localedef -i en_US -f ISO-8859-1 " + legacy).c_str()), 0);
    posix::TextConverter latin1;
    latin1.Select("UTF-8", "ISO-8859-1");
    const struct {
        std::string locale, tryNext, detailPrefix;  // text 1069 and the block's 1028 prefix
        bool latin1 = false;
    } cases[] = {
        {"ja_JP.UTF-8", "旧バージョンのファイル内容が異なります。次の差分データの適用を試みます。",
         "\u3000\u3000--> "},
        {"en_US.UTF-8", english, "    --> "},
        {"C.UTF-8", english, "    --> "},
        {"C", english, "    --> "},  // output to a pipe stays UTF-8, whatever the locale
        {"en_US.ISO-8859-1", english, "    --> ", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.locale);
        Reinstall();
        ChildProcess run;
        std::vector<std::string> environment = {"LC_ALL=" + c.locale};
        if (c.latin1) environment.push_back("LOCPATH=" + NativePath(locales.path()));
        EXPECT_EQ(Run(run, payload, {"-F"}, "", environment), 0) << run.out();
        const std::pair<std::string, size_t> lines[] = {
            {c.tryNext, 1},
            {c.detailPrefix + "[" + folder + "/app.exe] Prüfsumme...", 2},  // once per package
            {"[" + folder + "/データ/ぁ/表示.txt] Hinzufügen...", 1},
            {"[" + folder + "/Café/crème brûlée.txt] Hinzufügen...", 1}};
        for (const auto& [utf8, times] : lines) {
            std::string line = c.latin1 ? "" : utf8;  // each character it lacks one '?'
            if (c.latin1) latin1.Convert(utf8.data(), utf8.size(), &line);
            EXPECT_EQ(Occurrences(run.out(), Line(line)), times) << line << " in\n" << run.out();
        }
        EXPECT_EQ(Difference(Installed(), after), "");
    }
}

}  // namespace
}  // namespace pkx::test

#endif  // PKX_CONSOLE_UPDATER
#endif  // _WIN32
