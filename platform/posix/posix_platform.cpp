// The seam on Linux and other POSIX systems; see README.md for the mappings.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/openat2.h>
#include <sys/syscall.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/platform.h"
#include "platform/posix/builtin_texts.h"
#include "platform/posix/code_pages.h"
#include "platform/posix/ini_file.h"
#include "platform/posix/kept_folders.h"
#include "platform/posix/locale_code_page.h"
#include "platform/posix/posix_errors.h"
#include "platform/posix/posix_paths.h"
#include "platform/posix/registry_file.h"
#include "platform/posix/text_files.h"

namespace pkx {

namespace {

using posix::NativePath;
using posix::Win32Error;
using posix::Win32ErrorForPath;

constexpr uint32_t kOpenAlways = 4;
constexpr uint32_t kTruncateExisting = 5;
constexpr uint32_t kNegativeSeek = 131;  // ERROR_NEGATIVE_SEEK
using win32err::kNotAFolder;
constexpr int64_t kUnixEpochAsFileTime = 116444736000000000LL;
#ifndef __linux__
// Files whose writing StartFlush began and FlushFolder has yet to wait for.
constexpr uint32_t kPendingFlushLimit = 64;
#endif
constexpr int64_t kFileTimeTicksPerSecond = 10000000;

int OpenFlags(uint32_t access, uint32_t disposition, bool* truncate, bool* valid) {
    *valid = true;
    *truncate = false;
    bool reads = (access & kGenericRead) != 0;
    bool writes = (access & kGenericWrite) != 0;
    int flags = O_CLOEXEC | (reads && writes ? O_RDWR : writes ? O_WRONLY : O_RDONLY);
    switch (disposition) {
        case kCreateNew:
            return flags | O_CREAT | O_EXCL;
        case kCreateAlways:
            *truncate = true;
            return flags | O_CREAT;
        case kOpenExisting:
            return flags;
        case kOpenAlways:
            return flags | O_CREAT;
        case kTruncateExisting:
            *truncate = true;
            *valid = writes;
            return flags;
        default:
            *valid = false;
            return flags;
    }
}

// Share mode 0 takes the file for this handle alone; any sharing takes a
// shared lock, so that a later opener without sharing sees the handle. This
// is coarser than Windows, which also weighs the access of each handle.
int LockFor(uint32_t share) {
    return ((share & (kShareRead | kShareWrite)) == 0 ? LOCK_EX : LOCK_SH) | LOCK_NB;
}

// Windows refuses to delete or rename a file that a handle holds open
// without delete sharing, which the seam never grants. `name` is taken in
// the folder `at` (AT_FDCWD: the current one). The descriptor that found it
// free, then holding it alone, or -1; `held` tells whether it was held.
int TakeUnheld(int at, const char* name, bool* held) {
    *held = false;
    const int fd = openat(at, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
    // Only a regular file is held; its kind is asked only of a locked one.
    struct stat info;
    *held = errno == EWOULDBLOCK && fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    close(fd);
    return -1;
}

bool IsHeldOpen(int at, const char* name) {
    bool held = false;
    const int fd = TakeUnheld(at, name, &held);
    if (fd >= 0) close(fd);
    return held;
}

// The code for an I/O call on a handle: a valid handle without the needed
// access is ERROR_ACCESS_DENIED on Windows, not ERROR_INVALID_HANDLE.
uint32_t TransferError(int error, FileHandle file) {
    if (error == EBADF && fcntl(static_cast<int>(file), F_GETFD) != -1) {
        return win32err::kAccessDenied;
    }
    return Win32Error(error);
}

uint32_t CopyOut(const std::string& text, char* buffer, uint32_t size) {
    if (text.size() + 1 > size) return 0;
    memcpy(buffer, text.c_str(), text.size() + 1);
    return static_cast<uint32_t>(text.size());
}

std::string WithoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

const char* Environment(const char* name) {
    const char* value = getenv(name);
    return value != nullptr && value[0] != '\0' ? value : nullptr;
}

// "$HOME/<name>" or "" without a home.
std::string InHome(const char* name) {
    const char* home = Environment("HOME");
    return home != nullptr ? WithoutTrailingSlashes(home) + "/" + name : std::string();
}

std::string SpecialFolderNative(SpecialFolder folder) {
    static const char* const kOverrides[] = {
        "PKX_FOLDER_WINDOWS",    "PKX_FOLDER_SYSTEM",  "PKX_FOLDER_PROGRAM_FILES",
        "PKX_FOLDER_DRIVE_ROOT", "PKX_FOLDER_DESKTOP", "PKX_FOLDER_PERSONAL",
    };
    size_t index = static_cast<size_t>(folder);
    if (index >= sizeof kOverrides / sizeof kOverrides[0]) return std::string();
    if (const char* value = Environment(kOverrides[index])) return value;
    switch (folder) {
        case SpecialFolder::kWindows:
            return "/etc";
        case SpecialFolder::kSystem:
            return "/usr/lib";
        case SpecialFolder::kProgramFiles:
            return "/opt";
        case SpecialFolder::kWindowsDriveRoot:
            return "/";
        case SpecialFolder::kDesktop:
            if (const char* value = Environment("XDG_DESKTOP_DIR")) return value;
            return InHome("Desktop");
        case SpecialFolder::kPersonal:
            if (const char* value = Environment("XDG_DOCUMENTS_DIR")) return value;
            return InHome("Documents");
    }
    return std::string();
}

// The target of a /proc/.../exe link, without the " (deleted)" the kernel
// appends once the file was replaced; "" when it cannot be read.
std::string ExecutableLink(const std::string& link) {
    char target[4096];
    ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
    if (length <= 0) return std::string();
    std::string path(target, static_cast<size_t>(length));
    const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() &&
        path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0) {
        path.resize(path.size() - deleted.size());
    }
    return path;
}

// The executable of process `pid` ("" when it has vanished).
std::string ProcessExecutable(const char* pid) {
    std::string base = std::string("/proc/") + pid;
    std::string path = ExecutableLink(base + "/exe");
    if (!path.empty()) return path;
    // Kernel threads and other users' processes: only the (short) command name.
    std::string comm;
    if (!posix::ReadWholeFile(base + "/comm", &comm)) return std::string();
    while (!comm.empty() && comm.back() == '\n') comm.pop_back();
    return comm;
}

// One name in a folder: not empty, no separator, neither "." nor "..".
bool IsSingleName(const char* name) {
    return name[0] != '\0' && strpbrk(name, "\\/") == nullptr && strcmp(name, ".") != 0 &&
           strcmp(name, "..") != 0;
}

// The code for a step of OpenFolder that failed with `error` at `name` in
// the folder `at`: a link, unlike a file, is kStoppedOnLink.
uint32_t FolderStepError(int error, int at, const char* name) {
    struct stat info;
    if ((error == ENOTDIR || error == ELOOP) &&
        fstatat(at, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode)) {
        return win32err::kStoppedOnLink;
    }
    return error == ENOENT || error == ENOTDIR ? win32err::kPathNotFound : Win32Error(error);
}

// Replaces the open folder `*fd` by its folder `name`, never through a link.
uint32_t Descend(int* fd, const char* name) {
    if (name[0] == '\0' || strcmp(name, ".") == 0) return win32err::kSuccess;
    if (strcmp(name, "..") == 0) return win32err::kInvalidName;
    const int next = openat(*fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) return FolderStepError(errno, *fd, name);
    close(*fd);
    *fd = next;
    return win32err::kSuccess;
}

#ifdef __linux__
// A kernel or sandbox without openat2 answers every call alike: asked once.
std::atomic<bool> openat2Refused{false};

// The folder `relative` below the open folder `at` in one call that, like
// the walk of Descend, passes no link on the way; -1 when the call cannot
// say (a "..", a failure, no openat2), and the walk gives the answer and its
// exact code. A folder deep in an installation costs one call, not two a level.
int OpenBelowAtOnce(int at, const char* relative) {
    char path[PATH_MAX];
    const size_t length = strlen(relative);
    if (openat2Refused.load() || length >= sizeof path) return -1;
    for (size_t i = 0; i <= length; ++i) path[i] = relative[i] == '\\' ? '/' : relative[i];
    for (const char* name = path; name != nullptr; name = strchr(name, '/')) {
        name += *name == '/' ? 1 : 0;
        if (strncmp(name, "..", 2) == 0 && (name[2] == '/' || name[2] == '\0')) return -1;
    }
    struct open_how how = {};
    how.flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH;
    const long fd = syscall(SYS_openat2, at, path, &how, sizeof how);
    if (fd < 0 && (errno == ENOSYS || errno == EPERM)) openat2Refused.store(true);
    return static_cast<int>(fd);
}
#else
int OpenBelowAtOnce(int, const char*) { return -1; }
#endif

// For file systems without RENAME_NOREPLACE: a hard link cannot replace an
// existing name either. Folders fall back to test-then-rename.
int MoveWithoutRenameat2(int fromAt, const char* from, int toAt, const char* to) {
    struct stat info;
    if (fstatat(fromAt, from, &info, AT_SYMLINK_NOFOLLOW) != 0) return errno;
    if (!S_ISDIR(info.st_mode)) {
        if (linkat(fromAt, from, toAt, to, 0) == 0) {
            return unlinkat(fromAt, from, 0) == 0 ? 0 : errno;
        }
        if (errno != EPERM && errno != EOPNOTSUPP) return errno;
    }
    if (fstatat(toAt, to, &info, AT_SYMLINK_NOFOLLOW) == 0) return EEXIST;
    return renameat(fromAt, from, toAt, to) == 0 ? 0 : errno;
}

// MoveFileA without replacing; 0 or the errno.
int MoveNoReplace(int fromAt, const char* from, int toAt, const char* to) {
    if (renameat2(fromAt, from, toAt, to, RENAME_NOREPLACE) == 0) return 0;
    const int error = errno;
    if (error != EINVAL && error != ENOSYS && error != EOPNOTSUPP) return error;
    return MoveWithoutRenameat2(fromAt, from, toAt, to);
}

bool IsProcessId(const char* name) {
    if (*name == '\0') return false;
    for (; *name != '\0'; ++name) {
        if (*name < '0' || *name > '9') return false;
    }
    return true;
}

posix::KeptFolders keptFolders;

// What fstat found, after the lock, of a handle opened for reading alone and
// without sharing: its exclusive lock keeps every other handle of the seam
// from the file until Close, so its size, mode and times stay as found unless
// the handle itself changes them (which drops the record). And whether a
// regular file's handle is still where it was opened, at its start, which a
// seek there need not ask of the system. Each descriptor has one place of
// kStatRecords, which it shares with others: a handle whose place another
// took asks the system.
constexpr int kStatRecords = 64;

int PlaceOf(int fd) { return fd & (kStatRecords - 1); }

class StatRecords {
  public:
    // Records `info` for `fd`, or with null forgets it.
    void Set(int fd, const struct stat* info) {
        if (fd < 0) return;
        std::lock_guard<std::mutex> lock(lock_);
        const int place = PlaceOf(fd);
        if (info != nullptr) {
            owners_[place] = fd + 1;
            records_[place] = *info;
        } else if (owners_[place] == fd + 1) {
            owners_[place] = 0;
        }
    }
    // Whether the handle `fd` is at the start of its file.
    void AtStart(int fd, bool at) {
        if (fd < 0) return;
        int expected = fd + 1;
        if (at) {
            atStart_[PlaceOf(fd)].store(fd + 1, std::memory_order_relaxed);
        } else {
            atStart_[PlaceOf(fd)].compare_exchange_strong(expected, 0, std::memory_order_relaxed);
        }
    }
    bool IsAtStart(int fd) const {
        return fd >= 0 && atStart_[PlaceOf(fd)].load(std::memory_order_relaxed) == fd + 1;
    }
    // fstat, answered from the record when there is one.
    int Stat(int fd, struct stat* info) {
        if (fd >= 0) {
            std::lock_guard<std::mutex> lock(lock_);
            if (owners_[PlaceOf(fd)] == fd + 1) {
                *info = records_[PlaceOf(fd)];
                return 0;
            }
        }
        return fstat(fd, info);
    }

