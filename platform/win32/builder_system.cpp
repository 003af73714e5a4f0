#include "platform/win32/builder_system.h"

#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace pkx::win32 {

namespace {

// CreateFileW and its kind take up to 32,767 characters behind "\\?\".
constexpr DWORD kLongestPath = 32768;
// Paths from this length on take the prefix (CreateDirectoryW refuses 248).
constexpr size_t kPrefixFrom = MAX_PATH - 12;

uint32_t LastErrorOr(uint32_t fallback) {
    const DWORD error = GetLastError();
    return error != 0 ? error : fallback;
}

std::wstring Wide(const char* utf8) {
    const int units = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    if (units <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide.data(), units);
    wide.resize(static_cast<size_t>(units - 1));
    return wide;
}

// `path` for the wide functions: a long one made absolute and given the
// "\\?\" prefix, which also turns off the parsing of "." and "..".
std::wstring SystemPath(const char* path) {
    std::wstring wide = Wide(path);
    for (wchar_t& c : wide) {
        if (c == L'/') c = L'\\';
    }
    if (wide.size() < kPrefixFrom || wide.rfind(L"\\\\?\\", 0) == 0) return wide;
    std::wstring full(kLongestPath, L'\0');
    const DWORD length = GetFullPathNameW(wide.c_str(), kLongestPath, full.data(), nullptr);
    if (length == 0 || length >= kLongestPath) return wide;
    full.resize(length);
    if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

// UTF-8 of `wide` in `buffer`; its length, or 0 (and an empty text) when it
// does not fit: a failed conversion may have left part of it unterminated.
uint32_t Narrow(const wchar_t* wide, int units, char* buffer, uint32_t size) {
    if (size == 0) return 0;
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide, units, buffer, static_cast<int>(size),
                                           nullptr, nullptr);
    if (length <= 0 || static_cast<uint32_t>(length) >= size) {
        buffer[0] = '\0';
        return 0;
    }
    buffer[length] = '\0';
    return static_cast<uint32_t>(length);
}

// An opened folder: its path with a separator at the end. The builder works
// in folders of its own, so nothing is held against their being moved.
struct OpenedFolder {
    std::string path;
};

bool NameIn(FolderHandle opened, const char* name, std::string* path) {
    if (*name == '\0') return false;
    for (const char* at = name; *at != '\0'; ++at) {
        if (*at == '\\' || *at == '/') return false;
    }
    *path = reinterpret_cast<const OpenedFolder*>(opened)->path + name;
    return true;
}

class Utf8Platform final : public Platform {
  public:
    explicit Utf8Platform(Platform& inner) : inner_(inner) {}

    uint32_t Open(const char* path, uint32_t access, uint32_t share, uint32_t disposition,
                  uint32_t flags, FileHandle* out) override {
        HANDLE file = CreateFileW(SystemPath(path).c_str(), access, share, nullptr, disposition,
                                  flags, nullptr);
        *out = reinterpret_cast<FileHandle>(file);
        return file == INVALID_HANDLE_VALUE ? LastErrorOr(ERROR_GEN_FAILURE) : 0;
    }
    uint32_t Read(FileHandle file, void* buffer, uint32_t count, uint32_t* done) override {
        return inner_.Read(file, buffer, count, done);
    }
    uint32_t Write(FileHandle file, const void* buffer, uint32_t count, uint32_t* done) override {
        return inner_.Write(file, buffer, count, done);
    }
    uint32_t Seek(FileHandle file, int32_t distance, uint32_t origin, uint32_t* position) override {
        return inner_.Seek(file, distance, origin, position);
    }
    uint32_t Size(FileHandle file, uint32_t* size) override { return inner_.Size(file, size); }
    uint32_t GetWriteTime(FileHandle file, FileTime* time) override {
        return inner_.GetWriteTime(file, time);
    }
    uint32_t SetWriteTime(FileHandle file, const FileTime& time) override {
        return inner_.SetWriteTime(file, time);
    }
    uint32_t CopyAccessMode(FileHandle from, FileHandle to) override {
        return inner_.CopyAccessMode(from, to);
    }
    void Close(FileHandle file) override { inner_.Close(file); }
    uint32_t Flush(FileHandle file) override { return inner_.Flush(file); }
    uint32_t StartFlush(FileHandle file) override { return inner_.StartFlush(file); }
    uint32_t FlushFolder(const char*) override { return 0; }

