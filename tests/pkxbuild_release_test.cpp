// What the builder refuses and warns of before it builds.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/pkxbuild_fixtures.h"
#include "tools/pkxbuild/builder_checks.h"

namespace pkx::test {
namespace {

namespace fs = std::filesystem;

const Files kNoFiles;

struct Release {
    std::vector<Files> olds;
    Files newest;
    std::string manifest;
};

// The release's folders on disk, and its build request.
class ReleaseFolders {
  public:
    explicit ReleaseFolders(const Release& release) : olds_(release.olds.size()) {
        for (size_t i = 0; i < olds_.size(); ++i) Install(olds_[i].path(), release.olds[i]);
        Install(newFolder.path(), release.newest);
        std::vector<const TempFolder*> olds;
        for (const TempFolder& folder : olds_) olds.push_back(&folder);
        request = FolderRequest(olds, newFolder, ParseOrFail(release.manifest));
    }

    std::string Refusal() {
        builder::BuildResult result;
        std::string error;
        EXPECT_FALSE(builder::BuildPayload(request, nullptr, &result, &error));
        return error;
    }

    TempFolder newFolder;
    builder::BuildRequest request;

  private:
    std::vector<TempFolder> olds_;
};

TEST(PkxBuildNames, NamesWindowsRefusesOrThatLeaveTheInstallationAreFound) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"bin\\app.exe", ""},
        {"caf\xC3\xA9 .d\\console.txt", ""},
        {"a\\..\\..\\evil.exe", "leads out of the installation folder"},
        {"\\windows\\evil.exe", "is not relative"},
        {"C:evil.exe", "names the drive C:"},
        {"star*.txt", "holds '*'"},
        {"a:b", "names the drive a:"},
        {"what?.txt", "holds '?'"},
        {"con.txt", "is the device CON"},
        {"logs\\LPT9", "is the device LPT9"},
        {"dot.", "ends with a dot or a space"},
        {"space ", "ends with a dot or a space"},
        {"line\nbreak", "holds a control character (\\x0A)"},
        {"a\\\\b", "has an empty folder name"},
    };
    for (const auto& [name, expected] : cases) {
        const std::string problem = builder::NameProblem(name);
        EXPECT_EQ(problem.empty(), expected.empty()) << name << ": " << problem;
        EXPECT_NE(problem.find(expected), std::string::npos) << name << ": " << problem;
    }
}

TEST(PkxBuildRefusals, WhatCanNeverApplyIsRefusedBeforeBuilding) {
    const std::vector<std::pair<Release, std::string>> cases = {
        // A leftover named like the backup of app.bin: the move aside would fail.
        {{{{{"app.bin", "1.0"}}},
          {{"app.bin", "2.0"}, {"app.bin.1.0.old", "test"}},
          "old_version = '1.0'\n[options]\noverwrite_existing_adds = true"},
         "\"app.bin.1.0.old\" is the name the updater gives the backup of \"app.bin\""},
        {{{{{"a,b.txt", "1"}, {"a;b.txt", "2"}}}, {{"a,b.txt", "3"}, {"a;b.txt", "4"}}, ""},
         "\"a,b.txt\" and \"a;b.txt\" get the same backup name \"a_b.txt."},
        {{{{{"a.txt", "1"}}, {{"a.txt", "2"}}}, {{"a.txt", "3"}}, "old_version = ['v', 'v']"},
         "give the old versions different labels"},
        {{{kNoFiles}, {{"star*.txt", "x"}}, ""}, "the name \"star*.txt\" holds '*'"},
        {{{kNoFiles}, {{"caf\xC3\xA9.txt", "x"}}, ""}, "holds non-ASCII characters: set code_page"},
        {{{kNoFiles}, {{"a.txt", "x"}}, "document = '..\\setup.exe'"},
         "the manifest's document \"..\\setup.exe\" leads out of the installation folder"},
    };
    for (const auto& [release, expected] : cases) {
        ReleaseFolders folders(release);
        const std::string error = folders.Refusal();
        EXPECT_NE(error.find(expected), std::string::npos) << error;
    }
}

TEST(PkxBuildRefusals, AnOutputInsideAnInputFolderIsRefused) {
    TempFolder work;
    ASSERT_TRUE(MakeFolders(work / "old\\sub") && MakeFolders(work / "new"));
    const std::vector<std::string> inputs = {NativePath(work / "old"), NativePath(work / "new")};
    for (const auto& [output, inside] :
         std::vector<std::pair<std::string, bool>>{{"new\\update", true},
                                                   {"old\\sub\\update", true},
                                                   {"new\\..\\update", false},
                                                   {"newer\\update", false}}) {
        std::string error;
        EXPECT_EQ(builder::CheckOutputPlace(NativePath(work / output), inputs, &error), !inside)
            << output;
        EXPECT_EQ(error.find("is inside") != std::string::npos, inside) << error;
    }
}

TEST(PkxBuildWarnings, FolderSourcesThatWorkOtherwiseThanTheyReadAreWarnedOf) {
    const std::string registry =
        "[[folder_source]]\nkind = 'registry'\nroot = 'HKLM'\nkey = \"SOFTWARE\\new\"\n";
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {"[[folder_source]]\nkind = 'registry'\nroot = 'HKLM'\nkey = 'k'\n"
         "[[folder_source]]\nkind = 'ask'",
         {}},
        {"[[folder_source]]\nkind = 'path'\npath = 'x'", {"and no source follows it"}},
        {"[[folder_source]]\nkind = 'path'\nfolder = 'desktop'\npath = 'x'\n"
         "[[folder_source]]\nkind = 'ask'",
         {"tried only when its special folder is unknown"}},
        {registry, {"folder source 1 holds a control character: \"SOFTWARE\\x0Aew\""}},
    };
    for (const auto& [manifest, expected] : cases) {
        const std::vector<std::string> warnings = builder::ManifestWarnings(ParseOrFail(manifest));
        ASSERT_EQ(warnings.size(), expected.size()) << manifest;
        for (size_t i = 0; i < expected.size(); ++i) {
            EXPECT_NE(warnings[i].find(expected[i]), std::string::npos) << warnings[i];
        }
    }
}

TEST(PkxBuildWarnings, ANewFolderWhoseChangedFilesAreAllOlderLooksSwapped) {
    for (const bool swapped : {false, true}) {
        ReleaseFolders folders(
            {{{{"a.txt", "1"}, {"same.txt", "s"}}}, {{"a.txt", "2"}, {"same.txt", "s"}}, ""});
        const auto now = fs::file_time_type::clock::now();
        const std::string oldFile = folders.request.oldFolders[0] + "/a.txt";
        const std::string newFile = folders.request.newFolder + "/a.txt";
        fs::last_write_time(swapped ? oldFile : newFile, now);
        fs::last_write_time(swapped ? newFile : oldFile, now - std::chrono::hours(24));
        const builder::BuildResult built = BuildFolders(folders.request);
        const bool warned =
            !built.warnings.empty() &&
            built.warnings.back().find("are --old and --new swapped?") != std::string::npos;
        EXPECT_EQ(warned, swapped);
    }
}

}  // namespace
}  // namespace pkx::test

#endif  // _WIN32
