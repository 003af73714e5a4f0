// The builder: proved builds, refusals, the manifest, the inspector, the programs.
#ifndef _WIN32

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "builder/checks.h"
#include "builder/listing.h"
#include "builder/manifest.h"
#include "builder/plan.h"
#include "builder/proof.h"
#include "package/writer/delta_writer.h"
#include "platform/posix/builtin_texts.h"
#include "tests/console_process.h"
#include "tests/platforms/platform_wrapper.h"
#include "tests/test_support.h"
#include "tests/worker_fixtures.h"

namespace pkx::test {
namespace {

namespace fs = std::filesystem;
using builder::BuildResult;
using builder::InspectReport;
using builder::Manifest;
using builder::RecordInfo;
using packwriter::PackageLayout;
using packwriter::PackageModel;

const Files kNoFiles;

// The manifest, which must parse; or, given `refusal`, fail with it.
Manifest ParseOrFail(const std::string& text, std::string* refusal = nullptr) {
    Manifest manifest;
    std::string error;
    EXPECT_NE(builder::ParseManifest(text, "test.toml", &manifest, &error), refusal != nullptr)
        << text << "\n -> " << error;
    if (refusal != nullptr) *refusal = error;
    return manifest;
}

InspectReport InspectBytes(const Bytes& bytes) {
    builder::MemorySource source(bytes);
    return builder::Inspect(source);
}

Bytes WithStub(const Bytes& payload, const std::string& stub = "MZ stub") {
    Bytes file;
    std::string error;
    EXPECT_TRUE(packwriter::BuildSelfExtracting(ToBytes(stub), payload, &file, &error)) << error;
    return file;
}

struct Release {
    std::vector<Files> olds;
    Files newest;
    std::string manifest;
};

class ReleaseFolders {
  public:
    explicit ReleaseFolders(const Release& release) : olds_(release.olds.size()) {
        for (size_t i = 0; i < olds_.size(); ++i) {
            Install(olds_[i].path(), release.olds[i]);
            request.oldFolders.push_back(NativePath(olds_[i].path()));
        }
        Install(new_.path(), release.newest);
        request.newFolder = NativePath(new_.path());
        request.manifest = ParseOrFail(release.manifest);
    }

    // The build, which must succeed; or, given `refusal`, fail with it.
    BuildResult Build(std::string* refusal = nullptr) {
        BuildResult result;
        std::string error;
        EXPECT_NE(builder::BuildPayload(request, nullptr, &result, &error), refusal != nullptr)
            << error;
        if (refusal != nullptr) *refusal = error;
        return result;
    }

    builder::ProofReport Prove(const Bytes& file) {
        builder::ProofReport report;
        builder::ProveUpdater(file,
                              {request.oldFolders, request.newFolder, request.manifest.codePage},
                              nullptr, &report);
        return report;
    }

    BuildResult Proved() {
        const BuildResult built = Build();
        const builder::ProofReport report = Prove(built.payload);
        EXPECT_TRUE(report.ok()) << report.problem;
        return built;
    }

    builder::BuildRequest request;

