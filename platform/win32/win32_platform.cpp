// The seam on Windows: each operation is the A-function it is named after.
// Kept small, as the whole program must fit in front of its payload.
#include "platform/win32/win32_platform.h"

#include <shlobj.h>
#include <tlhelp32.h>
#include <windows.h>

#include <cstring>

namespace pkx {

namespace {

constexpr DWORD kModuleBufferBytes = 4000;  // at most 1000 processes or modules per pass
constexpr DWORD kProcessAccess = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;
constexpr DWORD kSnapshotFlags = TH32CS_SNAPPROCESS | TH32CS_SNAPTHREAD;
constexpr uint32_t kMoreData = 234;  // ERROR_MORE_DATA

static_assert(sizeof(OSVERSIONINFOA) == 148, "GetVersionExA record size");
#if !defined(_WIN64)
static_assert(sizeof(PROCESSENTRY32) == 296, "Toolhelp process record size");
#endif

using SnapshotFunction = HANDLE(WINAPI*)(DWORD, DWORD);
using ProcessWalkFunction = BOOL(WINAPI*)(HANDLE, PROCESSENTRY32*);
using EnumProcessesFunction = BOOL(WINAPI*)(DWORD*, DWORD, DWORD*);
using EnumModulesFunction = BOOL(WINAPI*)(HANDLE, HMODULE*, DWORD, DWORD*);
using ModuleNameFunction = DWORD(WINAPI*)(HANDLE, HMODULE, LPSTR, DWORD);
using InfoExFunction = BOOL(WINAPI*)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, void*, DWORD);

// GetProcAddress through void(*)(), the one function type any other casts to cleanly.
template <typename Function>
Function LookUp(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

uint32_t LastErrorOr(uint32_t fallback) {
    DWORD error = GetLastError();
    return error != 0 ? error : fallback;
}

HANDLE AsHandle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

bool CopyText(const char* text, char* buffer, uint32_t size) {
    int length = lstrlenA(text);
    if (length == 0 || static_cast<uint32_t>(length) >= size) return false;
    CopyMemory(buffer, text, length + 1);
    return true;
}

// String `id` of the string table of `language`: its UTF-16 units in
// `*text` and their count, 0 when it is absent or empty. A table resource
// holds 16 strings, each a count of units and the units; resource n holds
// IDs 16 (n - 1) to 16 n - 1.
uint32_t FindString(uint32_t id, TextLanguage language, const WCHAR** text) {
    const WORD languageId = language == TextLanguage::kJapanese
                                ? MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT)
                                : MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
    HMODULE module = GetModuleHandleA(nullptr);
    HRSRC found = FindResourceExA(module, RT_STRING, MAKEINTRESOURCEA((id >> 4) + 1), languageId);
    HGLOBAL loaded = found != nullptr ? LoadResource(module, found) : nullptr;
    const WCHAR* at = loaded != nullptr ? static_cast<const WCHAR*>(LockResource(loaded)) : nullptr;
    if (at == nullptr) return 0;
    const WCHAR* end = at + SizeofResource(module, found) / sizeof(WCHAR);
    for (uint32_t skip = id & 15; skip > 0 && at < end; --skip) at += 1 + *at;
    if (at >= end || *at > end - at - 1) return 0;
    *text = at + 1;
    return *at;
}

HKEY RootKey(RegistryRoot root) {
    switch (root) {
        case RegistryRoot::kClassesRoot:
            return HKEY_CLASSES_ROOT;
        case RegistryRoot::kCurrentUser:
            return HKEY_CURRENT_USER;
        case RegistryRoot::kLocalMachine:
            return HKEY_LOCAL_MACHINE;
        case RegistryRoot::kUsers:
            return HKEY_USERS;
    }
    return nullptr;
}

#if defined(_WIN64)
// A 64-bit program reads the 64-bit view; 32-bit programs keep their keys in
// the 32-bit one (WOW6432Node under HKLM\SOFTWARE).
constexpr REGSAM kOtherRegistryView = KEY_WOW64_32KEY;
bool HasOtherRegistryView() { return true; }
#else
// A 32-bit program on 64-bit Windows: its registry reads go to the 32-bit
// view (WOW6432Node under HKLM\SOFTWARE), where 64-bit programs write nothing.
constexpr REGSAM kOtherRegistryView = KEY_WOW64_64KEY;
bool HasOtherRegistryView() {
    using IsWow64Function = BOOL(WINAPI*)(HANDLE, BOOL*);
    const auto isWow64 =
        LookUp<IsWow64Function>(GetModuleHandleA("kernel32.dll"), "IsWow64Process");
    BOOL wow64 = FALSE;
    return isWow64 != nullptr && isWow64(GetCurrentProcess(), &wow64) && wow64;
}
#endif

// RegQueryValueExA of root\key\name in one view of the registry.
uint32_t QueryRegistry(HKEY root, const char* key, const char* name, REGSAM view, char* buffer,
                       uint32_t size) {
    HKEY opened = nullptr;
    LONG result = RegOpenKeyExA(root, key, 0, KEY_READ | view, &opened);
    if (result != ERROR_SUCCESS) return static_cast<uint32_t>(result);
    DWORD type = REG_SZ;
    DWORD length = size;
    result =
        RegQueryValueExA(opened, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &length);
    RegCloseKey(opened);
    if (result != ERROR_SUCCESS) return static_cast<uint32_t>(result);
    // The caller gets a terminated text or nothing.
    if (length < size) {
        buffer[length] = '\0';
        return 0;
    }
    return length > 0 && buffer[length - 1] == '\0' ? 0 : kMoreData;
}

// The file version of shell32.dll is 5.0 or later (SHGetSpecialFolderLocation
// knows CSIDL_PROGRAM_FILES).
bool ShellKnowsProgramFiles() {
    VS_FIXEDFILEINFO fixed;
    ZeroMemory(&fixed, sizeof fixed);
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA("shell32.dll", &ignored);
    HGLOBAL block = size != 0 ? GlobalAlloc(GPTR, size) : nullptr;
    if (block != nullptr) {
        void* value = nullptr;
        UINT length = 0;
        if (GetFileVersionInfoA("shell32.dll", 0, size, block) &&
            VerQueryValueA(block, "\\", &value, &length) && length >= sizeof fixed) {
            CopyMemory(&fixed, value, sizeof fixed);
        }
        GlobalFree(block);
    }
    return fixed.dwFileVersionMS >= 0x00050000;
}

bool ShellFolder(int csidl, char* buffer, uint32_t size) {
    LPITEMIDLIST items = nullptr;
    if (FAILED(SHGetSpecialFolderLocation(nullptr, csidl, &items)) || items == nullptr) {
        return false;
    }
    char path[MAX_PATH];
    path[0] = '\0';
    BOOL found = SHGetPathFromIDListA(items, path);
    CoTaskMemFree(items);
    return found && CopyText(path, buffer, size);
}

// "<drive of the Windows folder>:\<rest>".
bool OnWindowsDrive(const char* rest, char* buffer, uint32_t size) {
    char windows[MAX_PATH];
    UINT length = GetWindowsDirectoryA(windows, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    char path[MAX_PATH] = {windows[0], ':', '\\'};
    lstrcpynA(path + 3, rest, MAX_PATH - 3);
    return CopyText(path, buffer, size);
}

bool SystemFolder(UINT(WINAPI* query)(LPSTR, UINT), char* buffer, uint32_t size) {
    UINT length = query(buffer, size);
    return length != 0 && length < size;
}

// Visits the modules of one open process; 0, or the code of a module name
// that could not be read. `*goOn` turns false when the visitor is done.
uint32_t VisitModules(HANDLE process, EnumModulesFunction enumModules,
                      ModuleNameFunction moduleName, ProcessVisitor& visitor, bool* goOn) {
    HMODULE modules[kModuleBufferBytes / sizeof(HMODULE)];
    DWORD needed = 0;
    if (!enumModules(process, modules, kModuleBufferBytes, &needed)) return 0;
    DWORD count = (needed < kModuleBufferBytes ? needed : kModuleBufferBytes) / sizeof(HMODULE);
    for (DWORD i = 0; i < count && *goOn; ++i) {
        char path[MAX_PATH];
        if (moduleName(process, modules[i], path, MAX_PATH) == 0) {
            return LastErrorOr(ERROR_GEN_FAILURE);
        }
        *goOn = visitor.Visit(path);
    }
    return 0;
}

uint32_t ScanModules(HMODULE psapi, ProcessVisitor& visitor) {
    auto enumProcesses = LookUp<EnumProcessesFunction>(psapi, "EnumProcesses");
    auto enumModules = LookUp<EnumModulesFunction>(psapi, "EnumProcessModules");
    auto moduleName = LookUp<ModuleNameFunction>(psapi, "GetModuleFileNameExA");
    if (enumProcesses == nullptr || enumModules == nullptr || moduleName == nullptr) {
        return ERROR_PROC_NOT_FOUND;
    }
    DWORD ids[kModuleBufferBytes / sizeof(DWORD)];
    DWORD bytes = 0;
    if (!enumProcesses(ids, kModuleBufferBytes, &bytes)) return LastErrorOr(ERROR_GEN_FAILURE);
    bool goOn = true;
    for (DWORD i = 0; i < bytes / sizeof(DWORD) && goOn; ++i) {
        HANDLE process = OpenProcess(kProcessAccess, FALSE, ids[i]);
        if (process == nullptr) continue;
        uint32_t result = VisitModules(process, enumModules, moduleName, visitor, &goOn);
        CloseHandle(process);
        if (result != 0) return result;
    }
    return 0;
}

// A folder opened by OpenFolder: its path, with a separator at the end, and
// the handles that keep it and the folders above it as they were checked.
// A path of 259 bytes has at most 130 names.
struct HeldFolder {
    char path[MAX_PATH + 1];
    DWORD length;
    DWORD trusted;
    HANDLE held[MAX_PATH / 2 + 1];
    // Where the path of each held folder ends.
    DWORD ends[MAX_PATH / 2 + 1];
    DWORD count;
};

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Whether reading a path's attributes finds what a search for it finds: no
// wildcard (the system's own "<", ">" and '"' included), no stream name
// after the drive, no separator at the end, where a search finds nothing, and
// neither a drive alone nor a network path, whose roots a search does not
// find. Both find devices. The attributes cost one call through the file
// systems where a search costs an opening, a listing and a closing.
bool AttributesFindAsSearch(const char* path) {
    const int length = lstrlenA(path);
    if (length < 3 || IsSeparator(path[length - 1]) ||
        (IsSeparator(path[0]) && IsSeparator(path[1]))) {
        return false;
    }
    for (int at = 0; at < length; ++at) {
        if (std::strchr("*?<>\"", path[at]) != nullptr || (path[at] == ':' && at >= 2)) {
            return false;
        }
    }
    return true;
}

// The length of the character at `at`: a double-byte character of the
// system code page is never split, as its second byte may be a backslash.
DWORD CharAt(const char* at) { return IsDBCSLeadByte(static_cast<BYTE>(*at)) && at[1] ? 2 : 1; }

// Windows 95, 98 and Me open no folders and know no links.
bool IsNt() { return (GetVersion() & 0x80000000u) == 0; }

// The attributes of an open file or folder. GetFileInformationByHandleEx
// (Vista and later) reads them alone; GetFileInformationByHandle asks for the
// volume's serial number too, a round trip to the volume's driver on some
// systems (several per file held).
bool AttributesOf(HANDLE handle, DWORD* attributes) {
    const auto infoEx =
        LookUp<InfoExFunction>(GetModuleHandleA("kernel32.dll"), "GetFileInformationByHandleEx");
    FILE_BASIC_INFO basic;
    if (infoEx != nullptr && infoEx(handle, FileBasicInfo, &basic, sizeof basic)) {
        *attributes = basic.FileAttributes;
        return true;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) return false;
    *attributes = info.dwFileAttributes;
    return true;
}

// Whether the held folder is a link, junction or other reparse point.
bool IsReparsePoint(HANDLE held) {
    DWORD attributes = 0;
    return !AttributesOf(held, &attributes) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Opens the folder of the first `end` bytes of `folder->path` and keeps it
// open without delete sharing, so that it cannot be renamed, moved or
// removed, and so stands where it was found. (Write sharing stays: a rename
// in the folder opens it for writing.) `plain`: a link, junction or other
// reparse point is refused.
uint32_t Hold(HeldFolder* folder, DWORD end, bool plain) {
    if (!IsNt()) return 0;
    const char saved = folder->path[end];
    folder->path[end] = '\0';
    HANDLE handle = CreateFileA(
        end == 0 ? "." : folder->path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
        nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | (plain ? FILE_FLAG_OPEN_REPARSE_POINT : 0), nullptr);
    folder->path[end] = saved;
    if (handle == INVALID_HANDLE_VALUE) return LastErrorOr(ERROR_PATH_NOT_FOUND);
    folder->ends[folder->count] = end;
    folder->held[folder->count++] = handle;
    DWORD attributes = 0;
    if (!AttributesOf(handle, &attributes)) return LastErrorOr(ERROR_GEN_FAILURE);
    if (plain && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return win32err::kStoppedOnLink;
    // A file where a folder should be leaves the path not found, as Windows says.
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? 0 : win32err::kPathNotFound;
}

// Holds the trusted folder, then each folder below it, after those held already.
uint32_t HoldEach(HeldFolder* folder) {
    const DWORD trusted = folder->trusted;
    uint32_t error = folder->count == 0 ? Hold(folder, trusted, false) : 0;
    DWORD at = folder->count <= 1 ? trusted : folder->ends[folder->count - 1] + 1;
    while (error == 0 && at < folder->length) {
        DWORD end = at;
        while (end < folder->length && !IsSeparator(folder->path[end])) {
            end += CharAt(folder->path + end);
        }
        const DWORD length = end - at;
        if (length == 2 && folder->path[at] == '.' && folder->path[at + 1] == '.') {
            error = win32err::kInvalidName;
        } else if (length > 0 && !(length == 1 && folder->path[at] == '.')) {
            error = Hold(folder, end, true);
        }
        at = end + 1;
    }
    return error;
}

// Closes what `folder` holds from its `first` folder on, and frees it.
void Release(HeldFolder* folder, DWORD first = 0) {
    if (folder == nullptr) return;
    for (DWORD i = first; i < folder->count; ++i) CloseHandle(folder->held[i]);
    HeapFree(GetProcessHeap(), 0, folder);
}

// A path taken against the current folder, which may change, is never kept.
bool IsAbsolute(const HeldFolder* folder) {
    const char* path = folder->path;
    return folder->length > 2 && ((path[1] == ':' && IsSeparator(path[2])) ||
                                  (IsSeparator(path[0]) && IsSeparator(path[1])));
}

// Whether the first `end` bytes of the folder's path name a plain folder
// now: no file, link, junction or other reparse point. A handle opened for
// its attributes alone does not keep a folder from being renamed on every
// system, so a kept folder is checked again by its path.
bool IsPlainFolderAt(HeldFolder* folder, DWORD end) {
    const char saved = folder->path[end];
    folder->path[end] = '\0';
    const DWORD attributes = GetFileAttributesA(folder->path);
    folder->path[end] = saved;
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
               FILE_ATTRIBUTE_DIRECTORY;
}

// Moves the folders that `kept` holds on the way to `folder` into it, as far
// as their paths agree and each below the trusted one is a plain folder at
// its path still, as when it was held; the rest are released.
void TakeShared(HeldFolder* kept, HeldFolder* folder) {
    if (kept == nullptr) return;
    DWORD shared = 0;
    if (kept->trusted == folder->trusted && IsAbsolute(folder)) {
        for (; shared < kept->count; ++shared) {
            const DWORD end = kept->ends[shared];
            const bool sameName =
                shared == 0 || (end < folder->length && IsSeparator(folder->path[end]));
            if (!sameName || end > folder->length ||
                std::memcmp(kept->path, folder->path, end) != 0 ||
                (shared > 0 && !IsPlainFolderAt(folder, end))) {
                break;
            }
            folder->ends[shared] = end;
            folder->held[shared] = kept->held[shared];
        }
    }
    folder->count = shared;
    Release(kept, shared);
}

// `name` in the opened folder, in `path` (MAX_PATH bytes); false when it is
// no single name or does not fit.
bool NameIn(FolderHandle opened, const char* name, char* path) {
    const auto* folder = reinterpret_cast<const HeldFolder*>(opened);
    const int length = lstrlenA(name);
    if (length == 0 || folder->length + length >= MAX_PATH) return false;
    for (const char* at = name; *at != '\0'; at += CharAt(at)) {
        if (IsSeparator(*at)) return false;
    }
    CopyMemory(path, folder->path, folder->length);
    CopyMemory(path + folder->length, name, length + 1);
    return true;
}

class Win32Platform final : public Platform {
  public:
    uint32_t Open(const char* path, uint32_t access, uint32_t share, uint32_t disposition,
                  uint32_t flags, FileHandle* out) override {
        // Windows 95, 98 and Me know no reparse points, nor the flag.
        if (!IsNt()) flags &= ~static_cast<uint32_t>(FILE_FLAG_OPEN_REPARSE_POINT);
        HANDLE file = CreateFileA(path, access, share, nullptr, disposition, flags, nullptr);
        *out = reinterpret_cast<FileHandle>(file);
        return file == INVALID_HANDLE_VALUE ? LastErrorOr(ERROR_GEN_FAILURE) : 0;
    }

    uint32_t Read(FileHandle file, void* buffer, uint32_t count, uint32_t* done) override {
        DWORD got = 0;
        BOOL ok = ReadFile(AsHandle(file), buffer, count, &got, nullptr);
        *done = got;
        return ok ? 0 : LastErrorOr(ERROR_READ_FAULT);
    }

    uint32_t Write(FileHandle file, const void* buffer, uint32_t count, uint32_t* done) override {
        DWORD put = 0;
        BOOL ok = WriteFile(AsHandle(file), buffer, count, &put, nullptr);
        *done = put;
        return ok ? 0 : LastErrorOr(ERROR_WRITE_FAULT);
    }

    uint32_t Seek(FileHandle file, int32_t distance, uint32_t origin, uint32_t* position) override {
        // 0xFFFFFFFF is also a valid position: only the last error tells.
        SetLastError(0);
        DWORD at = SetFilePointer(AsHandle(file), distance, nullptr, origin);
        DWORD error = at == INVALID_SET_FILE_POINTER ? GetLastError() : 0;
        if (error == 0) *position = at;
        return error;
    }

    uint32_t Size(FileHandle file, uint32_t* size) override {
        SetLastError(0);
        DWORD low = GetFileSize(AsHandle(file), nullptr);
        DWORD error = low == INVALID_FILE_SIZE ? GetLastError() : 0;
        if (error == 0) *size = low;
        return error;
    }

    uint32_t GetWriteTime(FileHandle file, FileTime* time) override {
        FILETIME written;
        if (!GetFileTime(AsHandle(file), nullptr, nullptr, &written)) {
            return LastErrorOr(ERROR_GEN_FAILURE);
        }
        time->low = written.dwLowDateTime;
        time->high = written.dwHighDateTime;
        return 0;
    }

    uint32_t CopyAccessMode(FileHandle, FileHandle) override { return 0; }

    uint32_t SetWriteTime(FileHandle file, const FileTime& time) override {
        FILETIME written = {time.low, time.high};
        return SetFileTime(AsHandle(file), nullptr, nullptr, &written)
                   ? 0
                   : LastErrorOr(ERROR_GEN_FAILURE);
    }

    void Close(FileHandle file) override {
        if (file != kInvalidFile) CloseHandle(AsHandle(file));
    }

    uint32_t Flush(FileHandle file) override {
        return FlushFileBuffers(AsHandle(file)) ? 0 : LastErrorOr(ERROR_GEN_FAILURE);
    }

    uint32_t StartFlush(FileHandle file) override { return Flush(file); }

    uint32_t FlushFolder(const char*) override { return 0; }

    bool NameExists(const char* path) override {
        return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
    }

    bool Exists(const char* pattern) override {
        if (AttributesFindAsSearch(pattern)) return NameExists(pattern);
        WIN32_FIND_DATAA found;
        HANDLE search = FindFirstFileA(pattern, &found);
        if (search == INVALID_HANDLE_VALUE) return false;
        FindClose(search);
        return true;
    }

    uint32_t Move(const char* from, const char* to) override {
        uint32_t error;
        do {
            if (MoveFileExA(from, to, MOVEFILE_WRITE_THROUGH)) return 0;
            error = LastErrorOr(ERROR_GEN_FAILURE);
            // A folder kept for the next OpenFolder cannot move: it is let go.
        } while ((error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED) &&
                 ReleaseKept());
        // Windows 95, 98 and Me have no MoveFileExA.
        if (error != ERROR_CALL_NOT_IMPLEMENTED) return error;
        return MoveFileA(from, to) ? 0 : LastErrorOr(ERROR_GEN_FAILURE);
    }

    uint32_t Delete(const char* path) override {
        return DeleteFileA(path) ? 0 : LastErrorOr(ERROR_GEN_FAILURE);
    }

    uint32_t CreateFolder(const char* path) override {
        return CreateDirectoryA(path, nullptr) ? 0 : LastErrorOr(ERROR_GEN_FAILURE);
    }

    uint32_t OpenFolder(const char* path, uint32_t trusted, FolderHandle* out) override {
        *out = kInvalidFolder;
        const DWORD length = lstrlenA(path);
        if (length >= MAX_PATH || trusted > length) return win32err::kFilenameTooLong;
        auto* folder = static_cast<HeldFolder*>(
            HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(HeldFolder)));
        if (folder == nullptr) return win32err::kNotEnoughMemory;
        CopyMemory(folder->path, path, length);
        folder->length = length;
        // A separator is appended unless the path ends in one: the last
        // character decides, which may be double-byte.
        DWORD last = 0;
        for (DWORD at = 0; at < length; at += CharAt(path + at)) last = at;
        if (length > 0 && !(last == length - 1 && IsSeparator(path[last]))) {
            folder->path[folder->length++] = '\\';
        }
        folder->trusted = trusted;
        TakeShared(TakeKept(), folder);
        const uint32_t error = HoldEach(folder);
        // What a failed opening found on the way is never kept: its last
        // folder may be a file or a link.
        if (error != 0) {
            Release(folder);
            return error;
        }
        *out = reinterpret_cast<FolderHandle>(folder);
        return 0;
    }

    void CloseFolder(FolderHandle opened) override {
        if (opened == kInvalidFolder) return;
        auto* folder = reinterpret_cast<HeldFolder*>(opened);
        void* const now = kept_;
        if (now != nullptr && IsAbsolute(folder) &&
            InterlockedCompareExchangePointer(&kept_, folder, now) == now) {
            folder = now == Keeping() ? nullptr : static_cast<HeldFolder*>(now);
        }
        Release(folder);
    }

    void KeepFolders(bool keep) override {
        if (keep) {
            InterlockedCompareExchangePointer(&kept_, Keeping(), nullptr);
        } else {
            void* const kept = InterlockedExchangePointer(&kept_, nullptr);
            if (kept != Keeping()) Release(static_cast<HeldFolder*>(kept));
        }
    }

    uint32_t MoveIn(FolderHandle folder, const char* from, const char* to,
                    FileHandle* /*opened*/) override {
        char source[MAX_PATH];
        char target[MAX_PATH];
        if (!NameIn(folder, from, source) || !NameIn(folder, to, target)) {
            return win32err::kInvalidName;
        }
        return Move(source, target);
    }

    uint32_t DeleteIn(FolderHandle folder, const char* name) override {
        char path[MAX_PATH];
        return NameIn(folder, name, path) ? Delete(path) : win32err::kInvalidName;
    }

    uint32_t CreateFolderIn(FolderHandle folder, const char* name) override {
        char path[MAX_PATH];
        return NameIn(folder, name, path) ? CreateFolder(path) : win32err::kInvalidName;
    }

    uint32_t RemoveFolderIn(FolderHandle folder, const char* name) override {
        char path[MAX_PATH];
        if (!NameIn(folder, name, path)) return win32err::kInvalidName;
        ReleaseKept();  // it may hold the folder
        return RemoveDirectoryA(path) ? 0 : LastErrorOr(ERROR_GEN_FAILURE);
    }

    // An empty folder, held, could still be made a junction in place: one
    // that became a reparse point while the file was made takes the file back.
    uint32_t CreateIn(FolderHandle folder, const char* name, uint32_t access, uint32_t flags,
                      FileHandle* out) override {
        *out = kInvalidFile;
        char path[MAX_PATH];
        if (!NameIn(folder, name, path)) return win32err::kInvalidName;
        const uint32_t error =
            Open(path, access, kShareNone, kCreateNew, flags | FILE_FLAG_OPEN_REPARSE_POINT, out);
        const auto* held = reinterpret_cast<const HeldFolder*>(folder);
        if (error != 0 || held->count == 0 || !IsReparsePoint(held->held[held->count - 1])) {
            return error;
        }
        Close(*out);
        *out = kInvalidFile;
        BestEffort(Delete(path));
        return win32err::kStoppedOnLink;
    }

    uint32_t SetEnd(FileHandle file) override {
        return SetEndOfFile(AsHandle(file)) ? 0 : LastErrorOr(ERROR_GEN_FAILURE);
    }

    uint32_t SetCurrentFolder(const char* path) override {
        return SetCurrentDirectoryA(path) ? 0 : LastErrorOr(ERROR_GEN_FAILURE);
    }

    uint32_t ModulePath(char* buffer, uint32_t size) override {
        return GetModuleFileNameA(nullptr, buffer, size);
    }

    uint32_t AnsiCodePage() override { return GetACP(); }

    uint32_t InsideCodePage(uint32_t codePage) override { return codePage; }

    void ConvertToInside(uint32_t, const char* text, char* buffer, uint32_t size) override {
        if (size != 0) lstrcpynA(buffer, text, static_cast<int>(size));
    }

    // LoadStringA takes the table of the user interface language; the
    // updater names the table itself, so the string is looked up in the
    // resource of that language and converted as LoadStringA would.
    uint32_t LoadText(uint32_t id, TextLanguage language, char* buffer, uint32_t size) override {
        if (size == 0) return 0;
        buffer[0] = '\0';
        const WCHAR* text = nullptr;
        const uint32_t units = FindString(id, language, &text);
        if (units == 0) return 0;
        char converted[4 * 260];
        int length = WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(units), converted,
                                         sizeof converted, nullptr, nullptr);
        if (length <= 0) return 0;
        if (static_cast<uint32_t>(length) >= size) length = static_cast<int>(size - 1);
        CopyMemory(buffer, converted, length);
        buffer[length] = '\0';
        return static_cast<uint32_t>(length);
    }

    void PathForDisplay(const char* path, char* buffer, uint32_t size) override {
        ConvertToInside(0, path, buffer, size);
    }

    uint32_t Milliseconds() override { return GetTickCount(); }

    void Sleep(uint32_t milliseconds) override { ::Sleep(milliseconds); }

    // A value missing from the program's own view is looked for in the other
    // view, where programs of the other width keep theirs; the own view comes first.
    uint32_t RegistryValue(RegistryRoot root, const char* key, const char* name, char* buffer,
                           uint32_t size) override {
        HKEY rootKey = RootKey(root);
        if (rootKey == nullptr) return ERROR_FILE_NOT_FOUND;
        const uint32_t own = QueryRegistry(rootKey, key, name, 0, buffer, size);
        if (own != ERROR_FILE_NOT_FOUND || !HasOtherRegistryView()) return own;
        const uint32_t other = QueryRegistry(rootKey, key, name, kOtherRegistryView, buffer, size);
        return other == ERROR_FILE_NOT_FOUND ? own : other;
    }

    uint32_t IniValue(const char* file, const char* section, const char* key, char* buffer,
                      uint32_t size) override {
        if (size == 0) return 0;
        return GetPrivateProfileStringA(section, key, "", buffer, size, file);
    }

    bool SpecialFolderPath(SpecialFolder folder, char* buffer, uint32_t size) override {
        switch (folder) {
            case SpecialFolder::kWindows:
                return SystemFolder(GetWindowsDirectoryA, buffer, size);
            case SpecialFolder::kSystem:
                return SystemFolder(GetSystemDirectoryA, buffer, size);
            case SpecialFolder::kProgramFiles:
                if (ShellKnowsProgramFiles()) return ShellFolder(CSIDL_PROGRAM_FILES, buffer, size);
                return OnWindowsDrive("Program Files", buffer, size);
            case SpecialFolder::kWindowsDriveRoot:
                return OnWindowsDrive("", buffer, size);
            case SpecialFolder::kDesktop:
                return ShellFolder(CSIDL_DESKTOPDIRECTORY, buffer, size);
            case SpecialFolder::kPersonal:
                return ShellFolder(CSIDL_PERSONAL, buffer, size);
        }
        return false;
    }

    uint32_t EnumerateProcesses(ProcessVisitor& visitor) override {
        // NT 4.0 has no Toolhelp; every other system lists by snapshot.
        return win32::OsKind() == 3 ? win32::EnumerateByModules(visitor)
                                    : win32::EnumerateBySnapshot(visitor);
    }

    bool FindTopWindow(const char* title, const char* className) override {
        return FindWindowA(className, title) != nullptr;
    }

    bool RunsElevated() override {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return true;
        TOKEN_ELEVATION elevation = {};
        DWORD size = 0;
        const BOOL known =
            GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
        CloseHandle(token);
        return !known || elevation.TokenIsElevated != 0;
    }

    uint32_t ProbeFolderWrite(const char* folder) override {
        // Windows reads a doubled backslash as one, so one is always added.
        char path[MAX_PATH + 32];
        const int length = lstrlenA(folder);
        if (length == 0 || length > MAX_PATH) return ERROR_INVALID_NAME;
        CopyMemory(path, folder, length);
        lstrcpyA(path + length, "\\pkx-rights.probe");
        HANDLE probe = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (probe == INVALID_HANDLE_VALUE) {
            const uint32_t error = LastErrorOr(ERROR_ACCESS_DENIED);
            // A file of that name, left by someone else, says nothing of rights.
            return error == ERROR_FILE_EXISTS ? 0 : error;
        }
        CloseHandle(probe);
        return 0;
    }

  private:
    // Whether a kept folder was released.
    bool ReleaseKept() {
        HeldFolder* kept = TakeKept();
        Release(kept);
        return kept != nullptr;
    }

    // The kept folder, if any, taken out; keeping goes on.
    HeldFolder* TakeKept() {
        void* const now = kept_;
        if (now == nullptr || now == Keeping() ||
            InterlockedCompareExchangePointer(&kept_, Keeping(), now) != now) {
            return nullptr;
        }
        return static_cast<HeldFolder*>(now);
    }

    static void* Keeping() { return reinterpret_cast<void*>(1); }

    // Null while nothing may be kept (KeepFolders), Keeping() while folders
    // may be kept and none is, else the folders of the last OpenFolder
    // closed. One word, as the platform object lies in initialised data.
    void* kept_ = nullptr;
};

Win32Platform g_native;

// The thread-local slot of a thread's own platform (ThreadPlatform), taken at
// the first binding; the updater never binds one, so it never takes the slot.
LONG volatile g_boundSlot = static_cast<LONG>(TLS_OUT_OF_INDEXES);

DWORD BoundSlot() { return static_cast<DWORD>(g_boundSlot); }

}  // namespace

namespace win32 {

int OsKind() {
    OSVERSIONINFOA version;
    ZeroMemory(&version, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    GetVersionExA(&version);
    if (version.dwPlatformId == VER_PLATFORM_WIN32_NT) {
        if (version.dwMajorVersion < 4) return -1;
        if (version.dwMajorVersion == 4) return 3;
        return version.dwMinorVersion == 1 ? 6 : 4;
    }
    if (version.dwMinorVersion == 10) return 2;
    return version.dwMinorVersion == 90 ? 5 : 1;
}

uint32_t EnumerateBySnapshot(ProcessVisitor& visitor) {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    auto snapshot = LookUp<SnapshotFunction>(kernel, "CreateToolhelp32Snapshot");
    auto first = LookUp<ProcessWalkFunction>(kernel, "Process32First");
    auto next = LookUp<ProcessWalkFunction>(kernel, "Process32Next");
    if (snapshot == nullptr || first == nullptr || next == nullptr) return ERROR_PROC_NOT_FOUND;
    HANDLE list = snapshot(kSnapshotFlags, 0);
    if (list == INVALID_HANDLE_VALUE) return LastErrorOr(ERROR_GEN_FAILURE);
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    BOOL more = first(list, &entry);
    while (more == TRUE && visitor.Visit(entry.szExeFile)) {
        entry.dwSize = sizeof entry;
        more = next(list, &entry);
    }
    CloseHandle(list);
    return 0;
}

uint32_t EnumerateByModules(ProcessVisitor& visitor) {
    HMODULE psapi = LoadLibraryA("psapi.dll");
    if (psapi == nullptr) return LastErrorOr(ERROR_MOD_NOT_FOUND);
    uint32_t result = ScanModules(psapi, visitor);
    FreeLibrary(psapi);
    return result;
}

}  // namespace win32

Platform& NativePlatform() { return g_native; }

Platform* ThreadBoundPlatform() {
    const DWORD slot = BoundSlot();
    return slot == TLS_OUT_OF_INDEXES ? nullptr : static_cast<Platform*>(TlsGetValue(slot));
}

void BindThreadPlatform(Platform* platform) {
    if (BoundSlot() == TLS_OUT_OF_INDEXES) {
        const DWORD slot = TlsAlloc();
        if (InterlockedCompareExchange(&g_boundSlot, static_cast<LONG>(slot),
                                       static_cast<LONG>(TLS_OUT_OF_INDEXES)) !=
            static_cast<LONG>(TLS_OUT_OF_INDEXES)) {
            TlsFree(slot);  // another thread took it first
        }
    }
    if (BoundSlot() != TLS_OUT_OF_INDEXES) BestEffort(TlsSetValue(BoundSlot(), platform));
}

}  // namespace pkx
