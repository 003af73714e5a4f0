// The one seam between the updater and the operating system.
//
// Every call the engine makes to the system goes through `Platform`, with
// Win32 semantics: results are Win32 error codes (0 = success), paths are
// ANSI byte strings with backslash separators. The Win32 implementation calls
// the system directly; the POSIX implementation maps paths and errors.
// Tests replace the active platform (see tests/platforms/); a run handed a
// system of its own binds it to its thread (ThreadPlatform).
//
// The code page strings are held in inside the updater: on Windows the one
// they come in (ANSI paths, each display text in its table's code page); on
// POSIX always UTF-8, since file names are the file system's UTF-8 bytes and
// display texts are converted to UTF-8 as they enter the text table.
#pragma once

#include <cstdint>

// [[nodiscard]] that also holds for calls through a virtual function: GCC
// checks nodiscard only on direct calls but warn_unused_result on all.
#define PKX_NODISCARD [[nodiscard, gnu::warn_unused_result]]

namespace pkx {

using FileHandle = intptr_t;
inline constexpr FileHandle kInvalidFile = -1;
// A folder opened for changes inside it (Platform::OpenFolder).
using FolderHandle = intptr_t;
inline constexpr FolderHandle kInvalidFolder = -1;

// FILETIME: 100 ns intervals since 1601-01-01, low word first.
struct FileTime {
    uint32_t low = 0;
    uint32_t high = 0;
};

// Access, share, disposition and attribute values as Win32 defines them.
inline constexpr uint32_t kGenericRead = 0x80000000u;
inline constexpr uint32_t kGenericWrite = 0x40000000u;
inline constexpr uint32_t kShareNone = 0;
inline constexpr uint32_t kShareRead = 1;
inline constexpr uint32_t kShareWrite = 2;
inline constexpr uint32_t kCreateNew = 1;
inline constexpr uint32_t kCreateAlways = 2;
inline constexpr uint32_t kOpenExisting = 3;
inline constexpr uint32_t kAttributeArchive = 0x20;
inline constexpr uint32_t kAttributeNormal = 0x80;
// FILE_FLAG_OPEN_REPARSE_POINT: a link at the path is opened itself, never
// followed (POSIX: O_NOFOLLOW, which refuses it with kStoppedOnLink).
inline constexpr uint32_t kOpenLinkItself = 0x00200000u;
inline constexpr uint32_t kFileBegin = 0;
inline constexpr uint32_t kFileCurrent = 1;
inline constexpr uint32_t kFileEnd = 2;

// Win32 error codes the system produces or tests for.
namespace win32err {
inline constexpr uint32_t kSuccess = 0;
inline constexpr uint32_t kFileNotFound = 2;
inline constexpr uint32_t kPathNotFound = 3;
inline constexpr uint32_t kTooManyOpenFiles = 4;
inline constexpr uint32_t kAccessDenied = 5;
inline constexpr uint32_t kInvalidHandle = 6;
inline constexpr uint32_t kNotEnoughMemory = 8;
inline constexpr uint32_t kWriteFault = 29;
inline constexpr uint32_t kReadFault = 30;
inline constexpr uint32_t kSharingViolation = 32;
inline constexpr uint32_t kLockViolation = 33;
inline constexpr uint32_t kHandleEof = 38;
inline constexpr uint32_t kFileExists = 80;
inline constexpr uint32_t kInvalidParameter = 87;
inline constexpr uint32_t kInvalidName = 123;
inline constexpr uint32_t kDiskFull = 112;
inline constexpr uint32_t kDirNotEmpty = 145;
inline constexpr uint32_t kAlreadyExists = 183;
inline constexpr uint32_t kFilenameTooLong = 206;
inline constexpr uint32_t kNotAFolder = 267;
inline constexpr uint32_t kStoppedOnLink = 681;
inline constexpr uint32_t kNoMoreFiles = 18;
}  // namespace win32err

// The Windows code page number of UTF-8; it has no lead bytes.
inline constexpr uint32_t kUtf8CodePage = 65001;

// The program's two built-in string tables: Japanese for systems whose code
// page is 932, English for all others.
enum class TextLanguage : uint8_t { kJapanese, kEnglish };

enum class RegistryRoot : uint8_t {
    kClassesRoot = 0,
    kCurrentUser = 1,
    kLocalMachine = 2,
    kUsers = 3
};

// The six well-known folders, in the order of the package's folder index.
enum class SpecialFolder : uint8_t {
    kWindows = 0,
    kSystem = 1,
    kProgramFiles = 2,
    kWindowsDriveRoot = 3,
    kDesktop = 4,
    kPersonal = 5,
};

// Receives the executable file names of running processes, one at a time.
class ProcessVisitor {
  public:
    // `path` is the full path (or bare file name) of one process's executable.
    // Return false to stop the enumeration.
    virtual bool Visit(const char* path) = 0;

