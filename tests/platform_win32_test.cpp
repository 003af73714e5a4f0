// What only the Win32 platform has: both ways of listing running programs
// and the registry. Runs under Wine in the Windows build.
#ifdef _WIN32

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/win32/win32_platform.h"

namespace pkx {
namespace {

std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

std::string FileNameOf(const std::string& path) {
    size_t separator = path.find_last_of("\\/");
    return Lower(separator == std::string::npos ? path : path.substr(separator + 1));
}

class Names : public ProcessVisitor {
  public:
    bool Visit(const char* path) override {
        names.push_back(FileNameOf(path));
        return true;
    }
    bool Has(const std::string& name) const {
        for (const std::string& seen : names) {
            if (seen == name) return true;
        }
        return false;
    }
    std::vector<std::string> names;
};

std::string OwnFileName() {
    char path[260];
    EXPECT_GT(NativePlatform().ModulePath(path, sizeof path), 0u);
    return FileNameOf(path);
}

TEST(Win32ProcessesTest, TheSnapshotListsThisProgram) {
    Names names;
    ASSERT_EQ(win32::EnumerateBySnapshot(names), 0u);
    EXPECT_TRUE(names.Has(OwnFileName()));
}

TEST(Win32ProcessesTest, TheModuleListAlsoNamesLoadedLibraries) {
    Names names;
    ASSERT_EQ(win32::EnumerateByModules(names), 0u);
    EXPECT_TRUE(names.Has(OwnFileName()));
    EXPECT_TRUE(names.Has("kernel32.dll"));
}

TEST(Win32ProcessesTest, OsKindIsOneOfTheKnownKinds) {
    int kind = win32::OsKind();
    EXPECT_TRUE(kind == -1 || (kind >= 1 && kind <= 6)) << kind;
}

TEST(Win32RegistryTest, ReadsValuesAndReportsMissingOnes) {
    Platform& os = NativePlatform();
    char buffer[260];
    ASSERT_EQ(os.RegistryValue(RegistryRoot::kLocalMachine,
                               "Software\\Microsoft\\Windows NT\\CurrentVersion", "SystemRoot",
                               buffer, sizeof buffer),
              0u);
    EXPECT_NE(buffer[0], '\0');
    EXPECT_EQ(os.RegistryValue(RegistryRoot::kLocalMachine, "Software\\pkx-no-such-key", "x",
                               buffer, sizeof buffer),
              2u);
    EXPECT_EQ(os.RegistryValue(RegistryRoot::kLocalMachine,
                               "Software\\Microsoft\\Windows NT\\CurrentVersion",
                               "pkx-no-such-value", buffer, sizeof buffer),
              2u);
    char tiny[2];
    EXPECT_EQ(os.RegistryValue(RegistryRoot::kLocalMachine,
                               "Software\\Microsoft\\Windows NT\\CurrentVersion", "SystemRoot",
                               tiny, sizeof tiny),
              234u);
}

}  // namespace
}  // namespace pkx

#endif  // _WIN32