  private:
    std::vector<TempFolder> olds_;
    TempFolder new_;
};

// Updated, grown, shrunk, emptied, unchanged, deleted and added files (in new folders).
const Files kV1 = {
    {"app.exe", Pattern(9000, 1)}, {"lib\\core.dll", Pattern(5000, 2)}, {"old.txt", "bye"}};
const Files kV2 = {{"app.exe", Pattern(9100, 3)},
                   {"lib\\core.dll", Pattern(5000, 2)},
                   {"plugins\\x\\new.dll", Pattern(700, 4)},
                   {"docs\\empty.txt", ""}};
const Files kV3 = {{"app.exe", Edited(Pattern(9100, 3), 100, 50, 5)},
                   {"lib\\core.dll", Pattern(5100, 6)},
                   {"plugins\\x\\new.dll", ""}};

TEST(PkxBuildRoundTrip, EveryVersionAndCheckModeIsProved) {
    uint32_t row = 0;
    for (const char* mode : {"md5", "date-size"}) {
        for (const uint16_t version : {0, 100, 110, 120, 130, 140, 150, 200}) {
            SCOPED_TRACE(std::string(mode) + " version " + std::to_string(version));
            ReleaseFolders folders({{kV1}, kV2, std::string("check_mode = '") + mode + "'"});
            folders.request.formatVersion = version;
            folders.request.blockSize = ++row % 2 ? 64 : 0;
            const InspectReport report = InspectBytes(folders.Proved().payload);
            ASSERT_EQ(report.packages.size(), 1u);
            EXPECT_EQ(report.packages[0].version, version);
            EXPECT_TRUE(report.packages[0].recordsRead && report.packages[0].problems.empty());
            EXPECT_EQ(report.packages[0].streams.size(),
                      version >= 200 ? size_t{kDataStreamCount} : 0u);
            for (const RecordInfo& record : report.packages[0].records) {
                if (record.kind == RecordInfo::kUpdate && folders.request.blockSize != 0 &&
                    version < gate::kCompressedData) {
                    EXPECT_EQ(record.stream.blockSize, 64u);
                }
            }
        }
    }
}

// No record for unchanged files, a case rename updated under its old name, bytewise order.
TEST(PkxBuildRoundTrip, TheRecordsOfARelease) {
    const Files olds = {{"b", "="},       {"a\\z", "1"}, {"Z", "1"},
                        {"s\\gone", "1"}, {"k\\d", "="}, {"Readme", "1"}};
    const Files news = {{"b", "="},      {"a\\z", "2"}, {"Z", "2"},
                        {"a\\new", "2"}, {"k\\d", "="}, {"README", "2"}};
    ReleaseFolders folders({{olds}, news, ""});
    const BuildResult built = folders.Proved();
    ASSERT_EQ(built.packages.size(), 1u);
    EXPECT_EQ(built.packages[0].unchanged, 2u);
    ASSERT_FALSE(built.warnings.empty());
    EXPECT_NE(built.warnings.back().find("a change of letter case only"), std::string::npos);
    std::vector<std::string> names;
    const InspectReport report = InspectBytes(built.payload);
    for (const RecordInfo& record : report.packages.at(0).records) {
        names.push_back(std::to_string(record.kind) + ":" + record.name);
    }
    EXPECT_EQ(names,
              (std::vector<std::string>{"0:Readme", "0:Z", "0:a\\z", "1:a\\new", "2:s\\gone"}));
}

// The same output for the same input; an edited file is mostly copied.
TEST(PkxBuildRoundTrip, OutputIsTheSameForTheSameInput) {
    ReleaseFolders folders({{kV1, kV2}, kV3, "old_version = ['a', 'b']\nnew_version = 'c'"});
    const Bytes payload = folders.Build().payload;
    EXPECT_EQ(payload, folders.Build().payload);
    const InspectReport report = InspectBytes(payload);
    const RecordInfo& edited = report.packages.at(1).records.at(0);
    EXPECT_EQ(edited.name, "app.exe");
    EXPECT_GT(edited.stream.copiedBytes, 8000u);
}

// Every file of `folder` written at one fixed time, as the packages kept in
// tests/data were built.
void FixWriteTimes(const std::string& folder) {
    const timespec times[2] = {{1700000000, 0}, {1700000000, 0}};
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        ASSERT_EQ(utimensat(AT_FDCWD, entry.path().c_str(), times, 0), 0) << entry.path();
    }
}

// The classic versions are written byte for byte as before the compressed
// format: packages kept from then (tests/data), built again from the same files.
TEST(PkxBuildRoundTrip, ClassicVersionsWriteTheBytesOfKeptPackages) {
    const fs::path data = fs::path(__FILE__).parent_path() / "data";
    for (const uint16_t version : {0, 150}) {
        SCOPED_TRACE(version);
        ReleaseFolders folders({{kV1, kV2},
                                kV3,
                                "old_version = ['a', 'b']\nnew_version = 'c'\n"
                                "title = 'kept'"});
        for (const std::string& folder : folders.request.oldFolders) FixWriteTimes(folder);
        FixWriteTimes(folders.request.newFolder);
        folders.request.formatVersion = version;
        const fs::path kept = data / ("classic-" + std::to_string(version) + ".pkg");
        const std::optional<std::string> expected = ReadFile(kept.string());
        ASSERT_TRUE(expected.has_value()) << kept;
        EXPECT_EQ(folders.Build().payload, ToBytes(*expected));
    }
}

TEST(PkxBuildRefusals, WhatCanNeverApplyIsRefusedBeforeBuilding) {
    struct Case {
        std::string expected;
        Release release;
        std::function<void(ReleaseFolders&)> prepare = nullptr;
    };
    const Release empty = {{kNoFiles}, kNoFiles, ""};
    const std::vector<Case> cases = {
        // A leftover named like the backup of app.bin: the move aside would fail.
        {"\"app.bin.1.0.old\" is the name the updater gives the backup of \"app.bin\"",
         {{{{"app.bin", "1.0"}}},
          {{"app.bin", "2.0"}, {"app.bin.1.0.old", "test"}},
          "old_version = '1.0'\n[options]\noverwrite_existing_adds = true"}},
        // The same, its letters in another case: Windows sees one name.
        {"is the name the updater gives the backup of \"app.bin\"",
         {{{{"app.bin", "1.0"}}},
          {{"app.bin", "2.0"}, {"APP.BIN.1.0.OLD", "test"}},
          "old_version = '1.0'\n[options]\noverwrite_existing_adds = true"}},
        {"\"a,b.txt\" and \"a;b.txt\" get the same backup name \"a_b.txt.",
         {{{{"a,b.txt", "1"}, {"a;b.txt", "2"}}}, {{"a,b.txt", "3"}, {"a;b.txt", "4"}}, ""}},
        {"give the old versions different labels",
         {{{{"a.txt", "1"}}, {{"a.txt", "2"}}}, {{"a.txt", "3"}}, "old_version = ['v', 'v']"}},
        {"one label per folder", {{kNoFiles, kNoFiles}, kNoFiles, "old_version = '1'"}},
        {"3 old version labels for 2 old folders",
         {{kNoFiles, kNoFiles}, kNoFiles, "old_version = ['1', '2', '3']"}},
        // The first package would meet the second version's b.txt as a file to add.
        {"b.txt exists in another version",
         {{{{"a.txt", "1"}}, {{"a.txt", "1"}, {"b.txt", "2"}}},
          {{"a.txt", "3"}, {"b.txt", "4"}},
          ""}},
        {"the name \"star*.txt\" holds '*'", {{kNoFiles}, {{"star*.txt", "x"}}, ""}},
        {"holds non-ASCII characters: set code_page", {{kNoFiles}, {{"caf\xC3\xA9.txt", "x"}}, ""}},
        {"the manifest's document \"..\\setup.exe\" leads out of the installation folder",
         {{kNoFiles}, {{"a.txt", "x"}}, "document = '..\\setup.exe'"}},
        {"differ only in letter case", {{kNoFiles}, {{"Read.me", "1"}, {"read.ME", "2"}}, ""}},
        {"big.bin is 2 GiB or larger",
         {{kNoFiles}, {{"big.bin", ""}}, ""},
         [](ReleaseFolders& f) {
             fs::resize_file(f.request.newFolder + "/big.bin", uint64_t{1} << 31);  // sparse
         }},
        {"holds a backslash", empty,
         [](ReleaseFolders& f) { std::ofstream(f.request.newFolder + "/back\\slash.txt") << "x"; }},
        {"link to a folder", empty,
         [](ReleaseFolders& f) { fs::create_symlink("/tmp", f.request.newFolder + "/link"); }},
        {"block size", empty,
         [](ReleaseFolders& f) { f.request.blockSize = builder::kSmallestBlockSize - 1; }},
        {"format version 151 is not one the updater reads", empty,
         [](ReleaseFolders& f) { f.request.formatVersion = 151; }},
    };
    for (const Case& c : cases) {
        ReleaseFolders folders(c.release);
        if (c.prepare) c.prepare(folders);
        std::string error;
        folders.Build(&error);
        EXPECT_NE(error.find(c.expected), std::string::npos) << error;
    }
}

TEST(PkxBuildRefusals, NamesWindowsRefusesOrThatLeaveTheInstallationAreFound) {
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
        {"CON .txt", "is the device CON"},
        {"pipe|.txt", "holds '|'"},
        {"a\\\\b", "has an empty folder name"},
    };
    for (char control = 1; control < 0x20; ++control) {
        EXPECT_NE(builder::NameProblem(std::string("a") + control).find("control character"),
                  std::string::npos)
            << int{control};
    }
    for (const auto& [name, expected] : cases) {
        const std::string problem = builder::NameProblem(name);
        EXPECT_EQ(problem.empty(), expected.empty()) << name << ": " << problem;
        EXPECT_NE(problem.find(expected), std::string::npos) << name << ": " << problem;
    }
}

