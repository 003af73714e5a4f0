// What depends on the system code page: the built-in texts (Japanese on 932,
// English on any other), the start-up texts of the two early failures and
// the choice of a package's language block. The script runs this suite
// under a Japanese (932) and an English (1252) locale.
#include <cstring>
#include <functional>

#include "tests/win32_gui/gui_test.h"
#include "texts/text_table.h"

namespace pkx::gui {
namespace {

bool Japanese() { return GetACP() == 932; }

// Screenshots of the English run get their own names.
std::string ShotName(const std::string& name) {
    return Japanese() ? name : name + "-cp" + std::to_string(GetACP());
}

// Text `id` of the table a run shows, filled with `value`, "1.0" and "2.0".
using Texts = std::function<std::string(uint32_t id, const std::string& value)>;

class CodePageTest : public GuiTest {
  protected:
    // An interactive run of the standard update in the words of `texts`
    // (`hashing`: the hashing line, when checked): the question, the finished
    // dialog, and the backups deleted on Close unless the user clears the box.
    void ExpectShown(const PackageModel& model, const Texts& texts, const std::string& hashing,
                     const std::string& shot, bool clearBox = false) {
        auto text = [&](uint32_t id, const std::string& value = "GuiApp") {
            return texts(id, value);
        };
        Prepare(AppVersion1(), {model});
        Start();
        HWND box = run_.MessageBox(text(1008));
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(MessageBoxText(box), text(1010));
        EXPECT_NE(GetDlgItem(box, IDNO), nullptr);
        Screenshot(ShotName(shot + "-question"));
        Click(box, IDYES);
        HWND dialog = run_.ProgressDialog();
        ASSERT_TRUE(WaitUntil([&] { return ItemText(dialog, IDCANCEL) == text(1002); }))
            << Joined(run_.LogOf(dialog));
        const Log log = run_.LogOf(dialog);
        Log expected = {text(1011, updater_),
                        text(1015),
                        text(1025, install_ + "\\"),
                        text(1017),
                        text(1026),
                        text(1030, At("app.exe")),
                        text(1030, At("data\\lib.dll")),
                        text(1031, At("new.txt")),
                        text(1032, At("old.txt")),
                        text(1019)};
        if (!hashing.empty()) expected.insert(expected.begin() + 5, hashing);
        EXPECT_TRUE(InOrder(log, expected)) << Joined(log);
        for (const std::string& line : log) EXPECT_EQ(line.find('?'), std::string::npos) << line;
        EXPECT_EQ(TextOf(dialog), text(1008));
        EXPECT_TRUE(IsCentered(dialog));
        const std::pair<int, std::string> items[] = {{PKX_ID_HEADLINE, text(1009)},
                                                     {PKX_ID_RIGHTS_LABEL, text(1004)},
                                                     {PKX_ID_RIGHTS_TEXT, "(c) pkx GUI tests"},
                                                     {PKX_ID_STATUS, text(1005)},
                                                     {PKX_ID_LOG_LABEL, text(1006)},
                                                     {PKX_ID_DELETE_BACKUPS, text(1007)},
                                                     {PKX_ID_TOTAL_PERCENT, "100.0%"}};
        for (const auto& [id, expectedText] : items)
            EXPECT_EQ(ItemText(dialog, id), expectedText) << id;
        EXPECT_EQ(BarPosition(dialog, PKX_ID_TOTAL_BAR), 1000);
        EXPECT_TRUE(ItemChecked(dialog, PKX_ID_DELETE_BACKUPS));
        EXPECT_TRUE(ItemEnabled(dialog, PKX_ID_DELETE_BACKUPS));
        Screenshot(ShotName(shot));
        // Nothing is deleted before Close; the journal, complete, stays till then.
        Files files = FilesIn(install_);
        EXPECT_EQ(files.erase("pkx-update.journal"), 1u);
        EXPECT_EQ(Difference(files, Version2WithBackups()), "");
        if (clearBox) {
            Click(dialog, PKX_ID_DELETE_BACKUPS);
            ASSERT_TRUE(WaitUntil([&] { return !ItemChecked(dialog, PKX_ID_DELETE_BACKUPS); }));
        }
        EXPECT_EQ(run_.Close(dialog), 0u);
        EXPECT_EQ(Difference(FilesIn(install_), clearBox ? Version2WithBackups() : AppVersion2()),
                  "");
    }
};

// A bare program (no payload behind the image) whose file cannot be opened
// shows a message box instead of the dialog; one that can logs the read failure.
TEST_F(CodePageTest, TheStartupFailuresShowTheTextsOfTheSystemCodePage) {
    ASSERT_TRUE(CopyFileA(Options().updater.c_str(), updater_.c_str(), FALSE));
    ASSERT_TRUE(run_.Start(updater_, "", "", true));
    HANDLE lock = CreateFileA(updater_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE) << GetLastError();
    run_.Resume();
    HWND box = run_.MessageBox(kProgramTitle);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(MessageBoxText(box), ResourceText(Japanese() ? 110 : 210));
    auto progress = [](HWND dialog) { return GetDlgItem(dialog, PKX_ID_LOG) != nullptr; };
    EXPECT_EQ(WaitForDialog(run_.Pid(), progress, 0), nullptr)
        << "the progress dialog hides while the box is up";
    Screenshot(ShotName("open-failure"));
    Click(box, IDOK);
    EXPECT_EQ(run_.ExitCode(), 255u);
    CloseHandle(lock);
    Start();
    HWND dialog = run_.ProgressDialog();
    EXPECT_EQ(run_.LogAtEnd(dialog),
              (Log{ResourceText(Japanese() ? 111 : 211), Text(1020), Text(1023), Text(1024)}));
    EXPECT_EQ(TextOf(dialog), "pkx Self Extract Updater ver.1.50");
    Screenshot(ShotName("no-payload"));
    EXPECT_EQ(run_.Close(dialog), 255u);
}

// A package without language blocks: the built-in texts of the table the
// system code page chooses, none of them question marks. Which table it is
// tells the English title, and the indent of the hashing line (text 100).
TEST_F(CodePageTest, TheBuiltInTextsOfTheSystemCodePageAreShown) {
    if (!Japanese()) {
        EXPECT_EQ(TitleFor(), "GuiApp Updater (1.0 -> 2.0)");
    }
    const std::string hashing =
        (Japanese() ? "\x81\x40\x81\x40--> " : "    --> ") + Expand(1028, At("app.exe").c_str());
    const Texts texts = [](uint32_t id, const std::string& value) {
        return Expand(id, value.c_str(), "1.0", "2.0");
    };
    ExpectShown(Standard(), texts, hashing, "builtin-texts");
    SetUp();
    ExpectShown(Standard(), texts, hashing, "builtin-texts-kept", true);
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
    packwriter::LanguageBlockModel block{codePage, face, 13, {}};
    for (uint32_t id = 1000; id <= 1073; ++id) block.texts.push_back(BlockText(tag, id));
    return block;
}

// The first block when the system's code page is 932 (or any but 1252); the
// 1252 block replaces it on a 1252 system.
TEST_F(CodePageTest, TheLanguageBlockOfTheSystemCodePageIsChosen) {
    PackageModel model = Standard();
    model.languageBlocks = {Block(932, "JA", kDefaultFontFace), Block(1252, "EN", "Arial")};
    const std::string tag = GetACP() == 1252 ? "EN" : "JA";
    const Texts texts = [&](uint32_t id, const std::string& value) {
        char out[512];
        ExpandTemplate(out, sizeof out, BlockText(tag, id).c_str(), value.c_str(), "1.0", "2.0", 0);
        return std::string(out);
    };
    ExpectShown(model, texts, "", "language-block");
}

}  // namespace
}  // namespace pkx::gui
