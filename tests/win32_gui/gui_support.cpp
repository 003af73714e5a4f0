// pkx_gui_driver: runs the Windows updater's GUI tests under Wine.
//
//   pkx_gui_driver --updater=<pkxupdate.exe> --work=<folder> --work-unix=<same>
//                  [--screenshots=<folder> --screenshots-unix=<same>] [GoogleTest options]
//
// Copies of the driver serve the tests as helper programs, chosen by their
// file name: opener.exe (a document the updater opens) and guirunner.exe (a
// program that is running while an update is tried).
#include <windows.h>
// The control headers need windows.h first.
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "package/writer/delta_encoder.h"
#include "package/writer/delta_writer.h"
#include "tests/win32_gui/gui_test.h"
#include "texts/text_table.h"

namespace pkx::gui {

namespace {

LRESULT SendWithTimeout(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(window, message, wParam, lParam, SMTO_ABORTIFHUNG, 10000, &result)) {
        return 0;
    }
    return static_cast<LRESULT>(result);
}

const ApplyContext& DefaultTexts() {
    static ApplyContext* context = [] {
        auto* loaded = new ApplyContext;
        systemCodePage = Os().AnsiCodePage();
        LoadDefaultTexts(*loaded);
        return loaded;
    }();
    return *context;
}

}  // namespace

DriverOptions& Options() {
    static DriverOptions options;
    return options;
}

std::string DriverPath() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    return path;
}

const char* Text(uint32_t id) { return DefaultTexts().texts[id]; }

std::string Expand(uint32_t id, const char* value1, const char* value2, const char* value3) {
    char expanded[512];
    ExpandTemplate(expanded, sizeof expanded, Text(id), value1, value2, value3,
                   DefaultTexts().textCodePage);
    return expanded;
}

std::string ResourceText(uint32_t id) {
    DefaultTexts();  // sets the system code page, which chooses the table
    char text[260];
    LoadResourceText(id, text, sizeof text);
    return text;
}

bool WaitUntil(const std::function<bool()>& condition, DWORD timeout) {
    for (const DWORD start = GetTickCount(); !condition(); Sleep(20)) {
        if (GetTickCount() - start >= timeout) return false;
    }
    return true;
}

std::string TextOf(HWND window) {
    // RichEdit answers WM_GETTEXTLENGTH with 0 across processes, and
    // WM_GETTEXT with 0 when the text does not fit: grow the buffer until
    // the text fits (an empty log stays empty up to the largest buffer).
    char name[64] = {};
    GetClassNameA(window, name, sizeof name);
    const bool rich = std::strncmp(name, "RichEdit", 8) == 0;
    const LRESULT length = SendWithTimeout(window, WM_GETTEXTLENGTH, 0, 0);
    std::string text(static_cast<size_t>(length) * 2 + 4096, '\0');
    for (;;) {
        const LRESULT copied =
            SendWithTimeout(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]));
        const bool fits = static_cast<size_t>(copied) + 1 < text.size() && (copied > 0 || !rich);
        if (fits || text.size() >= (size_t{1} << 20)) {
            text.resize(fits ? static_cast<size_t>(copied) : 0);
            return text;
        }
        text.assign(text.size() * 2, '\0');
    }
}

