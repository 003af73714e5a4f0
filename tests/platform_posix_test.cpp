// What only the POSIX platform has to get right: the mapping of paths,
// errors and locales, the registry export reader and the special folders.
#ifndef _WIN32

#include <errno.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/posix/builtin_texts.h"
#include "platform/posix/locale_code_page.h"
#include "platform/posix/posix_errors.h"
#include "platform/posix/posix_paths.h"
#include "platform/posix/registry_file.h"
#include "tests/test_support.h"

namespace pkx {
namespace {

using test::ScopedEnvironment;
using test::TempFolder;

TEST(PosixPathsTest, MapsWindowsPathsOntoTheOneTree) {
    EXPECT_EQ(posix::NativePath("C:\\Program Files\\App"), "/Program Files/App");
    EXPECT_EQ(posix::NativePath("d:\\"), "/");
    EXPECT_EQ(posix::NativePath("C:relative\\name"), "relative/name");
    EXPECT_EQ(posix::NativePath("C:"), ".");
    EXPECT_EQ(posix::NativePath(""), ".");
    EXPECT_EQ(posix::NativePath("dir\\file.txt"), "dir/file.txt");
    EXPECT_EQ(posix::NativePath("/already/posix"), "/already/posix");
    EXPECT_EQ(posix::NativePath("\\\\server\\share"), "//server/share");
    EXPECT_EQ(posix::NativePath("1:\\not-a-drive"), "1:/not-a-drive");
    EXPECT_EQ(posix::WindowsStylePath("/home/user/app"), "\\home\\user\\app");
}

TEST(PosixPathsTest, AdrivePathReachesTheSameFile) {
    TempFolder temp;
    ASSERT_TRUE(test::WriteFile(temp / "f.txt", "x"));
    Platform& os = NativePlatform();
    EXPECT_TRUE(os.Exists(("C:" + (temp / "f.txt")).c_str()));
    FileHandle file = kInvalidFile;
    ASSERT_EQ(os.Open(("Z:" + (temp / "f.txt")).c_str(), kGenericRead, kShareRead, kOpenExisting,
                      kAttributeNormal, &file),
              0u);
    os.Close(file);
    EXPECT_FALSE(os.Exists("C:\\"));
}

TEST(PosixPathsTest, PatternsMatchWholeDoubleByteCharacters) {
    struct Case {
        const char *pattern, *name;
        uint32_t codePage;
        bool matches;
    };
    const char* kanjiName = "\x95\x5C.txt";  // one Shift-JIS character whose trail byte is '\'
    const Case cases[] = {{"?.txt", kanjiName, 932, true},
                          {"?.txt", kanjiName, 1252, false},
                          {"??.txt", kanjiName, 1252, true},
                          // A trail byte that looks like a letter is no letter: no case folding.
                          {"\x82\x61", "\x82\x41", 932, false},
                          {"\x82\x61", "\x82\x41", 1252, true},
                          {"*", "", 1252, true},
                          {"a*b*c", "aXbYbZc", 1252, true},
                          {"a*b*c", "aXbYbZ", 1252, false},
                          {"*.*", "no-dot", 1252, true},
                          {"*.txt", "a.txt.old", 1252, false}};
    for (const Case& c : cases) {
        EXPECT_EQ(posix::MatchesPattern(c.pattern, c.name, c.codePage), c.matches)
            << c.pattern << " " << c.name << " " << c.codePage;
    }
}

TEST(PosixErrorsTest, ErrnoValuesBecomeWin32Codes) {
    struct Case {
        int error;
        uint32_t code;
    };
    const Case cases[] = {
        {EACCES, 5},   {EPERM, 5},        {EISDIR, 5},   {EBADF, 6},          {ENOMEM, 8},
        {EEXIST, 183}, {ENOSPC, 112},     {EDQUOT, 112}, {ENAMETOOLONG, 206}, {ENOTEMPTY, 145},
        {EMFILE, 4},   {EWOULDBLOCK, 32}, {ETXTBSY, 32}, {ENOTDIR, 3},        {EROFS, 19},
        {EINVAL, 87},  {ENOENT, 2},       {0, 31},       {12345, 31},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(posix::Win32Error(c.error), c.code) << "errno " << c.error;
    }
}

TEST(PosixErrorsTest, AMissingParentIsPathNotFound) {
    TempFolder temp;
    std::string native = test::NativePath(temp.path());
    EXPECT_EQ(posix::Win32ErrorForPath(ENOENT, (native + "/missing").c_str()), 2u);
    EXPECT_EQ(posix::Win32ErrorForPath(ENOENT, (native + "/no/missing").c_str()), 3u);
    ASSERT_TRUE(test::WriteFile(temp / "file", "f"));
    EXPECT_EQ(posix::Win32ErrorForPath(ENOENT, (native + "/file/missing").c_str()), 3u);
    EXPECT_EQ(posix::Win32ErrorForPath(ENOENT, "bare-name"), 2u);
    EXPECT_EQ(posix::Win32ErrorForPath(EACCES, (native + "/no/missing").c_str()), 5u);
}

TEST(PosixCodePageTest, FollowsTheLocaleLanguage) {
    struct Case {
        const char* locale;
        uint32_t codePage;
    };
    const Case cases[] = {
        {"ja_JP.UTF-8", 932},  {"ja_JP.eucJP", 932},  {"zh_CN.UTF-8", 936},
        {"zh_SG", 936},        {"zh_TW.UTF-8", 950},  {"zh_HK.big5hkscs", 950},
        {"ko_KR.UTF-8", 949},  {"ru_RU.UTF-8", 1251}, {"uk_UA", 1251},
        {"bg_BG", 1251},       {"el_GR", 1253},       {"tr_TR.UTF-8", 1254},
        {"he_IL", 1255},       {"ar_EG.UTF-8", 1256}, {"lt_LT", 1257},
        {"lv_LV", 1257},       {"et_EE", 1257},       {"vi_VN", 1258},
        {"th_TH", 874},        {"pl_PL.UTF-8", 1250}, {"cs_CZ", 1250},
        {"hu_HU", 1250},       {"sr_RS", 1251},       {"sr_RS@latin", 1250},
        {"de_DE.UTF-8", 1252}, {"en_US", 1252},       {"C", 1252},
        {"POSIX", 1252},       {"C.UTF-8", 1252},     {"", 1252},
        {nullptr, 1252},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(posix::CodePageOfLocale(c.locale), c.codePage)
            << (c.locale != nullptr ? c.locale : "(null)");
    }
}

TEST(PosixCodePageTest, LcAllThenLcCtypeThenLang) {
    ScopedEnvironment all("LC_ALL", nullptr);
    ScopedEnvironment ctype("LC_CTYPE", nullptr);
    ScopedEnvironment lang("LANG", "ko_KR.UTF-8");
    Platform& os = NativePlatform();
    EXPECT_EQ(os.AnsiCodePage(), 949u);
    {
        ScopedEnvironment ctypeSet("LC_CTYPE", "ja_JP.UTF-8");
        EXPECT_EQ(os.AnsiCodePage(), 932u);
        ScopedEnvironment allEmpty("LC_ALL", "");
        EXPECT_EQ(os.AnsiCodePage(), 932u);
        ScopedEnvironment allSet("LC_ALL", "ru_RU.UTF-8");
        EXPECT_EQ(os.AnsiCodePage(), 1251u);
    }
    ScopedEnvironment none("LANG", nullptr);
    EXPECT_EQ(os.AnsiCodePage(), 1252u);
}

// --- Registry exports.

class RegistryFileTest : public ::testing::Test {
  protected:
    uint32_t Query(const std::string& file, RegistryRoot root, const char* key, const char* name,
                   uint32_t size = 260) {
        memset(buffer, '#', sizeof buffer);
        return posix::FindRegistryValue(file, root, key, name, buffer, size);
    }
    char buffer[300];
};

const char kVersion4Export[] =
    "REGEDIT4\r\n"
    "\r\n"
    "; a comment line\r\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Vendor\\App]\r\n"
    "\"InstallDir\"=\"C:\\\\Program Files\\\\App\"\r\n"
    "\"Quote\"=\"say \\\"hi\\\"\"\r\n"
    "@=\"default value\"\r\n"
    "\"Count\"=dword:0000000a\r\n"
    "\"Bytes\"=hex:41,42,\\\r\n"
    "  43,00\r\n"
    "\"Expand\"=hex(2):25,41,25,00\r\n"
    "\"Empty\"=\"\"\r\n"
    "\r\n"
    "[HKCU\\Software\\Vendor\\App]\r\n"
    "\"InstallDir\"=\"D:\\\\User\\\\App\"\r\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Vendor\\App]\r\n"
    "\"Later\"=\"added by a second section\"\r\n"
    "\"Count\"=dword:00000010\r\n";

TEST_F(RegistryFileTest, ReadsVersion4Exports) {
    const std::string file = kVersion4Export;
    struct Case {
        RegistryRoot root;
        const char *key, *name;
        uint32_t code;
        std::string value;  // compared over its whole length, terminator included
    };
    const auto hklm = RegistryRoot::kLocalMachine;
    const char* app = "Software\\Vendor\\App";
    const Case cases[] = {
        {hklm, app, "InstallDir", 0, std::string("C:\\Program Files\\App", 21)},
        {hklm, "SOFTWARE\\vendor\\APP", "installdir", 0, "C:\\Program Files\\App"},
        {RegistryRoot::kCurrentUser, app, "InstallDir", 0, "D:\\User\\App"},
        {hklm, app, "Quote", 0, "say \"hi\""},
        {hklm, app, "", 0, "default value"},
        {hklm, app, nullptr, 0, "default value"},
        {hklm, app, "Later", 0, "added by a second section"},
        {hklm, app, "Empty", 0, std::string(1, '\0')},
        {hklm, app, "Count", 0, std::string("\x10\0\0\0", 4)},  // the later value wins
        {hklm, app, "Bytes", 0, std::string("ABC\0#", 5)},
        {hklm, app, "Expand", 0, std::string("%A%", 4)},  // no expansion
        {hklm, "Software\\Vendor\\Other", "InstallDir", 2, ""},
        {hklm, "Software\\Vendor", "InstallDir", 2, ""},
        {hklm, app, "Nothing", 2, ""},
        {RegistryRoot::kUsers, app, "InstallDir", 2, ""},
    };
    for (const Case& c : cases) {
        const std::string name = c.name != nullptr ? c.name : "(null)";
        ASSERT_EQ(Query(file, c.root, c.key, c.name), c.code) << name;
        EXPECT_EQ(std::string(buffer, c.value.size()), c.value) << name;
    }
    EXPECT_EQ(Query("", hklm, app, "InstallDir"), 2u);
    EXPECT_EQ(
        Query("[HKLM\\Software\\Vendor\\App]\n\"InstallDir\"=\"x\"\n", hklm, app, "InstallDir"),
        2u);  // no header: no export
}

TEST_F(RegistryFileTest, AValueLongerThanTheBufferIsMoreData) {
    const std::string file = "REGEDIT4\n[HKLM\\K]\n\"Five\"=\"12345\"\n\"Bin\"=hex:01,02,03,04\n";
    EXPECT_EQ(Query(file, RegistryRoot::kLocalMachine, "K", "Five", 5), posix::kErrorMoreData);
    EXPECT_EQ(buffer[0], '#');  // nothing was written
    ASSERT_EQ(Query(file, RegistryRoot::kLocalMachine, "K", "Five", 6), 0u);
    EXPECT_STREQ(buffer, "12345");
    // Binary data gets a terminator too, so it needs one byte more.
    EXPECT_EQ(Query(file, RegistryRoot::kLocalMachine, "K", "Bin", 4), posix::kErrorMoreData);
    ASSERT_EQ(Query(file, RegistryRoot::kLocalMachine, "K", "Bin", 5), 0u);
    EXPECT_EQ(buffer[4], '\0');
}

TEST_F(RegistryFileTest, DeletionsRemoveKeysAndValues) {
    const std::string file =
        "REGEDIT4\n"
        "[HKLM\\Software\\A\\B]\n\"V\"=\"1\"\n\"W\"=\"2\"\n"
        "[HKLM\\Software\\A\\B]\n\"W\"=-\n"
        "[HKLM\\Software\\C]\n\"V\"=\"3\"\n"
        "[-HKLM\\Software\\C]\n";
    EXPECT_EQ(Query(file, RegistryRoot::kLocalMachine, "Software\\A\\B", "V"), 0u);
    EXPECT_EQ(Query(file, RegistryRoot::kLocalMachine, "Software\\A\\B", "W"), 2u);
    EXPECT_EQ(Query(file, RegistryRoot::kLocalMachine, "Software\\C", "V"), 2u);
    const std::string parentDeleted = file + "[-HKEY_LOCAL_MACHINE\\software\\a]\n";
    EXPECT_EQ(Query(parentDeleted, RegistryRoot::kLocalMachine, "Software\\A\\B", "V"), 2u);
}

TEST_F(RegistryFileTest, MalformedLinesAreSkipped) {
    const std::string file =
        "REGEDIT4\n[HKLM\\K]\n\"A\"=dword:xyz\n\"A\"=hex:1g\n\"A\"=\"unterminated\n"
        "\"B\"=dword:123456789\n\"C\" = \"spaced\"\n";
    EXPECT_EQ(Query(file, RegistryRoot::kLocalMachine, "K", "A"), 2u);
    EXPECT_EQ(Query(file, RegistryRoot::kLocalMachine, "K", "B"), 2u);
    ASSERT_EQ(Query(file, RegistryRoot::kLocalMachine, "K", "C"), 0u);
    EXPECT_STREQ(buffer, "spaced");
}

// `text` (ASCII and the one character é) as UTF-16LE with a byte-order mark.
std::string Utf16File(const std::string& text) {
    std::string out = "\xFF\xFE";
    for (size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, 2, "\xC3\xA9") == 0) {
            out += std::string("\xE9\x00", 2);
            ++i;
        } else {
            out += text[i];
            out += '\0';
        }
    }
    return out;
}

