// What only the POSIX platform has to get right: the mapping of paths,
// errors and locales, the registry export reader and the special folders.
#ifndef _WIN32

#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <optional>
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

using namespace std::string_literals;
using test::TempFolder;

// Sets (or, with a null value, removes) an environment variable for the life
// of the object.
class ScopedEnvironment {
  public:
    ScopedEnvironment(const char* name, const char* value) : name_(name) {
        if (const char* old = getenv(name)) previous_ = old;
        Set(value);
    }
    ~ScopedEnvironment() { Set(previous_ ? previous_->c_str() : nullptr); }

  private:
    void Set(const char* value) {
        value != nullptr ? setenv(name_.c_str(), value, 1) : unsetenv(name_.c_str());
    }
    std::string name_;
    std::optional<std::string> previous_;
};

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

TEST(PosixPathsTest, ADrivePathReachesTheSameFile) {
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
    // One Shift-JIS character whose trail byte is '\'; a trail byte that looks
    // like a letter is no letter.
    const char* kanji = "\x95\x5C.txt";
    const struct {
        const char *pattern, *name;
        uint32_t codePage;
        bool matches;
    } cases[] = {
        {"?.txt", kanji, 932, true},          {"?.txt", kanji, 1252, false},
        {"??.txt", kanji, 1252, true},        {"\x82\x61", "\x82\x41", 932, false},
        {"\x82\x61", "\x82\x41", 1252, true}, {"*", "", 1252, true},
        {"a*b*c", "aXbYbZc", 1252, true},     {"a*b*c", "aXbYbZ", 1252, false},
        {"*.*", "no-dot", 1252, true},        {"*.txt", "a.txt.old", 1252, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(posix::MatchesPattern(c.pattern, c.name, c.codePage), c.matches)
            << c.pattern << " " << c.name << " " << c.codePage;
    }
}

TEST(PosixErrorsTest, ErrnoValuesBecomeWin32Codes) {
    const std::pair<int, uint32_t> cases[] = {
        {EACCES, 5},   {EPERM, 5},        {EISDIR, 5},   {EBADF, 6},          {ENOMEM, 8},
        {EEXIST, 183}, {ENOSPC, 112},     {EDQUOT, 112}, {ENAMETOOLONG, 206}, {ENOTEMPTY, 145},
        {EMFILE, 4},   {EWOULDBLOCK, 32}, {ETXTBSY, 32}, {ENOTDIR, 3},        {EROFS, 19},
        {EINVAL, 87},  {ENOENT, 2},       {0, 31},       {12345, 31},
    };
    for (auto [error, code] : cases) EXPECT_EQ(posix::Win32Error(error), code) << error;
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
    const std::pair<const char*, uint32_t> cases[] = {
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
    };
    for (auto [locale, codePage] : cases)
        EXPECT_EQ(posix::CodePageOfLocale(locale), codePage) << locale;
    EXPECT_EQ(posix::CodePageOfLocale(nullptr), 1252u);
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

// An export of version 4: comments, escapes, a continued line, repeated and
// deleted sections, deleted values, malformed lines.
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
    "\"Five\"=\"12345\"\n\"Bin\"=hex:01,02,03,04\n"
    "\"A\"=dword:xyz\n\"A\"=hex:1g\n\"A\"=\"unterminated\n"
    "\"B\"=dword:123456789\n\"C\" = \"spaced\"\n"
    "\r\n"
    "[HKCU\\Software\\Vendor\\App]\r\n"
    "\"InstallDir\"=\"D:\\\\User\\\\App\"\r\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Vendor\\App]\r\n"
    "\"Later\"=\"added by a second section\"\r\n"
    "\"Count\"=dword:00000010\r\n"
    "[HKLM\\Software\\A\\B]\n\"V\"=\"1\"\n\"W\"=\"2\"\n"
    "[HKLM\\Software\\A\\B]\n\"W\"=-\n"
    "[HKLM\\Software\\C]\n\"V\"=\"3\"\n"
    "[-HKLM\\Software\\C]\n"
    "[HKLM\\Software\\P\\Q]\n\"V\"=\"4\"\n"
    "[-HKEY_LOCAL_MACHINE\\software\\p]\n";

// `text` as UTF-16LE with a byte-order mark.
std::string Utf16(const std::u16string& text) {
    std::string out = "\xFF\xFE";
    for (char16_t c : text) out += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
    return out;
}

TEST(RegistryFileTest, FindsTheValuesOfExports) {
    const std::string files[] = {
        kVersion4Export,
        Utf16(u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CLASSES_ROOT\\App.Document]\r\n"
              u"\"Folder\"=\"C:\\\\Caf\u00E9\"\r\n\"Expand\"=hex(2):25,00,41,00,25,00,00,00\r\n"),
        "",
        "[HKLM\\Software\\Vendor\\App]\n\"InstallDir\"=\"x\"\n",  // no header: no export
    };
    const auto lm = RegistryRoot::kLocalMachine;
    const char* app = "Software\\Vendor\\App";
    const struct {
        int file;
        RegistryRoot root;
        const char *key, *name;
        uint32_t size, code;
        std::string value;  // compared over its whole length; more: nothing written
    } rows[] = {
        {0, lm, app, "InstallDir", 260, 0, "C:\\Program Files\\App\0"s},
        {0, lm, "SOFTWARE\\vendor\\APP", "installdir", 260, 0, "C:\\Program Files\\App"},
        {0, RegistryRoot::kCurrentUser, app, "InstallDir", 260, 0, "D:\\User\\App"},
        {0, lm, app, "Quote", 260, 0, "say \"hi\""},
        {0, lm, app, "", 260, 0, "default value"},
        {0, lm, app, nullptr, 260, 0, "default value"},
        {0, lm, app, "Later", 260, 0, "added by a second section"},
        {0, lm, app, "Empty", 260, 0, "\0"s},
        {0, lm, app, "Count", 260, 0, "\x10\0\0\0"s},  // the later value wins
        {0, lm, app, "Bytes", 260, 0, "ABC\0#"s},
        {0, lm, app, "Expand", 260, 0, "%A%\0"s},  // no expansion
        {0, lm, app, "Five", 5, posix::kErrorMoreData, "#"},
        {0, lm, app, "Five", 6, 0, "12345\0"s},
        {0, lm, app, "Bin", 4, posix::kErrorMoreData, "#"},  // binary data gets a terminator too
        {0, lm, app, "Bin", 5, 0, "\x01\x02\x03\x04\0"s},
        {0, lm, app, "A", 260, 2, ""},
        {0, lm, app, "B", 260, 2, ""},
        {0, lm, app, "C", 260, 0, "spaced\0"s},
        {0, lm, "Software\\A\\B", "V", 260, 0, "1\0"s},
        {0, lm, "Software\\A\\B", "W", 260, 2, ""},
        {0, lm, "Software\\C", "V", 260, 2, ""},
        {0, lm, "Software\\P\\Q", "V", 260, 2, ""},
        {0, lm, "Software\\Vendor\\Other", "InstallDir", 260, 2, ""},
        {0, lm, "Software\\Vendor", "InstallDir", 260, 2, ""},
        {0, lm, app, "Nothing", 260, 2, ""},
        {0, RegistryRoot::kUsers, app, "InstallDir", 260, 2, ""},
        {1, RegistryRoot::kClassesRoot, "App.Document", "Folder", 260, 0, "C:\\Caf\xC3\xA9\0"s},
        {1, RegistryRoot::kClassesRoot, "App.Document", "Expand", 260, 0, "%A%\0"s},  // 8-bit text
        {2, lm, app, "InstallDir", 260, 2, ""},
        {3, lm, app, "InstallDir", 260, 2, ""},
    };
    for (const auto& row : rows) {
        char buffer[300];
        memset(buffer, '#', sizeof buffer);
        const std::string name = row.name != nullptr ? row.name : "(null)";
        EXPECT_EQ(posix::FindRegistryValue(files[row.file], row.root, row.key, row.name, buffer,
                                           row.size),
                  row.code)
            << name;
        EXPECT_EQ(std::string(buffer, row.value.size()), row.value) << name;
    }
}

TEST(RegistryFileTest, PlatformReadsTheFileNamedByTheEnvironment) {
    TempFolder temp;
    ASSERT_TRUE(test::WriteFile(temp / "system.reg", kVersion4Export));
    for (const auto& [file, code] : std::vector<std::pair<std::string, uint32_t>>{
             {temp / "system.reg", 0}, {temp / "missing.reg", 2}, {"", 2}}) {
        ScopedEnvironment registry("PKX_REGISTRY", file.empty() ? nullptr : file.c_str());
        char buffer[260] = "";
        EXPECT_EQ(
            NativePlatform().RegistryValue(RegistryRoot::kLocalMachine, "Software\\Vendor\\App",
                                           "InstallDir", buffer, 260),
            code)
            << file;
        EXPECT_STREQ(buffer, code == 0 ? "C:\\Program Files\\App" : "");
    }
}

TEST(PosixLookupsTest, SpecialFoldersComeFromTheEnvironmentInWindowsStyle) {
    ScopedEnvironment unset[] = {{"PKX_FOLDER_PROGRAM_FILES", nullptr},
                                 {"PKX_FOLDER_DRIVE_ROOT", nullptr},
                                 {"PKX_FOLDER_DESKTOP", nullptr},
                                 {"XDG_DESKTOP_DIR", nullptr},
                                 {"PKX_FOLDER_PERSONAL", nullptr},
                                 {"XDG_DOCUMENTS_DIR", nullptr},
                                 {"HOME", "/home/someone"}};
    const struct {
        SpecialFolder folder;
        const char *variable, *value, *path;  // no path: none found
    } rows[] = {
        {SpecialFolder::kWindows, "PKX_FOLDER_WINDOWS", "/srv/win/", "\\srv\\win"},
        {SpecialFolder::kProgramFiles, "PKX_UNSET", nullptr, "\\opt"},
        {SpecialFolder::kWindowsDriveRoot, "PKX_UNSET", nullptr, "\\"},
        {SpecialFolder::kDesktop, "PKX_UNSET", nullptr, "\\home\\someone\\Desktop"},
        {SpecialFolder::kDesktop, "XDG_DESKTOP_DIR", "/data/desk", "\\data\\desk"},
        {SpecialFolder::kPersonal, "HOME", nullptr, nullptr},
    };
    for (const auto& row : rows) {
        ScopedEnvironment set(row.variable, row.value);
        char path[260];
        EXPECT_EQ(NativePlatform().SpecialFolderPath(row.folder, path, sizeof path),
                  row.path != nullptr);
        EXPECT_STREQ(row.path != nullptr ? path : nullptr, row.path);
    }
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
    for (auto [language, whole] : {std::pair{TextLanguage::kJapanese, "キャンセル(&C)"},
                                   std::pair{TextLanguage::kEnglish, "&Cancel"}}) {
        char text[260];
        EXPECT_EQ(os.LoadText(1001, language, text, sizeof text), std::strlen(whole));
        EXPECT_STREQ(text, whole);
        EXPECT_EQ(os.LoadText(0xFFFFFFF0u, language, text, sizeof text), 0u);
        EXPECT_STREQ(text, "");
    }
}

TEST(PosixTextsTest, TextsEnterInUtf8AndPathsShowWithSlashes) {
    Platform& os = NativePlatform();
    EXPECT_EQ(os.InsideCodePage(932), kUtf8CodePage);
    EXPECT_EQ(os.InsideCodePage(1252), kUtf8CodePage);
    const struct {
        uint32_t codePage;
        const char* text;
        uint32_t size;
        std::string expected;
    } cases[] = {
        {932, "\x82\xA0\x95\x5Cn", 260, "あ表n"},  // the trail byte of 表 is no backslash now
        {1252, "gr\xFC\xDF\x65", 260, "grüße"},       {65001, "grüße", 260, "grüße"},
        {0, "as \x82 is", 260, "as \x82 is"},         {932, "a\xFF", 260, "a?"},
        {932, "\x82\xA0\x82\xA0\x82\xA0", 8, "ああ"},
    };
    for (const auto& c : cases) {
        char buffer[260];
        os.ConvertToInside(c.codePage, c.text, buffer, c.size);
        EXPECT_EQ(std::string(buffer), c.expected) << c.codePage << " " << c.text;
    }
    for (const auto& [path, shown] : std::vector<std::pair<std::string, std::string>>{
             {"C:\\dir\\ぁ\\x.txt", "/dir/ぁ/x.txt"}, {"rel\\a", "rel/a"}, {"", ""}}) {
        char buffer[260];
        os.PathForDisplay(path.c_str(), buffer, sizeof buffer);
        EXPECT_EQ(std::string(buffer), shown);
    }
}

// A handle opened for reading without sharing may answer its size, mode and
// times from its opening; what changes them since must still be seen: a
// writer beside a sharing reader, the handle's own reads, new time and mode,
// and a later handle of the same descriptor number.
TEST(PosixFilesTest, WhatAHandleKnowsOfItsFileStaysTrue) {
    TempFolder temp;
    Platform& os = NativePlatform();
    const std::string a = temp / "a", b = temp / "b";
    ASSERT_TRUE(test::WriteFile(a, "a") && test::WriteFile(b, "b"));
    ASSERT_EQ(chmod(test::NativePath(b).c_str(), 0700), 0);
    const uint32_t both = kShareRead | kShareWrite;
    FileHandle reader, writer, other;
    uint32_t size = 0, done = 0;
    for (uint32_t share : {kShareRead, both}) {
        ASSERT_EQ(os.Open(a.c_str(), kGenericRead, share, kOpenExisting, 0, &reader), 0u);
        uint32_t before = 0;
        ASSERT_EQ(os.Size(reader, &before), 0u);
        ASSERT_EQ(os.Open(a.c_str(), kGenericWrite, both, kOpenExisting, 0, &writer), 0u);
        ASSERT_EQ(os.Seek(writer, 0, kFileEnd, &size), 0u);
        ASSERT_EQ(os.Write(writer, "xy", 2, &done), 0u);
        os.Close(writer);
        EXPECT_EQ(os.Size(reader, &size), 0u);
        EXPECT_EQ(size, before + 2) << share;
        os.Close(reader);
    }
    ASSERT_EQ(os.Open(a.c_str(), kGenericRead, kShareNone, kOpenExisting, 0, &reader), 0u);
    ASSERT_EQ(os.Open(b.c_str(), kGenericRead, kShareNone, kOpenExisting, 0, &other), 0u);
    char first[2] = {};
    ASSERT_EQ(os.Read(reader, first, 1, &done), 0u);
    ASSERT_EQ(os.Seek(reader, 0, kFileBegin, &size), 0u);
    ASSERT_EQ(os.Read(reader, first + 1, 1, &done), 0u);
    EXPECT_EQ(first[1], first[0]);  // back at the start after a read
    ASSERT_EQ(os.CopyAccessMode(other, reader), 0u);
    os.Close(other);
    ASSERT_EQ(os.Open((temp / "c").c_str(), kGenericWrite, kShareNone, kCreateNew, 0, &other), 0u);
    ASSERT_EQ(os.CopyAccessMode(reader, other), 0u);
    os.Close(other);
    struct stat info;
    ASSERT_EQ(stat(test::NativePath(temp / "c").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    os.Close(reader);
    ASSERT_EQ(os.Open(a.c_str(), kGenericRead, kShareNone, kOpenExisting, 0, &reader), 0u);
    const FileTime time{0x12345600u, 0x01D00000u};
    FileTime seen{};
    ASSERT_EQ(os.SetWriteTime(reader, time), 0u);
    ASSERT_EQ(os.GetWriteTime(reader, &seen), 0u);
    EXPECT_EQ(seen.low, time.low);
    EXPECT_EQ(seen.high, time.high);
    os.Close(reader);
    ASSERT_EQ(os.Open(a.c_str(), kGenericWrite, kShareNone, kOpenExisting, 0, &writer), 0u);
    ASSERT_EQ(os.Seek(writer, 0, kFileEnd, &size), 0u);
    ASSERT_EQ(os.Write(writer, "xyz", 3, &done), 0u);
    EXPECT_EQ(os.Size(writer, &size), 0u);
    EXPECT_EQ(size, 8u);
    os.Close(writer);
}

}  // namespace
}  // namespace pkx

#endif  // _WIN32
