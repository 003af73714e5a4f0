// The worker's sequence of events, prompts and results, package by package.
#include "engine/worker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "core/cancellation.h"
#include "tests/recording_ui.h"
#include "tests/test_support.h"
#include "tests/worker_fixtures.h"
#include "texts/text_table.h"

namespace pkx::test {
namespace {

using packwriter::PackageModel;

using Trace = std::vector<std::string>;

Trace Tail(const Trace& trace, size_t count) {
    return Trace(trace.end() - static_cast<std::ptrdiff_t>(std::min(count, trace.size())),
                 trace.end());
}

const std::string kOld = Pattern(3000, 1);
const std::string kNew = Edited(kOld, 1000, 300, 2);

// The example package of the package header's description: a 33-byte title,
// labels of 4 and 8 bytes, a 36-byte rights notice, no language block, one
// prompt as folder source, one notice block for every code page and a single
// update record with both check values.
PackageModel WorkedExampleModel() {
    PackageModel model;
    model.title = "Sample Product for Update Testing";
    model.oldVersionLabel = "1.00";
    model.newVersionLabel = "1.01 rev";
    model.rightsText = "Copyright (C) Sample Makers Inc 2003";
    model.deleteBackupsDefault = 0;
    model.folderSources.push_back({0, 0, "", "", "", {}});
    model.noticeBlocks.push_back({0, std::string(142, 'b'), std::string(179, 'a')});
    model.hasNewCheckValues = 1;
    model.updates.push_back(UpdateRecord("program.exe", kOld, kNew));
    return model;
}

// A package taking app.bin from `from` to `to`, found at `folder`.
PackageModel StepModel(const std::string& folder, const std::string& fromLabel,
                       const std::string& toLabel, const std::string& from, const std::string& to) {
    PackageModel model = FixedFolderModel(folder, fromLabel, toLabel);
    model.updates.push_back(UpdateRecord("app.bin", from, to));
    return model;
}

const std::string kV0 = Pattern(2000, 10);
const std::string kV1 = Pattern(2000, 11);
const std::string kV2 = Edited(kV1, 100, 50, 12);
const std::string kV3 = Edited(kV2, 900, 70, 13);
const std::string kV4 = Edited(kV3, 1500, 20, 14);

TEST(WorkerSequence, WorkedExampleReportsEveryStepInOrder) {
    TempFolder installation;
    Install(installation.path(), {{"program.exe", kOld}});
    packwriter::PackageLayout layout;
    const Bytes package = BuildOrFail(WorkedExampleModel(), &layout);
    ASSERT_EQ(layout.updateRecordOffsets.at(0), 0x1C3u);

    WorkerRun run;
    run.WriteProgram(package);
    run.prompts.AcceptFolder(installation.path());
    EXPECT_EQ(run.Run(), result::kSuccess);

    const Trace expected = {"font",   "28",
                            "17",     "100",
                            "4",      "5",
                            "20",     "confirm",
                            "folder", "notice:" + std::string(142, 'b'),
                            "10",     "3",
                            "6",      "8",
                            "11",     "12+",
                            "13",     "notice:" + std::string(179, 'a'),
                            "post:0"};
    EXPECT_EQ(run.trace, expected);
    EXPECT_EQ(run.ParamsOf(EV_TOTAL_PROGRESS), std::vector<intptr_t>{1000});
    EXPECT_EQ(run.PostedCount(), 1u);
    EXPECT_EQ(run.context->packages.at(0).applied, 1u);
    EXPECT_EQ(ReadFile(installation / "program.exe"), kNew);
    EXPECT_EQ(std::string(run.context->targetFolder), installation.path() + "\\");

    // Window title, headline and question carry the title and both labels.
    const std::string caption = run.TextOf(EV_SET_TITLE);
    EXPECT_EQ(caption.rfind("Sample Product for Update Testing", 0), 0u) << caption;
    EXPECT_NE(caption.find("1.00"), std::string::npos);
    EXPECT_LT(caption.find("1.00"), caption.find("1.01 rev"));
    EXPECT_NE(run.TextOf(EV_HEADLINE).find("1.01 rev"), std::string::npos);
    ASSERT_EQ(run.prompts.confirmCalls.size(), 1u);
    EXPECT_EQ(run.prompts.confirmCalls[0].second, caption);
    EXPECT_NE(run.prompts.confirmCalls[0].first.find("Sample Product"), std::string::npos);
}

TEST(WorkerSequence, UnattendedRunAsksNothingAndReportsEachRecordsShare) {
    TempFolder installation;
    const std::string a = Pattern(700, 21), b = Pattern(800, 22);
    Install(installation.path(), {{"a.bin", a}, {"b.bin", b}});
    PackageModel model = FixedFolderModel(installation.path(), "1", "2");
    model.updates.push_back(UpdateRecord("a.bin", a, Edited(a, 10, 10, 23)));
    model.adds.push_back(AddRecord("c.bin", "c"));
    model.deletes.push_back(DeleteRecord("b.bin", b));

    WorkerRun run;
    run.context->autoFinish = 1;
    run.WriteProgram(BuildOrFail(model));
    EXPECT_EQ(run.Run(), result::kSuccess);
    EXPECT_TRUE(run.prompts.confirmCalls.empty());
    EXPECT_EQ(run.ParamsOf(EV_TOTAL_PROGRESS), (std::vector<intptr_t>{333, 666, 1000}));
}

TEST(WorkerSequence, ContainerSkipsAPackageThatDoesNotFitAndSummarisesAll) {
    TempFolder installation;
    Install(installation.path(), {{"app.bin", kV2}});
    const std::string folder = installation.path();
    WorkerRun run;
    run.WriteProgram(ContainerOf({BuildOrFail(StepModel(folder, "0", "1", kV0, kV1)),
                                  BuildOrFail(StepModel(folder, "2", "3", kV2, kV3)),
                                  BuildOrFail(StepModel(folder, "3", "4", kV3, kV4))}));
    EXPECT_EQ(run.Run(), result::kSuccess);

    const Trace package = {"font", "28", "17", "100", "4", "5", "20", "confirm", "10", "3"};
    Trace expected = package;
    expected.insert(expected.end(), {"6", "8", "29"});
    for (int i = 0; i < 2; ++i) {
        expected.insert(expected.end(), package.begin(), package.end());
        expected.insert(expected.end(), {"6", "8", "11", "12+", "13"});
    }
    expected.insert(expected.end(), {"25", "30", "30", "30", "25", "post:0"});
    EXPECT_EQ(run.trace, expected);

    const auto& packages = run.context->packages;
    std::vector<intptr_t> summaries;
    for (const PackageRef& p : packages) summaries.push_back(reinterpret_cast<intptr_t>(&p));
    EXPECT_EQ(run.ParamsOf(EV_PACKAGE_SUMMARY), summaries);
    EXPECT_EQ(packages[0].applied, 0u);
    EXPECT_EQ(packages[1].applied, 1u);
    EXPECT_EQ(packages[2].applied, 1u);
    EXPECT_STREQ(packages[2].oldVersionLabel, "3");
    EXPECT_EQ(ReadFile(installation / "app.bin"), kV4);
}

TEST(WorkerSequence, ContainerWhoseEveryPackageIsSkippedSucceedsUnchanged) {
    TempFolder installation;
    Install(installation.path(), {{"app.bin", kV4}});
    const std::string folder = installation.path();
    WorkerRun run;
    run.WriteProgram(ContainerOf({BuildOrFail(StepModel(folder, "1", "2", kV1, kV2)),
                                  BuildOrFail(StepModel(folder, "2", "3", kV2, kV3))}));
    EXPECT_EQ(run.Run(), result::kSuccess);
    EXPECT_EQ(run.events.Count(EV_TRY_NEXT_PACKAGE), 2u);
    EXPECT_EQ(run.events.Count(EV_PACKAGE_SUMMARY), 2u);
    for (const PackageRef& p : run.context->packages) EXPECT_EQ(p.applied, 0u);
    EXPECT_EQ(run.FinalCode(), EV_FINISHED);
    EXPECT_EQ(ListTree(installation.path()), (Tree{{"app.bin", kV4}}));
}

TEST(WorkerSequence, MismatchIsAnErrorForASinglePackageAndASkipInAContainer) {
    TempFolder installation;
    Install(installation.path(), {{"app.bin", kV3}});
    const Bytes package = BuildOrFail(StepModel(installation.path(), "1", "2", kV1, kV2));
    {
        WorkerRun run;
        run.WriteProgram(package);
        EXPECT_EQ(run.Run(), result::kOldFileDiffersMd5);
        EXPECT_EQ(run.events.Count(EV_TRY_NEXT_PACKAGE), 0u);
        EXPECT_EQ(run.FinalCode(), EV_FAILED);
        EXPECT_EQ(run.FinalParam(), static_cast<intptr_t>(result::kOldFileDiffersMd5));
        EXPECT_EQ(run.context->packages.at(0).applied, 1u);
    }
    {
        WorkerRun run;
        run.WriteProgram(ContainerOf({package}));
        EXPECT_EQ(run.Run(), result::kSuccess);
        const Trace tail = Tail(run.trace, 2);
        EXPECT_EQ(tail, (Trace{"29", "post:0"}));
        EXPECT_EQ(run.events.Count(EV_SEPARATOR), 0u);
        EXPECT_EQ(run.events.Count(EV_PACKAGE_SUMMARY), 0u);
    }
    EXPECT_EQ(ListTree(installation.path()), (Tree{{"app.bin", kV3}}));
}

TEST(WorkerSequence, ContainerStopsAtAFailureOtherThanAMismatch) {
    TempFolder installation;
    Install(installation.path(), {{"app.bin", kV1}});
    const std::string folder = installation.path();
    PackageModel missing = StepModel(folder, "2", "3", kV2, kV3);
    missing.updates.push_back(UpdateRecord("gone.bin", "x", "y"));
    WorkerRun run;
    run.WriteProgram(
        ContainerOf({BuildOrFail(StepModel(folder, "1", "2", kV1, kV2)), BuildOrFail(missing),
                     BuildOrFail(StepModel(folder, "3", "4", kV3, kV4))}));
    EXPECT_EQ(run.Run(), result::kOldFileMissing);
    EXPECT_EQ(run.events.Count(EV_TRY_NEXT_PACKAGE), 0u);
    EXPECT_EQ(run.events.Count(EV_PACKAGE_SUMMARY), 0u);
    const auto& packages = run.context->packages;
    EXPECT_EQ(packages[0].applied, 1u);
    EXPECT_EQ(packages[1].applied, 1u);
    EXPECT_EQ(packages[2].applied, 0u);
    EXPECT_EQ(run.events.Count(EV_APPLY_TEXTS), 2u) << "the third package is never read";
}

TEST(WorkerSequence, AnsweringNoCancelsBeforeAnythingIsTouched) {
    TempFolder installation;
    Install(installation.path(), {{"app.bin", kV1}});
    WorkerRun run;
    run.WriteProgram(BuildOrFail(StepModel(installation.path(), "1", "2", kV1, kV2)));
    run.prompts.confirmAnswers.push_back(false);
    EXPECT_EQ(run.Run(), result::kCancelled);
    EXPECT_EQ(run.trace, (Trace{"font", "28", "17", "100", "4", "5", "20", "confirm", "post:2"}));
    EXPECT_EQ(ListTree(installation.path()), (Tree{{"app.bin", kV1}}));
    EXPECT_TRUE(run.context->packages.at(0).backupPaths.empty());
}

TEST(WorkerSequence, PasswordIsAskedOnlyForFlagOneAndCancellingStops) {
    TempFolder installation;
    Install(installation.path(), {{"app.bin", kV1}});
    PackageModel model = StepModel(installation.path(), "1", "2", kV1, kV2);
    packwriter::SetPassword(model, "pw");
    {
        WorkerRun run;
        run.WriteProgram(BuildOrFail(model));
        run.prompts.passwordAnswers.push_back(1);
        EXPECT_EQ(run.Run(), result::kCancelled);
        EXPECT_EQ(run.prompts.passwordCalls, 1);
        const Trace tail = Tail(run.trace, 3);
        EXPECT_EQ(tail, (Trace{"confirm", "password", "post:2"}));
    }
    model.passwordFlag = 2;  // not protected: no digest is written, none asked
    {
        WorkerRun run;
        run.WriteProgram(BuildOrFail(model));
        run.prompts.passwordDefault = 1;
        EXPECT_EQ(run.Run(), result::kSuccess);
        EXPECT_EQ(run.prompts.passwordCalls, 0);
    }
    EXPECT_EQ(ReadFile(installation / "app.bin"), kV2);
}

TEST(WorkerSequence, HeaderReadFailureFallsBackToTheSystemFont) {
    PackageModel model = StepModel("C:\\nowhere", "1", "2", kV1, kV2);
    model.title = "Cut After Title";
    packwriter::PackageLayout layout;
    Bytes package = BuildOrFail(model, &layout);
    packwriter::Truncate(package, 6 + 1 + model.title.size());  // magic, version, title

    WorkerRun run;
    run.WriteProgram(package);
    CodePageScope stale(4242);
    EXPECT_EQ(run.Run(), result::kReadProgramFile);
    EXPECT_EQ(run.trace, (Trace{"fallback-font", "28", "post:1"}));
    EXPECT_EQ(run.FinalParam(), static_cast<intptr_t>(result::kReadProgramFile));
    EXPECT_EQ(systemCodePage, Os().AnsiCodePage()) << "read again for the fallback font";
    // The built-in texts are in force for the dialog's failure lines: those
    // of the table that the code page before the fallback (4242) chose.
    EXPECT_STREQ(run.context->texts[1042], "[Error] Could not read the update package.");
    EXPECT_EQ(run.context->textCodePage, 1252u);
}

TEST(WorkerSequence, VersionAboveTheNewestFallsBackAndFails) {
    Bytes package = BuildOrFail(StepModel("C:\\nowhere", "1", "2", kV1, kV2));
    ASSERT_TRUE(packwriter::PatchU16(package, 4, 151));
    WorkerRun run;
    run.WriteProgram(package);
    EXPECT_EQ(run.Run(), result::kUnknownVersion);
    EXPECT_EQ(run.trace, (Trace{"fallback-font", "28", "post:1"}));
}

TEST(WorkerSequence, PackageWithoutRecordsShowsTheAfterTextWithoutTotalProgress) {
    TempFolder installation;
    PackageModel model = FixedFolderModel(installation.path(), "1", "2");
    model.noticeBlocks.push_back({0, "", "done"});
    WorkerRun run;
    run.WriteProgram(BuildOrFail(model));
    EXPECT_EQ(run.Run(), result::kSuccess);
    EXPECT_EQ(run.events.Count(EV_TOTAL_PROGRESS), 0u);
    const Trace tail = Tail(run.trace, 4);
    EXPECT_EQ(tail, (Trace{"3", "6", "notice:done", "post:0"}));
    EXPECT_EQ(run.prompts.notices, (std::vector<std::string>{"done"}));
}

TEST(WorkerSequence, NoFolderSourceFindingTheFolderFailsBeforeTheTargetIsShown) {
    ScriptedPlatform platform;
    PlatformScope scope(platform);
    PackageModel model = StepModel("", "1", "2", kV1, kV2);
    model.folderSources = {{3, 0xFF, "", "", "", {}},
                           {2, 0xFF, "app.ini", "Paths", "Home", {}},
                           {1, 2, "Software\\Test", "InstallDir", "", {}}};
    WorkerRun run;
    run.WriteProgram(BuildOrFail(model));
    EXPECT_EQ(run.Run(), result::kNoTargetFolder);
    EXPECT_EQ(run.trace.back(), "post:1");
    EXPECT_EQ(run.FinalParam(), static_cast<intptr_t>(result::kNoTargetFolder));
    EXPECT_EQ(run.events.Count(EV_TARGET_FOLDER), 0u);
    EXPECT_EQ(run.events.Count(EV_READY), 0u);
    EXPECT_EQ(platform.registryLookups.size(), 1u);
}

TEST(WorkerSequence, LaterPackagesStartFromTheFolderFoundBefore) {
    TempFolder installation;
    Install(installation.path(), {{"app.bin", kV1}});
    PackageModel second = StepModel("", "2", "3", kV2, kV3);
    second.folderSources = {{0, 0, "", "", "", {}}};
    WorkerRun run;
    run.WriteProgram(ContainerOf(
        {BuildOrFail(StepModel(installation.path(), "1", "2", kV1, kV2)), BuildOrFail(second)}));
    run.prompts.folderAnswers.push_back({0, std::nullopt});  // confirms what it shows
    EXPECT_EQ(run.Run(), result::kSuccess);
    EXPECT_EQ(run.prompts.folderPromptInitialTexts,
              std::vector<std::string>{installation.path() + "\\"});
    EXPECT_EQ(ReadFile(installation / "app.bin"), kV3);
}

TEST(WorkerSequence, RunningProgramStopsTheRunWithItsOwnFinalEvent) {
    TempFolder installation;
    Install(installation.path(), {{"app.bin", kV1}});
    ScriptedPlatform platform;
    platform.processes = [](uint32_t) {
        return std::vector<std::string>{"C:\\Program Files\\Test\\TEST.EXE"};
    };
    PlatformScope scope(platform);
    PackageModel model = StepModel(installation.path(), "1", "2", kV1, kV2);
    model.runningCheck = {2, "", "", "test.exe", 0};
    WorkerRun run;
    run.WriteProgram(BuildOrFail(model));
    EXPECT_EQ(run.Run(), result::kProgramRunning);
    EXPECT_EQ(run.trace.back(), "post:18");
    EXPECT_EQ(run.events.Count(EV_READY), 0u);
    EXPECT_EQ(ReadFile(installation / "app.bin"), kV1);
}

TEST(WorkerSequence, EmptyLabelsGetDefaultsInTheContextAndThePackage) {
    TempFolder installation;
    Install(installation.path(), {{"app.bin", kV1}});
    PackageModel model = StepModel(installation.path(), "", "", kV1, kV2);
    model.title = "";
    WorkerRun run;
    run.WriteProgram(BuildOrFail(model));
    EXPECT_EQ(run.Run(), result::kSuccess);
    EXPECT_STREQ(run.context->title, "No Title");
    const PackageRef& package = run.context->packages.at(0);
    EXPECT_STREQ(package.oldVersionLabel, "Old Version");
    EXPECT_STREQ(package.newVersionLabel, "New Version");
    EXPECT_EQ(ReadFile(installation / "app.bin.Old Version.old"), kV1);
    EXPECT_EQ(run.TextOf(EV_SET_TITLE).rfind("No Title", 0), 0u);
}

// Counts the polls of the Cancel flag after `startCode` and sets the flag at
// poll number `at`.
struct CancelAtPoll {
    ApplyContext* context = nullptr;
    bool counting = false;
    int polls = 0;
    int at = 0;