TEST(PkxBuildWarnings, FolderSourcesThatWorkOtherwiseThanTheyReadAreWarnedOf) {
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {"[[folder_source]]\nkind = 'registry'\nroot = 'HKLM'\nkey = 'k'\n"
         "[[folder_source]]\nkind = 'ask'",
         {}},
        {"[[folder_source]]\nkind = 'path'\npath = 'x'", {"and no source follows it"}},
        {"[[folder_source]]\nkind = 'path'\nfolder = 'desktop'\npath = 'x'\n"
         "[[folder_source]]\nkind = 'ask'",
         {"tried only when its special folder is unknown"}},
        {"[[folder_source]]\nkind = 'registry'\nroot = 'HKLM'\nkey = \"SOFTWARE\\new\"\n",
         {"folder source 1 holds a control character: \"SOFTWARE\\x0Aew\""}},
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
        const std::vector<std::string> warnings = folders.Build().warnings;
        EXPECT_EQ(swapped,
                  !warnings.empty() && warnings.back().find("--new swapped?") != std::string::npos);
    }
}

TEST(PkxBuildManifestDocs, EveryKeyTheParserAcceptsIsDescribed) {
    const fs::path docs = fs::path(__FILE__).parent_path().parent_path() / "docs" / "manifest.md";
    std::ifstream file(docs);
    ASSERT_TRUE(file) << docs;
    // Rows of a key table: | `options.skip_missing_sources` | ...
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

TEST(PkxBuildProof, CopiesOfEveryOldFolderBecomeTheNewFolder) {
    // ソフト.txt and 表.txt hold 0x5C, the backslash, as a second byte in code page 932.
    const std::string japanese = "\xE3\x82\xBD\xE3\x83\x95\xE3\x83\x88.txt";
    const std::string inFolder = "\xE3\x83\x87\xE3\x83\xBC\xE3\x82\xBF\\\xE8\xA1\xA8.txt";
    const std::vector<Release> releases = {
        {{kV1}, kV2, ""},
        {{kV1, kV2}, kV3, "old_version = ['1', '2']"},
        // By name, package 1 meets a missing file before a differing one: only c.txt works.
        {{{{"a.txt", "a1"}, {"b.txt", "b1"}, {"c.txt", "c1"}},
          {{"b.txt", "b2"}, {"c.txt", "c2"}},
          {{"a.txt", "a3"}, {"c.txt", "c3"}}},
         {{"a.txt", "a9"}, {"b.txt", "b9"}, {"c.txt", "c9"}},
         "old_version = ['1', '2', '3']"},
        // The order the builder refuses the other way round, with missing sources skipped.
        {{{{"a.txt", "1"}, {"b.txt", "2"}}, {{"a.txt", "1"}}},
         {{"a.txt", "3"}, {"b.txt", "4"}},
         "[options]\nskip_missing_sources = true"},
        {{{{japanese, "alt"}, {"a.txt", "1"}}},
         {{japanese, "neu"}, {inFolder, "hinzu"}},
         "code_page = 932"},
    };
    for (const Release& release : releases) {
        SCOPED_TRACE(release.manifest);
        ReleaseFolders folders(release);
        const fs::path before = fs::current_path();
        const builder::ProofReport report = folders.Prove(folders.Build().payload);
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

TEST(PkxBuildProof, WhatTheUpdaterCannotReproduceFailsTheProof) {
    ReleaseFolders folders(
        {{{{"data.bin", Pattern(8000, 1)}}}, {{"data.bin", Pattern(8000, 2)}}, ""});
    Bytes tampered = folders.Build().payload;
    const InspectReport listing = InspectBytes(tampered);
    ASSERT_EQ(listing.packages.at(0).records.size(), 1u);
    const RecordInfo& record = listing.packages[0].records[0];
    tampered[record.dataOffset + record.dataSize / 2] ^= 0x01;
    // With the digest made anew, only the rebuilt file can tell.
    ASSERT_TRUE(packwriter::RefreshDigest(tampered));
    const builder::ProofReport proof = folders.Prove(tampered);
    EXPECT_FALSE(proof.ok());
    EXPECT_NE(proof.problem.find("data.bin"), std::string::npos) << proof.problem;

    // A result longer than the new file is no match, however its start agrees.
    ReleaseFolders longer(
        {{{{"data.bin", Pattern(8000, 1)}}}, {{"data.bin", Pattern(8000, 3)}}, ""});
    const Bytes withTail = longer.Build().payload;
    Install(longer.request.newFolder, {{"data.bin", Pattern(8000, 3).substr(0, 7000)}});
    EXPECT_NE(longer.Prove(withTail).problem.find("data.bin other than the new folder's"),
              std::string::npos)
        << longer.Prove(withTail).problem;

    // The package carries no modes: a new executable file passes only on Windows.
    ReleaseFolders executable({{{{"a.txt", "1"}}}, {{"a.txt", "1"}, {"run.sh", "#!/bin/sh"}}, ""});
    fs::permissions(executable.request.newFolder + "/run.sh", fs::perms::owner_exec,
                    fs::perm_options::add);
    const Bytes payload = executable.Build().payload;
    EXPECT_NE(executable.Prove(WithStub(payload, "\177ELF")).problem.find("run.sh not executable"),
              std::string::npos);
    EXPECT_TRUE(executable.Prove(WithStub(payload, "MZ")).ok());

    // Another old version than the package's.
    ReleaseFolders other({{{{"a.txt", "1"}}}, {{"a.txt", "2"}}, ""});
    const Bytes built = other.Build().payload;
    Install(other.request.oldFolders[0], {{"a.txt", "0"}});
    const builder::ProofReport report = other.Prove(built);
    EXPECT_EQ(report.folders.at(0).firstRun, result::kOldFileDiffersMd5);
    EXPECT_NE(report.problem.find("fails at a.txt: [Error]"), std::string::npos) << report.problem;

    // A run that rewrites a file it reads, the same bytes at the same time, keeping no backup.
    class Rewriting final : public PlatformWrapper {
      public:
        using PlatformWrapper::PlatformWrapper;
        uint32_t Open(const char* path, uint32_t access, uint32_t share, uint32_t disposition,
                      uint32_t flags, FileHandle* out) override {
            const std::string name = NativePath(path);
            if (access == kGenericRead && fs::path(name).filename() == "a.txt") {
                const auto time = fs::last_write_time(name);
                EXPECT_TRUE(WriteFile(name, ReadFile(name).value_or("")));
                fs::last_write_time(name, time);
            }
            return PlatformWrapper::Open(path, access, share, disposition, flags, out);
        }
    } rewriting(Os());
    ReleaseFolders quiet({{{{"a.txt", "1"}}}, {{"a.txt", "2"}}, ""});
    const Bytes rewritten = quiet.Build().payload;
    const PlatformScope scope(rewriting);
    EXPECT_NE(quiet.Prove(rewritten).problem.find("the updater changes a.txt once more"),
              std::string::npos);
}

std::string Repeat(const std::string& piece, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) text += piece;
    return text;
}

TEST(PkxBuildManifest, BadManifestsAreRefusedWithTheirPlace) {
    const std::string source = "[[folder_source]]\nkind = ";
    const std::string step = source + "'lookup'\n[[folder_source.step]]\nkind = 'registry'\n" +
                             "root = 'HKLM'\nkey = 'k'\nslot = ";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"titel = \"x\"", "test.toml:1:1: unknown key 'titel' in the manifest"},
        {"title = \"x\"\ntitle = 5", "test.toml:2:"},  // TOML's own error, with its line
        {"title = 5", "'title' must be a string"},
        {"check_mode = \"sha1\"", "'check_mode' must be one of \"md5\", \"date-size\""},
        {"code_page = \"932\"", "'code_page' must be an integer"},
        {"code_page = 1252\ntitle = \"\xE3\x81\x82\"", "cannot hold"},
        {"title = \"\xFF\"", "test.toml:1:9: Encountered invalid utf-8"},
        // Without a code page Windows would show the UTF-8 bytes garbled.
        {"title = \"Caf\xC3\xA9\"", "test.toml:1:9: 'title' holds non-ASCII characters"},
        {"[[language]]\ncode_page = 932\ntexts = \"fr\"", "'texts' must be one of \"en\", \"ja\""},
        {"[[language]]\ncode_page = 932\ntexts = 5", "'texts' must be a table of texts by ID"},
        {"password = \"\"", "'password' is empty"},
        {"old_version = []", "'old_version' must be a string or an array of strings"},
        {"[[language]]\nfont_face = \"x\"", "'code_page' is missing in [[language]]"},
        {"[[language]]\ncode_page = 932\nfont_face = \"" + Repeat("f", 32) + "\"",
         "'font_face' is 32 bytes long; at most 31 fit"},
        // 128 characters of three UTF-8 bytes are 256 bytes in code page 932 (127 fit).
        {"code_page = 932\ntitle = \"" + Repeat("\xE3\x81\x82", 128) + "\"",
         "'title' is 256 bytes long; at most 255 fit"},
        {"[[language]]\ncode_page = 932\ntexts = { 999 = \"x\" }", "unknown text ID '999'"},
        {"[[language]]\ncode_page = 932\ntexts = { 1074 = \"x\" }", "unknown text ID '1074'"},
        {"[[language]]\ncode_page = 932\ncolour = 1", "unknown key 'colour' in [[language]]"},
        {"[[language]]\ncode_page = 99999", "code page 99999 is not known to iconv"},
        // U+8868 is 0x95 0x5C in code page 932: with "n" after it, a line break to the updater.
        {"[[language]]\ncode_page = 932\ntexts = { 1001 = \"\xE8\xA1\xA8no\" }",
         "text 1001: the updater would read \"\xE8\xA1\xA8n\" as a line break"},
        {"[[notice]]\ncode_page = 1252\nbefore = \"\xE6\x97\xA5\"",
         "'before': text has characters"},
        {source + "'ask'\n" + source + "'path'\npath = 'x'",
         "test.toml:1:1: the \"ask\" folder source must be the last one"},
        {source + "'path'\npath = 'x'\nvalue = 'y'", "unknown key 'value' in a path folder source"},
        {source + "'file'", "'kind' must be one of \"ask\", \"registry\""},
        {source + "'registry'\nroot = 'HKLM'", "'key' is missing"},
        {source + "'ini'\nfolder = 'temp'\nfile = 'a'\nsection = 's'\nkey = 'k'",
         "'folder' must be one of \"windows\""},
        {step + "1", "writes slot 0"},
        {step + "10", "'slot' must be 0 to 9"},
        {"[running_check]\nkind = \"window\"", "needs a 'title' or a 'class'"},
        {"[running_check]\nkind = \"process\"\nprocess = \"a.exe\"\nwait = 1",
         "'wait' must be true or false"},
        {"running_check = 3", "'running_check' must be a table"},
        {"notice = 3", "'notice' must be an array of tables"},
    };
    for (const auto& [text, expected] : cases) {
        std::string error;
        ParseOrFail(text, &error);
        EXPECT_NE(error.find(expected), std::string::npos) << text << "\n -> " << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}

TEST(PkxBuildManifest, WhatTheFormatVersionOrCodePageCannotCarryIsRefused) {
    const std::string twoSources =
        "[[folder_source]]\nkind = \"path\"\npath = 'a'\n[[folder_source]]\nkind = \"ask\"\n";
    const std::vector<std::tuple<std::string, uint16_t, std::string>> cases = {
        {"[[language]]\ncode_page = 932", 110, "needs format version 120"},
        {twoSources, 139, "needs format version 140"},
        {"[[language]]\ncode_page = 932\ntexts = { 1070 = \"x\" }", 125,
         "text 1070 needs format version 130"},
        {"[options]\nskip_missing_deletes = true", 110, "120"},
        {"delete_backups = false", 110, "120"},
        {"[[notice]]\nbefore = \"a\"\n[[notice]]\nbefore = \"b\"", 130, "140"},
        {"[running_check]\nkind = \"process\"\nprocess = \"a.exe\"", 100, "110"},
        {"[[language]]\ncode_page = 1252\ntexts = 'ja'", 150,
         "of the Japanese table: text has characters that code page 1252"},
        // What absent fields mean anyway is accepted.
        {"delete_backups = true\n[options]\nskip_missing_sources = false", 100, ""},
        {twoSources, 140, ""},
        {"code_page = 932\ntitle = \"" + Repeat("\xE3\x81\x82", 127) + "\"", 150, ""},
    };
    for (const auto& [text, version, expected] : cases) {
        packwriter::PackageModel model;
        std::string error;
        EXPECT_EQ(builder::FillHeader(ParseOrFail(text), version, &model, &error),
                  expected.empty());
        EXPECT_NE(error.find(expected), std::string::npos) << text << "\n -> " << error;
    }
}

// A manifest with every field, for a version 150 package.
const char* const kFullManifest = R"(code_page = 932
title = "製品"
old_version = "1.0"
new_version = "2.0"
rights = "(c) 会社"
password = "secret"
delete_backups = false
document = "docs/readme.txt"
check_mode = "date-size"
options = { skip_missing_sources = true, overwrite_existing_adds = true, skip_missing_deletes = true }
language = [{ code_page = 1252, font_face = "Tahoma", font_height = 9 }, { code_page = 932 }]
running_check = { kind = "process", process = "app.exe", wait = true }
notice = [{ before = "line 1\nline 2" }, { code_page = 932, after = "終わり" }]
folder_source = [
  { kind = "registry", root = "HKLM", key = 'Software\Vendor', value = "Path" },
  { kind = "ini", folder = "windows", file = "app.ini", section = "Setup", key = "Dir" },
  { kind = "lookup", step = [{ kind = "ini", file = "a.ini", section = "s", key = "k", slot = 1 },
    { kind = "registry", root = "HKCU", key = 'Software\%1', slot = 0 }] },
  { kind = "path", folder = "program-files", path = "Vendor/App" }, { kind = "ask" }]
)";