  protected:
    ~ProcessVisitor() = default;
};

class Platform {
  public:
    virtual ~Platform() = default;

    // --- Files (CreateFileA and friends). Each returns 0 or a Win32 code.
    PKX_NODISCARD virtual uint32_t Open(const char* path, uint32_t access, uint32_t share,
                                        uint32_t disposition, uint32_t flags, FileHandle* out) = 0;
    // Succeeds (0) on a short transfer, like ReadFile/WriteFile; `*done` tells.
    PKX_NODISCARD virtual uint32_t Read(FileHandle file, void* buffer, uint32_t count,
                                        uint32_t* done) = 0;
    PKX_NODISCARD virtual uint32_t Write(FileHandle file, const void* buffer, uint32_t count,
                                         uint32_t* done) = 0;
    // SetFilePointer without a high part: new position in `*position`.
    PKX_NODISCARD virtual uint32_t Seek(FileHandle file, int32_t distance, uint32_t origin,
                                        uint32_t* position) = 0;
    PKX_NODISCARD virtual uint32_t Size(FileHandle file, uint32_t* size) = 0;
    PKX_NODISCARD virtual uint32_t GetWriteTime(FileHandle file, FileTime* time) = 0;
    PKX_NODISCARD virtual uint32_t SetWriteTime(FileHandle file, const FileTime& time) = 0;
    // Gives `to` the permission bits of `from` (POSIX: so that an updated
    // program stays executable); nothing to do on Windows.
    PKX_NODISCARD virtual uint32_t CopyAccessMode(FileHandle from, FileHandle to) = 0;
    virtual void Close(FileHandle file) = 0;

    // --- Durability. What is written, and every new, moved or deleted name,
    // may be lost in a power cut until it has been made durable.
    // The file's data and size are durable when the call returns
    // (FlushFileBuffers; fsync).
    PKX_NODISCARD virtual uint32_t Flush(FileHandle file) = 0;
    // The file's data and size are durable once FlushFolder has returned for
    // its folder. Windows flushes at once; POSIX starts writing now, so that
    // many files cost one short wait at FlushFolder instead of one each.
    PKX_NODISCARD virtual uint32_t StartFlush(FileHandle file) = 0;
    // The names in `folder` (files created in it, moved in or out, deleted)
    // are durable when the call returns, and so is every file given to
    // StartFlush before (POSIX: fsync of those files and of the folder).
    // Windows has nothing left to do: moves are written through, and a file
    // flush commits the names changed before it.
    PKX_NODISCARD virtual uint32_t FlushFolder(const char* folder) = 0;

