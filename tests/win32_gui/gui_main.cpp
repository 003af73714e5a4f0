// pkx_gui_driver: runs the Windows updater's GUI tests under Wine.
//
//   pkx_gui_driver --updater=<pkxupdate.exe> --work=<folder>
//                  [--screenshots=<folder> --screenshots-unix=<same folder>]
//                  [GoogleTest options]
//
// Copies of the driver serve the tests as helper programs, chosen by their
// file name: opener.exe (a document the updater opens) and guirunner.exe (a
// program that is running while an update is tried).
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/win32_gui/driver_options.h"

namespace {

std::string OwnFileName() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string name = path;
    name = name.substr(name.find_last_of('\\') + 1);
    for (char& c : name) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return name;
}

// Opened by the updater after a successful run: records the folder it was
// started in, which must be the target folder.
int RunAsOpener() {
    char folder[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, folder);
    HANDLE file = CreateFileA("opened.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    DWORD written = 0;
    WriteFile(file, folder, static_cast<DWORD>(std::strlen(folder)), &written, nullptr);
    CloseHandle(file);
    return 0;
}

// Runs for the given number of milliseconds (default one minute).
int RunAsRunner(int argc, char** argv) {
    Sleep(argc > 1 ? static_cast<DWORD>(std::atoi(argv[1])) : 60000);
    return 0;
}

bool TakeOption(const char* argument, const char* name, std::string* value) {
    const size_t length = std::strlen(name);
    if (std::strncmp(argument, name, length) != 0 || argument[length] != '=') return false;
    *value = argument + length + 1;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string self = OwnFileName();
    if (self == "opener.exe") return RunAsOpener();
    if (self == "guirunner.exe") return RunAsRunner(argc, argv);

    testing::InitGoogleTest(&argc, argv);
    pkx::gui::DriverOptions& options = pkx::gui::Options();
    for (int i = 1; i < argc; ++i) {
        if (TakeOption(argv[i], "--updater", &options.updater) ||
            TakeOption(argv[i], "--work", &options.work) ||
            TakeOption(argv[i], "--screenshots", &options.screenshots) ||
            TakeOption(argv[i], "--screenshots-unix", &options.screenshotsUnix)) {
            continue;
        }
        std::fprintf(stderr, "unknown argument: %s\n", argv[i]);
        return 2;
    }
    if (options.updater.empty() || options.work.empty()) {
        std::fprintf(stderr, "usage: pkx_gui_driver --updater=<exe> --work=<folder>\n");
        return 2;
    }
    std::printf("system code page %u\n", GetACP());
    return RUN_ALL_TESTS();
}
