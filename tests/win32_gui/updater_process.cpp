#include "tests/win32_gui/updater_process.h"

#include "shell/win32/resource_ids.h"
#include "tests/win32_gui/driver_options.h"

namespace pkx::gui {

UpdaterProcess::~UpdaterProcess() {
    if (process_ != nullptr) {
        if (Running()) {
            TerminateProcess(process_, 254);
            WaitForSingleObject(process_, 5000);
        }
        CloseHandle(process_);
    }
    if (thread_ != nullptr) CloseHandle(thread_);
}

bool UpdaterProcess::Start(const std::string& program, const std::string& arguments,
                           const std::string& folder, bool suspended) {
    std::string command = "\"" + program + "\"";
    if (!arguments.empty()) command += " " + arguments;
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info;
    if (!CreateProcessA(program.c_str(), &command[0], nullptr, nullptr, FALSE,
                        suspended ? CREATE_SUSPENDED : 0, nullptr,
                        folder.empty() ? nullptr : folder.c_str(), &startup, &info)) {
        return false;
    }
    process_ = info.hProcess;
    thread_ = info.hThread;
    pid_ = info.dwProcessId;
    return true;
}

void UpdaterProcess::Resume() { ResumeThread(thread_); }

bool UpdaterProcess::WaitForExit(DWORD* exitCode, DWORD timeout) {
    if (WaitForSingleObject(process_, timeout) != WAIT_OBJECT_0) return false;
    GetExitCodeProcess(process_, exitCode);
    return true;
}

bool UpdaterProcess::Running() const {
    return process_ != nullptr && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

HWND UpdaterProcess::ProgressDialog(DWORD timeout) {
    return WaitForDialog(
        pid_, [](HWND dialog) { return GetDlgItem(dialog, PKX_ID_LOG) != nullptr; }, timeout);
}

std::vector<std::string> UpdaterProcess::Log(HWND progress) {
    return Lines(ItemText(progress, PKX_ID_LOG));
}

bool UpdaterProcess::WaitForRunEnd(HWND progress, DWORD timeout) {
    return WaitUntil(
        [&] {
            return ItemText(progress, IDCANCEL) == Text(1002) && ItemEnabled(progress, IDCANCEL);
        },
        timeout);
}

bool InOrder(const std::vector<std::string>& lines, const std::vector<std::string>& needles) {
    size_t at = 0;
    for (const std::string& needle : needles) {
        while (at < lines.size() && lines[at] != needle) ++at;
        if (at == lines.size()) return false;
        ++at;
    }
    return true;
}

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
    return InOrder(lines, {line});
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

}  // namespace pkx::gui
