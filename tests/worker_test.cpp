// The worker's sequence of events, prompts and results, package by package.
#include "engine/worker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "tests/worker_fixtures.h"
#include "texts/text_table.h"

namespace pkx::test {
namespace {

using packwriter::PackageModel;

using Trace = std::vector<std::string>;

// "a b c" as the trace {"a", "b", "c"}.
Trace Words(const std::string& text) {
    std::istringstream in(text);
    return Trace(std::istream_iterator<std::string>(in), std::istream_iterator<std::string>());
}

Trace Tail(const Trace& trace, size_t count) {
    return Trace(trace.end() - static_cast<std::ptrdiff_t>(std::min(count, trace.size())),
                 trace.end());
}

const std::string kOld = Pattern(3000, 1);
const std::string kNew = Edited(kOld, 1000, 300, 2);

// The package header's worked example: no language block, a prompt as folder
// source, one notice block for every code page, one update with both values.
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
    // The program file is closed before the final event: only a closed file
    // can be opened without sharing.
    uint32_t openWhileRunning = 1;
    uint32_t openAtFinalEvent = 1;
    run.afterEvent = [&](const RecordedEvent& event) {
        FileHandle file = kInvalidFile;
        const uint32_t r = Os().Open(run.programPath.c_str(), kGenericRead, kShareNone,
                                     kOpenExisting, kAttributeNormal, &file);
        if (r == 0) Os().Close(file);
        (event.posted ? openAtFinalEvent : openWhileRunning) = r;
    };
    EXPECT_EQ(run.Run(), result::kSuccess);

