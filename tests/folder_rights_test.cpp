// An installation only an administrator may change: a run without those
// rights stops after naming the target folder, before anything changes.
#include <gtest/gtest.h>

#include "tests/platforms/fault_injection.h"
#include "tests/worker_fixtures.h"

namespace pkx::test {
namespace {

const std::string kOld = Pattern(2000, 3);
const std::string kNew = Pattern(2100, 4);

// The native platform, elevated or not as the test says; a probe of the
// folder is refused (kAccessDenied) or passes as the test plans.
class RightsPlatform final : public FaultInjector {
  public:
    explicit RightsPlatform(bool elevated) : FaultInjector(NativePlatform()), elevated_(elevated) {}
    bool RunsElevated() override { return elevated_; }

  private:
    bool elevated_;
};

TEST(FolderRights, OnlyAnUnelevatedRunMeetingAFolderItMayNotChangeStops) {
    const struct {
        bool elevated;
        uint32_t probe;  // 0: the probe passes
        bool stops;
    } kCases[] = {
        {false, win32err::kAccessDenied, true},
        {true, win32err::kAccessDenied, false},  // administrator rights would not help
        {false, 0, false},
        {false, win32err::kSharingViolation, false},  // says nothing of rights
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(std::to_string(c.elevated) + " " + std::to_string(c.probe));
        TempFolder installation;
        Install(installation.path(), {{"app.exe", kOld}});
        packwriter::PackageModel model = FixedFolderModel(installation.path(), "1.0", "2.0");
        model.updates.push_back(UpdateRecord("app.exe", kOld, kNew));
        RightsPlatform platform(c.elevated);
        if (c.probe != 0) platform.FailFrom(1, c.probe, Operation::kProbeFolderWrite);
        PlatformScope scope(platform);
        WorkerRun run;
        run.WriteProgram(BuildOrFail(model));
        run.prompts.AcceptFolder(installation.path());
        const ResultCode r = run.Run();
        const std::string folder = installation.path() + "\\";
        if (c.stops) {
            EXPECT_EQ(r, result::kJournal);
            EXPECT_EQ(run.TextOf(EV_FOLDER_NEEDS_ADMINISTRATOR), folder);
            EXPECT_EQ(run.trace.at(run.trace.size() - 2), "49");
            EXPECT_EQ(run.trace.at(run.trace.size() - 3), "10");
            EXPECT_EQ(run.trace.back(), "post:1");
            EXPECT_EQ(FilesOf(ListTree(installation.path())), (Files{{"app.exe", kOld}}));
        } else {
            EXPECT_EQ(r, result::kSuccess);
            EXPECT_EQ(run.events.Find(EV_FOLDER_NEEDS_ADMINISTRATOR), nullptr);
            EXPECT_EQ(ReadFile(installation / "app.exe"), kNew);
        }
        // An elevated run never probes: it leaves nothing to chance.
        EXPECT_EQ(platform.Count(Operation::kProbeFolderWrite), c.elevated ? 0u : 1u);
    }
}

TEST(FolderRights, TheNativeProbeFindsAWritableFolderAndLeavesNothingThere) {
    TempFolder folder;
    EXPECT_EQ(Os().ProbeFolderWrite(folder.path().c_str()), 0u);
    EXPECT_TRUE(ListTree(folder.path()).empty());
    // A missing folder is no question of rights.
    const uint32_t missing = Os().ProbeFolderWrite((folder.path() + "\\missing").c_str());
    EXPECT_NE(missing, 0u);
    EXPECT_NE(missing, win32err::kAccessDenied);
}

}  // namespace
}  // namespace pkx::test
