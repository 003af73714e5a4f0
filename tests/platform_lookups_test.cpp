// The native platform's lookups: INI values, the module path, running
// processes, special folders. Built for both targets.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/test_support.h"

namespace pkx {
namespace {

// The file name part of a path with either separator, in lower case.
std::string LowerFileName(const std::string& path) {
    std::string name = path.substr(path.find_last_of("\\/") + 1);
    for (char& c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return name;
}

TEST(PlatformIniTest, FollowsTheProfileReadingRulesAndCutsToTheBuffer) {
    test::TempFolder temp;
    const std::string ini = temp / "app.ini";
    const struct {
        const char *section, *key, *value;
        uint32_t size = 260;
    } rows[] = {
        {"Install", "Path", "C:\\Program Files\\App"},
        {"INSTALL", "path", "C:\\Program Files\\App"},
        {"Install", "Quoted", "  spaced  "},
        {"Install", "Single", "one"},
        {"Install", "Mismatched", "\"two'"},
        {"Install", "Lone", "\""},
        {"Install", "Empty", ""},
        {"Other", "Path", "other section"},
        {"Install", "Missing", ""},
        {"Missing", "Path", ""},
        {"Install", "top", ""},
        {"Install", "Late", ""},
        {"s", "k", "abc", 4},
        {"s", "q", "abc", 4},
        {"s", "k", "abcdef", 7},
    };
    for (bool written : {false, true}) {
        for (const auto& row : rows) {
            std::vector<char> buffer(row.size + 1, '#');
            const uint32_t length = NativePlatform().IniValue(ini.c_str(), row.section, row.key,
                                                              buffer.data(), row.size);
            const std::string value = written ? row.value : "";  // a missing file is empty
            EXPECT_EQ(std::string(buffer.data()), value) << row.section << "/" << row.key;
            EXPECT_EQ(length, value.size());
        }
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
                                    "Late=only in a repeated section\r\n"
                                    "[s]\nk=abcdef\nq=\"abcdef\"\n"));
    }
}

TEST(PlatformLookupsTest, ModulePathNamesThisProgramAndIsCutLikeGetModuleFileName) {
    Platform& os = NativePlatform();
    char path[260];
    const uint32_t length = os.ModulePath(path, sizeof path);
    ASSERT_GT(length, 4u);
    EXPECT_EQ(length, strlen(path));
    EXPECT_TRUE(os.Exists(path)) << path;
    EXPECT_NE(LowerFileName(path).find("pkx_tests"), std::string::npos) << path;
#ifndef _WIN32  // Windows versions differ on how a cut name ends
    EXPECT_EQ(path[0], '\\');
    char cut[4];
    EXPECT_EQ(os.ModulePath(cut, sizeof cut), 4u);
    EXPECT_EQ(std::string(cut), std::string(path, 3));
#endif
}

// Collects every visited path, up to `limit`.
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

// Listed by the file name at least; on POSIX by the full executable path.
TEST(PlatformLookupsTest, ProcessListIncludesThisProgram) {
    Platform& os = NativePlatform();
    char self[260];
    ASSERT_GT(os.ModulePath(self, sizeof self), 0u);
    Collector all;
    ASSERT_EQ(os.EnumerateProcesses(all), 0u);
    bool found = false;
    for (const std::string& path : all.paths) {
#ifdef _WIN32
        found = found || LowerFileName(path) == LowerFileName(self);
#else
        found = found || path == self;
#endif
    }
    EXPECT_TRUE(found) << self << " among " << all.paths.size();

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

}  // namespace
}  // namespace pkx
