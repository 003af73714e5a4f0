#include "support/paths.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

#include "platform/double_byte.h"
#include "tests/platforms/fault_injection.h"
#include "tests/test_support.h"

namespace pkx {
namespace {

// Answers `codePage` and holds names in it, as Windows does.
class CodePage : public PlatformWrapper {
  public:
    explicit CodePage(uint32_t page = 1252) : PlatformWrapper(NativePlatform()), codePage(page) {}
    uint32_t AnsiCodePage() override { return codePage; }
    uint32_t InsideCodePage(uint32_t page) override { return page; }

    uint32_t codePage;
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

// Names a journal or a record may give: inside the folder they are taken in,
// whatever the code page makes of their bytes.
TEST(NameInsideFolderTest, RelativeWithoutEmptyDotOrDeviceSteps) {
    const struct {
        uint32_t codePage;
        const char* name;
        bool inside;
    } rows[] = {
        {1252, "a.txt", true},     {1252, "sub\\dir/a.txt", true},
        {1252, "...a", true},      {1252, "com10.txt", true},
        {1252, "console", true},   {1252, "", false},
        {1252, "\\a", false},      {1252, "/a", false},
        {1252, "C:a", false},      {1252, "a\\", false},
        {1252, "a\\\\b", false},   {1252, "a/./b", false},
        {1252, "a/. . /b", false}, {1252, "..\\a", false},
        {1252, "Aux", false},      {1252, "sub\\lpt9 .log", false},
        {932, "\x95\x5C..", true}, {1252, "\x95\x5C..", false},  // a trail byte 0x5C
    };
    CodePage fake;
    PlatformScope scope(fake);
    for (const auto& row : rows) {
        fake.codePage = row.codePage;
        EXPECT_EQ(IsNameInsideFolder(row.name), row.inside) << row.codePage << " " << row.name;
    }
}

// Shift-JIS characters stay whole on a system of code page 1252 too.
TEST(ReplaceInvalidNameCharsTest, ReplacesTheTenCharactersOnly) {
    CodePage western;
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
    CodePage fake;
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
