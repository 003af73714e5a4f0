// What depends on the system code page: the built-in texts (Japanese on 932,
// English on any other), the start-up texts of the two early failures and
// the choice of a package's language block. The script runs this suite
// under a Japanese (932) and an English (1252) locale.
#include <cstring>

#include "tests/win32_gui/gui_test.h"
#include "texts/text_table.h"

namespace pkx::gui {
namespace {

bool Japanese() { return GetACP() == 932; }

// Screenshots of the English run get their own names.
std::string ShotName(const std::string& name) {
    return Japanese() ? name : name + "-cp" + std::to_string(GetACP());
}

class CodePageTest : public GuiTest {
  protected:
    // A copy of the bare program: no payload behind the image.
    void PrepareBareProgram() {
        ASSERT_TRUE(CopyFileA(Options().updater.c_str(), updater_.c_str(), FALSE));
    }
};

TEST_F(CodePageTest, AProgramFileThatCannotBeOpenedIsReportedInAMessageBox) {
    PrepareBareProgram();
    UpdaterProcess run;
    ASSERT_TRUE(run.Start(updater_, "", "", true));
    // Nobody may read the program file now: the worker's open fails.
    HANDLE lock = CreateFileA(updater_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE) << GetLastError();
    run.Resume();
    HWND box = run.MessageBox(kProgramTitle);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(MessageBoxText(box), ResourceText(Japanese() ? 110 : 210));
    // The progress dialog hides while the box is up.
    for (HWND dialog : DialogsOf(run.Pid())) EXPECT_EQ(GetDlgItem(dialog, PKX_ID_LOG), nullptr);
    Screenshot(ShotName("open-failure"), run.Pid());
    Click(box, IDOK);
    EXPECT_EQ(ExitCodeOf(run), 255u);
    CloseHandle(lock);
}

TEST_F(CodePageTest, AProgramWithoutPayloadLogsTheStartupReadFailureText) {
    PrepareBareProgram();
    UpdaterProcess run;
    Start(run);
    HWND dialog = run.ProgressDialog();
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(run.WaitForRunEnd(dialog));
    const std::vector<std::string> log = run.Log(dialog);
    EXPECT_EQ(log, (std::vector<std::string>{ResourceText(Japanese() ? 111 : 211), Text(1020),
                                             Text(1023), Text(1024)}));
    EXPECT_EQ(TextOf(dialog), "pkx Self Extract Updater ver.1.50");
    Screenshot(ShotName("no-payload"), run.Pid());
    Click(dialog, IDCANCEL);
    EXPECT_EQ(ExitCodeOf(run), 255u);
}

// A package without language blocks: the built-in texts of the table the
// system code page chooses, none of them question marks on 1252.
TEST_F(CodePageTest, TheBuiltInTextsOfTheSystemCodePageAreShown) {
    Prepare(AppVersion1(), {PackageBetween(AppVersion1(), AppVersion2(), install_)});
    const std::string app = install_ + "\\app.exe";
    struct Shown {
        std::string title, question, close, status, checkBox, rightsLabel, finished, hashing;
    };
    const Shown shown =
        Japanese() ? Shown{TitleFor(), Expand(1010, "GuiApp", "1.0", "2.0"),
                           Text(1002), Text(1005),
                           Text(1007), Text(1004),
                           Text(1019), "\x81\x40\x81\x40--> " + Expand(1028, app.c_str())}
                   : Shown{"GuiApp Updater (1.0 -> 2.0)",
                           "This will update GuiApp from version 1.0 to version 2.0.\r\n\r\n"
                           "Click Yes to continue.",
                           "&Close",
                           "Finished",
                           "Delete the backup files (*.old) when closing",
                           "Copyright:",
                           "The update has been applied.",
                           "    --> [" + app + "] Computing the MD5 checksum..."};

    UpdaterProcess run;
    Start(run);
    HWND box = run.MessageBox(shown.title);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(MessageBoxText(box), shown.question);
    Click(box, IDYES);
    HWND dialog = run.ProgressDialog();
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return ItemText(dialog, IDCANCEL) == shown.close; }))
        << Joined(run.Log(dialog));
    const std::vector<std::string> log = run.Log(dialog);
    EXPECT_TRUE(InOrder(log, {shown.hashing, shown.finished})) << Joined(log);
    EXPECT_EQ(TextOf(dialog), shown.title);
    EXPECT_EQ(ItemText(dialog, PKX_ID_STATUS), shown.status);
    EXPECT_EQ(ItemText(dialog, PKX_ID_DELETE_BACKUPS), shown.checkBox);
    EXPECT_EQ(ItemText(dialog, PKX_ID_RIGHTS_LABEL), shown.rightsLabel);
    if (!Japanese()) {
        for (const std::string& line : log) EXPECT_EQ(line.find("?"), std::string::npos) << line;
    }
    Screenshot(ShotName("builtin-texts"), run.Pid());
    Click(dialog, IDCANCEL);
    EXPECT_EQ(ExitCodeOf(run), 0u);
}

