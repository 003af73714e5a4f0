// What the builder refuses and warns of before it builds, and the proof it
// makes of every updater: the updater's engine applies it to copies of the
// old folders, which must then equal the new folder.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "support/md5.h"
#include "tests/pkxbuild_fixtures.h"
#include "tools/pkxbuild/builder_checks.h"
#include "tools/pkxbuild/builder_listing.h"
#include "tools/pkxbuild/builder_proof.h"

namespace pkx::test {
namespace {

namespace fs = std::filesystem;

const Files kNoFiles;

struct Release {
    std::vector<Files> olds;
    Files newest;
    std::string manifest;
};

// The release's folders on disk, and its build.
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

    builder::ProofReport Prove(const Bytes& file) {
        builder::ProofReport report;
        builder::ProveUpdater(file,
                              {request.oldFolders, request.newFolder, request.manifest.codePage},
                              nullptr, &report);
        return report;
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

TEST(PkxBuildManifestDocs, EveryKeyTheParserAcceptsIsDescribed) {
    const fs::path docs = fs::path(__FILE__).parent_path().parent_path() / "docs" / "manifest.md";
    std::ifstream file(docs);
    ASSERT_TRUE(file) << docs;
    // The first cell of each row of a key table: | `options.skip_missing_sources` | ...
    std::set<std::string> described;
    for (std::string line; std::getline(file, line);) {
        const size_t end = line.find("` |");
        if (line.rfind("| `", 0) == 0 && end != std::string::npos) {
            described.insert(line.substr(3, end - 3));
        }
    }
    const std::vector<std::string> keys = builder::ManifestKeys();
    EXPECT_EQ(described, std::set<std::string>(keys.begin(), keys.end()));
}

// --- The proof.

Bytes BuildOrFail(ReleaseFolders& folders) { return BuildFolders(folders.request).payload; }

TEST(PkxBuildProof, CopiesOfEveryOldFolderBecomeTheNewFolder) {
    const Files v1 = {
        {"app.exe", Pattern(9000, 1)}, {"lib\\core.dll", Pattern(5000, 2)}, {"old.txt", "bye"}};
    const Files v2 = {{"app.exe", Pattern(9100, 3)},
                      {"lib\\core.dll", Pattern(5000, 2)},
                      {"plugins\\new.dll", Pattern(700, 4)}};
    const Files v3 = {{"app.exe", Edited(Pattern(9100, 3), 100, 50, 5)},
                      {"lib\\core.dll", Pattern(5100, 6)},
                      {"plugins\\new.dll", ""}};
    // ソフト.txt and 表.txt hold 0x5C, the backslash, as a second byte in code page 932.
    const std::string japanese = "\xE3\x82\xBD\xE3\x83\x95\xE3\x83\x88.txt";
    const std::string inFolder = "\xE3\x83\x87\xE3\x83\xBC\xE3\x82\xBF\\\xE8\xA1\xA8.txt";
    const std::vector<Release> releases = {
        {{v1}, v2, ""},
        {{v1}, v2, "check_mode = 'date-size'"},
        {{v1, v2}, v3, "old_version = ['1', '2']"},
        // Sorted by name, package 1 would meet a missing file in each later
        // version before a file that differs: only c.txt, first, skips it.
        {{{{"a.txt", "a1"}, {"b.txt", "b1"}, {"c.txt", "c1"}},
          {{"b.txt", "b2"}, {"c.txt", "c2"}},
          {{"a.txt", "a3"}, {"c.txt", "c3"}}},
         {{"a.txt", "a9"}, {"b.txt", "b9"}, {"c.txt", "c9"}},
         "old_version = ['1', '2', '3']"},
        {{{{japanese, "alt"}, {"a.txt", "1"}}},
         {{japanese, "neu"}, {inFolder, "hinzu"}},
         "code_page = 932"},
    };
    for (const Release& release : releases) {
        SCOPED_TRACE(release.manifest);
        ReleaseFolders folders(release);
        const fs::path before = fs::current_path();
        const builder::ProofReport report = folders.Prove(BuildOrFail(folders));
        EXPECT_TRUE(report.ok()) << report.problem;
        ASSERT_EQ(report.folders.size(), release.olds.size());
        EXPECT_TRUE(report.folders.back().secondRunDone);
        EXPECT_EQ(fs::current_path(), before);
        for (size_t i = 0; i < release.olds.size(); ++i) {
            EXPECT_EQ(Difference(FilesOf(ListTree(folders.request.oldFolders[i])), release.olds[i]),
                      "")
                << "the old folder itself is left alone";
        }
    }
}

TEST(PkxBuildProof, AStreamThatRebuildsAnotherFileIsCaughtAndNamed) {
    ReleaseFolders folders(
        {{{{"data.bin", Pattern(8000, 1)}}}, {{"data.bin", Pattern(8000, 2)}}, ""});
    Bytes payload = BuildOrFail(folders);
    builder::MemorySource source(payload);
    const builder::InspectReport report = builder::Inspect(source);
    ASSERT_EQ(report.packages.at(0).records.size(), 1u);
    const builder::RecordInfo& record = report.packages[0].records[0];
    payload[record.dataOffset + record.dataSize / 2] ^= 0x01;
    // With the digest made anew, only the rebuilt file can tell.
    MD5_CTX context;
    MD5Init(&context);
    MD5Update(&context, payload.data(), static_cast<uint32_t>(payload.size() - kDigestSize));
    MD5Final(payload.data() + payload.size() - kDigestSize, &context);
    builder::MemorySource resealed(payload);
    ASSERT_TRUE(builder::Inspect(resealed).AllGood());

    const builder::ProofReport proof = folders.Prove(payload);
    EXPECT_FALSE(proof.ok());
    EXPECT_NE(proof.problem.find("data.bin"), std::string::npos) << proof.problem;
}

Bytes WithStub(const std::string& stub, const Bytes& payload) {
    Bytes file;
    std::string error;
    EXPECT_TRUE(packwriter::BuildSelfExtracting(ToBytes(stub), payload, &file, &error)) << error;
    return file;
}

TEST(PkxBuildProof, WhatTheUpdaterCannotReproduceFailsTheProof) {
    // A new executable file: the package carries no modes, so only the
    // Windows updater, which has none, passes.
    ReleaseFolders executable({{{{"a.txt", "1"}}}, {{"a.txt", "1"}, {"run.sh", "#!/bin/sh"}}, ""});
    fs::permissions(executable.request.newFolder + "/run.sh", fs::perms::owner_exec,
                    fs::perm_options::add);
    const Bytes payload = BuildOrFail(executable);
    EXPECT_NE(executable
                  .Prove(WithStub("\x7F"
                                  "ELF",
                                  payload))
                  .problem.find("run.sh not executable"),
              std::string::npos);
    EXPECT_TRUE(executable.Prove(WithStub("MZ", payload)).ok());

    // Without new check values, a second run adds the file over itself.
    ReleaseFolders again(
        {{kNoFiles}, {{"a.txt", "1"}}, "[options]\noverwrite_existing_adds = true"});
    again.request.formatVersion = 130;
    EXPECT_NE(again.Prove(BuildOrFail(again)).problem.find("the updater changes a.txt once more"),
              std::string::npos);

    // Another old version than the package's.
    ReleaseFolders other({{{{"a.txt", "1"}}}, {{"a.txt", "2"}}, ""});
    const Bytes built = BuildOrFail(other);
    Install(other.request.oldFolders[0], {{"a.txt", "0"}});
    const builder::ProofReport report = other.Prove(built);
    EXPECT_EQ(report.folders.at(0).firstRun, result::kOldFileDiffersMd5);
    EXPECT_NE(report.problem.find("fails at a.txt: [Error]"), std::string::npos) << report.problem;
}

}  // namespace
}  // namespace pkx::test

#endif  // _WIN32
