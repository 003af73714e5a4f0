#include "engine/running_check.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/recording_ui.h"

namespace pkx {
namespace {

using test::CodePageScope;
using test::PlatformScope;
using test::ScriptedPlatform;
using test::WindowsCodePages;

constexpr uint8_t kKindWindow = 1;
constexpr uint8_t kKindProcess = 2;

class RunningCheckTest : public ::testing::Test {
  protected:
    RunningCheckTest() {
        context_->events = &events_;
        context_->prompts = &prompter_;
        std::strcpy(context_->title, "Sample App");
    }

    RunningCheck Process(const char* name, uint8_t waitFlag) {
        RunningCheck check;
        check.kind = kKindProcess;
        std::strcpy(check.processName, name);
        check.waitFlag = waitFlag;
        return check;
    }

    RunningCheck Window(const char* title, const char* className, uint8_t waitFlag) {
        RunningCheck check;
        check.kind = kKindWindow;
        std::strcpy(check.windowTitle, title);
        std::strcpy(check.windowClass, className);
        check.waitFlag = waitFlag;
        return check;
    }

    // The program is seen until `endsAt` milliseconds of fake time.
    void ProgramRunsUntil(uint32_t endsAt) {
        platform_.processes = [endsAt](uint32_t now) {
            std::vector<std::string> running = {"C:\\WINDOWS\\explorer.exe"};
            if (now < endsAt) running.push_back("C:\\Program Files\\Sample\\app.exe");
            return running;
        };
    }

    void WindowOpenUntil(uint32_t closesAt) {
        platform_.window = [closesAt](const char*, const char*, uint32_t now) {
            return now < closesAt;
        };
    }

    ResultCode Run(const RunningCheck& check) { return RunRunningCheck(check, *context_); }