// Each field as the inspector reports it, its texts read in code page 932 (line breaks CR LF).
TEST(PkxBuildManifest, EveryFieldReachesThePackageHeader) {
    ReleaseFolders folders({{{{"a.txt", "old"}}}, {{"a.txt", "new"}}, kFullManifest});
    const InspectReport report = InspectBytes(folders.Build().payload);
    ASSERT_TRUE(report.AllGood());
    const std::string text = builder::FormatReport(report, "update.pkx", 932);
    for (const char* expected :
         {"title             \"製品\"",
          "labels            \"1.0\" -> \"2.0\"",
          "rights            \"(c) 会社\"",
          "password          protected",
          "delete backups    not ticked",
          "language blocks   2",
          "code page 1252, font \"Tahoma\" 9\n",
          "code page 932, font \"MS UI Gothic\" 12",
          "folder sources    5",
          "1. registry HKLM \"Software\\Vendor\" value \"Path\"",
          "2. INI windows \"app.ini\" section \"Setup\" key \"Dir\"",
          "3. lookup of 2 steps",
          "INI no folder \"a.ini\" section \"s\" key \"k\" -> slot 1",
          "registry HKCU \"Software\\%1\" value \"\" -> slot 0",
          "4. path program-files \"Vendor\\App\"",
          "5. ask the user\n",
          "running check     process \"app.exe\", waits",
          "document          \"docs\\readme.txt\"",
          "notices           2",
          "code page 0: before 14 bytes, after 0 bytes",
          "code page 932: before 0 bytes, after 6 bytes",
          "options           new check values yes; skip missing sources yes; overwrite existing "
          "adds yes; skip missing deletes yes",
          "check mode        date and size"}) {
        EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
    }
}