    // --- Names.
    // True when FindFirstFileA finds something: folders count, wildcards
    // match by pattern, a trailing backslash reads as missing.
    PKX_NODISCARD virtual bool Exists(const char* pattern) = 0;
    // True when a file or folder of exactly this name exists: "*" and "?"
    // are characters like any other (GetFileAttributesA).
    PKX_NODISCARD virtual bool NameExists(const char* path) = 0;
    // MoveFileA: fails when the destination exists. Written through to the
    // disk where the system offers it (MOVEFILE_WRITE_THROUGH).
    PKX_NODISCARD virtual uint32_t Move(const char* from, const char* to) = 0;
    PKX_NODISCARD virtual uint32_t Delete(const char* path) = 0;
    PKX_NODISCARD virtual uint32_t CreateFolder(const char* path) = 0;
    PKX_NODISCARD virtual uint32_t SetCurrentFolder(const char* path) = 0;
    // GetModuleFileNameA of the running program; returns the length, 0 on failure.
    PKX_NODISCARD virtual uint32_t ModulePath(char* buffer, uint32_t size) = 0;

    // --- Changes inside an installation, never through a link.
    // Opens the folder `path` for the calls below. Its first `trusted` bytes
    // name a folder taken as it stands (the installation, wherever links
    // place it); each folder after them must be a plain one: a symbolic
    // link, junction or other reparse point fails with kStoppedOnLink, a
    // ".." with kInvalidName, a missing folder with kPathNotFound. What was
    // found holds until CloseFolder: POSIX opens each folder relative to the
    // one before without following links, and the calls below work relative
    // to the last; Windows keeps each folder open without delete sharing, so
    // that none can be renamed or removed, and CreateIn takes its file back
    // when the folder became a link meanwhile (an empty one can be made a
    // junction in place).
    PKX_NODISCARD virtual uint32_t OpenFolder(const char* path, uint32_t trusted,
                                              FolderHandle* out) = 0;
    virtual void CloseFolder(FolderHandle folder) = 0;
    // From KeepFolders(true) to its KeepFolders(false) a closed folder may be
    // kept held for the next OpenFolder, which then opens only the folders
    // that differ: a run of files opens the folders on their way once, not
    // once per file. What is kept stays as it was found, as while open, and
    // is checked again when taken; nothing is taken after KeepFolders(false)
    // (the calls do not nest). Windows keeps nothing after it; POSIX, where
    // an open folder stands in nobody's way, keeps the folders below the
    // installation for the next KeepFolders(true). A kept folder that stands
    // in the way of a move or a removal is let go.
    virtual void KeepFolders(bool keep) { static_cast<void>(keep); }
    // Move, Delete, CreateFolder and RemoveDirectoryA of names in an opened
    // folder: each name is one name, without a separator. A link is moved or
    // deleted itself, never followed. A move given `opened` (kInvalidFile)
    // may hand over the file under its new name there, open for reading
    // without sharing: POSIX hands over the handle that proved no other
    // holds the file. Otherwise the caller opens it by name.
    PKX_NODISCARD virtual uint32_t MoveIn(FolderHandle folder, const char* from, const char* to,
                                          FileHandle* opened) = 0;
    PKX_NODISCARD virtual uint32_t DeleteIn(FolderHandle folder, const char* name) = 0;
    PKX_NODISCARD virtual uint32_t CreateFolderIn(FolderHandle folder, const char* name) = 0;
    // Only an empty folder goes (kDirNotEmpty otherwise).
    PKX_NODISCARD virtual uint32_t RemoveFolderIn(FolderHandle folder, const char* name) = 0;
    // Creates the file `name` in an opened folder: CREATE_NEW without
    // sharing, so that nothing in its place, a link included, is followed.
    PKX_NODISCARD virtual uint32_t CreateIn(FolderHandle folder, const char* name, uint32_t access,
                                            uint32_t flags, FileHandle* out) = 0;
    // SetEndOfFile: the file ends at its position.
    PKX_NODISCARD virtual uint32_t SetEnd(FileHandle file) = 0;