bool ItemChecked(HWND dialog, int id) {
    return SendWithTimeout(GetDlgItem(dialog, id), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

bool IsCentered(HWND window) {
    RECT rect;
    return GetWindowRect(window, &rect) &&
           rect.left == (GetSystemMetrics(SM_CXSCREEN) - (rect.right - rect.left)) / 2 &&
           rect.top == (GetSystemMetrics(SM_CYSCREEN) - (rect.bottom - rect.top)) / 2;
}

int BarPosition(HWND dialog, int id) {
    return static_cast<int>(SendWithTimeout(GetDlgItem(dialog, id), PBM_GETPOS, 0, 0));
}

void SetItemText(HWND dialog, int id, const std::string& text) {
    SendWithTimeout(GetDlgItem(dialog, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

void PressKey(HWND dialog, UINT key) {
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    HWND target = dialog;
    if (GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info) &&
        info.hwndFocus != nullptr) {
        target = info.hwndFocus;
    }
    const UINT scan = MapVirtualKeyA(key, 0);
    PostMessageA(target, WM_KEYDOWN, key, 1 | (scan << 16));
    PostMessageA(target, WM_KEYUP, key, 1 | (scan << 16) | 0xC0000000u);
}

HWND WaitForDialog(DWORD pid, const std::function<bool(HWND)>& match, DWORD timeout) {
    HWND found = nullptr;
    WaitUntil(
        [&] {
            for (HWND window = nullptr;
                 !found && (window = FindWindowExA(nullptr, window, "#32770", nullptr));) {
                DWORD owner = 0;
                GetWindowThreadProcessId(window, &owner);
                if (owner == pid && IsWindowVisible(window) && match(window)) found = window;
            }
            return found != nullptr;
        },
        timeout);
    return found;
}

HWND WaitForDialogTitled(DWORD pid, const std::string& title) {
    return WaitForDialog(pid, [&](HWND dialog) { return TextOf(dialog) == title; });
}

Log Lines(const std::string& text) {
    Log lines;
    std::string line;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '\r' && c != '\n') {
            line += c;
            continue;
        }
        lines.push_back(line);
        line.clear();
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

bool InOrder(const Log& lines, const Log& needles) {
    size_t at = 0;
    for (const std::string& needle : needles) {
        while (at < lines.size() && lines[at] != needle) ++at;
        if (at++ == lines.size()) return false;
    }
    return true;
}

std::string Joined(const Log& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

void Screenshot(const std::string& name, HWND window) {
    const DriverOptions& options = Options();
    if (options.screenshots.empty()) return;
    Sleep(400);  // let the windows finish painting
    RECT r;
    std::string crop;
    if (window != nullptr && GetWindowRect(window, &r)) {
        crop = " -crop " + std::to_string(r.right - r.left) + "x" +
               std::to_string(r.bottom - r.top) + "+" + std::to_string(r.left) + "+" +
               std::to_string(r.top) + " +repage";
    }
    // The rename tells that the file is complete.
    const std::string target = options.screenshotsUnix + "/" + name + ".png";
    const std::string done = options.screenshots + "\\" + name + ".png";
    DeleteFileA(done.c_str());
    if (!StartUnixShell("import -window root" + crop + " png:" + target + ".part && mv " + target +
                        ".part " + target) ||
        !WaitUntil([&] { return test::PathExists(done); }, 15000)) {
        std::fprintf(stderr, "screenshot %s: not written\n", name.c_str());
    }
}

bool StartUnixShell(const std::string& script) {
    std::string command = "/bin/sh -c \"" + script + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    // Wine starts a Unix program with no process handle and leaves stale
    // stack bytes where the thread handle goes: closing that closed one of
    // the driver's own handles (a cached registry root, as it happened).
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return false;
    }
    if (process.hProcess != nullptr) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    return true;
}

void UpdaterProcess::End() {
    if (info_.hProcess == nullptr) return;
    if (Running()) {
        TerminateProcess(info_.hProcess, 254);
        WaitForSingleObject(info_.hProcess, 5000);
    }
    CloseHandle(info_.hProcess);
    CloseHandle(info_.hThread);
    info_ = {};
}

bool UpdaterProcess::Start(const std::string& program, const std::string& arguments,
                           const std::string& folder, bool suspended) {
    End();
    std::string command = "\"" + program + "\" " + arguments;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    return CreateProcessA(program.c_str(), &command[0], nullptr, nullptr, FALSE,
                          suspended ? CREATE_SUSPENDED : 0, nullptr,
                          folder.empty() ? nullptr : folder.c_str(), &startup, &info_) != 0;
}

DWORD UpdaterProcess::ExitCode() {
    DWORD code = 999;
    EXPECT_EQ(WaitForSingleObject(info_.hProcess, kWaitMs), WAIT_OBJECT_0) << "it did not end";
    GetExitCodeProcess(info_.hProcess, &code);
    return code;
}

HWND UpdaterProcess::ProgressDialog() {
    HWND dialog =
        WaitForDialog(Pid(), [](HWND window) { return GetDlgItem(window, PKX_ID_LOG) != nullptr; });
    EXPECT_NE(dialog, nullptr) << "no progress dialog";
    return dialog;
}

HWND UpdaterProcess::MessageBox(const std::string& caption) {
    HWND box = WaitForDialog(Pid(), [&](HWND dialog) {
        return TextOf(dialog) == caption && GetDlgItem(dialog, 0xFFFF) != nullptr &&
               GetDlgItem(dialog, PKX_ID_LOG) == nullptr;
    });
    EXPECT_NE(box, nullptr) << "no message box " << caption;
    return box;
}

Log UpdaterProcess::LogAtEnd(HWND progress) {
    EXPECT_TRUE(WaitUntil([&] {
        return ItemText(progress, IDCANCEL) == Text(1002) && ItemEnabled(progress, IDCANCEL);
    })) << "the run did not end: "
        << Joined(LogOf(progress));
    return LogOf(progress);
}

Files AppVersion1() {
    return {{"app.exe", Pattern(6000, 1)},
            {"data\\lib.dll", Pattern(3000, 2)},
            {"old.txt", "obsolete\r\n"},
            {"keep.txt", "unchanged\r\n"}};
}

Files AppVersion2() {
    std::string app = Pattern(6000, 1);
    app.replace(1000, 200, Pattern(200, 10));
    return {{"app.exe", app + Pattern(500, 11)},
            {"data\\lib.dll", Pattern(3500, 3)},
            {"new.txt", "added in 2.0\r\n"},
            {"keep.txt", "unchanged\r\n"}};
}

Files Version2WithBackups() {
    const Files after = AppVersion2();
    Files files = after;
    for (const auto& [name, content] : AppVersion1()) {
        const auto found = after.find(name);
        if (found == after.end() || found->second != content) files[name + ".1.0.old"] = content;
    }
    return files;
}

PackageModel PackageBetween(const Files& before, const Files& after, const std::string& folder,
                            const std::string& oldLabel, const std::string& newLabel) {
    PackageModel model;
    model.title = "GuiApp";
    model.oldVersionLabel = oldLabel;
    model.newVersionLabel = newLabel;
    model.rightsText = "(c) pkx GUI tests";
    model.hasNewCheckValues = 1;
    if (!folder.empty()) model.folderSources.push_back(FixedSource(0xFF, folder));
    const FileTime time{0x5A5A0000u, 0x01D20000u};
    for (const auto& [name, content] : after) {
        const auto old = before.find(name);
        const Bytes bytes = ToBytes(content);
        if (old == before.end()) {
            model.adds.push_back({name, packwriter::Md5CheckValue(bytes), time, bytes});
        } else if (old->second != content) {
            const Bytes oldBytes = ToBytes(old->second);
            model.updates.push_back({name, packwriter::Md5CheckValue(oldBytes),
                                     packwriter::Md5CheckValue(bytes), time,
                                     packwriter::EncodeDeltaStream(oldBytes, bytes, {256})});
        }
    }
    for (const auto& [name, content] : before) {
        if (after.count(name) == 0) {
            model.deletes.push_back({name, packwriter::Md5CheckValue(ToBytes(content))});
        }
    }
    return model;
}

PackageModel Failing(PackageModel model) {
    model.updates.back().data =
        packwriter::DeltaStreamWriter(64).Opcode(OP_LITERAL_BYTES).RawU32(65).Take();
    return model;
}

bool WriteUpdaterBytes(const std::string& path, const std::vector<Bytes>& packages,
                       std::string* error) {
    Bytes payload = packages[0];
    if (packages.size() > 1 && !packwriter::BuildContainer(packages, &payload, {}, error)) {
        return false;
    }
    static const Bytes stub = ToBytes(test::ReadFile(Options().updater).value_or(""));
    Bytes file;
    if (!packwriter::BuildSelfExtracting(stub, payload, &file, error)) return false;
    if (packwriter::WriteFileBytes(path.c_str(), file) == 0) return true;
    *error = "cannot write " + path;
    return false;
}

Bytes Built(const PackageModel& model) {
    Bytes bytes;
    std::string error;
    EXPECT_TRUE(packwriter::BuildPackage(model, &bytes, nullptr, &error)) << error;
    return bytes;
}

std::string FreshFolder(const std::string& folder) {
    std::error_code error;
    std::filesystem::remove_all(folder, error);
    test::MakeFolders(folder);
    return folder;
}

}  // namespace pkx::gui

namespace {

// Opened by the updater after a successful run: records the folder it was
// started in, which must be the target folder.
int RunAsOpener() {
    char folder[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, folder);
    return pkx::test::WriteFile("opened.txt", folder) ? 0 : 1;
}

bool TakeOption(const char* argument, const char* name, std::string* value) {
    const size_t length = std::strlen(name);
    if (std::strncmp(argument, name, length) != 0 || argument[length] != '=') return false;
    *value = argument + length + 1;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string self = pkx::gui::DriverPath();
    const std::string name = self.substr(self.find_last_of('\\') + 1);
    if (lstrcmpiA(name.c_str(), "opener.exe") == 0) return RunAsOpener();
    if (lstrcmpiA(name.c_str(), "guirunner.exe") == 0) {
        Sleep(std::atoi(argv[1]));  // a running program, for as many milliseconds
        return 0;
    }

    testing::InitGoogleTest(&argc, argv);
    pkx::gui::DriverOptions& options = pkx::gui::Options();
    for (int i = 1; i < argc; ++i) {
        if (!TakeOption(argv[i], "--updater", &options.updater) &&
            !TakeOption(argv[i], "--work", &options.work) &&
            !TakeOption(argv[i], "--work-unix", &options.workUnix) &&
            !TakeOption(argv[i], "--screenshots", &options.screenshots) &&
            !TakeOption(argv[i], "--screenshots-unix", &options.screenshotsUnix)) {
            std::fprintf(stderr, "unknown argument: %s\n", argv[i]);
            return 2;
        }
    }
    if (options.updater.empty() || options.work.empty() || options.workUnix.empty()) {
        std::fprintf(stderr,
                     "usage: pkx_gui_driver --updater=<exe> --work=<folder> "
                     "--work-unix=<folder>\n");
        return 2;
    }
    std::printf("system code page %u\n", GetACP());
    return RUN_ALL_TESTS();
}