    ScriptedPlatform platform_;
    PlatformScope scope_{platform_};
    CodePageScope codePage_{1252};
    std::unique_ptr<ApplyContext> context_ = std::make_unique<ApplyContext>();
    test::RecordingEvents events_;
    test::ScriptedPrompter prompter_;
};

constexpr uint32_t kForever = 0xFFFFFFFFu;
// A pause and one lookup of the scripted platform's clock.
constexpr uint32_t kPassTime = kRunningPollPauseMs + 1;

TEST_F(RunningCheckTest, WithoutWaitOneLookDecides) {
    ProgramRunsUntil(kForever);
    EXPECT_EQ(result::kProgramRunning, Run(Process("app.exe", 0)));
    EXPECT_TRUE(events_.events.empty());
    ProgramRunsUntil(0);
    EXPECT_EQ(result::kSuccess, Run(Process("app.exe", 0)));
    EXPECT_EQ(result::kSuccess, Run(Process("app.exe", 1)));
    EXPECT_EQ(3u, platform_.enumerateCalls);
    EXPECT_EQ(0u, platform_.sleepCalls);
}

TEST_F(RunningCheckTest, WaitsForTheProgramToEnd) {
    platform_.now = 1000;
    ProgramRunsUntil(6000);
    EXPECT_EQ(result::kSuccess, Run(Process("app.exe", 1)));

    ASSERT_EQ(1u, events_.events.size());
    EXPECT_EQ(EV_CHECK_RUNNING, events_.events[0].code);
    EXPECT_EQ(reinterpret_cast<intptr_t>(context_->title), events_.events[0].param);
    EXPECT_EQ("Sample App", events_.events[0].text);
    EXPECT_FALSE(events_.events[0].posted);

    EXPECT_GE(platform_.now, 6000u);
    EXPECT_LT(platform_.now, 6000u + kPassTime);
    // Every pass but the first follows a pause.
    EXPECT_GT(platform_.sleepCalls, 1u);
    EXPECT_EQ(platform_.enumerateCalls, platform_.sleepCalls + 1);
    EXPECT_EQ(0u, platform_.lookupsWithoutPause);
}

// The wait is measured across the wrap of the millisecond clock too.
TEST_F(RunningCheckTest, ProgramThatKeepsRunningStopsTheUpdateAfterTheLimit) {
    ProgramRunsUntil(kForever);
    for (uint32_t start : {0u, 0xFFFFFFFFu - 999}) {
        platform_.now = start;
        events_.events.clear();
        EXPECT_EQ(result::kProgramRunning, Run(Process("app.exe", 1)));
        EXPECT_EQ(1u, events_.Count(EV_CHECK_RUNNING));
        const uint32_t waited = platform_.now - start;
        EXPECT_GE(waited, kRunningWaitLimitMs);
        EXPECT_LT(waited, kRunningWaitLimitMs + kPassTime);
    }
    EXPECT_EQ(1u, platform_.lookupsWithoutPause);  // the second run's first look
}

TEST_F(RunningCheckTest, WaitFlagTwoWaitsWithoutTheNotice) {
    ProgramRunsUntil(3000);
    EXPECT_EQ(result::kSuccess, Run(Process("app.exe", 2)));
    EXPECT_GE(platform_.now, 3000u);
    ProgramRunsUntil(kForever);
    EXPECT_EQ(result::kProgramRunning, Run(Process("app.exe", 2)));

    platform_.now = 0;
    WindowOpenUntil(3000);
    EXPECT_EQ(result::kSuccess, Run(Window("", "SampleClass", 2)));
    EXPECT_GE(platform_.now, 3000u);
    EXPECT_LT(platform_.now, 3000u + kPassTime);
    EXPECT_TRUE(events_.events.empty());
}

TEST_F(RunningCheckTest, EnumerationFailureIsReported) {
    ProgramRunsUntil(kForever);
    platform_.enumerateError = win32err::kAccessDenied;
    EXPECT_EQ(result::kListProcesses, Run(Process("app.exe", 0)));
    EXPECT_EQ(result::kListProcesses, Run(Process("app.exe", 1)));
    EXPECT_EQ(0u, platform_.sleepCalls);
}

bool SeenRunning(ScriptedPlatform& platform, const std::string& path, const char* name) {
    platform.processes = [path](uint32_t) { return std::vector<std::string>{path}; };
    return CheckRunningProgram(name, 0) == result::kProgramRunning;
}

TEST_F(RunningCheckTest, NamesCompareByFileNameIgnoringAsciiCase) {
    EXPECT_TRUE(SeenRunning(platform_, "C:\\Program Files\\App\\APP.EXE", "app.exe"));
    EXPECT_TRUE(SeenRunning(platform_, "/usr/lib/app/App.Exe", "APP.exe"));
    EXPECT_TRUE(SeenRunning(platform_, "app.exe", "app.exe"));
    EXPECT_FALSE(SeenRunning(platform_, "C:\\Tools\\myapp.exe", "app.exe"));
    EXPECT_FALSE(SeenRunning(platform_, "C:\\app.exe\\other.exe", "app.exe"));
    EXPECT_FALSE(SeenRunning(platform_, "C:\\app.exe.bak", "app.exe"));
    EXPECT_FALSE(SeenRunning(platform_, "C:\\app", "app.exe"));
    // Only ASCII letters fold: Latin-1 A-umlaut is not a-umlaut.
    EXPECT_FALSE(SeenRunning(platform_, "C:\\\xC4PP.EXE", "\xE4pp.exe"));
}

TEST_F(RunningCheckTest, DoubleByteNamesCompareExactly) {
    {
        WindowsCodePages windows(platform_);
        PlatformScope scope(windows);
        CodePageScope japanese(932);
        // 0x95 0x5C is one character, not a folder separator.
        EXPECT_TRUE(SeenRunning(platform_, "C:\\Apps\\\x95\x5C.exe", "\x95\x5C.exe"));
        EXPECT_FALSE(SeenRunning(platform_, "C:\\Apps\\\x95\x5C.exe", ".exe"));
        // 0x83 0x41 and 0x83 0x61 are different characters whose second bytes are A and a.
        EXPECT_FALSE(SeenRunning(platform_, "C:\\\x83\x41.exe", "\x83\x61.exe"));
        EXPECT_TRUE(SeenRunning(platform_, "C:\\\x83\x41.EXE", "\x83\x41.exe"));
    }
    EXPECT_TRUE(SeenRunning(platform_, "C:\\\x83\x41.exe", "\x83\x61.exe"));
}

TEST_F(RunningCheckTest, WindowLookupUsesOnlyTheGivenTexts) {
    EXPECT_EQ(result::kSuccess, Run(Window("", "", 0)));
    EXPECT_EQ(result::kSuccess, Run(Window("", "", 2)));
    EXPECT_TRUE(platform_.windowLookups.empty());
    EXPECT_EQ(0u, platform_.now);

    Run(Window("Sample", "", 0));
    Run(Window("", "SampleClass", 0));
    Run(Window("Sample", "SampleClass", 0));
    ASSERT_EQ(3u, platform_.windowLookups.size());
    EXPECT_EQ("Sample", platform_.windowLookups[0].title.value_or("<any>"));
    EXPECT_FALSE(platform_.windowLookups[0].className.has_value());
    EXPECT_FALSE(platform_.windowLookups[1].title.has_value());
    EXPECT_EQ("SampleClass", platform_.windowLookups[1].className.value_or("<any>"));
    EXPECT_EQ("Sample", platform_.windowLookups[2].title.value_or("<any>"));
    EXPECT_EQ("SampleClass", platform_.windowLookups[2].className.value_or("<any>"));
}

TEST_F(RunningCheckTest, WindowStopsTheUpdateOnlyWithoutWait) {
    WindowOpenUntil(kForever);
    EXPECT_EQ(result::kProgramRunning, Run(Window("Sample", "", 0)));
    EXPECT_EQ(1u, platform_.windowLookups.size());
    EXPECT_TRUE(events_.events.empty());

    // A window that stays open is waited for, then ignored.
    EXPECT_EQ(result::kSuccess, Run(Window("Sample", "SampleClass", 1)));
    EXPECT_EQ(1u, events_.Count(EV_CHECK_RUNNING));
    EXPECT_EQ("Sample App", events_.events[0].text);
    EXPECT_GE(platform_.now, kRunningWaitLimitMs);
    EXPECT_LT(platform_.now, kRunningWaitLimitMs + kPassTime);
    EXPECT_GT(platform_.windowLookups.size(), 2u);
    EXPECT_EQ(1u, platform_.lookupsWithoutPause);  // the second run's first look

    WindowOpenUntil(0);
    EXPECT_EQ(result::kSuccess, Run(Window("Sample", "", 0)));
}

TEST_F(RunningCheckTest, OtherKindsCheckNothing) {
    ProgramRunsUntil(kForever);
    WindowOpenUntil(kForever);
    for (uint8_t kind : {0, 3, 255}) {
        RunningCheck check = Process("app.exe", 1);
        std::strcpy(check.windowTitle, "Sample");
        check.kind = kind;
        EXPECT_EQ(result::kSuccess, Run(check));
    }
    EXPECT_TRUE(events_.events.empty());
    EXPECT_EQ(0u, platform_.enumerateCalls);
    EXPECT_TRUE(platform_.windowLookups.empty());
}

}  // namespace
}  // namespace pkx
