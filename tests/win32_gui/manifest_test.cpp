// The updater's application manifest, and its dialog at 96 and 192 dots per
// inch with the version 6 common controls the manifest asks for.
#include <string>

#include "tests/win32_gui/gui_test.h"

namespace pkx::gui {
namespace {

TEST(ManifestTest, TheUpdaterCarriesItsManifestAsResource24Id1) {
    HMODULE image = LoadLibraryExA(Options().updater.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(image, nullptr);
    HRSRC found = FindResourceA(image, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    ASSERT_NE(found, nullptr);
    const char* bytes = static_cast<const char*>(LockResource(LoadResource(image, found)));
    const std::string manifest(bytes, SizeofResource(image, found));
    FreeLibrary(image);
    const char* kParts[] = {
        // The level field the builder fills in: 28 bytes, then a space.
        "<requestedExecutionLevel level=\"asInvoker\"            uiAccess=\"false\"/>",
        "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"",
        ">true</dpiAware>",
        ">system</dpiAwareness>",
        "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  // Windows 7
        "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  // Windows 10 and 11
    };
    for (const char* part : kParts) EXPECT_NE(manifest.find(part), std::string::npos) << part;
    EXPECT_EQ(manifest.find("activeCodePage"), std::string::npos) << "an ANSI program";
}

// The screen's DPI as Wine reads it when a program starts; 96 again at the end.
class LogPixelsScope {
  public:
    explicit LogPixelsScope(DWORD dpi) { Set(dpi); }
    ~LogPixelsScope() { Set(96); }
    LogPixelsScope(const LogPixelsScope&) = delete;
    LogPixelsScope& operator=(const LogPixelsScope&) = delete;

  private:
    static void Set(DWORD dpi) {
        EXPECT_EQ(RegSetKeyValueA(HKEY_CURRENT_USER, "Control Panel\\Desktop", "LogPixels",
                                  REG_DWORD, &dpi, sizeof dpi),
                  ERROR_SUCCESS);
    }
};

class DpiTest : public GuiTest {
  protected:
    // The finished dialog of an update run at `dpi`: its size, and a picture.
    SIZE FinishedDialog(DWORD dpi) {
        SetUp();
        LogPixelsScope scope(dpi);
        Prepare(AppVersion1(), {Standard()});
        Start();
        HWND box = run_.MessageBox(TitleFor());
        if (box == nullptr) return {};
        Click(box, IDYES);
        HWND dialog = run_.ProgressDialog();
        const Log log = run_.LogAtEnd(dialog);
        EXPECT_TRUE(Contains(log, Text(1019))) << Joined(log);
        Screenshot("progress-" + std::to_string(dpi) + "dpi", dialog);
        RECT client;
        GetClientRect(dialog, &client);
        EXPECT_EQ(run_.Close(dialog), 0u);
        return {client.right, client.bottom};
    }
};

TEST_F(DpiTest, AtTwiceTheDpi) {
    const SIZE normal = FinishedDialog(96);
    const SIZE doubled = FinishedDialog(192);
    ASSERT_GT(normal.cx, 0);
    // Dialog units follow the template font, which follows the DPI; the
    // fonts' rounding keeps it from exactly twice.
    EXPECT_NEAR(static_cast<double>(doubled.cx) / normal.cx, 2.0, 0.15);
    EXPECT_NEAR(static_cast<double>(doubled.cy) / normal.cy, 2.0, 0.15);
}

}  // namespace
}  // namespace pkx::gui