    bool Exists(const char* pattern) override {
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW(SystemPath(pattern).c_str(), &found);
        if (search == INVALID_HANDLE_VALUE) return false;
        FindClose(search);
        return true;
    }
    bool NameExists(const char* path) override {
        return GetFileAttributesW(SystemPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
    }
    uint32_t Move(const char* from, const char* to) override {
        return MoveFileExW(SystemPath(from).c_str(), SystemPath(to).c_str(), MOVEFILE_WRITE_THROUGH)
                   ? 0
                   : LastErrorOr(ERROR_GEN_FAILURE);
    }
    uint32_t Delete(const char* path) override {
        return DeleteFileW(SystemPath(path).c_str()) ? 0 : LastErrorOr(ERROR_GEN_FAILURE);
    }
    uint32_t CreateFolder(const char* path) override {
        return CreateDirectoryW(SystemPath(path).c_str(), nullptr) ? 0
                                                                   : LastErrorOr(ERROR_GEN_FAILURE);
    }
    uint32_t SetCurrentFolder(const char* path) override {
        return SetCurrentDirectoryW(SystemPath(path).c_str()) ? 0 : LastErrorOr(ERROR_GEN_FAILURE);
    }
    uint32_t ModulePath(char* buffer, uint32_t size) override {
        std::wstring path(kLongestPath, L'\0');
        const DWORD length = GetModuleFileNameW(nullptr, path.data(), kLongestPath);
        if (length == 0 || length >= kLongestPath) return 0;
        return Narrow(path.c_str(), static_cast<int>(length), buffer, size);
    }

    uint32_t OpenFolder(const char* path, uint32_t, FolderHandle* out) override {
        *out = kInvalidFolder;
        const DWORD attributes = GetFileAttributesW(SystemPath(path).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) return LastErrorOr(ERROR_PATH_NOT_FOUND);
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return win32err::kPathNotFound;
        auto* folder = new OpenedFolder{path};
        if (!folder->path.empty() && folder->path.back() != '\\' && folder->path.back() != '/') {
            folder->path += '\\';
        }
        *out = reinterpret_cast<FolderHandle>(folder);
        return 0;
    }
    void CloseFolder(FolderHandle folder) override {
        if (folder != kInvalidFolder) delete reinterpret_cast<OpenedFolder*>(folder);
    }
    uint32_t MoveIn(FolderHandle folder, const char* from, const char* to,
                    FileHandle* /*opened*/) override {
        std::string source, target;
        if (!NameIn(folder, from, &source) || !NameIn(folder, to, &target)) {
            return win32err::kInvalidName;
        }
        return Move(source.c_str(), target.c_str());
    }
    uint32_t DeleteIn(FolderHandle folder, const char* name) override {
        std::string path;
        return NameIn(folder, name, &path) ? Delete(path.c_str()) : win32err::kInvalidName;
    }
    uint32_t CreateFolderIn(FolderHandle folder, const char* name) override {
        std::string path;
        return NameIn(folder, name, &path) ? CreateFolder(path.c_str()) : win32err::kInvalidName;
    }
    uint32_t RemoveFolderIn(FolderHandle folder, const char* name) override {
        std::string path;
        if (!NameIn(folder, name, &path)) return win32err::kInvalidName;
        return RemoveDirectoryW(SystemPath(path.c_str()).c_str()) ? 0
                                                                  : LastErrorOr(ERROR_GEN_FAILURE);
    }
    uint32_t CreateIn(FolderHandle folder, const char* name, uint32_t access, uint32_t flags,
                      FileHandle* out) override {
        *out = kInvalidFile;
        std::string path;
        if (!NameIn(folder, name, &path)) return win32err::kInvalidName;
        return Open(path.c_str(), access, kShareNone, kCreateNew, flags, out);
    }
    uint32_t SetEnd(FileHandle file) override { return inner_.SetEnd(file); }

    uint32_t AnsiCodePage() override { return kUtf8CodePage; }
    uint32_t InsideCodePage(uint32_t) override { return kUtf8CodePage; }
    // Text of `codePage` in UTF-8; what does not fit is cut.
    void ConvertToInside(uint32_t codePage, const char* text, char* buffer,
                         uint32_t size) override {
        if (size == 0) return;
        buffer[0] = '\0';
        const int units = MultiByteToWideChar(codePage, 0, text, -1, nullptr, 0);
        if (units <= 0) return;
        std::wstring wide(static_cast<size_t>(units), L'\0');
        MultiByteToWideChar(codePage, 0, text, -1, wide.data(), units);
        const int bytes =
            WideCharToMultiByte(CP_UTF8, 0, wide.data(), units - 1, nullptr, 0, nullptr, nullptr);
        if (bytes <= 0) return;
        std::string utf8(static_cast<size_t>(bytes), '\0');
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), units - 1, utf8.data(), bytes, nullptr,
                            nullptr);
        // Cut before the character that would not fit, never inside it.
        size_t keep = std::min<size_t>(utf8.size(), size - 1);
        while (keep > 0 && keep < utf8.size() && (utf8[keep] & 0xC0) == 0x80) --keep;
        std::memcpy(buffer, utf8.data(), keep);
        buffer[keep] = '\0';
    }
    uint32_t LoadText(uint32_t id, TextLanguage language, char* buffer, uint32_t size) override {
        return inner_.LoadText(id, language, buffer, size);
    }
    void PathForDisplay(const char* path, char* buffer, uint32_t size) override {
        if (size != 0) lstrcpynA(buffer, path, static_cast<int>(size));
    }
    uint32_t Milliseconds() override { return inner_.Milliseconds(); }
    void Sleep(uint32_t milliseconds) override { inner_.Sleep(milliseconds); }
    uint32_t RegistryValue(RegistryRoot root, const char* key, const char* name, char* buffer,
                           uint32_t size) override {
        return inner_.RegistryValue(root, key, name, buffer, size);
    }
    uint32_t IniValue(const char* file, const char* section, const char* key, char* buffer,
                      uint32_t size) override {
        return inner_.IniValue(file, section, key, buffer, size);
    }
    bool SpecialFolderPath(SpecialFolder folder, char* buffer, uint32_t size) override {
        return inner_.SpecialFolderPath(folder, buffer, size);
    }
    uint32_t EnumerateProcesses(ProcessVisitor& visitor) override {
        return inner_.EnumerateProcesses(visitor);
    }
    bool FindTopWindow(const char* title, const char* className) override {
        return inner_.FindTopWindow(title, className);
    }
    bool RunsElevated() override { return inner_.RunsElevated(); }
    uint32_t ProbeFolderWrite(const char* folder) override {
        const std::string probe = std::string(folder) + "\\pkx-rights.probe";
        HANDLE file =
            CreateFileW(SystemPath(probe.c_str()).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                        FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            const uint32_t error = LastErrorOr(ERROR_ACCESS_DENIED);
            return error == ERROR_FILE_EXISTS ? 0 : error;
        }
        CloseHandle(file);
        return 0;
    }

