// The builder end to end: packages built from folders on disk are applied by
// the updater's worker, and the installation must then equal the new folder
// byte for byte.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "tests/console_process.h"
#include "tests/pkxbuild_fixtures.h"
#include "tools/pkxbuild/builder_folders.h"
#include "tools/pkxbuild/builder_listing.h"
#include "tools/pkxbuild/builder_proof.h"

namespace pkx::test {
namespace {

namespace fs = std::filesystem;
using builder::BuildResult;
using builder::InspectReport;
using builder::RecordInfo;

struct FolderPair {
    Files oldFiles;
    Files newFiles;
};

// An old tree of nested folders and a new one made from it by editing,
// growing, shrinking, emptying, deleting, moving and adding files.
FolderPair RandomPair(uint32_t seed) {
    std::mt19937 random(seed);
    const char* const folders[] = {"", "bin\\", "data\\maps\\", "docs\\", "deep\\a\\b\\c\\"};
    const size_t sizes[] = {0, 1, 100, 3000, 70000};
    FolderPair pair;
    const uint32_t count = 8 + random() % 8;
    for (uint32_t i = 0; i < count; ++i) {
        const std::string name =
            folders[random() % 5] + std::string("f") + std::to_string(i) + ".dat";
        pair.oldFiles[name] = Pattern(sizes[random() % 5] + random() % 50, seed * 1000 + i);
    }
    for (const auto& [name, content] : pair.oldFiles) {
        const size_t half = content.size() / 2;
        switch (random() % 7) {
            case 0:
                pair.newFiles[name] = content;
                break;
            case 1:
                pair.newFiles[name] =
                    content.empty() ? "x" : Edited(content, half / 2, half / 2 + 1, seed);
                break;
            case 2:
                pair.newFiles[name] =
                    content.substr(0, half) + Pattern(5000, seed + 7) + content.substr(half);
                break;
            case 3:
                pair.newFiles[name] = content.substr(0, half / 3);
                break;
            case 4:
                break;  // deleted
            case 5:
                pair.newFiles["moved\\" + name] = content;
                break;
            default:
                pair.newFiles[name] = "";
                break;
        }
    }
    pair.newFiles["new\\deep\\plugin.dll"] = Pattern(2000 + seed, seed + 11);
    pair.newFiles["added-empty.txt"] = "";
    return pair;
}

// The files of `folder` (with backups removed, only what the update left).
Files Installed(const TempFolder& folder) { return FilesOf(ListTree(folder.path())); }

TEST(PkxBuildRoundTrip, RandomTreesBecomeTheNewTreeInBothCheckModes) {
    size_t updates = 0, adds = 0, deletes = 0;
    for (const char* mode : {"md5", "date-size"}) {
        for (uint32_t seed = 1; seed <= 5; ++seed) {
            SCOPED_TRACE(std::string(mode) + " seed " + std::to_string(seed));
            const FolderPair pair = RandomPair(seed);
            TempFolder oldFolder, newFolder;
            Install(oldFolder.path(), pair.oldFiles);
            Install(newFolder.path(), pair.newFiles);
            // The old folder itself is the installation: its write times are those it was built
            // from.
            const std::string extra = std::string("check_mode = \"") + mode + "\"\n";
            const BuildResult built = BuildFolders(
                FolderRequest({&oldFolder}, newFolder,
                              ParseOrFail(FixedFolderManifest(oldFolder.path(), extra))));
            ASSERT_EQ(built.packages.size(), 1u);
            updates += built.packages[0].updates;
            adds += built.packages[0].adds;
            deletes += built.packages[0].deletes;
            builder::ProofReport proof;
            EXPECT_TRUE(builder::ProveUpdater(
                built.payload, {{NativePath(oldFolder.path())}, NativePath(newFolder.path()), {}},
                nullptr, &proof))
                << proof.problem;

            WorkerRun run;
            ASSERT_EQ(ApplyPayload(built.payload, run), result::kSuccess) << run.FinalParam();
            EXPECT_EQ(Difference(Installed(oldFolder), pair.newFiles), "");
        }
    }
    // The generated pairs do exercise every kind of record.
    EXPECT_GT(updates, 10u);
    EXPECT_GT(adds, 10u);
    EXPECT_GT(deletes, 5u);
}

TEST(PkxBuildRoundTrip, EveryFormatVersionApplies) {
    const FolderPair pair = RandomPair(42);
    for (const uint16_t version : {0, 100, 110, 120, 130, 140, 150}) {
        SCOPED_TRACE(version);
        TempFolder oldFolder, newFolder;
        Install(oldFolder.path(), pair.oldFiles);
        Install(newFolder.path(), pair.newFiles);
        builder::BuildRequest request = FolderRequest(
            {&oldFolder}, newFolder, ParseOrFail(FixedFolderManifest(oldFolder.path())));
        request.formatVersion = version;
        request.blockSize = 64;
        const BuildResult built = BuildFolders(request);
        builder::MemorySource source(built.payload);
        const InspectReport report = builder::Inspect(source);
        ASSERT_EQ(report.packages.size(), 1u);
        EXPECT_EQ(report.packages[0].version, version);
        for (const RecordInfo& record : report.packages[0].records) {
            if (record.kind == RecordInfo::kUpdate) {
                EXPECT_EQ(record.stream.blockSize, 64u);
            }
        }
        WorkerRun run;
        ASSERT_EQ(ApplyPayload(built.payload, run), result::kSuccess) << run.FinalParam();
        EXPECT_EQ(Difference(Installed(oldFolder), pair.newFiles), "");
    }
}

TEST(PkxBuildRoundTrip, UnchangedFilesMakeNoRecordAndNamesAreSorted) {
    TempFolder oldFolder, newFolder;
    Install(oldFolder.path(), {{"b.txt", "same"},
                               {"a\\z.bin", Pattern(900, 1)},
                               {"Z.txt", "old"},
                               {"sub\\gone.txt", "bye"},
                               {"keep\\deep.txt", "deep"}});
    Install(newFolder.path(), {{"b.txt", "same"},
                               {"a\\z.bin", Pattern(1000, 1)},
                               {"Z.txt", "new"},
                               {"a\\new.txt", "hello"},
                               {"keep\\deep.txt", "deep"}});
    const BuildResult built =
        BuildFolders(FolderRequest({&oldFolder}, newFolder, builder::Manifest()));
    ASSERT_EQ(built.packages.size(), 1u);
    EXPECT_EQ(built.packages[0].unchanged, 2u);

    builder::MemorySource source(built.payload);
    const InspectReport report = builder::Inspect(source);
    ASSERT_EQ(report.packages.size(), 1u);
    std::vector<std::string> names;
    for (const RecordInfo& record : report.packages[0].records) {
        names.push_back(std::to_string(record.kind) + ":" + record.name);
    }
    // Updates, adds, deletes; each list bytewise ("Z" before "a").
    EXPECT_EQ(names, (std::vector<std::string>{"0:Z.txt", "0:a\\z.bin", "1:a\\new.txt",
                                               "2:sub\\gone.txt"}));
}

TEST(PkxBuildRoundTrip, OutputIsTheSameForTheSameInput) {
    const FolderPair pair = RandomPair(7);
    TempFolder oldFolder, newFolder;
    Install(oldFolder.path(), pair.oldFiles);
    Install(newFolder.path(), pair.newFiles);
    const builder::BuildRequest request =
        FolderRequest({&oldFolder, &oldFolder}, newFolder,
                      ParseOrFail("old_version = [\"a\", \"b\"]\nnew_version = \"c\"\n"));
    EXPECT_EQ(BuildFolders(request).payload, BuildFolders(request).payload);
}

// --- Containers.

TEST(PkxBuildContainer, AnOrderTheUpdaterCannotApplyIsRefused) {
    // The first package would meet the second version's b.txt as a file to add.
    TempFolder first, second, newFolder;
    Install(first.path(), {{"a.txt", "1"}});
    Install(second.path(), {{"a.txt", "1"}, {"b.txt", "2"}});
    Install(newFolder.path(), {{"a.txt", "3"}, {"b.txt", "4"}});
    builder::BuildResult result;
    std::string error;
    EXPECT_FALSE(
        builder::BuildPayload(FolderRequest({&first, &second}, newFolder, builder::Manifest()),
                              nullptr, &result, &error));
    EXPECT_NE(error.find("does not work on a copy of " + NativePath(second.path())),
              std::string::npos)
        << error;
    EXPECT_NE(error.find("b.txt exists in another version"), std::string::npos) << error;

    // The other order, with missing sources skipped, updates both versions.
    for (const TempFolder* installed : {&first, &second}) {
        TempFolder installation;
        Install(installation.path(), FilesOf(ListTree(installed->path())));
        const BuildResult built = BuildFolders(
            FolderRequest({&second, &first}, newFolder,
                          ParseOrFail(FixedFolderManifest(
                              installation.path(), "[options]\nskip_missing_sources = true\n"))));
        WorkerRun run;
        ASSERT_EQ(ApplyPayload(built.payload, run), result::kSuccess) << run.FinalParam();
        EXPECT_EQ(Difference(Installed(installation), {{"a.txt", "3"}, {"b.txt", "4"}}), "");
    }
}

TEST(PkxBuildContainer, LabelsMustMatchTheOldFolders) {
    TempFolder first, second, newFolder;
    for (const auto& [labels, message] : std::vector<std::pair<std::string, std::string>>{
             {"\"1\"", "one label per folder"},
             {"[\"1\", \"2\", \"3\"]", "3 old version labels for 2 old folders"}}) {
        builder::BuildResult result;
        std::string error;
        EXPECT_FALSE(builder::BuildPayload(
            FolderRequest({&first, &second}, newFolder, ParseOrFail("old_version = " + labels)),
            nullptr, &result, &error));
        EXPECT_NE(error.find(message), std::string::npos) << error;
    }
}

// --- Folders and files the format cannot carry.

std::string BuildError(const TempFolder& oldFolder, const TempFolder& newFolder) {
    builder::BuildResult result;
    std::string error;
    EXPECT_FALSE(builder::BuildPayload(FolderRequest({&oldFolder}, newFolder, builder::Manifest()),
                                       nullptr, &result, &error));
    return error;
}

TEST(PkxBuildFolders, RefusesWhatAPackageCannotHold) {
    const std::vector<std::pair<std::function<void(TempFolder&, TempFolder&)>, std::string>> cases =
        {
            {[](TempFolder&, TempFolder& newer) {
                 ASSERT_TRUE(WriteFile(newer / "big.bin", ""));
                 fs::resize_file(NativePath(newer / "big.bin"), uint64_t{1} << 31);  // sparse
             },
             "big.bin is 2 GiB or larger"},
            {[](TempFolder&, TempFolder& newer) {
                 Install(newer.path(), {{"Read.me", "1"}, {"read.ME", "2"}});
             },
             "differ only in letter case"},
            {[](TempFolder& older, TempFolder&) {
                 std::ofstream(NativePath(older.path()) + "/back\\slash.txt") << "x";
             },
             "holds a backslash"},
            {[](TempFolder&, TempFolder& newer) {
                 fs::create_symlink("/tmp", NativePath(newer / "link"));
             },
             "link to a folder"},
        };
    for (const auto& [prepare, message] : cases) {
        TempFolder oldFolder, newFolder;
        prepare(oldFolder, newFolder);
        EXPECT_NE(BuildError(oldFolder, newFolder).find(message), std::string::npos) << message;
    }
    TempFolder newFolder;
    builder::BuildRequest request;
    request.oldFolders = {NativePath(newFolder / "missing")};
    request.newFolder = NativePath(newFolder.path());
    builder::BuildResult result;
    std::string error;
    EXPECT_FALSE(builder::BuildPayload(request, nullptr, &result, &error));
    EXPECT_NE(error.find("missing is not a readable folder"), std::string::npos) << error;
}

TEST(PkxBuildFolders, ALetterCaseRenameUpdatesTheFileUnderItsOldName) {
    TempFolder oldFolder, newFolder;
    Install(oldFolder.path(), {{"Readme.txt", "old text"}});
    Install(newFolder.path(), {{"README.txt", "new text"}});
    const BuildResult built = BuildFolders(
        FolderRequest({&oldFolder}, newFolder, ParseOrFail(FixedFolderManifest(oldFolder.path()))));
    ASSERT_EQ(built.packages.size(), 1u);
    EXPECT_EQ(built.packages[0].updates, 1u);
    EXPECT_EQ(built.packages[0].adds + built.packages[0].deletes, 0u);
    ASSERT_FALSE(built.warnings.empty());
    EXPECT_NE(built.warnings.back().find("a change of letter case only"), std::string::npos);
    WorkerRun run;
    ASSERT_EQ(ApplyPayload(built.payload, run), result::kSuccess) << run.FinalParam();
    EXPECT_EQ(Installed(oldFolder), (Files{{"Readme.txt", "new text"}}));
}

TEST(PkxBuildFolders, RequestBoundsAreChecked) {
    TempFolder oldFolder, newFolder;
    builder::BuildRequest request = FolderRequest({&oldFolder}, newFolder, builder::Manifest());
    builder::BuildResult result;
    std::string error;
    request.blockSize = builder::kSmallestBlockSize - 1;
    EXPECT_FALSE(builder::BuildPayload(request, nullptr, &result, &error));
    EXPECT_NE(error.find("block size"), std::string::npos);
    request.blockSize = 0;
    request.formatVersion = 151;
    EXPECT_FALSE(builder::BuildPayload(request, nullptr, &result, &error));
    EXPECT_NE(error.find("newer than 150"), std::string::npos);
}

// --- The program in front of the payload.

TEST(PkxBuildStub, StubsReachingThePayloadOffsetAreRefused) {
    TempFolder folder;
    ASSERT_TRUE(WriteFile(folder / "fits", std::string(kPayloadOffset, 'M')));
    ASSERT_TRUE(WriteFile(folder / "too-big", std::string(kPayloadOffset + 1, 'M')));
    Bytes stub;
    std::string error;
    EXPECT_TRUE(builder::LoadStub(NativePath(folder / "fits"), &stub, &error)) << error;
    EXPECT_EQ(stub.size(), kPayloadOffset);
    EXPECT_FALSE(builder::LoadStub(NativePath(folder / "too-big"), &stub, &error));
    EXPECT_NE(error.find("126977 bytes"), std::string::npos) << error;
    EXPECT_FALSE(builder::LoadStub(NativePath(folder / "absent"), &stub, &error));
}

TEST(PkxBuildStub, TheDefaultStubIsTheUpdaterNextToTheBuilder) {
    TempFolder folder;
    const std::string builderPath = NativePath(folder / "pkxbuild");
    std::string path, error;
    EXPECT_FALSE(builder::FindDefaultStub(builderPath, &path, &error));
    EXPECT_NE(error.find("--stub"), std::string::npos);
    ASSERT_TRUE(WriteFile(folder / "pkxupdate.exe", "MZ"));
    ASSERT_TRUE(builder::FindDefaultStub(builderPath, &path, &error)) << error;
    EXPECT_EQ(path, NativePath(folder / "pkxupdate.exe"));
    ASSERT_TRUE(WriteFile(folder / "pkxupdate",
                          "\x7F"
                          "ELF"));
    ASSERT_TRUE(builder::FindDefaultStub(builderPath, &path, &error)) << error;
    EXPECT_EQ(path, NativePath(folder / "pkxupdate"));
}

TEST(PkxBuildStub, WrittenOutputReplacesTheFileWholeAndIsExecutable) {
    TempFolder folder;
    const std::string path = NativePath(folder / "update");
    ASSERT_TRUE(WriteFile(folder / "update", std::string(5000, 'x')));
    std::string error;
    ASSERT_TRUE(builder::WriteOutput(path, ToBytes("new"), true, &error)) << error;
    EXPECT_EQ(ReadFile(folder / "update"), std::optional<std::string>("new"));
    EXPECT_NE(fs::status(path).permissions() & fs::perms::owner_exec, fs::perms::none);
    EXPECT_FALSE(PathExists(folder / "update.partial"));
    EXPECT_FALSE(builder::WriteOutput(NativePath(folder / "no\\such\\folder\\x"), ToBytes("x"),
                                      false, &error));
}

// --- The programs themselves.

constexpr int kProgramTimeLimit = 60000;

// The folder of the running test program, where the build puts the programs.
std::string ProgramFolder() {
    char path[4096] = {};
    const uint32_t length = Os().ModulePath(path, sizeof path);
    return fs::path(NativePath(std::string(path, length < sizeof path ? length : 0)))
        .parent_path()
        .string();
}

struct Exit {
    int code = -2;
    std::string out;
    std::string err;
};

Exit RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                const std::string& folder,
                const std::vector<std::string>& environment = {"LC_ALL=C.UTF-8"}) {
    ChildProcess child;
    Exit exit;
    if (!child.Start(program, arguments, folder, environment)) {
        ADD_FAILURE() << "cannot start " << program;
        return exit;
    }
    child.CloseInput();
    exit.code = child.Finish(kProgramTimeLimit);
    exit.out = child.out();
    exit.err = child.err();
    return exit;
}

class PkxBuildProgram : public ::testing::Test {
  protected:
    void SetUp() override {
        builder_ = ProgramFolder() + "/pkxbuild";
        if (!fs::exists(builder_)) GTEST_SKIP() << "pkxbuild is not built";
    }