TEST(PkxBuildManifest, TextsABlockDoesNotGiveAreTheBuiltInOnesOfItsCodePage) {
    packwriter::PackageModel model;
    std::string error;
    ASSERT_TRUE(builder::FillHeader(
        ParseOrFail(R"(language = [{ code_page = 1252, texts = { 1000 = 'a', 1073 = 'z' } },
  { code_page = 932, texts = 'en' }, { code_page = 932, texts = 'ja' },
  { code_page = 932, texts = { 1008 = "%s の更新\n二行目" } }])"),
        kNewestFormatVersion, &model, &error))
        << error;
    ASSERT_EQ(model.languageBlocks.size(), 4u);
    for (uint32_t id = kFirstTextId; id <= builder::kLastTextId; ++id) {
        EXPECT_EQ(model.languageBlocks[1].texts.at(id - kFirstTextId),
                  FindBuiltinText(TextLanguage::kEnglish, id));
    }
    EXPECT_EQ(model.languageBlocks[0].texts[0], "a");
    EXPECT_EQ(model.languageBlocks[0].texts[1], FindBuiltinText(TextLanguage::kEnglish, 1001));
    EXPECT_EQ(model.languageBlocks[0].texts[73], "z");
    // キャンセル(&C) and the text of 1008 (its line break kept as "\\n") in code page 932.
    const std::string cancel = "\x83\x4C\x83\x83\x83\x93\x83\x5A\x83\x8B(&C)";
    EXPECT_EQ(model.languageBlocks[2].texts[1], cancel);
    EXPECT_EQ(model.languageBlocks[3].texts[1], cancel);
    EXPECT_EQ(model.languageBlocks[3].texts[8],
              "%s \x82\xCC\x8D\x58\x90\x56\\n\x93\xF1\x8D\x73\x96\xDA");
}