    Trace expected = Words("font 28 17 100 4 5 20 confirm folder");
    expected.push_back("notice:" + std::string(142, 'b'));
    for (const std::string& step : Words("10 3 6 8 11 12+ 13")) expected.push_back(step);
    expected.push_back("notice:" + std::string(179, 'a'));
    expected.push_back("post:0");
    EXPECT_EQ(run.trace, expected);
    EXPECT_EQ(openAtFinalEvent, 0u);
    EXPECT_NE(openWhileRunning, 0u) << "held open during the run";
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

// Empty labels get defaults in the context and in the package, whose old
// label names the backups.
TEST(WorkerSequence, UnattendedRunAsksNothingAndReportsEachRecordsShare) {
    TempFolder installation;
    const std::string a = Pattern(700, 21), b = Pattern(800, 22);
    Install(installation.path(), {{"a.bin", a}, {"b.bin", b}});
    PackageModel model = FixedFolderModel(installation.path(), "", "");
    model.title = "";
    model.updates.push_back(UpdateRecord("a.bin", a, Edited(a, 10, 10, 23)));
    model.adds.push_back(AddRecord("c.bin", "c"));
    model.deletes.push_back(DeleteRecord("b.bin", b));

    WorkerRun run;
    run.context->autoFinish = 1;
    run.WriteProgram(BuildOrFail(model));
    EXPECT_EQ(run.Run(), result::kSuccess);
    EXPECT_TRUE(run.prompts.confirmCalls.empty());
    EXPECT_EQ(run.ParamsOf(EV_TOTAL_PROGRESS), (std::vector<intptr_t>{333, 666, 1000}));
    EXPECT_STREQ(run.context->title, "No Title");
    const PackageRef& package = run.context->packages.at(0);
    EXPECT_STREQ(package.oldVersionLabel, "Old Version");
    EXPECT_STREQ(package.newVersionLabel, "New Version");
    EXPECT_EQ(ReadFile(installation / "a.bin.Old Version.old"), a);
    EXPECT_EQ(run.TextOf(EV_SET_TITLE).rfind("No Title", 0), 0u);
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

// Runs that end before any file changes: the whole event trace (or its
// end), the result, one posted event, and the installation untouched.
struct EarlyEnd {
    const char* what;
    std::function<Bytes(const std::string& folder)> payload;  // empty: no program file
    ResultCode expected;
    Trace trace;  // the end of the trace
    std::function<void(WorkerRun&)> answers = nullptr;
    std::string installed = kV1;
};

TEST(WorkerSequence, EarlyEnds) {
    // The step from 1 to 2, changed by `change`.
    const auto with = [](std::function<void(PackageModel&)> change) {
        return [=](const std::string& folder) {
            PackageModel model = StepModel(folder, "1", "2", kV1, kV2);
            if (change) change(model);
            return BuildOrFail(model);
        };
    };
    // clang-format off
    const EarlyEnd cases[] = {
        {"no program file", nullptr, result::kOpenProgramFile, {"post:1"}},
        {"payload that is no package", [](const std::string&) { return ToBytes("PKX!0000"); }, result::kNotAPackage, {"post:1"}},
        {"container index cut short", [](const std::string& folder) {
             Bytes payload = ContainerOf({BuildOrFail(StepModel(folder, "1", "2", kV1, kV2)), BuildOrFail(StepModel(folder, "2", "3", kV2, kV3))});
             packwriter::Truncate(payload, 4 + 2 + 8 + 4);  // the second entry loses its size
             return payload; }, result::kReadProgramFile, {"post:1"}},
        {"empty container", [](const std::string&) { return ContainerOf({}); }, result::kSuccess, {"post:0"}},
        {"version above the newest", [](const std::string& folder) {
             Bytes package = BuildOrFail(StepModel(folder, "1", "2", kV1, kV2));
             EXPECT_TRUE(packwriter::PatchU16(package, 4, 151));
             return package; }, result::kUnknownVersion, {"fallback-font", "28", "post:1"}},
        {"damaged package", [](const std::string& folder) {
             packwriter::PackageLayout layout;
             Bytes package = BuildOrFail(StepModel(folder, "1", "2", kV1, kV2), &layout);
             package[layout.updateDataOffsets.at(0) + 3] ^= 0x01;
             return package; }, result::kPackageDigestMismatch, {"font", "28", "17", "post:1"}},
        {"no folder source finds the folder", with([](PackageModel& model) {
             model.folderSources = {{3, 0xFF, "", "", "", {}}, {2, 0xFF, "app.ini", "Paths", "Home", {}}, {1, 2, "Software\\Test", "InstallDir", "", {}}}; }),
         result::kNoTargetFolder, {"20", "confirm", "post:1"}},
        {"program running", with([](PackageModel& model) { model.runningCheck = {2, "", "", "test.exe", 0}; }),
         result::kProgramRunning, {"20", "confirm", "post:18"}},
        {"answered No", with(nullptr), result::kCancelled, {"font", "28", "17", "100", "4", "5", "20", "confirm", "post:2"}, [](WorkerRun& run) { run.prompts.confirmAnswers.push_back(false); }},
        {"password cancelled", with([](PackageModel& model) { packwriter::SetPassword(model, "pw"); }),
         result::kCancelled, {"confirm", "password", "post:2"}, [](WorkerRun& run) { run.prompts.passwordAnswers.push_back(1); }},
        {"old file differs", with(nullptr), result::kOldFileDiffersMd5, {"3", "6", "8", "post:1"}, nullptr, kV3},
        // Only flag 1 protects a package: a password would be refused here.
        {"password flag 2", with([](PackageModel& model) { packwriter::SetPassword(model, "pw"); model.passwordFlag = 2; }),
         result::kOldFileDiffersMd5, {"confirm", "10", "3", "6", "8", "post:1"}, [](WorkerRun& run) { run.prompts.passwordDefault = 1; }, kV3},
        // In a container the same package is skipped instead.
        {"only package of a container differs", [](const std::string& folder) { return ContainerOf({BuildOrFail(StepModel(folder, "1", "2", kV1, kV2))}); },
         result::kSuccess, {"8", "29", "post:0"}, nullptr, kV3},
        {"every package of a container skipped", [](const std::string& folder) {
             return ContainerOf({BuildOrFail(StepModel(folder, "1", "2", kV1, kV2)), BuildOrFail(StepModel(folder, "2", "3", kV2, kV3))}); },
         result::kSuccess, {"29", "25", "30", "30", "25", "post:0"}, nullptr, kV4},
    };
    // clang-format on
    ScriptedPlatform platform;  // no registry value, TEST.EXE running
    platform.processes = [](uint32_t) {
        return std::vector<std::string>{"C:\\Program Files\\Test\\TEST.EXE"};
    };
    PlatformScope scope(platform);
    for (const EarlyEnd& c : cases) {
        SCOPED_TRACE(c.what);
        TempFolder installation;
        Install(installation.path(), {{"app.bin", c.installed}});
        WorkerRun run;
        if (c.payload) run.WriteProgram(c.payload(installation.path()));
        if (c.answers) c.answers(run);
        EXPECT_EQ(run.Run(), c.expected);
        EXPECT_EQ(Tail(run.trace, c.trace.size()), c.trace);
        EXPECT_EQ(run.PostedCount(), 1u);
        if (c.expected > result::kProgramRunning) {
            EXPECT_EQ(run.FinalParam(), static_cast<intptr_t>(c.expected));
        }
        EXPECT_EQ(ListTree(installation.path()), (Tree{{"app.bin", c.installed}}));
        for (const PackageRef& package : run.context->packages)
            EXPECT_TRUE(package.backupPaths.empty());
    }
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

}  // namespace
}  // namespace pkx::test