  private:
    Platform& inner_;
};

}  // namespace

std::vector<std::string> Utf8Arguments() {
    std::vector<std::string> arguments;
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) return arguments;
    for (int i = 0; i < count; ++i) {
        const int bytes =
            WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        std::string argument(bytes > 0 ? static_cast<size_t>(bytes) : 1, '\0');
        WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, argument.data(), bytes, nullptr, nullptr);
        argument.resize(argument.size() - 1);
        arguments.push_back(argument);
    }
    LocalFree(wide);
    return arguments;
}

void UseUtf8Console() { SetConsoleOutputCP(CP_UTF8); }

uint32_t ListFolder(const std::string& path, std::vector<FolderEntry>* entries) {
    entries->clear();
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(SystemPath((path + "\\*").c_str()).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return LastErrorOr(ERROR_PATH_NOT_FOUND);
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        FolderEntry entry;
        char utf8[4 * MAX_PATH];
        if (Narrow(name.c_str(), static_cast<int>(name.size()), utf8, sizeof utf8) == 0) {
            FindClose(search);
            return ERROR_INVALID_NAME;
        }
        entry.name = utf8;
        entry.folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        entry.link = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        entry.size = uint64_t{found.nFileSizeHigh} << 32 | found.nFileSizeLow;
        entries->push_back(entry);
    } while (FindNextFileW(search, &found));
    const DWORD error = GetLastError();
    FindClose(search);
    return error == ERROR_NO_MORE_FILES ? 0 : error;
}

uint32_t CopyFileKeepingTime(const std::string& from, const std::string& to) {
    return CopyFileW(SystemPath(from.c_str()).c_str(), SystemPath(to.c_str()).c_str(), TRUE)
               ? 0
               : LastErrorOr(ERROR_GEN_FAILURE);
}

uint64_t PhysicalMemory() {
    MEMORYSTATUSEX status = {};
    status.dwLength = sizeof status;
    return GlobalMemoryStatusEx(&status) ? status.ullTotalPhys : 0;
}

bool FileIdentity(const char* path, uint64_t* index, int64_t* changeTime) {
    HANDLE file = CreateFileW(SystemPath(path).c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    FILE_BASIC_INFO basic;
    const bool known = GetFileInformationByHandle(file, &info) &&
                       GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic);
    CloseHandle(file);
    if (!known) return false;
    *index = uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
    *changeTime = basic.ChangeTime.QuadPart;
    return true;
}

std::string NewFolder(const std::string& prefix) {
    static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    uint32_t seed = GetTickCount() ^ (GetCurrentProcessId() << 16);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string path = prefix;
        for (int i = 0; i < 6; ++i) {
            seed = seed * 1103515245u + 12345u;
            path += kDigits[(seed >> 16) % 36];
        }
        if (CreateDirectoryW(SystemPath(path.c_str()).c_str(), nullptr)) return path;
        if (GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    return std::string();
}

bool KnowsCodePage(uint32_t codePage) { return IsValidCodePage(codePage) != FALSE; }

bool ConvertText(const std::string& text, uint32_t from, uint32_t to, std::string* out) {
    out->clear();
    if (text.empty()) return true;
    const int length = static_cast<int>(text.size());
    const int units =
        MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
    if (units <= 0) return false;
    std::wstring wide(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, text.data(), length, wide.data(), units);
    // A character the code page lacks would become its default character.
    const bool utf8 = to == CP_UTF8;
    BOOL lost = FALSE;
    const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    const int bytes = WideCharToMultiByte(to, flags, wide.data(), units, nullptr, 0, nullptr,
                                          utf8 ? nullptr : &lost);
    if (bytes <= 0 || lost) return false;
    out->assign(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(to, flags, wide.data(), units, out->data(), bytes, nullptr,
                        utf8 ? nullptr : &lost);
    return !lost;
}

Platform& Utf8PathPlatform() {
    static Utf8Platform platform(Os());
    return platform;
}

}  // namespace pkx::win32
