#include "engine/running_check.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/recording_ui.h"

namespace pkx::test {
namespace {

constexpr uint8_t kWindow = 1;
constexpr uint8_t kProcess = 2;
constexpr uint32_t kForever = 0xFFFFFFFFu;
constexpr uint32_t kLimit = kRunningWaitLimitMs;

// One check against a scripted clock: the program (or window) is seen for
// `runsFor` ms from `start`; each look costs `lookupCost` ms.
struct Timeline {
    const char* what;
    uint8_t kind;
    uint8_t waitFlag;
    uint32_t start;
    uint32_t runsFor;
    bool programListedLast;
    uint32_t lookupCost;
    ResultCode expected;
    uint32_t waitedAtLeast;
    uint32_t waitedBelow;  // exclusive
};

// clang-format off
const Timeline kTimelines[] = {
    {"no wait, running",            kProcess, 0, 0, kForever, true,  1, result::kProgramRunning, 0, 2},
    {"no wait, not running",        kProcess, 0, 0, 0,        true,  1, result::kSuccess, 0, 2},
    {"ends while waited for",       kProcess, 1, 1000, 5000,  true,  1, result::kSuccess, 5000, 5202},
    {"not last in the list",        kProcess, 0, 0, kForever, false, 1, result::kProgramRunning, 0, 2},
    {"not last, waited for",        kProcess, 1, 0, 3000,     false, 1, result::kSuccess, 3000, 3202},
    {"keeps running",               kProcess, 1, 0, kForever, true,  1, result::kProgramRunning, kLimit, kLimit + 202},
    {"keeps running across wrap",   kProcess, 1, kForever - 999, kForever, true, 1, result::kProgramRunning, kLimit, kLimit + 202},
    // The clock reaches the limit exactly on a look: the wait is over then.
    {"clock at exactly the limit",  kProcess, 1, 0, kLimit + 1, true, 0, result::kProgramRunning, kLimit, kLimit + 1},
    {"ends exactly at the limit",   kProcess, 1, 0, kLimit,   true,  0, result::kSuccess, kLimit, kLimit + 1},
    {"flag 2 waits silently",       kProcess, 2, 0, 3000,     true,  1, result::kSuccess, 3000, 3202},
    {"window, no wait",             kWindow,  0, 0, kForever, true,  1, result::kProgramRunning, 0, 2},
    {"window outlasting the wait",  kWindow,  1, 0, kForever, true,  1, result::kSuccess, kLimit, kLimit + 202},
    {"window at exactly the limit", kWindow,  1, 0, kLimit + 1, true, 0, result::kSuccess, kLimit, kLimit + 1},
    {"window closes, flag 2",       kWindow,  2, 0, 3000,     true,  1, result::kSuccess, 3000, 3202},
    {"kind 0 checks nothing",       0,        1, 0, kForever, true,  1, result::kSuccess, 0, 1},
    {"kind 3 checks nothing",       3,        1, 0, kForever, true,  1, result::kSuccess, 0, 1},
};
// clang-format on

class RunningCheckTest : public ::testing::Test {
  protected:
    RunningCheckTest() {
        context->events = &events;
        context->prompts = &prompter;
        std::strcpy(context->title, "Sample App");
    }

    ResultCode Run(uint8_t kind, uint8_t waitFlag, const char* title = "Sample",
                   const char* className = "") {
        RunningCheck check;
        check.kind = kind;
        check.waitFlag = waitFlag;
        std::strcpy(check.processName, "app.exe");
        std::strcpy(check.windowTitle, title);
        std::strcpy(check.windowClass, className);
        return RunRunningCheck(check, *context);
    }

