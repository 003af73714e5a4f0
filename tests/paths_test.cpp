#include "support/paths.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "tests/platforms/fault_injection.h"
#include "tests/test_support.h"

namespace pkx {
namespace {

using test::TempFolder;

// Answers the code page of its choice and holds names in it, as Windows
// does, unless `nativeNames`; passes everything else on.
class FixedCodePage : public FaultInjector {
  public:
    FixedCodePage(Platform& inner, uint32_t codePage, bool nativeNames = false)
        : FaultInjector(inner), codePage_(codePage), nativeNames_(nativeNames) {}
    uint32_t AnsiCodePage() override { return codePage_; }
    uint32_t InsideCodePage(uint32_t codePage) override {
        return nativeNames_ ? inner().InsideCodePage(codePage) : codePage;
    }

  private:
    uint32_t codePage_;
    bool nativeNames_;
};

// A folder tree in memory: records what would be tested and created.
class FakeFolders : public FixedCodePage {
  public:
    explicit FakeFolders(uint32_t codePage = 1252, bool nativeNames = false)
        : FixedCodePage(NativePlatform(), codePage, nativeNames) {}
    bool Exists(const char* path) override {
        tested.push_back(path);
        return existing.count(path) != 0;
    }
    uint32_t CreateFolder(const char* path) override {
        created.push_back(path);
        existing.insert(path);
        return 0;
    }
    std::set<std::string> existing;
    std::vector<std::string> tested;
    std::vector<std::string> created;
};

using Paths = std::vector<std::string>;

// --- FileExists

TEST(FileExistsTest, FoldersCountButNotWithATrailingBackslash) {
    TempFolder temp;
    ASSERT_TRUE(test::MakeFolders(temp / "dir"));
    ASSERT_TRUE(test::WriteFile(temp / "dir\\file.txt", "x"));
    EXPECT_EQ(FileExists((temp / "dir").c_str()), 1);
    EXPECT_EQ(FileExists((temp / "dir\\").c_str()), 0);
    EXPECT_EQ(FileExists((temp / "dir\\file.txt").c_str()), 1);
    EXPECT_EQ(FileExists((temp / "dir\\*.txt").c_str()), 1);
    EXPECT_EQ(FileExists((temp / "dir\\other.txt").c_str()), 0);
    EXPECT_EQ(FileExists(nullptr), 0);
}

// --- CreateFolders on real folders

TEST(CreateFoldersTest, CreatesWhatIsMissingAndNothingTwice) {
    TempFolder temp;
    ASSERT_TRUE(test::MakeFolders(temp / "a"));
    FaultInjector counter(NativePlatform());
    ScopedPlatform scope(counter);
    EXPECT_EQ(CreateFolders((temp / "a\\b\\").c_str()), 1);
    EXPECT_TRUE(test::IsFolder(temp / "a\\b"));
    EXPECT_EQ(counter.Count(Operation::kCreateFolder), 1u);
    EXPECT_EQ(CreateFolders((temp / "a\\b\\").c_str()), 1);
    EXPECT_EQ(counter.Count(Operation::kCreateFolder), 1u);
    EXPECT_EQ(test::ListTree(temp.path()), (test::Tree{{"a\\", ""}, {"a\\b\\", ""}}));
}

TEST(CreateFoldersTest, ARelativePathGrowsUnderTheCurrentFolder) {
    TempFolder temp;
    test::ScopedCurrentFolder inside(temp.path());
    EXPECT_EQ(CreateFolders("sub\\dir"), 1);
    EXPECT_EQ(test::ListTree(temp.path()), (test::Tree{{"sub\\", ""}, {"sub\\dir\\", ""}}));
}

TEST(CreateFoldersTest, ARootedPathIsNotTakenAsRelative) {
    TempFolder temp;
    ASSERT_TRUE(test::MakeFolders(temp / "cwd"));
    test::ScopedCurrentFolder inside(temp / "cwd");
    // The temporary folder without its drive: rooted on the current drive.
    std::string rooted = temp.path();
    if (rooted.size() > 1 && rooted[1] == ':') rooted.erase(0, 2);
    ASSERT_EQ(rooted[0], '\\');
    EXPECT_EQ(CreateFolders((rooted + "\\x\\y").c_str()), 1);
    EXPECT_EQ(test::ListTree(temp.path()),
              (test::Tree{{"cwd\\", ""}, {"x\\", ""}, {"x\\y\\", ""}}));
}

TEST(CreateFoldersTest, StopsAtTheFirstFailureAndKeepsWhatItMade) {
    TempFolder temp;
    ASSERT_TRUE(test::WriteFile(temp / "file", "a file where a folder is wanted"));
    EXPECT_EQ(CreateFolders((temp / "file\\sub").c_str()), 0);

    FaultInjector failing(NativePlatform());
    failing.FailAt(2, win32err::kAccessDenied, Operation::kCreateFolder);
    ScopedPlatform scope(failing);
    EXPECT_EQ(CreateFolders((temp / "one\\two\\three").c_str()), 0);
    EXPECT_EQ(failing.Count(Operation::kCreateFolder), 2u);
    EXPECT_TRUE(test::IsFolder(temp / "one"));
    EXPECT_FALSE(test::PathExists(temp / "one\\two"));
}

TEST(CreateFoldersTest, RefusesAPathThatDoesNotFitItsBuffer) {
    TempFolder temp;
    std::string longPath = temp / "first";
    while (longPath.size() < kPathSize) longPath += "\\component";
    FaultInjector counter(NativePlatform());
    ScopedPlatform scope(counter);
    EXPECT_EQ(CreateFolders(longPath.c_str()), 0);
    EXPECT_EQ(counter.Count(), 0u);
    EXPECT_FALSE(test::PathExists(temp / "first"));
}

// --- CreateFolders: the components it builds

TEST(CreateFoldersTest, KeepsDrivesRootsAndUncSharesAsTheStart) {
    FakeFolders fake;
    ScopedPlatform scope(fake);
    EXPECT_EQ(CreateFolders("C:\\a\\\\b\\"), 1);
    EXPECT_EQ(fake.created, (Paths{"C:\\a", "C:\\a\\b"}));
    fake.created.clear();
    EXPECT_EQ(CreateFolders("\\top\\inner"), 1);
    EXPECT_EQ(fake.created, (Paths{"\\top", "\\top\\inner"}));
    fake.created.clear();
    EXPECT_EQ(CreateFolders("\\\\server\\share\\dir"), 1);
    EXPECT_EQ(fake.created, (Paths{"\\\\server\\share\\dir"}));
    fake.created.clear();
    EXPECT_EQ(CreateFolders("C:"), 1);
    EXPECT_EQ(CreateFolders("\\"), 1);
    EXPECT_TRUE(fake.created.empty());
    EXPECT_EQ(CreateFolders("C:rel\\x"), 1);  // relative to the drive's current folder
    EXPECT_EQ(fake.created, (Paths{"C:rel", "C:rel\\x"}));
    fake.created.clear();
    EXPECT_EQ(CreateFolders("rel/with/slashes"), 1);
    EXPECT_EQ(fake.created, (Paths{"rel", "rel\\with", "rel\\with\\slashes"}));
}

TEST(CreateFoldersTest, NeverCutsADoubleByteCharacter) {
    FakeFolders fake(932);
    ScopedPlatform scope(fake);
    // "表" is 0x95 0x5C: its trail byte is a backslash.
    EXPECT_EQ(CreateFolders("C:\\\x95\x5C\\sub"), 1);
    EXPECT_EQ(fake.created, (Paths{"C:\\\x95\x5C", "C:\\\x95\x5C\\sub"}));
}

#ifndef _WIN32
// On POSIX names are UTF-8 bytes, whatever the system's code page: bytes that
// would lead a Shift-JIS character (E3 81 81 is "ぁ") hide no separator.
TEST(CreateFoldersTest, Utf8NamesOnPosixHaveNoLeadBytes) {
    FakeFolders fake(932, true);
    ScopedPlatform scope(fake);
    EXPECT_EQ(CreateFolders("\\tmp\\ぁ\\sub"), 1);
    EXPECT_EQ(fake.created, (Paths{"\\tmp", "\\tmp\\ぁ", "\\tmp\\ぁ\\sub"}));
    char dir[kPathSize], baseName[kPathSize];
    SplitPath("\\tmp\\ぁ\\x.txt", nullptr, dir, baseName, nullptr);
    EXPECT_STREQ(dir, "\\tmp\\ぁ\\");
    EXPECT_STREQ(baseName, "x");
    char label[] = "ポ|1";  // E3 83 9D 7C: in code page 932 the '|' would be a trail byte
    EXPECT_STREQ(ReplaceInvalidNameChars(label, '_'), "ポ_1");
}
#endif

// --- ReplaceInvalidNameChars

TEST(ReplaceInvalidNameCharsTest, ReplacesTheTenCharactersOnly) {
    char text[] = "a:b|c.1/2.old";
    EXPECT_EQ(ReplaceInvalidNameChars(text, '_'), text);
    EXPECT_STREQ(text, "a_b_c.1_2.old");
    char all[] = "/:,;*?\"<>|\\.x";
    EXPECT_STREQ(ReplaceInvalidNameChars(all, '_'), "__________\\.x");
    char empty[] = "";
    EXPECT_STREQ(ReplaceInvalidNameChars(empty, '_'), "");
}

TEST(ReplaceInvalidNameCharsTest, LeavesShiftJisCharactersWholeWhateverTheSystemCodePage) {
    FixedCodePage western(NativePlatform(), 1252);
    ScopedPlatform scope(western);
    char text[] = "\x83\x7C|\x81\x5B.old";  // "ポ" has the trail byte '|'
    EXPECT_STREQ(ReplaceInvalidNameChars(text, '_'), "\x83\x7C_\x81\x5B.old");
    char trailingLead[] = "a:\x83";
    EXPECT_STREQ(ReplaceInvalidNameChars(trailingLead, '_'), "a_\x83");
}

// --- SplitPath

struct Parts {
    std::string drive, folder, baseName, extension;
    bool operator==(const Parts& other) const {
        return drive == other.drive && folder == other.folder && baseName == other.baseName &&
               extension == other.extension;
    }
};

std::ostream& operator<<(std::ostream& out, const Parts& parts) {
    return out << "{" << parts.drive << " | " << parts.folder << " | " << parts.baseName << " | "
               << parts.extension << "}";
}

Parts Split(const std::string& path) {
    char drive[kPathSize], folder[kPathSize], baseName[kPathSize], extension[kPathSize];
    SplitPath(path.c_str(), drive, folder, baseName, extension);
    return Parts{drive, folder, baseName, extension};
}

TEST(SplitPathTest, SplitsAtTheLastSeparatorAndTheLastDot) {
    FixedCodePage western(NativePlatform(), 1252);
    ScopedPlatform scope(western);
    EXPECT_EQ(Split("C:\\dir\\name.tar.gz"), (Parts{"C:", "\\dir\\", "name.tar", ".gz"}));
    EXPECT_EQ(Split("C:\\dir.d\\name"), (Parts{"C:", "\\dir.d\\", "name", ""}));
    EXPECT_EQ(Split("name.txt"), (Parts{"", "", "name", ".txt"}));
    EXPECT_EQ(Split("a/b\\c/file."), (Parts{"", "a/b\\c/", "file", "."}));
    EXPECT_EQ(Split("D:.profile"), (Parts{"D:", "", "", ".profile"}));
    EXPECT_EQ(Split("C:\\dir\\"), (Parts{"C:", "\\dir\\", "", ""}));
    EXPECT_EQ(Split(""), (Parts{"", "", "", ""}));
    EXPECT_EQ(Split("x"), (Parts{"", "", "x", ""}));
}

TEST(SplitPathTest, DoubleByteCharactersOfTheSystemCodePageStayWhole) {
    const std::string path = "C:\\dir\\\x95\x5C.txt";
    {
        FixedCodePage japanese(NativePlatform(), 932);
        ScopedPlatform scope(japanese);
        EXPECT_EQ(Split(path), (Parts{"C:", "\\dir\\", "\x95\x5C", ".txt"}));
        EXPECT_EQ(Split("C:\\abc\x95"), (Parts{"C:", "\\", "abc\x95", ""}));
    }
    FixedCodePage western(NativePlatform(), 1252);
    ScopedPlatform scope(western);
    EXPECT_EQ(Split(path), (Parts{"C:", "\\dir\\\x95\\", "", ".txt"}));
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