  private:
    std::mutex lock_;
    int owners_[kStatRecords] = {};  // the descriptor + 1
    std::atomic<int> atStart_[kStatRecords] = {};
    struct stat records_[kStatRecords] = {};
};

#ifdef __linux__
// The device of each file CreateIn made in a kept folder, in its place
// (under the platform's lock of pending flushes); zero, so that it takes no
// initialised data.
struct CreatedOn {
    int owner;  // the descriptor + 1
    dev_t device;
} createdOn[kStatRecords];
#endif

StatRecords statRecords;

class PosixPlatform final : public Platform {
  public:
    uint32_t Open(const char* path, uint32_t access, uint32_t share, uint32_t disposition,
                  uint32_t flags, FileHandle* out) override {
        *out = kInvalidFile;
        bool truncate = false;
        bool valid = false;
        int oflags = OpenFlags(access, disposition, &truncate, &valid);
        if (!valid) return win32err::kInvalidParameter;
        if ((access & kGenericWrite) != 0) Changed();
        if ((flags & kOpenLinkItself) != 0) oflags |= O_NOFOLLOW;
        std::string native = NativePath(path);
        int fd = open(native.c_str(), oflags, 0666);
        if (fd < 0) {
            int error = errno;
            if (error == EEXIST) return win32err::kFileExists;
            if (error == ELOOP && (flags & kOpenLinkItself) != 0) return win32err::kStoppedOnLink;
            return Win32ErrorForPath(error, native.c_str());
        }
        uint32_t result = PrepareOpened(fd, share, oflags, truncate);
        if (result != win32err::kSuccess) {
            close(fd);
            return result;
        }
        *out = fd;
        return win32err::kSuccess;
    }