TEST(PkxBuildManifest, DefaultsWithoutAManifest) {
    for (const size_t count : {1, 2}) {
        SCOPED_TRACE(count);
        ReleaseFolders folders({std::vector<Files>(count), kNoFiles, ""});
        const InspectReport report = InspectBytes(folders.Build().payload);
        ASSERT_EQ(report.packages.size(), count);
        const std::string text = builder::FormatReport(report, "update.pkx", std::nullopt);
        const std::string newName = fs::path(folders.request.newFolder).filename();
        const std::string oldName = fs::path(folders.request.oldFolders[0]).filename();
        // In a container a later package meets files an earlier one deleted.
        const std::string skipDeletes = count > 1 ? "yes" : "no";
        for (const std::string& expected :
             {"title             \"" + newName + "\"",
              "labels            \"" + oldName + "\" -> \"" + newName + "\"",
              std::string("password          none\n  delete backups    ticked"),
              std::string("folder sources    1\n                    1. ask the user\n"),
              "options           new check values yes; skip missing sources no; overwrite "
              "existing adds no; skip missing deletes " +
                  skipDeletes,
              std::string("check mode        MD5")}) {
            EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
        }
    }
}

PackageModel SmallModel() {
    PackageModel model = FixedFolderModel("C:\\App", "1", "2");
    model.updates.push_back(
        UpdateRecord("app.exe", Pattern(3000, 1), Edited(Pattern(3000, 1), 1000, 100, 2) + "tail"));
    model.adds.push_back(AddRecord("new.txt", "new"));
    model.deletes.push_back(DeleteRecord("old.txt", "old"));
    return model;
}

std::string Problems(const InspectReport& report) {
    std::string text = report.problem;
    for (const builder::PackageInfo& info : report.packages) {
        for (const std::string& problem : info.problems) text += "; " + problem;
    }
    return text;
}

TEST(PkxBuildInspect, TheReportListsTheRecordsAndOnlyATamperedPackageIsBad) {
    const Bytes package = BuildOrFail(SmallModel());
    Bytes file = WithStub(package);
    InspectReport report = InspectBytes(file);
    ASSERT_TRUE(report.AllGood()) << Problems(report);
    EXPECT_EQ(report.packages[0].fileOffset, kPayloadOffset);
    EXPECT_EQ(report.packages[0].size, package.size());
    const std::string text = builder::FormatReport(report, "update.exe", std::nullopt);
    for (const char* expected :
         {"update.exe: self-extracting updater", "single package",
          "format version    150 (classic)", "labels            \"1\" -> \"2\"",
          "folder sources    1", "path no folder \"C:\\App\"",
          "records           1 update, 1 add, 1 delete", "\"app.exe\"",
          "stream v100, block 64: copy-block 0, copy-blocks 2, copy-bytes 2, literal-block 1, "
          "literal-blocks 0, literal-bytes 2; 2900 bytes copied, 104 literal",
          "add     ", "\"new.txt\"", "delete           -           -  \"old.txt\"",
          "digest            OK", "1 package, all OK"}) {
        EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
    }

    // The program image is not covered by any digest.
    file[10] ^= 0xFF;
    EXPECT_TRUE(InspectBytes(file).AllGood());
    // Any byte of the package is, including the digest itself.
    for (const size_t at : {size_t{0x30}, package.size() / 2, package.size() - 1}) {
        Bytes damaged = file;
        damaged[kPayloadOffset + at] ^= 0x01;
        const std::string bad = builder::FormatReport(InspectBytes(damaged), "update.exe", {});
        EXPECT_NE(bad.find("digest            BAD"), std::string::npos) << at << bad;
        EXPECT_NE(bad.find("1 of 1 package BAD"), std::string::npos);
    }
    // In a container only the tampered package is bad.
    PackageModel secondModel = SmallModel();
    secondModel.oldVersionLabel = "1.5";
    Bytes payload = ContainerOf({package, BuildOrFail(secondModel)});
    payload[payload.size() - 40] ^= 0x80;
    for (const Bytes& bytes : {payload, WithStub(payload)}) {
        report = InspectBytes(bytes);
        EXPECT_TRUE(report.container);
        ASSERT_EQ(report.packages.size(), 2u);
        EXPECT_TRUE(report.packages[0].digestOk);
        EXPECT_EQ(report.packages[0].oldVersionLabel, "1");
        EXPECT_FALSE(report.packages[1].digestOk);
        EXPECT_EQ(report.packages[1].oldVersionLabel, "1.5");
        EXPECT_EQ(report.packages[1].fileOffset + report.packages[1].size, bytes.size());
    }
}