    // --- Code pages and texts.
    PKX_NODISCARD virtual uint32_t AnsiCodePage() = 0;
    // The code page that strings are held in where Windows holds them in
    // `codePage` (see the top of this file): `codePage` itself on Windows,
    // UTF-8 on POSIX. Scans of names and texts honour its lead bytes.
    PKX_NODISCARD virtual uint32_t InsideCodePage(uint32_t codePage) = 0;
    // Copies `text`, in `codePage`, into `buffer` in InsideCodePage(codePage):
    // at most size - 1 bytes, cut between characters, always terminated.
    virtual void ConvertToInside(uint32_t codePage, const char* text, char* buffer,
                                 uint32_t size) = 0;
    // String `id` of the built-in table of `language`, as LoadStringA gives it
    // (in the inside code page, cut to size - 1 bytes, terminated): length
    // copied, 0 when absent.
    PKX_NODISCARD virtual uint32_t LoadText(uint32_t id, TextLanguage language, char* buffer,
                                            uint32_t size) = 0;
    // `path` written as the system writes paths for its users (POSIX:
    // slashes, no drive), cut to size - 1 bytes and terminated.
    virtual void PathForDisplay(const char* path, char* buffer, uint32_t size) = 0;

    // --- Time (timeGetTime) and pausing.
    PKX_NODISCARD virtual uint32_t Milliseconds() = 0;
    virtual void Sleep(uint32_t milliseconds) = 0;

    // --- Lookups used to find the installation and a running program.
    // RegQueryValueExA of a value under root\key, bytes as stored. 0 or a code.
    PKX_NODISCARD virtual uint32_t RegistryValue(RegistryRoot root, const char* key,
                                                 const char* name, char* buffer, uint32_t size) = 0;
    // GetPrivateProfileStringA with an empty default: length copied.
    PKX_NODISCARD virtual uint32_t IniValue(const char* file, const char* section, const char* key,
                                            char* buffer, uint32_t size) = 0;
    // Path of a special folder without trailing backslash; false when unknown.
    PKX_NODISCARD virtual bool SpecialFolderPath(SpecialFolder folder, char* buffer,
                                                 uint32_t size) = 0;
    // Calls `visitor` once per running process. 0, or a code when the list
    // cannot be obtained.
    PKX_NODISCARD virtual uint32_t EnumerateProcesses(ProcessVisitor& visitor) = 0;
    // FindWindowA: true when a top-level window matches (null = any).
    PKX_NODISCARD virtual bool FindTopWindow(const char* title, const char* className) = 0;

    // --- Rights.
    // True when the program runs with an administrator's full rights (an
    // elevated token; POSIX: as root), and when the system cannot tell.
    PKX_NODISCARD virtual bool RunsElevated() = 0;
    // 0 when this program may create files in `folder`, else the Win32 code:
    // kAccessDenied when it may not. Leaves nothing behind (Windows creates
    // a file that is deleted as it is closed; POSIX asks for write access).
    PKX_NODISCARD virtual uint32_t ProbeFolderWrite(const char* folder) = 0;
};

// Marks a platform result that is deliberately not examined: the call is
// made for its effect, and its failure changes nothing the caller would do.
template <typename Result>
inline void BestEffort(Result /*ignored*/) {}

// The native platform of this build.
Platform& NativePlatform();

// The platform in force: the one bound to the calling thread, else the one
// installed for the process, else the native one.
Platform& Os();

// Installs `platform` for the whole process (null restores the native one);
// returns the previous. Tests use it.
Platform* SetPlatform(Platform* platform);

// The platform bound to the calling thread (null: none), and the binding of
// another; each seam keeps them in its thread-local storage.
Platform* ThreadBoundPlatform();
void BindThreadPlatform(Platform* platform);

// Binds `platform` to the calling thread for the life of the object, so that
// a run handed a system of its own works on it while the rest of the process
// keeps its own; null leaves the thread as it is.
class ThreadPlatform {
  public:
    explicit ThreadPlatform(Platform* platform);
    ~ThreadPlatform();
    ThreadPlatform(const ThreadPlatform&) = delete;
    ThreadPlatform& operator=(const ThreadPlatform&) = delete;

  private:
    bool bound_;
    Platform* previous_;
};

}  // namespace pkx
