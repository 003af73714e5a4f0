#include "support/paths.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <utility>

#include "platform/double_byte.h"
#include "tests/platforms/fault_injection.h"
#include "tests/test_support.h"

namespace pkx {
namespace {

using test::TempFolder;

// Answers `codePage` and holds names in it, as Windows does, unless
// `nativeNames`; keeps a folder tree in memory.
class FakeFolders : public PlatformWrapper {
  public:
    explicit FakeFolders(uint32_t page = 1252, bool native = false)
        : PlatformWrapper(NativePlatform()), codePage(page), nativeNames(native) {}
    uint32_t AnsiCodePage() override { return codePage; }
    uint32_t InsideCodePage(uint32_t page) override {
        return nativeNames ? inner().InsideCodePage(page) : page;
    }
    bool Exists(const char* path) override { return existing.count(path) != 0; }
    uint32_t CreateFolder(const char* path) override {
        created += std::string(created.empty() ? "" : "|") + path;
        existing.insert(path);
        return 0;
    }

    uint32_t codePage;
    bool nativeNames;
    std::set<std::string> existing;
    std::string created;  // the folders made, split by '|'
};

TEST(DoubleByteTest, LeadByteRangesEndWhereTheCodePagesEnd) {
    const struct {
        uint32_t codePage;
        uint8_t byte;
        bool lead;
    } cases[] = {
        {932, 0x80, false},  {932, 0x81, true},    {932, 0x9F, true},  {932, 0xA0, false},
        {932, 0xDF, false},  {932, 0xE0, true},    {932, 0xFC, true},  {932, 0xFD, false},
        {936, 0x80, false},  {936, 0x81, true},    {936, 0xFE, true},  {936, 0xFF, false},
        {949, 0x80, false},  {949, 0x81, true},    {949, 0xFE, true},  {949, 0xFF, false},
        {950, 0x80, false},  {950, 0x81, true},    {950, 0xFE, true},  {950, 0xFF, false},
        {1252, 0x81, false}, {65001, 0xE3, false}, {932, 0x5C, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsLeadByte(c.codePage, c.byte), c.lead) << c.codePage << " " << int{c.byte};
        const char text[] = {static_cast<char>(c.byte), '\\', '\0'};
        EXPECT_EQ(CharLength(text, c.codePage), c.lead ? 2u : 1u);
        // A lead byte with nothing after it stands alone.
        EXPECT_EQ(CharLength(text + 1, c.codePage), 1u);
    }
}

TEST(FullPathTest, OnlyFullPathsThatFitAreBuilt) {
    char path[kPathSize];
    ASSERT_TRUE(BuildFullPath("C:\\App\\", "sub\\x.dll", path));
    EXPECT_STREQ(path, "C:\\App\\sub\\x.dll");
    const std::string name(259 - 7, 'n');
    EXPECT_TRUE(BuildFullPath("C:\\App\\", name.c_str(), path));
    EXPECT_FALSE(BuildFullPath("C:\\App\\", (name + "n").c_str(), path));
    EXPECT_STREQ(path, "");
}

// The folders made for each path, in order on one tree: a second run makes none.
TEST(CreateFoldersTest, MakesEachMissingFolderOfTheChainOnce) {
    const struct {
        uint32_t codePage;
        const char *path, *created;
    } rows[] = {
        {1252, "C:\\a\\\\b\\", "C:\\a|C:\\a\\b"},
        {1252, "C:\\a\\c", "C:\\a\\c"},
        {1252, "\\top\\inner", "\\top|\\top\\inner"},
        {1252, "\\\\server\\share\\dir", "\\\\server\\share\\dir"},
        {1252, "C:", ""},
        {1252, "\\", ""},
        {1252, "C:rel\\x", "C:rel|C:rel\\x"},  // relative to the drive's current folder
        {1252, "rel/with/slashes", "rel|rel\\with|rel\\with\\slashes"},
        {932, "C:\\\x95\x5C\\sub",
         "C:\\\x95\x5C|C:\\\x95\x5C\\sub"},  // the trail byte of 表 is '\'
    };
    FakeFolders fake;
    PlatformScope scope(fake);
    for (const auto& row : rows) {
        fake.codePage = row.codePage;
        for (const char* created : {row.created, ""}) {
            fake.created.clear();
            EXPECT_EQ(CreateFolders(row.path), 1) << row.path;
            EXPECT_EQ(fake.created, created) << row.path;
        }
    }
    std::string longPath = "C:\\first";
    while (longPath.size() < kPathSize) longPath += "\\component";
    EXPECT_EQ(CreateFolders(longPath.c_str()), 0);
    EXPECT_EQ(fake.created, "");
}

TEST(CreateFoldersTest, StopsAtTheFirstFailureAndKeepsWhatItMade) {
    TempFolder temp;
    ASSERT_TRUE(test::WriteFile(temp / "file", "a file where a folder is wanted"));
    EXPECT_EQ(CreateFolders((temp / "file\\sub").c_str()), 0);

    FaultInjector failing(NativePlatform());
    failing.FailAt(2, win32err::kAccessDenied, Operation::kCreateFolder);
    PlatformScope scope(failing);
    EXPECT_EQ(CreateFolders((temp / "one\\two\\three").c_str()), 0);
    EXPECT_EQ(failing.Count(Operation::kCreateFolder), 2u);
    EXPECT_EQ(test::ListTree(temp.path()),
              (test::Tree{{"file", "a file where a folder is wanted"}, {"one\\", ""}}));
}

#ifndef _WIN32
// On POSIX names are UTF-8 bytes, whatever the system's code page: bytes that
// would lead a Shift-JIS character (E3 81 81 is "ぁ") hide no separator.
TEST(CreateFoldersTest, Utf8NamesOnPosixHaveNoLeadBytes) {
    FakeFolders fake(932, true);
    PlatformScope scope(fake);
    EXPECT_EQ(CreateFolders("\\tmp\\ぁ\\sub"), 1);
    EXPECT_EQ(fake.created, "\\tmp|\\tmp\\ぁ|\\tmp\\ぁ\\sub");
    char dir[kPathSize], baseName[kPathSize];
    SplitPath("\\tmp\\ぁ\\x.txt", nullptr, dir, baseName, nullptr);
    EXPECT_STREQ(dir, "\\tmp\\ぁ\\");
    EXPECT_STREQ(baseName, "x");
    char label[] = "ポ|1";  // E3 83 9D 7C: in code page 932 the '|' would be a trail byte
    EXPECT_STREQ(ReplaceInvalidNameChars(label, '_'), "ポ_1");
}
#endif

// Shift-JIS characters stay whole on a system of code page 1252 too.
TEST(ReplaceInvalidNameCharsTest, ReplacesTheTenCharactersOnly) {
    FakeFolders western;
    PlatformScope scope(western);
    const std::pair<std::string, const char*> rows[] = {
        {"a:b|c.1/2.old", "a_b_c.1_2.old"},
        {"/:,;*?\"<>|\\.x", "__________\\.x"},
        {"", ""},
        {"\x83\x7C|\x81\x5B.old", "\x83\x7C_\x81\x5B.old"},  // the trail byte of ポ is '|'
        {"a:\x83", "a_\x83"},
    };
    for (auto [text, replaced] : rows) {
        EXPECT_EQ(ReplaceInvalidNameChars(text.data(), '_'), text.data());
        EXPECT_EQ(text, replaced);
    }
}

// Drive, folder, base name and extension, split by '|'.
std::string Split(const char* path) {
    char drive[kPathSize], folder[kPathSize], baseName[kPathSize], extension[kPathSize];
    SplitPath(path, drive, folder, baseName, extension);
    return std::string(drive) + "|" + folder + "|" + baseName + "|" + extension;
}

TEST(SplitPathTest, SplitsAtTheLastSeparatorAndDotOutsideDoubleByteCharacters) {
    const struct {
        uint32_t codePage;
        const char *path, *parts;
    } rows[] = {
        {1252, "C:\\dir\\name.tar.gz", "C:|\\dir\\|name.tar|.gz"},
        {1252, "C:\\dir.d\\name", "C:|\\dir.d\\|name|"},
        {1252, "name.txt", "||name|.txt"},
        {1252, "a/b\\c/file.", "|a/b\\c/|file|."},
        {1252, "D:.profile", "D:|||.profile"},
        {1252, "C:\\dir\\", "C:|\\dir\\||"},
        {1252, "", "|||"},
        {1252, "x", "||x|"},
        {932, "C:\\dir\\\x95\x5C.txt", "C:|\\dir\\|\x95\x5C|.txt"},
        {932, "C:\\abc\x95", "C:|\\|abc\x95|"},
        {1252, "C:\\dir\\\x95\x5C.txt", "C:|\\dir\\\x95\\||.txt"},
    };
    FakeFolders fake;
    PlatformScope scope(fake);
    for (const auto& row : rows) {
        fake.codePage = row.codePage;
        EXPECT_EQ(Split(row.path), row.parts) << row.codePage << " " << row.path;
    }
}

TEST(SplitPathTest, OutputsAreOptionalAndBounded) {
    char baseName[kPathSize];
    SplitPath("C:\\dir\\name.ext", nullptr, nullptr, baseName, nullptr);
    EXPECT_STREQ(baseName, "name");

    char extension[kPathSize + 8];
    memset(extension, '#', sizeof extension);
    SplitPath(("a." + std::string(300, 'x')).c_str(), nullptr, nullptr, baseName, extension);
    EXPECT_STREQ(baseName, "a");
    EXPECT_EQ(strlen(extension), 255u);
    EXPECT_EQ(extension[0], '.');

    char folder[kPathSize + 8];
    memset(folder, '#', sizeof folder);
    SplitPath((std::string(400, 'd') + "\\n").c_str(), nullptr, folder, baseName, nullptr);
    EXPECT_EQ(strlen(folder), kPathSize - 1);
    EXPECT_EQ(folder[kPathSize], '#');
    EXPECT_STREQ(baseName, "n");
}

}  // namespace
}  // namespace pkx