TEST_F(RegistryFileTest, ReadsVersion5ExportsInUtf16) {
    const std::string file = Utf16File(
        "Windows Registry Editor Version 5.00\r\n"
        "\r\n"
        "[HKEY_CLASSES_ROOT\\App.Document]\r\n"
        "\"Folder\"=\"C:\\\\Caf\xC3\xA9\"\r\n"
        "\"Expand\"=hex(2):25,00,41,00,25,00,00,00\r\n");
    ASSERT_EQ(Query(file, RegistryRoot::kClassesRoot, "App.Document", "Folder"), 0u);
    EXPECT_STREQ(buffer, "C:\\Caf\xC3\xA9");
    // The A-function hands back string kinds as 8-bit text.
    ASSERT_EQ(Query(file, RegistryRoot::kClassesRoot, "App.Document", "Expand"), 0u);
    EXPECT_STREQ(buffer, "%A%");
}

TEST_F(RegistryFileTest, PlatformReadsTheFileNamedByTheEnvironment) {
    TempFolder temp;
    ASSERT_TRUE(test::WriteFile(temp / "system.reg", kVersion4Export));
    for (const auto& [file, code] : std::vector<std::pair<std::string, uint32_t>>{
             {temp / "system.reg", 0}, {temp / "missing.reg", 2}, {"", 2}}) {
        ScopedEnvironment registry("PKX_REGISTRY", file.empty() ? nullptr : file.c_str());
        EXPECT_EQ(
            NativePlatform().RegistryValue(RegistryRoot::kLocalMachine, "Software\\Vendor\\App",
                                           "InstallDir", buffer, 260),
            code)
            << file;
        if (code == 0) {
            EXPECT_STREQ(buffer, "C:\\Program Files\\App");
        }
    }
}