    uint32_t Read(FileHandle file, void* buffer, uint32_t count, uint32_t* done) override {
        *done = 0;
        statRecords.AtStart(static_cast<int>(file), false);
        auto* bytes = static_cast<char*>(buffer);
        while (*done < count) {
            ssize_t got = read(static_cast<int>(file), bytes + *done, count - *done);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) return TransferError(errno, file);
            if (got == 0) break;  // end of file: a short read, not a failure
            *done += static_cast<uint32_t>(got);
        }
        return win32err::kSuccess;
    }

    uint32_t Write(FileHandle file, const void* buffer, uint32_t count, uint32_t* done) override {
        *done = 0;
        statRecords.AtStart(static_cast<int>(file), false);
        const auto* bytes = static_cast<const char*>(buffer);
        while (*done < count) {
            ssize_t put = write(static_cast<int>(file), bytes + *done, count - *done);
            if (put < 0 && errno == EINTR) continue;
            if (put < 0) return TransferError(errno, file);
            if (put == 0) return win32err::kDiskFull;
            *done += static_cast<uint32_t>(put);
        }
        return win32err::kSuccess;
    }

    uint32_t Seek(FileHandle file, int32_t distance, uint32_t origin, uint32_t* position) override {
        int fd = static_cast<int>(file);
        int64_t base = 0;
        if (origin == kFileCurrent) {
            base = lseek(fd, 0, SEEK_CUR);
        } else if (origin == kFileEnd) {
            struct stat info;
            base = statRecords.Stat(fd, &info) == 0 ? static_cast<int64_t>(info.st_size) : -1;
        } else if (origin != kFileBegin) {
            return win32err::kInvalidParameter;
        }
        if (base < 0) return Win32Error(errno);
        int64_t target = base + distance;
        if (target < 0) return kNegativeSeek;
        // Without a high part the new position must fit in 32 bits.
        if (target > 0xFFFFFFFFLL) return win32err::kInvalidParameter;
        if (target != 0 || !statRecords.IsAtStart(fd)) {
            statRecords.AtStart(fd, false);
            if (lseek(fd, static_cast<off_t>(target), SEEK_SET) < 0) return Win32Error(errno);
        }
        *position = static_cast<uint32_t>(target);
        return win32err::kSuccess;
    }

