// The fixture of the tests that run an updater: a folder of the test's own
// with the installation and the updater in it.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shell/win32/resource_ids.h"
#include "tests/win32_gui/driver_options.h"
#include "tests/win32_gui/test_installation.h"
#include "tests/win32_gui/updater_process.h"
#include "tests/win32_gui/window_probe.h"

namespace pkx::gui {

class GuiTest : public testing::Test {
  protected:
    void SetUp() override {
        const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
        folder_ = FreshFolder(std::string(info->test_suite_name()) + "." + info->name());
        install_ = folder_ + "\\install";
        updater_ = folder_ + "\\update.exe";
    }

    // Lays out `installed` and writes the updater carrying `packages`.
    void Prepare(const Files& installed, const std::vector<PackageModel>& packages) {
        ASSERT_TRUE(PutFiles(install_, installed));
        std::string error;
        ASSERT_TRUE(WriteUpdater(updater_, packages, &error)) << error;
    }

    void Start(UpdaterProcess& run, const std::string& arguments = "") {
        ASSERT_TRUE(run.Start(updater_, arguments)) << GetLastError();
    }

    // The exit code once the updater has ended; 999 when it did not end.
    static DWORD ExitCodeOf(UpdaterProcess& run) {
        DWORD code = 999;
        EXPECT_TRUE(run.WaitForExit(&code)) << "the updater did not end";
        return code;
    }

    // The window title of a package titled GuiApp from `from` to `to`.
    static std::string TitleFor(const char* from = "1.0", const char* to = "2.0") {
        return Expand(1008, "GuiApp", from, to);
    }

    std::string folder_;
    std::string install_;
    std::string updater_;
};

}  // namespace pkx::gui