// --- Special folders, INI files in the Windows folder, texts, processes.

TEST(PosixLookupsTest, SpecialFoldersComeFromTheEnvironmentInWindowsStyle) {
    Platform& os = NativePlatform();
    char path[260];
    {
        ScopedEnvironment windows("PKX_FOLDER_WINDOWS", "/srv/win/");
        ASSERT_TRUE(os.SpecialFolderPath(SpecialFolder::kWindows, path, sizeof path));
        EXPECT_STREQ(path, "\\srv\\win");
    }
    ScopedEnvironment programs("PKX_FOLDER_PROGRAM_FILES", nullptr);
    ASSERT_TRUE(os.SpecialFolderPath(SpecialFolder::kProgramFiles, path, sizeof path));
    EXPECT_STREQ(path, "\\opt");
    ScopedEnvironment root("PKX_FOLDER_DRIVE_ROOT", nullptr);
    ASSERT_TRUE(os.SpecialFolderPath(SpecialFolder::kWindowsDriveRoot, path, sizeof path));
    EXPECT_STREQ(path, "\\");

    ScopedEnvironment desktop("PKX_FOLDER_DESKTOP", nullptr);
    ScopedEnvironment xdg("XDG_DESKTOP_DIR", nullptr);
    ScopedEnvironment home("HOME", "/home/someone");
    ASSERT_TRUE(os.SpecialFolderPath(SpecialFolder::kDesktop, path, sizeof path));
    EXPECT_STREQ(path, "\\home\\someone\\Desktop");
    {
        ScopedEnvironment xdgSet("XDG_DESKTOP_DIR", "/data/desk");
        ASSERT_TRUE(os.SpecialFolderPath(SpecialFolder::kDesktop, path, sizeof path));
        EXPECT_STREQ(path, "\\data\\desk");
    }
    ScopedEnvironment personal("PKX_FOLDER_PERSONAL", nullptr);
    ScopedEnvironment documents("XDG_DOCUMENTS_DIR", nullptr);
    ScopedEnvironment noHome("HOME", nullptr);
    EXPECT_FALSE(os.SpecialFolderPath(SpecialFolder::kPersonal, path, sizeof path));
}

