#include "platform/posix/posix_errors.h"

#include <errno.h>
#include <sys/stat.h>

#include <string>

#include "platform/platform.h"

namespace pkx::posix {

namespace {

constexpr uint32_t kWriteProtect = 19;       // ERROR_WRITE_PROTECT
constexpr uint32_t kNotSameDevice = 17;      // ERROR_NOT_SAME_DEVICE
constexpr uint32_t kGenFailure = 31;         // ERROR_GEN_FAILURE
constexpr uint32_t kIoDevice = 1117;         // ERROR_IO_DEVICE
constexpr uint32_t kCantResolveName = 1921;  // ERROR_CANT_RESOLVE_FILENAME
constexpr uint32_t kNotSupported = 50;       // ERROR_NOT_SUPPORTED
constexpr uint32_t kFileTooLarge = 223;      // ERROR_FILE_TOO_LARGE

// The folder part of a native path: "" for a bare name, "/" for "/name".
std::string ParentOf(const std::string& path) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    size_t slash = trimmed.rfind('/');
    if (slash == std::string::npos) return std::string();
    return slash == 0 ? std::string("/") : trimmed.substr(0, slash);
}

}  // namespace

uint32_t Win32Error(int error) {
    using namespace win32err;
    switch (error) {
        case 0:
            return kGenFailure;  // a failure without a cause still fails
        case ENOENT:
            return kFileNotFound;
        case ENOTDIR:
            return kPathNotFound;
        case EACCES:
        case EPERM:
        case EISDIR:
            return kAccessDenied;
        case EBADF:
            return kInvalidHandle;
        case ENOMEM:
            return kNotEnoughMemory;
        case EEXIST:
            return kAlreadyExists;
        case ENOSPC:
        case EDQUOT:
            return kDiskFull;
        case ENAMETOOLONG:
            return kFilenameTooLong;
        case ENOTEMPTY:
            return kDirNotEmpty;
        case EMFILE:
        case ENFILE:
            return kTooManyOpenFiles;
        case EWOULDBLOCK:  // a lock held by another opener
        case EBUSY:
        case ETXTBSY:
            return kSharingViolation;
        case EROFS:
            return kWriteProtect;
        case EXDEV:
            return kNotSameDevice;
        case EINVAL:
            return kInvalidParameter;
        case EIO:
            return kIoDevice;
        case ELOOP:
            return kCantResolveName;
        case EFBIG:
            return kFileTooLarge;
        case EOVERFLOW:
            return kInvalidParameter;
        case ENOSYS:
        case EOPNOTSUPP:
            return kNotSupported;
        default:
            return kGenFailure;
    }
}

uint32_t NotFoundError(const char* path) {
    std::string parent = ParentOf(path);
    if (parent.empty()) return win32err::kFileNotFound;  // the current folder exists
    struct stat info;
    if (stat(parent.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        return win32err::kPathNotFound;
    }
    return win32err::kFileNotFound;
}

uint32_t Win32ErrorForPath(int error, const char* path) {
    if (error == ENOENT) return NotFoundError(path);
    return Win32Error(error);
}

}  // namespace pkx::posix