    uint32_t Size(FileHandle file, uint32_t* size) override {
        struct stat info;
        if (statRecords.Stat(static_cast<int>(file), &info) != 0) return Win32Error(errno);
        *size = static_cast<uint32_t>(static_cast<uint64_t>(info.st_size) & 0xFFFFFFFFu);
        return win32err::kSuccess;
    }

    uint32_t GetWriteTime(FileHandle file, FileTime* time) override {
        struct stat info;
        if (statRecords.Stat(static_cast<int>(file), &info) != 0) return Win32Error(errno);
        int64_t ticks = static_cast<int64_t>(info.st_mtim.tv_sec) * kFileTimeTicksPerSecond +
                        info.st_mtim.tv_nsec / 100 + kUnixEpochAsFileTime;
        if (ticks < 0) ticks = 0;  // before 1601: not representable
        time->low = static_cast<uint32_t>(static_cast<uint64_t>(ticks) & 0xFFFFFFFFu);
        time->high = static_cast<uint32_t>(static_cast<uint64_t>(ticks) >> 32);
        return win32err::kSuccess;
    }

    uint32_t CopyAccessMode(FileHandle from, FileHandle to) override {
        struct stat info;
        if (statRecords.Stat(static_cast<int>(from), &info) != 0) return Win32Error(errno);
        const mode_t mode = info.st_mode & 07777;
        if (HasModeAsMade(static_cast<int>(to), mode)) return win32err::kSuccess;
        statRecords.Set(static_cast<int>(to), nullptr);
        if (fchmod(static_cast<int>(to), mode) != 0) return Win32Error(errno);
        return win32err::kSuccess;
    }

    uint32_t SetWriteTime(FileHandle file, const FileTime& time) override {
        uint64_t ticks = (static_cast<uint64_t>(time.high) << 32) | time.low;
        // Unsigned difference read as signed: times before 1970 are negative.
        auto sinceEpoch = static_cast<int64_t>(ticks - static_cast<uint64_t>(kUnixEpochAsFileTime));
        int64_t seconds = sinceEpoch / kFileTimeTicksPerSecond;
        int64_t rest = sinceEpoch % kFileTimeTicksPerSecond;
        if (rest < 0) {
            rest += kFileTimeTicksPerSecond;
            --seconds;
        }
        struct timespec times[2];
        times[0].tv_sec = 0;
        times[0].tv_nsec = UTIME_OMIT;
        times[1].tv_sec = static_cast<time_t>(seconds);
        times[1].tv_nsec = static_cast<long>(rest * 100);
        statRecords.Set(static_cast<int>(file), nullptr);
        if (futimens(static_cast<int>(file), times) != 0) return Win32Error(errno);
        return win32err::kSuccess;
    }

    void Close(FileHandle file) override {
        if (file == kInvalidFile) return;
        statRecords.Set(static_cast<int>(file), nullptr);
        statRecords.AtStart(static_cast<int>(file), false);
#ifdef __linux__
        {
            std::lock_guard<std::mutex> lock(pendingLock_);
            CreatedOn& created = createdOn[PlaceOf(static_cast<int>(file))];
            if (created.owner == file + 1) created.owner = 0;
        }
#endif
        close(static_cast<int>(file));
    }

    uint32_t Flush(FileHandle file) override {
        if (fsync(static_cast<int>(file)) != 0) return TransferError(errno, file);
        return win32err::kSuccess;
    }