    Exit Build(const std::vector<std::string>& arguments) {
        return RunProgram(builder_, arguments, NativePath(work.path()));
    }

    std::string builder_;
    TempFolder work;
};

TEST_F(PkxBuildProgram, MistakesEndWithOneLineAndExitCode1) {
    ASSERT_TRUE(WriteFile(work / "bad.toml", "title = \"x\"\n[options]\nskip = true\n"));
    ASSERT_TRUE(MakeFolders(work / "new"));
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"create", "--new", "new", "-o", "out"}, "pkxbuild: --old is required\n"},
        {{"create", "--old", "absent", "--new", "new", "-o", "out", "--payload-only"},
         "pkxbuild: absent is not a readable folder\n"},
        {{"create", "--old", "new", "--new", "new", "-o", "out", "--payload-only", "--manifest",
          "bad.toml"},
         "pkxbuild: bad.toml:3:1: unknown key 'skip' in [options]\n"},
        {{"create", "--old", "new", "--new", "new", "-o", "out", "--format-version", "151"},
         "pkxbuild: --format-version: Value 151 not in range 0 to 150\n"},
        {{"inspect", "absent"}, "pkxbuild: cannot read absent\n"},
        {{"create", "--old", "new", "--new", "new", "-o", "new/out", "--payload-only"},
         "pkxbuild: the output new/out is inside new: the next updater built from that folder "
         "would carry it; write it elsewhere\n"},
        {{}, "pkxbuild: A subcommand is required\n"},
    };
    for (const auto& [arguments, message] : cases) {
        const Exit exit = Build(arguments);
        EXPECT_EQ(exit.code, 1) << message;
        EXPECT_EQ(exit.err, message);
    }
    EXPECT_FALSE(PathExists(work / "out") || PathExists(work / "new\\out"));
    EXPECT_EQ(Build({"--help"}).code, 0);
}