    ScriptedPlatform platform;
    PlatformScope scope{platform};
    CodePageScope codePage{1252};
    std::unique_ptr<ApplyContext> context = std::make_unique<ApplyContext>();
    RecordingEvents events;
    ScriptedPrompter prompter;
};

TEST_F(RunningCheckTest, Timelines) {
    for (const Timeline& t : kTimelines) {
        SCOPED_TRACE(t.what);
        events.events.clear();
        platform.now = t.start;
        platform.lookupCost = t.lookupCost;
        platform.lookupsWithoutPause = 0;
        // Elapsed time, so that a timeline may start just before the clock wraps.
        const auto running = [t](uint32_t now) { return now - t.start < t.runsFor; };
        platform.processes = [t, running](uint32_t now) {
            std::vector<std::string> list = {"C:\\WINDOWS\\explorer.exe"};
            if (running(now)) {
                list.insert(list.begin() + (t.programListedLast ? 1 : 0),
                            "C:\\Program Files\\Sample\\APP.EXE");
            }
            return list;
        };
        platform.window = [running](const char*, const char*, uint32_t now) {
            return running(now);
        };
        EXPECT_EQ(Run(t.kind, t.waitFlag), t.expected);
        const uint32_t waited = platform.now - t.start;
        EXPECT_GE(waited, t.waitedAtLeast);
        EXPECT_LT(waited, t.waitedBelow);
        const bool checks = t.kind == kWindow || t.kind == kProcess;
        EXPECT_EQ(events.Count(EV_CHECK_RUNNING), checks && t.waitFlag == 1 ? 1u : 0u);
        for (const RecordedEvent& event : events.events) {
            EXPECT_EQ(event.param, reinterpret_cast<intptr_t>(context->title));
            EXPECT_EQ(event.text, "Sample App");
        }
        EXPECT_LE(platform.lookupsWithoutPause, 1u) << "a pause between looks";
    }
}

TEST_F(RunningCheckTest, EnumerationFailureIsReported) {
    platform.enumerateError = win32err::kAccessDenied;
    EXPECT_EQ(Run(kProcess, 0), result::kListProcesses);
    EXPECT_EQ(Run(kProcess, 1), result::kListProcesses);
    EXPECT_EQ(platform.sleepCalls, 0u);
}

TEST_F(RunningCheckTest, WindowLookupUsesOnlyTheGivenTexts) {
    EXPECT_EQ(Run(kWindow, 2, "", ""), result::kSuccess);
    EXPECT_TRUE(platform.windowLookups.empty()) << "nothing to look for";
    Run(kWindow, 0, "Sample", "");
    Run(kWindow, 0, "", "SampleClass");
    ASSERT_EQ(platform.windowLookups.size(), 2u);
    EXPECT_EQ(platform.windowLookups[0].title.value_or("<any>"), "Sample");
    EXPECT_FALSE(platform.windowLookups[0].className.has_value());
    EXPECT_FALSE(platform.windowLookups[1].title.has_value());
    EXPECT_EQ(platform.windowLookups[1].className.value_or("<any>"), "SampleClass");
}

struct NameCase {
    const char* path;
    const char* name;
    bool seen;
    uint32_t codePage;  // 932: names held as Windows holds them
};

TEST_F(RunningCheckTest, NamesCompareByFileNameIgnoringAsciiCase) {
    const NameCase cases[] = {
        {"C:\\Program Files\\App\\APP.EXE", "app.exe", true, 1252},
        {"/usr/lib/app/App.Exe", "APP.exe", true, 1252},
        {"app.exe", "app.exe", true, 1252},
        {"C:\\Tools\\myapp.exe", "app.exe", false, 1252},
        {"C:\\app.exe\\other.exe", "app.exe", false, 1252},
        {"C:\\app.exe.bak", "app.exe", false, 1252},
        {"C:\\\xC4PP.EXE", "\xE4pp.exe", false, 1252},  // only ASCII letters fold
        {"C:\\\x83\x41.exe", "\x83\x61.exe", true, 1252},
        // 0x95 0x5C is one character, not a folder separator.
        {"C:\\Apps\\\x95\x5C.exe", "\x95\x5C.exe", true, 932},
        {"C:\\Apps\\\x95\x5C.exe", ".exe", false, 932},
        // Second bytes A and a of two different characters.
        {"C:\\\x83\x41.exe", "\x83\x61.exe", false, 932},
        {"C:\\\x83\x41.EXE", "\x83\x41.exe", true, 932},
    };
    WindowsCodePages windows(platform);
    PlatformScope held(windows);
    for (const NameCase& c : cases) {
        CodePageScope system(c.codePage);
        const std::string path = c.path;
        platform.processes = [path](uint32_t) { return std::vector<std::string>{path}; };
        EXPECT_EQ(CheckRunningProgram(c.name, 0) == result::kProgramRunning, c.seen)
            << c.path << " / " << c.name;
    }
}

}  // namespace
}  // namespace pkx::test