    // Whether `fd` is a file CreateIn made with `mode` already. Every file
    // made is taken to get the mode the first one got: the umask holds for
    // the whole process (a folder's default ACL, which takes its place, is
    // not looked at).
    bool HasModeAsMade(int fd, mode_t mode) {
#ifdef __linux__
        std::lock_guard<std::mutex> lock(pendingLock_);
        if (createdOn[PlaceOf(fd)].owner != fd + 1) return false;
        struct stat made;
        if (modeAsMade_ == 0 && fstat(fd, &made) == 0) modeAsMade_ = made.st_mode & 07777;
        return modeAsMade_ == mode;
#else
        (void)fd;
        (void)mode;
        return false;
#endif
    }

    uint32_t StartFlush(FileHandle file) override {
        Changed();
#ifdef __linux__
        // One flush of the file system at FlushFolder instead of one per
        // file: a second descriptor of the first new file, which holds none
        // of the seam's locks, keeps the writing errors since its opening for
        // that flush to report. A file on another file system is flushed at once.
        const int fd = static_cast<int>(file);
        struct stat info;
        std::lock_guard<std::mutex> lock(pendingLock_);
        // A file made in a kept folder is on the folder's device.
        const CreatedOn& created = createdOn[PlaceOf(fd)];
        if (created.owner == fd + 1 && sentinel_ >= 0 && sentinelDevice_ == created.device) {
            return win32err::kSuccess;
        }
        if (fstat(fd, &info) == 0) {
            if (sentinel_ >= 0 && sentinelDevice_ == info.st_dev) return win32err::kSuccess;
            if (sentinel_ < 0) {
                char self[32];
                snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
                sentinel_ = open(self, O_RDONLY | O_CLOEXEC);
                sentinelDevice_ = info.st_dev;
                if (sentinel_ >= 0) return win32err::kSuccess;
            }
        }
#endif
        return Flush(file);
    }

    uint32_t FlushFolder(const char* folder) override {
        std::string native = NativePath(folder);
#ifdef __linux__
        // syncfs makes every file and name of the file system durable: a
        // folder on the one flushed since the last change needs nothing more.
        struct stat info;
        int fd = -1;
        std::lock_guard<std::mutex> lock(pendingLock_);
        const uint32_t generation = changes_.load();
        // A kept folder's device is known without asking.
        if (keptFolders.DeviceOf(-1, native.c_str(), &info.st_dev) ||
            stat(native.c_str(), &info) == 0) {
            if (flushedAt_ == generation && flushedDevice_ == info.st_dev) return 0;
            fd = sentinel_ >= 0 && sentinelDevice_ == info.st_dev
                     ? sentinel_
                     : open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        }
        if (fd < 0) return Win32ErrorForPath(errno, WithoutTrailingSlashes(native).c_str());
        const uint32_t result = syncfs(fd) == 0 ? win32err::kSuccess : Win32Error(errno);
        if (fd == sentinel_) sentinel_ = -1;
        close(fd);
        if (result == win32err::kSuccess) {
            flushedAt_ = generation;
            flushedDevice_ = info.st_dev;
        }
        return result;
#else
        uint32_t result = WaitForPending();
        int fd = open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) {
            return result != 0 ? result
                               : Win32ErrorForPath(errno, WithoutTrailingSlashes(native).c_str());
        }
        if (fsync(fd) != 0 && result == 0) result = Win32Error(errno);
        close(fd);
        return result;
#endif
    }

    bool Exists(const char* pattern) override {
        size_t length = pattern != nullptr ? strlen(pattern) : 0;
        if (length == 0 || pattern[length - 1] == '\\' || pattern[length - 1] == '/') return false;
        std::string native = NativePath(pattern);
        size_t slash = native.rfind('/');
        std::string name = slash == std::string::npos ? native : native.substr(slash + 1);
        if (name.find_first_of("*?") == std::string::npos) {
            struct stat info;
            return lstat(native.c_str(), &info) == 0;
        }
        std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : native.substr(0, slash);
        return AnyEntryMatches(folder, name);
    }

    bool NameExists(const char* path) override {
        struct stat info;
        return lstat(NativePath(path).c_str(), &info) == 0;
    }

    uint32_t Move(const char* from, const char* to) override {
        Changed();
        std::string source = NativePath(from);
        std::string target = NativePath(to);
        if (IsHeldOpen(AT_FDCWD, source.c_str())) return win32err::kSharingViolation;
        const int error = MoveNoReplace(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str());
        if (error == 0) return win32err::kSuccess;
        if (error == ENOENT) {
            struct stat info;
            bool sourceThere = lstat(source.c_str(), &info) == 0;
            return posix::NotFoundError(sourceThere ? target.c_str() : source.c_str());
        }
        return Win32Error(error);
    }

    uint32_t Delete(const char* path) override {
        Changed();
        std::string native = NativePath(path);
        if (IsHeldOpen(AT_FDCWD, native.c_str())) return win32err::kSharingViolation;
        if (unlink(native.c_str()) == 0) return win32err::kSuccess;
        return Win32ErrorForPath(errno, native.c_str());
    }