// A text of the block tagged `tag` for text `id`: the tag, the ID, and as
// many %s as the built-in text has, so the templates keep their values.
std::string BlockText(const std::string& tag, uint32_t id) {
    std::string text = tag + "-" + std::to_string(id);
    for (const char* at = Text(id); (at = std::strstr(at, "%s")) != nullptr; at += 2) {
        text += " %s";
    }
    return text;
}

packwriter::LanguageBlockModel Block(uint32_t codePage, const std::string& tag,
                                     const std::string& face) {
    packwriter::LanguageBlockModel block;
    block.codePage = codePage;
    block.fontFace = face;
    block.fontHeight = 13;
    for (uint32_t id = 1000; id <= 1073; ++id) block.texts.push_back(BlockText(tag, id));
    return block;
}

std::string Expanded(const std::string& templ, const char* value1, const char* value2 = nullptr,
                     const char* value3 = nullptr) {
    char out[512];
    ExpandTemplate(out, sizeof out, templ.c_str(), value1, value2, value3, 0);
    return out;
}

TEST_F(CodePageTest, TheLanguageBlockOfTheSystemCodePageIsChosen) {
    PackageModel model = PackageBetween(AppVersion1(), AppVersion2(), install_);
    model.languageBlocks = {Block(932, "JA", kDefaultFontFace), Block(1252, "EN", "Arial")};
    Prepare(AppVersion1(), {model});
    // The first block when the system's code page is 932 (or any but 1252);
    // the 1252 block replaces it on a 1252 system.
    const std::string tag = GetACP() == 1252 ? "EN" : "JA";
    auto text = [&](uint32_t id) { return BlockText(tag, id); };

    UpdaterProcess run;
    Start(run);
    const std::string title = Expanded(text(1008), "GuiApp", "1.0", "2.0");
    HWND box = run.MessageBox(title);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(MessageBoxText(box), Expanded(text(1010), "GuiApp", "1.0", "2.0"));
    Click(box, IDYES);
    HWND dialog = run.ProgressDialog();
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return ItemText(dialog, IDCANCEL) == text(1002); }))
        << Joined(run.Log(dialog));
    const std::string target = install_ + "\\";
    const std::vector<std::string> log = run.Log(dialog);
    EXPECT_TRUE(InOrder(log, {Expanded(text(1011), updater_.c_str()), text(1015),
                              Expanded(text(1025), target.c_str()), text(1017), text(1026),
                              Expanded(text(1030), (install_ + "\\app.exe").c_str()), text(1019)}))
        << Joined(log);
    EXPECT_EQ(TextOf(dialog), title);
    EXPECT_EQ(ItemText(dialog, PKX_ID_HEADLINE), Expanded(text(1009), "GuiApp", "1.0", "2.0"));
    EXPECT_EQ(ItemText(dialog, PKX_ID_STATUS), text(1005));
    EXPECT_EQ(ItemText(dialog, PKX_ID_DELETE_BACKUPS), text(1007));
    EXPECT_EQ(ItemText(dialog, PKX_ID_RIGHTS_LABEL), text(1004));
    Screenshot(ShotName("language-block"), run.Pid());
    Click(dialog, IDCANCEL);
    EXPECT_EQ(ExitCodeOf(run), 0u);
}

}  // namespace
}  // namespace pkx::gui
