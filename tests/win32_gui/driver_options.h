// Settings of one driver run, from its command line, and the texts the
// updater is expected to show.
#pragma once

#include <string>

#include "core/apply_context.h"

namespace pkx::gui {

struct DriverOptions {
    // The updater image (pkxupdate.exe) that every test's updater is built from.
    std::string updater;
    // Where the tests lay out their installations (a Windows path).
    std::string work;
    // Where screenshots go, as a Windows and as a Unix path; empty: none taken.
    std::string screenshots;
    std::string screenshotsUnix;
};

DriverOptions& Options();

// This program's own file: copies of it serve as helper programs.
std::string DriverPath();

// The built-in display texts as the updater loads them on this system.
const ApplyContext& DefaultTexts();
const char* Text(uint32_t id);
// Text `id` expanded as the updater expands it (table code page 932).
std::string Expand(uint32_t id, const char* value1 = nullptr, const char* value2 = nullptr,
                   const char* value3 = nullptr);
// Resource string `id` of the updater's string table (start-up texts).
std::string ResourceText(uint32_t id);

// The program title the dialogs and message boxes use.
inline constexpr char kProgramTitle[] = "pkx Self Extract Updater";

}  // namespace pkx::gui