    uint32_t CreateFolder(const char* path) override {
        Changed();
        std::string native = NativePath(path);
        if (mkdir(native.c_str(), 0777) == 0) return win32err::kSuccess;
        return Win32ErrorForPath(errno, WithoutTrailingSlashes(native).c_str());
    }

    uint32_t OpenFolder(const char* path, uint32_t trusted, FolderHandle* out) override {
        *out = kInvalidFolder;
        const size_t rootLength = strnlen(path, trusted);
        const std::string root = NativePath(std::string(path, rootLength).c_str());
        const char* below = path + rootLength;
        int fd = keptFolders.Take(root.c_str(), below);
        if (fd < 0 && *below != '\0') fd = OpenBelowKeptRoot(root, below);
        if (fd < 0) {
            const uint32_t error = Walk(root, below, &fd);
            if (error != win32err::kSuccess) return error;
            keptFolders.Keep(fd, root.c_str(), below, true);
        }
        *out = fd;
        return win32err::kSuccess;
    }

    void CloseFolder(FolderHandle folder) override {
        if (folder != kInvalidFolder && !keptFolders.Release(static_cast<int>(folder))) {
            close(static_cast<int>(folder));
        }
    }

    void KeepFolders(bool keep) override { keptFolders.Allow(keep); }

    // The descriptor of the sharing test moves with the file: it is the
    // file's own, held without sharing, so it is a reading handle already.
    uint32_t MoveIn(FolderHandle folder, const char* from, const char* to,
                    FileHandle* opened) override {
        Changed();
        if (!IsSingleName(from) || !IsSingleName(to)) return win32err::kInvalidName;
        const int at = static_cast<int>(folder);
        bool held = false;
        const int fd = TakeUnheld(at, from, &held);
        if (held) return win32err::kSharingViolation;
        const int error = MoveNoReplace(at, from, at, to);
        if (error == 0 && opened != nullptr && fd >= 0 && RecordReading(fd)) {
            *opened = fd;
        } else if (fd >= 0) {
            close(fd);
        }
        return error == 0 ? win32err::kSuccess : Win32Error(error);
    }

    uint32_t DeleteIn(FolderHandle folder, const char* name) override {
        Changed();
        if (!IsSingleName(name)) return win32err::kInvalidName;
        const int at = static_cast<int>(folder);
        if (IsHeldOpen(at, name)) return win32err::kSharingViolation;
        return unlinkat(at, name, 0) == 0 ? win32err::kSuccess : Win32Error(errno);
    }

    uint32_t CreateFolderIn(FolderHandle folder, const char* name) override {
        Changed();
        if (!IsSingleName(name)) return win32err::kInvalidName;
        return mkdirat(static_cast<int>(folder), name, 0777) == 0 ? win32err::kSuccess
                                                                  : Win32Error(errno);
    }

    uint32_t RemoveFolderIn(FolderHandle folder, const char* name) override {
        Changed();
        if (!IsSingleName(name)) return win32err::kInvalidName;
        if (unlinkat(static_cast<int>(folder), name, AT_REMOVEDIR) == 0) {
            keptFolders.Removed();
            return win32err::kSuccess;
        }
        return errno == ENOTDIR ? kNotAFolder : Win32Error(errno);
    }

    uint32_t CreateIn(FolderHandle folder, const char* name, uint32_t access, uint32_t /*flags*/,
                      FileHandle* out) override {
        *out = kInvalidFile;
        Changed();
        if (!IsSingleName(name)) return win32err::kInvalidName;
        bool truncate = false;
        bool valid = false;
        const int oflags = OpenFlags(access, kCreateNew, &truncate, &valid) | O_NOFOLLOW;
        if (!valid) return win32err::kInvalidParameter;
        const int fd = openat(static_cast<int>(folder), name, oflags, 0666);
        if (fd < 0) return errno == EEXIST ? win32err::kFileExists : Win32Error(errno);
        const uint32_t result = PrepareOpened(fd, kShareNone, oflags, false);
        if (result != win32err::kSuccess) {
            close(fd);
            return result;
        }
#ifdef __linux__
        dev_t device = 0;
        if (keptFolders.DeviceOf(static_cast<int>(folder), nullptr, &device)) {
            std::lock_guard<std::mutex> lock(pendingLock_);
            createdOn[PlaceOf(fd)] = {fd + 1, device};
        }
#endif
        *out = fd;
        return win32err::kSuccess;
    }

    uint32_t SetEnd(FileHandle file) override {
        const int fd = static_cast<int>(file);
        const off_t at = lseek(fd, 0, SEEK_CUR);
        if (at < 0 || ftruncate(fd, at) != 0) return TransferError(errno, file);
        return win32err::kSuccess;
    }

    uint32_t SetCurrentFolder(const char* path) override {
        std::string native = NativePath(path);
        if (chdir(native.c_str()) == 0) return win32err::kSuccess;
        int error = errno;
        struct stat info;
        if (error == ENOTDIR && stat(native.c_str(), &info) == 0) return kNotAFolder;
        return Win32ErrorForPath(error, WithoutTrailingSlashes(native).c_str());
    }