TEST(PkxBuildInspect, DamagedPackagesAndStrangersAreReportedNotTrusted) {
    const PackageModel model = SmallModel();
    PackageLayout layout;
    const Bytes package = BuildOrFail(model, &layout);
    // One field changed, and the digest put right again: only the field can give it away.
    Bytes counts = package, outside = package, version = package, cut = package;
    packwriter::PatchU32(counts, layout.countsOffset, 0xFFFFFFF0u);
    // The data offset of the add record: after its name, new value and time.
    packwriter::PatchU32(outside, layout.addRecordOffsets[0] + 1 + 7 + 16 + 8, 0xFFFFFF00u);
    packwriter::PatchU16(version, 4, 151);
    packwriter::Truncate(cut, layout.folderSourcesOffset + 16);
    for (Bytes* bytes : {&counts, &outside, &version, &cut}) {
        EXPECT_TRUE(packwriter::RefreshDigest(*bytes));
    }
    PackageModel noEnd = model, longPiece = model, askFirst = model;
    noEnd.updates[0].data =
        packwriter::DeltaStreamWriter(64).LiteralBytes(ToBytes("abc").data(), 3).Take();
    packwriter::DeltaStreamWriter piece(2);  // one literal longer than a block
    longPiece.updates[0].data = piece.Opcode(OP_LITERAL_BYTES).RawU32(3).Raw("abc", 3).End().Take();
    askFirst.folderSources.insert(askFirst.folderSources.begin(), packwriter::FolderSourceModel{});
    // Containers: the second of two entries cut short; entries before and past the payload.
    Bytes cutIndex = ContainerOf({package, package}), before = cutIndex, beyond = cutIndex;
    packwriter::Truncate(cutIndex, 6 + 8 + 4);
    packwriter::PatchU32(before, 6 + 8, 0x100);
    packwriter::PatchU32(beyond, 6 + 8, kPayloadOffset + static_cast<uint32_t>(beyond.size()));
    const std::vector<std::tuple<Bytes, std::string, size_t>> cases = {
        {counts, "the record counts exceed the package", 1},
        {outside, "the data of new.txt lies outside the package", 1},
        {version, "format version 151 is newer", 1},
        {cut, "the package ends inside its header", 1},
        {BuildOrFail(noEnd), "the stream ends without OP_END", 1},
        {BuildOrFail(longPiece), "exceeds the block size", 1},
        {BuildOrFail(askFirst), "folder sources follow", 1},
        {cutIndex, "index ends after 1 of 2 entries", 1},
        {before, "lies before the payload", 2},
        {beyond, "beyond the end of the file", 2},
        {ToBytes("MZ just a program"), "neither an updater nor a package", 0},
        {Bytes(kPayloadOffset + 64, 0x41), "neither an updater nor a package", 0},
        {ToBytes("PKX"), "neither an updater nor a package", 0},
        // A "PKX " package of fewer bytes than a header and a digest.
        {ToBytes("PKX \x96"), "shorter than a header", 1},
    };
    for (const auto& [bytes, problem, packages] : cases) {
        const InspectReport report = InspectBytes(bytes);
        EXPECT_FALSE(report.AllGood()) << problem;
        EXPECT_EQ(report.packages.size(), packages) << problem;
        EXPECT_NE(Problems(report).find(problem), std::string::npos) << Problems(report);
    }
    const InspectReport empty = InspectBytes(ContainerOf({}));
    EXPECT_TRUE(empty.container && empty.packages.empty() && empty.AllGood());
}

TEST(PkxBuildStub, TheStubIsBoundedAndFoundAndTheOutputReplacesTheFileWhole) {
    TempFolder folder;
    ASSERT_TRUE(WriteFile(folder / "fits", std::string(kPayloadOffset, 'M')));
    ASSERT_TRUE(WriteFile(folder / "too-big", std::string(kPayloadOffset + 1, 'M')));
    Bytes stub;
    std::string path, error;
    EXPECT_TRUE(builder::LoadStub(NativePath(folder / "fits"), &stub, &error)) << error;
    EXPECT_EQ(stub.size(), kPayloadOffset);
    EXPECT_FALSE(builder::LoadStub(NativePath(folder / "too-big"), &stub, &error));
    EXPECT_NE(error.find("126977 bytes"), std::string::npos) << error;
    EXPECT_FALSE(builder::LoadStub(NativePath(folder / "absent"), &stub, &error));

    // The default stub is the updater next to the builder.
    const std::string builderPath = NativePath(folder / "pkxbuild");
    EXPECT_FALSE(builder::FindDefaultStub(builderPath, &path, &error));
    EXPECT_NE(error.find("--stub"), std::string::npos);
    ASSERT_TRUE(WriteFile(folder / "pkxupdate.exe", "MZ"));
    ASSERT_TRUE(builder::FindDefaultStub(builderPath, &path, &error)) << error;
    EXPECT_EQ(path, NativePath(folder / "pkxupdate.exe"));
    ASSERT_TRUE(WriteFile(folder / "pkxupdate", "\177ELF"));
    ASSERT_TRUE(builder::FindDefaultStub(builderPath, &path, &error)) << error;
    EXPECT_EQ(path, NativePath(folder / "pkxupdate"));

    path = NativePath(folder / "update");
    ASSERT_TRUE(WriteFile(folder / "update", std::string(5000, 'x')));
    ASSERT_TRUE(builder::WriteOutput(path, ToBytes("new"), true, &error)) << error;
    EXPECT_EQ(ReadFile(folder / "update"), std::optional<std::string>("new"));
    EXPECT_NE(fs::status(path).permissions() & fs::perms::owner_exec, fs::perms::none);
    EXPECT_FALSE(PathExists(folder / "update.partial"));
    EXPECT_FALSE(builder::WriteOutput(NativePath(folder / "no\\such\\folder\\x"), ToBytes("x"),
                                      false, &error));
}

#ifdef PKX_CONSOLE_UPDATER

struct Exit {
    int code = -2;
    std::string out, err;
};

class PkxBuildProgram : public ::testing::Test {
  protected:
    void SetUp() override {
        builder_ = (fs::path(PKX_CONSOLE_UPDATER).parent_path() / "pkxbuild").string();
        if (!fs::exists(builder_)) GTEST_SKIP() << "pkxbuild is not built";
        Install(work / "old", {{"a.txt", "one"}});
        Install(work / "new", {{"a.txt", "two"}, {"b.txt", "three"}});
    }

    Exit Run(const std::vector<std::string>& arguments, const std::string& program = "",
             const std::vector<std::string>& environment = {"LC_ALL=C.UTF-8"}) {
        ChildProcess child;
        const std::string& path = program.empty() ? builder_ : program;
        if (!child.Start(path, arguments, NativePath(work.path()), environment)) {
            ADD_FAILURE() << "cannot start " << path;
            return {};
        }
        child.CloseInput();
        const int code = child.Finish(60000);
        return {code, child.out(), child.err()};
    }