TEST(PosixLookupsTest, ABareIniNameIsReadFromTheWindowsFolder) {
    TempFolder temp;
    ASSERT_TRUE(test::WriteFile(temp / "app.ini", "[s]\nk=in the windows folder\n"));
    ScopedEnvironment windows("PKX_FOLDER_WINDOWS", test::NativePath(temp.path()).c_str());
    char value[260];
    EXPECT_EQ(NativePlatform().IniValue("app.ini", "s", "k", value, sizeof value), 21u);
    EXPECT_STREQ(value, "in the windows folder");
}

TEST(PosixTextsTest, LoadTextGivesTheTableOfTheLanguageInUtf8) {
    Platform& os = NativePlatform();
    struct Case {
        TextLanguage language;
        const char* whole;
        const char* inFiveBytes;  // cut between characters
    };
    for (const Case& c : {Case{TextLanguage::kJapanese, "キャンセル(&C)", "キ"},
                          Case{TextLanguage::kEnglish, "&Cancel", "&Can"}}) {
        char text[260];
        EXPECT_EQ(os.LoadText(1001, c.language, text, sizeof text), std::strlen(c.whole));
        EXPECT_STREQ(text, c.whole);
        char small[5];
        EXPECT_EQ(os.LoadText(1001, c.language, small, sizeof small), std::strlen(c.inFiveBytes));
        EXPECT_STREQ(small, c.inFiveBytes);
        EXPECT_EQ(os.LoadText(0xFFFFFFF0u, c.language, text, sizeof text), 0u);
        EXPECT_STREQ(text, "");
    }
}