    uint32_t ModulePath(char* buffer, uint32_t size) override {
        if (size == 0) return 0;
        std::string path = posix::WindowsStylePath(ExecutableLink("/proc/self/exe"));
        if (path.empty()) return 0;
        // Like GetModuleFileNameA: a long path is cut to size - 1 bytes and
        // the full size is returned.
        uint32_t copied = path.size() < size ? static_cast<uint32_t>(path.size()) : size - 1;
        memcpy(buffer, path.data(), copied);
        buffer[copied] = '\0';
        return path.size() < size ? copied : size;
    }

    uint32_t AnsiCodePage() override { return posix::CodePageOfEnvironment(); }

    uint32_t InsideCodePage(uint32_t /*codePage*/) override { return kUtf8CodePage; }

    // Without a conversion (UTF-8 already, code page 0, or one iconv does not
    // know) the bytes are taken as they are.
    void ConvertToInside(uint32_t codePage, const char* text, char* buffer,
                         uint32_t size) override {
        std::string converted;
        posix::TextConverter converter;
        if (codePage != 0 && codePage != kUtf8CodePage) {
            converter.Select(posix::CodePageName(codePage), "UTF-8", false);
        }
        converter.Convert(text, strlen(text), &converted);
        posix::CopyUtf8Cut(converted, buffer, size);
    }

    uint32_t LoadText(uint32_t id, TextLanguage language, char* buffer, uint32_t size) override {
        if (size == 0) return 0;
        buffer[0] = '\0';
        const char* text = FindBuiltinText(language, id);
        if (text == nullptr) return 0;
        posix::CopyUtf8Cut(text, buffer, size);
        return static_cast<uint32_t>(strlen(buffer));
    }

    void PathForDisplay(const char* path, char* buffer, uint32_t size) override {
        posix::CopyUtf8Cut(path[0] != '\0' ? NativePath(path) : std::string(), buffer, size);
    }

    uint32_t Milliseconds() override {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u +
                      static_cast<uint64_t>(now.tv_nsec) / 1000000u;
        return static_cast<uint32_t>(ms);
    }

    void Sleep(uint32_t milliseconds) override {
        struct timespec rest;
        rest.tv_sec = milliseconds / 1000;
        rest.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
        while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
        }
    }

    uint32_t RegistryValue(RegistryRoot root, const char* key, const char* name, char* buffer,
                           uint32_t size) override {
        const char* file = Environment("PKX_REGISTRY");
        std::string bytes;
        if (file == nullptr || !posix::ReadWholeFile(NativePath(file), &bytes)) {
            return win32err::kFileNotFound;
        }
        return posix::FindRegistryValue(bytes, root, key, name, buffer, size);
    }

    uint32_t IniValue(const char* file, const char* section, const char* key, char* buffer,
                      uint32_t size) override {
        if (size > 0) buffer[0] = '\0';
        std::string bytes;
        if (file == nullptr || !posix::ReadWholeFile(IniPath(file), &bytes)) return 0;
        return posix::FindIniValue(bytes, section, key, buffer, size);
    }

    bool SpecialFolderPath(SpecialFolder folder, char* buffer, uint32_t size) override {
        std::string native = SpecialFolderNative(folder);
        if (native.empty()) return false;
        return CopyOut(posix::WindowsStylePath(WithoutTrailingSlashes(native)), buffer, size) > 0;
    }

    uint32_t EnumerateProcesses(ProcessVisitor& visitor) override {
        DIR* proc = opendir("/proc");
        if (proc == nullptr) return Win32Error(errno);
        while (struct dirent* entry = readdir(proc)) {
            if (!IsProcessId(entry->d_name)) continue;
            std::string path = ProcessExecutable(entry->d_name);
            if (path.empty()) continue;  // ended while we looked
            if (!visitor.Visit(posix::WindowsStylePath(path).c_str())) break;
        }
        closedir(proc);
        return win32err::kSuccess;
    }

    bool FindTopWindow(const char* /*title*/, const char* /*className*/) override {
        return false;  // no top-level windows to find
    }

    bool RunsElevated() override { return geteuid() == 0; }

    uint32_t ProbeFolderWrite(const char* folder) override {
        const std::string native = NativePath(folder);
        if (access(native.c_str(), W_OK | X_OK) == 0) return win32err::kSuccess;
        return Win32ErrorForPath(errno, WithoutTrailingSlashes(native).c_str());
    }

  private:
    // The folder `below` opened from the installation folder in one call,
    // kept when there is room; -1 when that call cannot say (Walk then does).
    static int OpenBelowKeptRoot(const std::string& root, const char* below) {
        int at = keptFolders.Take(root.c_str(), "");
        const bool kept = at >= 0;
        if (!kept) at = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (at < 0) return -1;
        const int fd = OpenBelowAtOnce(at, below);
        if (kept) {
            keptFolders.Release(at);
        } else if (!keptFolders.Keep(at, root.c_str(), "", false)) {
            close(at);
        }
        if (fd >= 0) keptFolders.Keep(fd, root.c_str(), below, true);
        return fd;
    }

    // Opens `root`, then each folder of `below` from the one before, never
    // through a link; the exact code of the first step that fails.
    static uint32_t Walk(const std::string& root, const char* below, int* out) {
        int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return Win32ErrorForPath(errno, WithoutTrailingSlashes(root).c_str());
        uint32_t error = win32err::kSuccess;
        for (const char* at = below; *at != '\0' && error == 0;) {
            const size_t length = strcspn(at, "\\/");
            char name[NAME_MAX + 1];
            if (length > NAME_MAX) {
                error = win32err::kFilenameTooLong;
                break;
            }
            memcpy(name, at, length);
            name[length] = '\0';
            error = Descend(&fd, name);
            at += length + (at[length] != '\0' ? 1 : 0);
        }
        if (error != win32err::kSuccess) {
            close(fd);
            return error;
        }
        *out = fd;
        return win32err::kSuccess;
    }

    // A change after which a file system flushed before needs flushing again.
    void Changed() { changes_.fetch_add(1); }