TEST_F(PkxBuildProgram, InspectAndVerifyExitWith1OnDamageOrAFailedProof) {
    Install(work / "old", {{"a.txt", "one"}});
    Install(work / "new", {{"a.txt", "two"}, {"b.txt", "three"}});
    const Exit created =
        Build({"create", "--old", "old", "--new", "new", "-o", "update.pkx", "--payload-only"});
    ASSERT_EQ(created.code, 0) << created.err;
    const std::string size = std::to_string(ReadFile(work / "update.pkx")->size());
    EXPECT_EQ(created.out.substr(0, created.out.find("(")),
              "old -> new: 1 update, 1 add, 0 deletes, 0 unchanged; " + size +
                  " bytes\nwrote update.pkx: payload, one package, " + size +
                  " bytes\nproof: a copy of old becomes new, and a second run changes nothing ");
    EXPECT_EQ(created.err, "") << "no progress bar without a terminal";
    const Exit good = Build({"inspect", "update.pkx"});
    EXPECT_EQ(good.code, 0) << good.out;
    EXPECT_NE(good.out.find("1 package, all OK"), std::string::npos) << good.out;
    const Exit verified = Build({"verify", "update.pkx", "--old", "old", "--new", "new"});
    EXPECT_EQ(verified.code, 0) << verified.err;
    EXPECT_NE(verified.out.find("update.pkx: verified\n"), std::string::npos) << verified.out;
    Install(work / "other", {{"a.txt", "zero"}});
    const Exit unproved =
        Build({"verify", "update.pkx", "--old", "other", "--new", "new", "--json"});
    EXPECT_EQ(unproved.code, 1);
    EXPECT_NE(unproved.out.find("\"problem\" : \"applied to a copy of other, the updater fails"),
              std::string::npos)
        << unproved.out;

    std::string bytes = *ReadFile(work / "update.pkx");
    bytes[bytes.size() / 2] ^= 0x20;
    ASSERT_TRUE(WriteFile(work / "update.pkx", bytes));
    const Exit bad = Build({"inspect", "update.pkx"});
    EXPECT_EQ(bad.code, 1);
    EXPECT_NE(bad.out.find("digest            BAD"), std::string::npos) << bad.out;
    const Exit badJson = Build({"inspect", "update.pkx", "--json"});
    EXPECT_EQ(badJson.code, 1);
    EXPECT_NE(badJson.out.find("\"digest\" : \"bad\""), std::string::npos) << badJson.out;
    const Exit damaged = Build({"verify", "update.pkx", "--old", "old", "--new", "new"});
    EXPECT_EQ(damaged.code, 1);
    EXPECT_EQ(damaged.err, "pkxbuild: update.pkx is damaged; nothing was proved\n");
}