    void Expect(const std::vector<std::string>& arguments, int code, const std::string& text,
                const std::string& program = "") {
        const Exit exit = Run(arguments, program);
        EXPECT_EQ(exit.code, code) << exit.err;
        EXPECT_NE((exit.out + exit.err).find(text), std::string::npos) << exit.out << exit.err;
    }

    std::string builder_;
    TempFolder work;
};

TEST_F(PkxBuildProgram, MistakesEndWithOneLineAndExitCode1) {
    ASSERT_TRUE(WriteFile(work / "bad.toml", "title = \"x\"\n[options]\nskip = true\n"));
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"create", "--new", "new", "-o", "out"}, "pkxbuild: --old is required\n"},
        {{"create", "--old", "absent", "--new", "new", "-o", "out", "--payload-only"},
         "pkxbuild: absent is not a readable folder\n"},
        {{"create", "--old", "new", "--new", "new", "-o", "out", "--payload-only", "--manifest",
          "bad.toml"},
         "pkxbuild: bad.toml:3:1: unknown key 'skip' in [options]\n"},
        {{"create", "--old", "new", "--new", "new", "-o", "out", "--format-version", "151"},
         "pkxbuild: --format-version: Value 151 is not a format version: 0 to 150 (classic) or "
         "200 (compressed)\n"},
        {{"inspect", "absent"}, "pkxbuild: cannot read absent\n"},
        {{"create", "--old", "new", "--new", "new", "-o", "new/out", "--payload-only"},
         "pkxbuild: the output new/out is inside new: the next updater built from that folder "
         "would carry it; write it elsewhere\n"},
        {{}, "pkxbuild: A subcommand is required\n"},
    };
    for (const auto& [arguments, message] : cases) {
        const Exit exit = Run(arguments);
        EXPECT_EQ(exit.code, 1) << message;
        EXPECT_EQ(exit.err, message);
    }
    EXPECT_FALSE(PathExists(work / "out") || PathExists(work / "new\\out"));
    EXPECT_EQ(Run({"--help"}).code, 0);
}

TEST_F(PkxBuildProgram, InspectAndVerifyExitWith1OnDamageOrAFailedProof) {
    const Exit created =
        Run({"create", "--old", "old", "--new", "new", "-o", "update.pkx", "--payload-only"});
    ASSERT_EQ(created.code, 0) << created.err;
    const std::string size = std::to_string(ReadFile(work / "update.pkx")->size());
    EXPECT_EQ(created.out.substr(0, created.out.find("(")),
              "old -> new: 1 update, 1 add, 0 deletes, 0 unchanged; " + size +
                  " bytes\nwrote update.pkx: payload, one package, " + size +
                  " bytes\nproof: a copy of old becomes new, and a second run changes nothing ");
    EXPECT_EQ(created.err, "") << "no progress bar without a terminal";
    Expect({"inspect", "update.pkx"}, 0, "1 package, all OK");
    Expect({"verify", "update.pkx", "--old", "old", "--new", "new"}, 0, "update.pkx: verified\n");
    Install(work / "other", {{"a.txt", "zero"}});
    Expect({"verify", "update.pkx", "--old", "other", "--new", "new", "--json"}, 1,
           "\"problem\" : \"applied to a copy of other, the updater fails");

    std::string bytes = *ReadFile(work / "update.pkx");
    bytes[bytes.size() / 2] ^= 0x20;
    ASSERT_TRUE(WriteFile(work / "update.pkx", bytes));
    Expect({"inspect", "update.pkx"}, 1, "digest            BAD");
    Expect({"inspect", "update.pkx", "--json"}, 1, "\"digest\" : \"bad\"");
    Expect({"verify", "update.pkx", "--old", "old", "--new", "new"}, 1,
           "pkxbuild: update.pkx is damaged; nothing was proved\n");
}

// Without osslsigncode the earlier output stays and the message says how to get it.
TEST_F(PkxBuildProgram, ASignedUpdaterIsProvedAndInspectedAsSigned) {
    ASSERT_TRUE(WriteFile(work / "stub.exe", PeImage()));
    const Exit certificate = Run({"-c",
                                  "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "
                                  "'/CN=pkx test vendor' -keyout key.pem -out cert.pem"},
                                 "/bin/sh");
    ASSERT_EQ(certificate.code, 0) << certificate.err;
    std::vector<std::string> create = {
        "create",      "--old",    "old",        "--new",   "new", "--stub",      "stub.exe",
        "--sign-cert", "cert.pem", "--sign-key", "key.pem", "-o",  "previous.exe"};
    ASSERT_TRUE(WriteFile(work / "previous.exe", "an earlier release"));
    const Exit missing = Run(create, "", {"LC_ALL=C.UTF-8", "PATH=/nonexistent"});
    EXPECT_EQ(missing.code, 1);
    EXPECT_EQ(missing.err,
              "pkxbuild: osslsigncode is not installed; on Debian or Ubuntu: apt-get install "
              "osslsigncode (or sign on Windows with signtool, as the README shows); nothing was "
              "written\n");
    EXPECT_EQ(ReadFile(work / "previous.exe"), "an earlier release");
    EXPECT_FALSE(PathExists(work / "previous.exe.unsigned"));
    create.back() = "update.exe";
    const Exit created = Run(create);
    ASSERT_EQ(created.code, 0) << created.err;
    EXPECT_NE(created.out.find("signed by /CN=pkx test vendor\nproof: a copy of old becomes new"),
              std::string::npos)
        << created.out;
    Expect({"inspect", "update.exe"}, 0, "signed by /CN=pkx test vendor; certificate table of ");
    Expect({"inspect", "update.exe"}, 0, "1 package, all OK");
    Expect({"-c", "osslsigncode verify -CAfile cert.pem -in update.exe"}, 0, "Succeeded",
           "/bin/sh");
    Expect({"verify", "update.exe", "--old", "old", "--new", "new"}, 0, "update.exe: verified\n");
}

#endif  // PKX_CONSOLE_UPDATER

}  // namespace
}  // namespace pkx::test

#endif  // _WIN32