#ifndef __linux__
    uint32_t WaitForPending() {
        std::lock_guard<std::mutex> lock(pendingLock_);
        uint32_t result = win32err::kSuccess;
        for (uint32_t i = 0; i < pendingCount_; ++i) {
            if (fsync(pending_[i]) != 0 && result == 0) result = Win32Error(errno);
            close(pending_[i]);
        }
        pendingCount_ = 0;
        return result;
    }
#endif

    // The lock comes before fstat, so that a record of what fstat found
    // holds. A file made by O_CREAT | O_EXCL is a new regular one: its kind
    // needs no asking. CreateFileA opens no folder without backup semantics.
    static uint32_t PrepareOpened(int fd, uint32_t share, int oflags, bool truncate) {
        struct stat info;
        const int lock = LockFor(share);
        if (flock(fd, lock) != 0) {
            const int error = errno;
            if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) return win32err::kAccessDenied;
            return error == EWOULDBLOCK ? win32err::kSharingViolation : Win32Error(error);
        }
        const bool created = (oflags & O_EXCL) != 0;
        if (!created && fstat(fd, &info) != 0) return Win32Error(errno);
        if (!created && S_ISDIR(info.st_mode)) return win32err::kAccessDenied;
        // Truncate only once the sharing check passed, as Windows does.
        if (truncate && ftruncate(fd, 0) != 0) return Win32Error(errno);
        const bool kept = !created && (oflags & O_ACCMODE) == O_RDONLY && (lock & LOCK_EX) != 0;
        statRecords.Set(fd, kept ? &info : nullptr);
        statRecords.AtStart(fd, created || S_ISREG(info.st_mode));
        return win32err::kSuccess;
    }

    // A descriptor of a file held alone, for reading, with the records of
    // PrepareOpened; false when it is no regular file.
    static bool RecordReading(int fd) {
        struct stat info;
        if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return false;
        statRecords.Set(fd, &info);
        statRecords.AtStart(fd, true);
        return true;
    }

    bool AnyEntryMatches(const std::string& folder, const std::string& pattern) {
        DIR* dir = opendir(folder.c_str());
        if (dir == nullptr) return false;
        bool found = false;
        while (struct dirent* entry = readdir(dir)) {
            if (posix::MatchesPattern(pattern.c_str(), entry->d_name, kUtf8CodePage)) {
                found = true;
                break;
            }
        }
        closedir(dir);
        return found;
    }

    // GetPrivateProfileStringA looks for a bare file name in the Windows folder.
    static std::string IniPath(const char* file) {
        if (strpbrk(file, "\\/") != nullptr) return NativePath(file);
        return WithoutTrailingSlashes(SpecialFolderNative(SpecialFolder::kWindows)) + "/" + file;
    }

    std::mutex pendingLock_;
    std::atomic<uint32_t> changes_{0};
#ifndef __linux__
    int pending_[kPendingFlushLimit] = {};
    uint32_t pendingCount_ = 0;
#else
    int sentinel_ = -1;
    dev_t sentinelDevice_ = 0;
    mode_t modeAsMade_ = 0;  // of the first file CreateIn made (0: not known)
    dev_t flushedDevice_ = 0;
    uint32_t flushedAt_ = 0xFFFFFFFFu;
#endif
};

// Constant-initialised (constant member initialisers), so no thread can see
// it unconstructed.
PosixPlatform g_native;

// A thread's own platform (ThreadPlatform); none in the updater.
thread_local Platform* t_bound = nullptr;

}  // namespace

Platform& NativePlatform() { return g_native; }

Platform* ThreadBoundPlatform() { return t_bound; }

void BindThreadPlatform(Platform* platform) { t_bound = platform; }

}  // namespace pkx
