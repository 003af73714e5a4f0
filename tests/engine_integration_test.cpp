// Whole runs of the worker on real installations, compared byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/worker_fixtures.h"

namespace pkx::test {
namespace {

using packwriter::PackageModel;

const std::string kAppOld = Pattern(4000, 101);
const std::string kAppNew = Edited(Edited(kAppOld, 200, 64, 102), 3000, 500, 103) + "tail";
const std::string kCoreOld = Pattern(3000, 104);
const std::string kCoreNew = kCoreOld.substr(0, 1700) + Pattern(90, 105);
const std::string kReadme = "read me\r\n";
const std::string kObsolete = Pattern(333, 106);
const std::string kPlugin = Pattern(2500, 107);

const Files kBefore = {{"app.exe", kAppOld},
                       {"lib\\core.dll", kCoreOld},
                       {"readme.txt", kReadme},
                       {"obsolete.txt", kObsolete}};
const Files kAfter = {{"app.exe", kAppNew},
                      {"lib\\core.dll", kCoreNew},
                      {"readme.txt", kReadme},
                      {"new\\deep\\plugin.dll", kPlugin},
                      {"empty.txt", ""}};

// Updates two files, adds a file in two new folders and an empty one, deletes one.
PackageModel FullModel(const std::string& folder) {
    PackageModel model = FixedFolderModel(folder, "1.0", "2.0");
    model.updates.push_back(UpdateRecord("app.exe", kAppOld, kAppNew));
    model.updates.push_back(UpdateRecord("lib\\core.dll", kCoreOld, kCoreNew));
    model.adds.push_back(AddRecord("new\\deep\\plugin.dll", kPlugin));
    model.adds.push_back(AddRecord("empty.txt", ""));
    model.deletes.push_back(DeleteRecord("obsolete.txt", kObsolete));
    return model;
}

ResultCode Apply(WorkerRun& run, const Bytes& payload) {
    run.context->autoFinish = 1;
    run.WriteProgram(payload);
    return run.Run();
}

// After a rollback only folders made for added files may remain.
void ExpectRestored(const std::string& folder, const Files& before) {
    EXPECT_EQ(Difference(FilesOf(ListTree(folder)), before), "");
}

TEST(EngineIntegration, RelativeFolderMeansTheSameFilesToVerificationAndUpdate) {
    // A package naming its folder relative to the program: "inst" beside
    // update.exe. The process's current folder holds a decoy that matches.
    WorkerRun run;
    TempFolder elsewhere;
    Install(elsewhere.path(), {{"inst\\app.exe", kAppOld}});
    Install(run.home, {{"inst\\app.exe", kAppNew}});
    PackageModel model = FixedFolderModel("inst", "1.0", "2.0");
    model.hasNewCheckValues = 0;
    model.updates.push_back(UpdateRecord("app.exe", kAppOld, kAppNew));
    run.currentFolder = elsewhere.path();
    EXPECT_EQ(Apply(run, BuildOrFail(model)), result::kOldFileDiffersMd5);
    EXPECT_EQ(Difference(FilesOf(ListTree(elsewhere.path())), (Files{{"inst\\app.exe", kAppOld}})),
              "");
    EXPECT_EQ(ReadFile(run.home + "\\inst\\app.exe"), kAppNew);
}

// A (digest-matching) damaged stream rebuilds a file unlike its new digest:
// the package fails before the next record, and the rollback restores all.
TEST(EngineIntegration, RebuiltFileUnlikeItsNewDigestFailsThePackage) {
    TempFolder installation;
    Install(installation.path(), kBefore);
    PackageModel model = FullModel(installation.path());
    std::vector<uint8_t>& stream = model.updates[0].data;
    ASSERT_EQ(stream.back(), 0);  // OP_END after the literal "tail"
    stream[stream.size() - 2] ^= 0x20;
    WorkerRun run;
    EXPECT_EQ(Apply(run, BuildOrFail(model)), result::kWriteNewFile);
    EXPECT_EQ(run.events.Count(EV_UPDATING_FILE), 1u) << "stopped before the next record";
    EXPECT_TRUE(run.Restore());
    ExpectRestored(installation.path(), kBefore);
}

// A compressed package rebuilds the same files. Records it does not apply
// (a file already new, a missing source skipped) are read all the same, so
// the next ones find their data; damaged data is refused before any file
// is written or moved.
TEST(EngineIntegration, CompressedPackageAppliesSkipsAndRefusesDamage) {
    Files alreadyNew = kBefore;
    alreadyNew["app.exe"] = kAppNew;
    alreadyNew["new\\deep\\plugin.dll"] = kPlugin;
    Files missing = kBefore;
    missing.erase("app.exe");
    Files missingAfter = kAfter;
    missingAfter.erase("app.exe");
    const struct {
        const char* what;
        Files before;
        bool damaged;
        ResultCode code;
        Files after;
        size_t updated;
    } cases[] = {
        {"applied", kBefore, false, result::kSuccess, kAfter, 2},
        {"already new", alreadyNew, false, result::kSuccess, kAfter, 1},
        {"source missing", missing, false, result::kSuccess, missingAfter, 1},
        {"damaged", kBefore, true, result::kBadDifferenceData, kBefore, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempFolder installation;
        Install(installation.path(), c.before);
        PackageModel model = FullModel(installation.path());
        model.version = gate::kCompressedData;
        model.skipMissingSources = 1;
        packwriter::PackageLayout layout;
        Bytes package = BuildOrFail(model, &layout);
        // The first byte of the instructions: LZMA's leading 0, or an opcode.
        if (c.damaged) package[layout.dataBlockOffset + kDataBlockHeaderSize] ^= 0xFF;
        ASSERT_TRUE(packwriter::RefreshDigest(package));
        WorkerRun run;
        ASSERT_EQ(Apply(run, package), c.code);
        EXPECT_EQ(run.events.Count(EV_UPDATING_FILE), c.updated);
        if (c.code == result::kSuccess) run.RemoveBackups();
        EXPECT_EQ(Difference(FilesOf(ListTree(installation.path())), c.after), "");
    }
}

#ifndef _WIN32
// "*" and "?" can stand in a name on Linux; the test whether a file to add
// is there already takes them as themselves, not as wildcards.
TEST(EngineIntegration, FileToAddIsLookedForUnderItsOwnName) {
    TempFolder installation;
    const Files before = {{"a1.txt", "one"}, {"x.log", "log"}};
    Install(installation.path(), before);
    PackageModel model = FixedFolderModel(installation.path(), "1.0", "2.0");
    model.adds.push_back(AddRecord("a?.txt", "question"));
    model.adds.push_back(AddRecord("*.log", "star"));
    WorkerRun run;
    ASSERT_EQ(Apply(run, BuildOrFail(model)), result::kSuccess);
    run.RemoveBackups();
    EXPECT_EQ(Difference(
                  FilesOf(ListTree(installation.path())),
                  {{"a1.txt", "one"}, {"x.log", "log"}, {"a?.txt", "question"}, {"*.log", "star"}}),
              "");
}
#endif

// The after-text may wait long for the user: the update is complete and
// committed before it shows, so that a run cut short there keeps it.
TEST(EngineIntegration, AfterTextIsShownOnceTheUpdateIsCommitted) {
    TempFolder installation;
    Install(installation.path(), kBefore);
    PackageModel model = FullModel(installation.path());
    model.noticeBlocks.push_back({0, "", "done"});
    WorkerRun run;
    bool committed = false;
    run.prompts.onNotice = [&](ApplyContext& context) { committed = context.journal.committed; };
    ASSERT_EQ(Apply(run, BuildOrFail(model)), result::kSuccess);
    EXPECT_EQ(run.prompts.notices, std::vector<std::string>{"done"});
    EXPECT_TRUE(committed);
}

// --- Recovery at the start

// A run that fails on its second file and ends without the dialog's
// rollback, as a killed run would: its journal and its changes stay behind.
void LeaveInterrupted(const std::string& folder) {
    PackageModel model = FullModel(folder);
    model.updates[1].data[0] = 'X';  // not a difference stream
    WorkerRun run;
    ASSERT_EQ(Apply(run, BuildOrFail(model)), result::kBadDifferenceData);
    ASSERT_EQ(ReadFile(folder + "\\app.exe"), kAppNew);
}

// The position of the first event `code`, or the event count.
size_t IndexOf(const WorkerRun& run, uint32_t code) {
    const std::vector<uint32_t> codes = run.events.Codes();
    return std::find(codes.begin(), codes.end(), code) - codes.begin();
}

// A held file stops the start and keeps the journal, the others undone all
// the same; the next start undoes the rest once the folder is known, before
// the records, then goes on.
TEST(EngineIntegration, InterruptedUpdateIsUndoneByTheNextStartWhichThenGoesOn) {
    TempFolder installation;
    Install(installation.path(), kBefore);
    LeaveInterrupted(installation.path());
    const std::string held = installation / "app.exe";
    FileHandle holder = kInvalidFile;
    ASSERT_EQ(
        Os().Open(held.c_str(), kGenericRead, kShareNone, kOpenExisting, kAttributeNormal, &holder),
        0u);
    WorkerRun blocked;
    const Bytes package = BuildOrFail(FullModel(installation.path()));
    EXPECT_EQ(Apply(blocked, package), result::kRecoveryIncomplete);
    Os().Close(holder);
    EXPECT_EQ(blocked.TextOf(EV_NOT_RESTORED), held);
    EXPECT_EQ(blocked.TextOf(EV_RECOVERY_RESTORED), installation / "lib\\core.dll");
    EXPECT_EQ(ReadFile(installation / "lib\\core.dll"), kCoreOld);
    EXPECT_EQ(blocked.events.Count(EV_READY), 0u);
    EXPECT_TRUE(PathExists(installation / kJournalName));
    EXPECT_FALSE(blocked.Restore()) << "the dialog must not say \"restored\"";

    WorkerRun run;
    ASSERT_EQ(Apply(run, package), result::kSuccess);
    EXPECT_EQ(run.TextOf(EV_RECOVERY_FOUND), installation / kJournalName);
    EXPECT_EQ(run.TextOf(EV_RECOVERY_RESTORED), held);
    EXPECT_LT(IndexOf(run, EV_TARGET_FOLDER), IndexOf(run, EV_RECOVERY_FOUND));
    EXPECT_LT(IndexOf(run, EV_RECOVERY_FOUND), IndexOf(run, EV_RECOVERY_DONE));
    EXPECT_LT(IndexOf(run, EV_RECOVERY_DONE), IndexOf(run, EV_READY));
    run.RemoveBackups();
    EXPECT_EQ(Difference(FilesOf(ListTree(installation.path())), kAfter), "");
}

// In a container, each package looks for a journal in its own folder: one
// left in the second package's folder is undone before that package goes on.
TEST(EngineIntegration, ALaterPackageRecoversItsOwnFolderFirst) {
    TempFolder first, second;
    Install(first.path(), kBefore);
    Install(second.path(), kBefore);
    LeaveInterrupted(second.path());
    WorkerRun run;
    ASSERT_EQ(Apply(run, ContainerOf({BuildOrFail(FullModel(first.path())),
                                      BuildOrFail(FullModel(second.path()))})),
              result::kSuccess);
    EXPECT_EQ(run.TextOf(EV_RECOVERY_FOUND), second / kJournalName);
    run.RemoveBackups();
    for (const TempFolder* folder : {&first, &second}) {
        EXPECT_EQ(Difference(FilesOf(ListTree(folder->path())), kAfter), "");
    }
}

// A completed update's journal is finished: the backups its package said to
// delete go, as its run cut short would have done, and the next run goes on.
TEST(EngineIntegration, JournalOfACompletedUpdateIsFinished) {
    for (const uint8_t deleteBackups : {0, 1}) {
        SCOPED_TRACE(deleteBackups);
        TempFolder installation;
        Install(installation.path(), kBefore);
        {
            PackageModel model = FullModel(installation.path());
            model.deleteBackupsDefault = deleteBackups;
            WorkerRun run;  // never closed: its committed journal stays
            ASSERT_EQ(Apply(run, BuildOrFail(model)), result::kSuccess);
        }
        Files updated = FilesOf(ListTree(installation.path()));
        updated.erase(kJournalName);
        WorkerRun next;
        ASSERT_EQ(Apply(next, BuildOrFail(FixedFolderModel(installation.path(), "2.0", "2.1"))),
                  result::kSuccess);
        EXPECT_EQ(next.events.Count(EV_RECOVERY_COMPLETED), 1u);
        EXPECT_EQ(next.events.Count(EV_RECOVERY_RESTORED), 0u);
        // Two updated files and one deleted had backups.
        EXPECT_EQ(next.events.Count(EV_RECOVERY_BACKUP_DELETED), deleteBackups == 1 ? 3u : 0u);
        EXPECT_EQ(FilesOf(ListTree(installation.path())), deleteBackups == 1 ? kAfter : updated);
    }
}

// A signed file's package ends where the certificate table begins; with a
// damaged directory or header it runs through the table, as if unsigned.
// The folder is relative: each run's program folder holds a fresh one.
TEST(EngineIntegration, ASignedUpdaterAppliesAndADamagedSignatureCountsAsUnsigned) {
    const Bytes package = BuildOrFail(FullModel("inst"));
    const uint32_t table = kPayloadOffset + static_cast<uint32_t>(package.size());
    const uint32_t tableSize = 1500;
    const uint32_t fileSize = table + tableSize;
    struct Case {
        const char* what;
        uint32_t offset;
        uint32_t size;
        bool wide;
        size_t patchAt;  // one byte of the PE32 image changed; 0: none
        char patch;
        bool isSigned;
    };
    // clang-format off
    const std::vector<Case> cases = {
        {"unsigned", 0, 0, false, 0, 0, false},
        {"PE32", table, tableSize, false, 0, 0, true},
        {"PE32+", table, tableSize, true, 0, 0, true},
        {"outside the file", fileSize, 8, false, 0, 0, false},
        {"over the payload", kPayloadOffset, fileSize - kPayloadOffset, false, 0, 0, false},
        {"inside the smallest package", kPayloadOffset + 21, fileSize - kPayloadOffset - 21, false, 0, 0, false},
        {"a size that wraps", 0xFFFFFF00u, fileSize + 0x100, false, 0, 0, false},
        {"ending before the file", table, tableSize - 1, false, 0, 0, false},
        {"no MZ", table, tableSize, false, 0, 0x7F, false},
        {"PE headers beyond the image", table, tableSize, false, 0x3E, 0x02, false},
        {"no PE signature", table, tableSize, false, 64, 'Q', false},
        {"a ROM image", table, tableSize, false, 88, 0x07, false},
        {"four directories", table, tableSize, false, 180, 4, false},
        {"a short optional header", table, tableSize, false, 84, char(135), false},
    };
    // clang-format on
    std::vector<std::string> unsignedTrace;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string image = PeImage(c.offset, c.size, c.wide);
        if (c.patchAt != 0 || c.patch != 0) image[c.patchAt] = c.patch;
        Bytes file;
        ASSERT_TRUE(packwriter::BuildSelfExtracting(ToBytes(image), package, &file));
        file.resize(fileSize, 0x30);
        WorkerRun run;
        const std::string folder = run.home + "\\inst";
        Install(folder, kBefore);
        run.context->autoFinish = 1;
        ASSERT_EQ(packwriter::WriteFileBytes(run.programPath.c_str(), file), 0u);
        const ResultCode result = run.Run();
        if (c.isSigned) {
            EXPECT_EQ(result, result::kSuccess);
            run.RemoveBackups();
            EXPECT_EQ(Difference(FilesOf(ListTree(folder)), kAfter), "");
            continue;
        }
        EXPECT_EQ(result, result::kPackageDigestMismatch);
        if (unsignedTrace.empty()) unsignedTrace = run.trace;
        EXPECT_EQ(run.trace, unsignedTrace);
        ExpectRestored(folder, kBefore);
    }
}

}  // namespace
}  // namespace pkx::test