TEST(PosixTextsTest, TextsEnterInUtf8AndPathsShowWithSlashes) {
    Platform& os = NativePlatform();
    EXPECT_EQ(os.InsideCodePage(932), kUtf8CodePage);
    EXPECT_EQ(os.InsideCodePage(1252), kUtf8CodePage);
    struct Case {
        uint32_t codePage;
        std::string text;
        uint32_t size;
        std::string expected;
    };
    const Case cases[] = {
        // The trail byte 0x5C of 表 is no backslash once converted.
        {932, "\x82\xA0\x95\x5Cn", 260, "あ表n"},
        {1252,
         "gr\xFC\xDF"
         "e",
         260, "grüße"},
        {65001, "grüße", 260, "grüße"},
        {0, "as \x82 is", 260, "as \x82 is"},
        {932, "a\xFF", 260, "a?"},
        {932, "\x82\xA0\x82\xA0\x82\xA0", 8, "ああ"},
    };
    for (const Case& c : cases) {
        char buffer[260];
        os.ConvertToInside(c.codePage, c.text.c_str(), buffer, c.size);
        EXPECT_EQ(std::string(buffer), c.expected) << c.codePage << " " << c.text;
    }
    for (const auto& [path, shown] : std::vector<std::pair<std::string, std::string>>{
             {"C:\\dir\\ぁ\\x.txt", "/dir/ぁ/x.txt"}, {"rel\\a", "rel/a"}, {"", ""}}) {
        char buffer[260];
        os.PathForDisplay(path.c_str(), buffer, sizeof buffer);
        EXPECT_EQ(std::string(buffer), shown);
    }
}