// Signing with a test certificate: the signed updater is proved and read
// back as signed by it, and osslsigncode accepts the signature. Without
// osslsigncode the earlier output stays and the message says how to get it.
TEST_F(PkxBuildProgram, ASignedUpdaterIsProvedAndInspectedAsSigned) {
    Install(work / "old", {{"a.txt", "one"}});
    Install(work / "new", {{"a.txt", "two"}, {"b.txt", "three"}});
    ASSERT_TRUE(WriteFile(work / "stub.exe", PeImage()));
    const Exit certificate =
        RunProgram("/bin/sh",
                   {"-c",
                    "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj '/CN=pkx test vendor' "
                    "-keyout key.pem -out cert.pem"},
                   NativePath(work.path()));
    ASSERT_EQ(certificate.code, 0) << certificate.err;
    const std::vector<std::string> create = {"create",   "--old",      "old",      "--new",
                                             "new",      "--stub",     "stub.exe", "--sign-cert",
                                             "cert.pem", "--sign-key", "key.pem",  "-o"};
    std::vector<std::string> unsignable = create;
    unsignable.push_back("previous.exe");
    ASSERT_TRUE(WriteFile(work / "previous.exe", "an earlier release"));
    const Exit missing = RunProgram(builder_, unsignable, NativePath(work.path()),
                                    {"LC_ALL=C.UTF-8", "PATH=/nonexistent"});
    EXPECT_EQ(missing.code, 1);
    EXPECT_EQ(missing.err,
              "pkxbuild: osslsigncode is not installed; on Debian or Ubuntu: apt-get install "
              "osslsigncode (or sign on Windows with signtool, as the README shows); nothing was "
              "written\n");
    EXPECT_EQ(ReadFile(work / "previous.exe"), "an earlier release");
    EXPECT_FALSE(PathExists(work / "previous.exe.unsigned"));
    std::vector<std::string> arguments = create;
    arguments.push_back("update.exe");
    const Exit created = Build(arguments);
    ASSERT_EQ(created.code, 0) << created.err;
    EXPECT_NE(created.out.find("signed by /CN=pkx test vendor\nproof: a copy of old becomes new"),
              std::string::npos)
        << created.out;
    const Exit inspected = Build({"inspect", "update.exe"});
    EXPECT_EQ(inspected.code, 0) << inspected.out;
    EXPECT_NE(inspected.out.find("signed by /CN=pkx test vendor; certificate table of "),
              std::string::npos)
        << inspected.out;
    EXPECT_NE(inspected.out.find("1 package, all OK"), std::string::npos) << inspected.out;
    const Exit accepted =
        RunProgram("/bin/sh", {"-c", "osslsigncode verify -CAfile cert.pem -in update.exe"},
                   NativePath(work.path()));
    EXPECT_EQ(accepted.code, 0) << accepted.out;
    EXPECT_EQ(Build({"verify", "update.exe", "--old", "old", "--new", "new"}).code, 0);
}

