// The native platform's lookups: INI values, the module path, running
// processes, special folders, time. Built for both targets.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/test_support.h"

namespace pkx {
namespace {

using test::TempFolder;

// The file name part of a path with either separator.
std::string FileNameOf(const std::string& path) {
    size_t separator = path.find_last_of("\\/");
    return separator == std::string::npos ? path : path.substr(separator + 1);
}

std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

class PlatformIniTest : public ::testing::Test {
  protected:
    std::string Value(const char* section, const char* key, uint32_t size = 260) {
        std::vector<char> buffer(size + 1, '#');
        uint32_t length = os.IniValue(ini.c_str(), section, key, buffer.data(), size);
        std::string value(buffer.data());
        EXPECT_EQ(length, value.size()) << section << "/" << key;
        return value;
    }

    Platform& os = NativePlatform();
    TempFolder temp;
    std::string ini = temp / "app.ini";
};

TEST_F(PlatformIniTest, FollowsTheProfileReadingRules) {
    ASSERT_TRUE(test::WriteFile(ini,
                                "top=before any section\r\n"
                                "[Install]\r\n"
                                "  Path  =  C:\\Program Files\\App  \r\n"
                                "; Path=commented out\r\n"
                                "Quoted=\"  spaced  \"\r\n"
                                "Single='one'\r\n"
                                "Mismatched=\"two'\r\n"
                                "Lone=\"\r\n"
                                "Empty=\r\n"
                                "path=second of the same key\r\n"
                                "[Other]\r\n"
                                "Path=other section\r\n"
                                "[install]\r\n"
                                "Late=only in a repeated section\r\n"));
    EXPECT_EQ(Value("Install", "Path"), "C:\\Program Files\\App");
    EXPECT_EQ(Value("INSTALL", "path"), "C:\\Program Files\\App");
    EXPECT_EQ(Value("Install", "Quoted"), "  spaced  ");
    EXPECT_EQ(Value("Install", "Single"), "one");
    EXPECT_EQ(Value("Install", "Mismatched"), "\"two'");
    EXPECT_EQ(Value("Install", "Lone"), "\"");
    EXPECT_EQ(Value("Install", "Empty"), "");
    EXPECT_EQ(Value("Other", "Path"), "other section");
    EXPECT_EQ(Value("Install", "Missing"), "");
    EXPECT_EQ(Value("Missing", "Path"), "");
    EXPECT_EQ(Value("Install", "top"), "");
    EXPECT_EQ(Value("Install", "Late"), "");
}

TEST_F(PlatformIniTest, CutsLongValuesToTheBufferAndAMissingFileIsEmpty) {
    EXPECT_EQ(Value("s", "k"), "");
    ASSERT_TRUE(test::WriteFile(ini, "[s]\nk=abcdef\nq=\"abcdef\"\n"));
    EXPECT_EQ(Value("s", "k", 4), "abc");
    EXPECT_EQ(Value("s", "q", 4), "abc");
    EXPECT_EQ(Value("s", "k", 7), "abcdef");
}

TEST(PlatformLookupsTest, ModulePathNamesThisProgram) {
    Platform& os = NativePlatform();
    char path[260];
    uint32_t length = os.ModulePath(path, sizeof path);
    ASSERT_GT(length, 0u);
    EXPECT_EQ(length, strlen(path));
    EXPECT_TRUE(os.Exists(path)) << path;
    EXPECT_NE(Lower(FileNameOf(path)).find("pkx_tests"), std::string::npos) << path;
}

// Collects every visited path.
class Collector : public ProcessVisitor {
  public:
    explicit Collector(size_t limit = SIZE_MAX) : limit_(limit) {}
    bool Visit(const char* path) override {
        paths.push_back(path);
        return paths.size() < limit_;
    }
    std::vector<std::string> paths;

  private:
    size_t limit_;
};

TEST(PlatformLookupsTest, ProcessListIncludesThisProgram) {
    Platform& os = NativePlatform();
    char self[260];
    ASSERT_GT(os.ModulePath(self, sizeof self), 0u);
    Collector all;
    ASSERT_EQ(os.EnumerateProcesses(all), 0u);
    bool found = false;
    for (const std::string& path : all.paths) {
        found = found || Lower(FileNameOf(path)) == Lower(FileNameOf(self));
    }
    EXPECT_TRUE(found) << FileNameOf(self) << " among " << all.paths.size();

    Collector first(1);
    ASSERT_EQ(os.EnumerateProcesses(first), 0u);
    EXPECT_EQ(first.paths.size(), 1u);  // the visitor stopped the walk
}

TEST(PlatformLookupsTest, SystemFoldersExistAndFit) {
    Platform& os = NativePlatform();
    for (SpecialFolder folder : {SpecialFolder::kWindows, SpecialFolder::kSystem}) {
        char path[260];
        ASSERT_TRUE(os.SpecialFolderPath(folder, path, sizeof path));
        EXPECT_TRUE(os.Exists(path)) << path;
        EXPECT_NE(path[strlen(path) - 1], '\\') << path;
        char tiny[2] = {'#', '#'};
        EXPECT_FALSE(os.SpecialFolderPath(folder, tiny, sizeof tiny));
    }
    char root[260];
    ASSERT_TRUE(os.SpecialFolderPath(SpecialFolder::kWindowsDriveRoot, root, sizeof root));
    EXPECT_EQ(root[strlen(root) - 1], '\\') << root;
}

TEST(PlatformLookupsTest, NoWindowHasAMadeUpTitle) {
    EXPECT_FALSE(NativePlatform().FindTopWindow("pkx test: no such window 7d1f", nullptr));
}

}  // namespace
}  // namespace pkx