TEST(PosixLookupsTest, ModulePathIsCutLikeGetModuleFileName) {
    Platform& os = NativePlatform();
    char full[260];
    uint32_t length = os.ModulePath(full, sizeof full);
    ASSERT_GT(length, 4u);
    EXPECT_EQ(full[0], '\\');
    char cut[4];
    EXPECT_EQ(os.ModulePath(cut, sizeof cut), 4u);
    EXPECT_EQ(std::string(cut), std::string(full, 3));
}

class PathCollector : public ProcessVisitor {
  public:
    bool Visit(const char* path) override {
        seen = seen || path == wanted;
        return true;
    }
    std::string wanted;
    bool seen = false;
};

TEST(PosixLookupsTest, ProcessesAreListedByTheirFullExecutablePath) {
    char self[260];
    ASSERT_GT(NativePlatform().ModulePath(self, sizeof self), 0u);
    PathCollector collector;
    collector.wanted = self;
    ASSERT_EQ(NativePlatform().EnumerateProcesses(collector), 0u);
    EXPECT_TRUE(collector.seen) << self;
}

TEST(PosixLookupsTest, WriteAccessWithSharedReadingStillBlocksAnExclusiveOpener) {
    TempFolder temp;
    ASSERT_TRUE(test::WriteFile(temp / "f", "f"));
    Platform& os = NativePlatform();
    FileHandle writer = kInvalidFile;
    ASSERT_EQ(os.Open((temp / "f").c_str(), kGenericWrite, kShareRead, kOpenExisting,
                      kAttributeNormal, &writer),
              0u);
    FileHandle other = kInvalidFile;
    EXPECT_EQ(os.Open((temp / "f").c_str(), kGenericRead, kShareNone, kOpenExisting,
                      kAttributeNormal, &other),
              win32err::kSharingViolation);
    // Reading from a handle opened for writing only is refused as on Windows.
    char c;
    uint32_t done = 7;
    EXPECT_EQ(os.Read(writer, &c, 1, &done), win32err::kAccessDenied);
    EXPECT_EQ(done, 0u);
    os.Close(writer);
}

}  // namespace
}  // namespace pkx

#endif  // _WIN32