    static void Hook(ApplyContext& context, void* data) {
        auto* self = static_cast<CancelAtPoll*>(data);
        if (!self->counting || &context != self->context) return;
        if (++self->polls == self->at) context.cancelRequested = 1;
    }
};

class CancelHookScope {
  public:
    explicit CancelHookScope(CancelAtPoll* state) { SetCancelPollHook(&CancelAtPoll::Hook, state); }
    ~CancelHookScope() { SetCancelPollHook(nullptr, nullptr); }
};

TEST(WorkerSequence, CancelBeforeTheThirdOfFiveRecordsEndsTheRunUntouched) {
    TempFolder installation;
    PackageModel model = FixedFolderModel(installation.path(), "1", "2");
    Files files;
    for (int i = 0; i < 5; ++i) {
        const std::string name = "f" + std::to_string(i) + ".bin";
        files[name] = Pattern(300, 30 + i);
        model.updates.push_back(UpdateRecord(name, files[name], Edited(files[name], 0, 9, 40 + i)));
    }
    Install(installation.path(), files);
    WorkerRun run;
    run.WriteProgram(BuildOrFail(model));
    CancelAtPoll cancel;
    cancel.context = run.context.get();
    cancel.at = 3;
    run.afterEvent = [&cancel](const RecordedEvent& event) {
        if (event.code == EV_READY) cancel.counting = true;
    };
    CancelHookScope hook(&cancel);
    EXPECT_EQ(run.Run(), result::kCancelled);
    EXPECT_EQ(cancel.polls, 3) << "one poll before each record read";
    const Trace tail = Tail(run.trace, 3);
    EXPECT_EQ(tail, (Trace{"10", "3", "post:2"}));
    EXPECT_EQ(Difference(FilesOf(ListTree(installation.path())), files), "");
}

TEST(WorkerSequence, MissingProgramFileGivesOnlyTheOpenFailure) {
    WorkerRun run;  // nothing written at programPath
    EXPECT_EQ(run.Run(), result::kOpenProgramFile);
    ASSERT_EQ(run.events.events.size(), 1u);
    EXPECT_TRUE(run.events.events[0].posted);
    EXPECT_EQ(run.events.events[0].code, EV_FAILED);
    EXPECT_EQ(run.events.events[0].param, static_cast<intptr_t>(result::kOpenProgramFile));
    EXPECT_TRUE(run.prompts.fontCalls.empty());
}

TEST(WorkerSequence, PayloadThatIsNoPackageGivesItsCodeAlone) {
    WorkerRun run;
    run.WriteProgram(ToBytes("PKX!0000"));
    EXPECT_EQ(run.Run(), result::kNotAPackage);
    EXPECT_EQ(run.trace, Trace{"post:1"});
    EXPECT_EQ(run.FinalParam(), static_cast<intptr_t>(result::kNotAPackage));
}

TEST(WorkerSequence, ContainerIndexCutShortFailsBeforeAnyPackage) {
    Bytes payload = ContainerOf({BuildOrFail(StepModel("C:\\x", "1", "2", kV1, kV2)),
                                 BuildOrFail(StepModel("C:\\x", "2", "3", kV2, kV3))});
    packwriter::Truncate(payload, 4 + 2 + 8 + 4);  // the second entry loses its size
    WorkerRun run;
    run.WriteProgram(payload);
    EXPECT_EQ(run.Run(), result::kReadProgramFile);
    EXPECT_EQ(run.trace, Trace{"post:1"});
}

TEST(WorkerSequence, ProgramFileIsClosedWhenTheFinalEventArrives) {
    TempFolder installation;
    Install(installation.path(), {{"app.bin", kV1}});
    WorkerRun run;
    run.WriteProgram(BuildOrFail(StepModel(installation.path(), "1", "2", kV1, kV2)));
    uint32_t openWhileRunning = 1;
    uint32_t openAtFinalEvent = 1;
    run.afterEvent = [&](const RecordedEvent& event) {
        // Only a closed file can be opened without sharing.
        FileHandle file = kInvalidFile;
        const uint32_t r = Os().Open(run.programPath.c_str(), kGenericRead, kShareNone,
                                     kOpenExisting, kAttributeNormal, &file);
        if (r == 0) Os().Close(file);
        (event.posted ? openAtFinalEvent : openWhileRunning) = r;
    };
    EXPECT_EQ(run.Run(), result::kSuccess);
    EXPECT_EQ(openAtFinalEvent, 0u);
    EXPECT_NE(openWhileRunning, 0u) << "held open during the run";
}

TEST(WorkerSequence, EmptyContainerFinishesWithoutSummary) {
    WorkerRun run;
    run.WriteProgram(ContainerOf({}));
    EXPECT_EQ(run.Run(), result::kSuccess);
    EXPECT_EQ(run.trace, Trace{"post:0"});
}

TEST(WorkerSequence, DamagedPackageIsRejectedBeforeAnyQuestion) {
    TempFolder installation;
    Install(installation.path(), {{"app.bin", kV1}});
    packwriter::PackageLayout layout;
    Bytes package = BuildOrFail(StepModel(installation.path(), "1", "2", kV1, kV2), &layout);
    package[layout.updateDataOffsets.at(0) + 3] ^= 0x01;
    WorkerRun run;
    run.WriteProgram(package);
    EXPECT_EQ(run.Run(), result::kPackageDigestMismatch);
    EXPECT_EQ(run.trace, (Trace{"font", "28", "17", "post:1"}));
}

}  // namespace
}  // namespace pkx::test