TEST_F(PkxBuildProgram, TheBuiltUpdaterUpdatesTheInstallation) {
    const std::string updater = ProgramFolder() + "/pkxupdate";
    if (!fs::exists(updater)) GTEST_SKIP() << "pkxupdate is not built";
    if (fs::file_size(updater) > kPayloadOffset) {
        GTEST_SKIP() << "this build's pkxupdate does not end before the payload offset";
    }
    const FolderPair pair = RandomPair(9);
    TempFolder installation;
    Install(installation.path(), pair.oldFiles);
    Install(work / "old", pair.oldFiles);
    Install(work / "new", pair.newFiles);
    ASSERT_TRUE(WriteFile(work / "manifest.toml",
                          FixedFolderManifest(installation.path(), "title = \"Sample\"\n")));
    const Exit created = Build({"create", "--old", "old", "--new", "new", "--manifest",
                                "manifest.toml", "--stub", updater, "-o", "update"});
    ASSERT_EQ(created.code, 0) << created.err;

    const Exit run = RunProgram(NativePath(work / "update"), {"-F"}, NativePath(work.path()));
    EXPECT_EQ(run.code, 0) << run.out << run.err;
    Files installed = Installed(installation);
    for (auto it = installed.begin(); it != installed.end();) {
        const bool backup =
            it->first.size() > 4 && it->first.substr(it->first.size() - 4) == ".old";
        it = backup ? installed.erase(it) : std::next(it);
    }
    EXPECT_EQ(Difference(installed, pair.newFiles), "");
}

}  // namespace
}  // namespace pkx::test

#endif  // _WIN32
