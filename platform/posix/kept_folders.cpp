#include "platform/posix/kept_folders.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace pkx::posix {
namespace {

constexpr rlim_t kMostKept = 8192;

// `root`, a slash and `below`, with slashes for backslashes, one for each
// run of them and none at the end: one key for every spelling that differs
// only so. Its length, or 0 when it would not fit.
size_t WholePath(const char* root, const char* below, char* whole) {
    if (strlen(root) + strlen(below) + 2 > PATH_MAX) return 0;
    size_t length = 0;
    for (const char* part : {root, "/", below}) {
        for (; *part != '\0'; ++part) {
            const char c = *part == '\\' ? '/' : *part;
            if (c != '/' || length == 0 || whole[length - 1] != '/') whole[length++] = c;
        }
    }
    while (length > 1 && whole[length - 1] == '/') --length;
    whole[length] = '\0';
    return length;
}

uint64_t KeyOf(const char* whole) {
    uint64_t hash = 0xCBF29CE484222325ull;
    for (; *whole != '\0'; ++whole) {
        hash = (hash ^ static_cast<unsigned char>(*whole)) * 0x100000001B3ull;
    }
    return hash;
}

// Half the descriptors the process may open, so that the rest of a run
// always finds its own, up to kMostKept.
size_t Room() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
    const rlim_t room = limit.rlim_cur / 2;
    return static_cast<size_t>(room < kMostKept ? room : kMostKept);
}

}  // namespace

void KeptFolders::Allow(bool allow) {
    std::lock_guard<std::mutex> lock(lock_);
    allowed_ = allow;
    if (allow && folders_ == nullptr) {
        room_ = Room();
        folders_ = static_cast<Folder*>(malloc(room_ * sizeof(Folder)));
        if (folders_ == nullptr) room_ = 0;
    }
    if (allow) return;
    // A folder below an installation waits for the next keeping (the
    // deletion of the backups after a run), when its path is asked again;
    // an installation folder is taken unasked, so it goes.
    for (size_t i = count_; i-- > 0;) {
        if (!folders_[i].checked) Retire(folders_[i]);
    }
    if (count_ == 0) {
        free(folders_);
        folders_ = nullptr;
    }
}

int KeptFolders::Take(const char* root, const char* below) {
    char whole[PATH_MAX];
    if (WholePath(root, below, whole) == 0) return -1;
    const uint64_t key = KeyOf(whole);
    const size_t rootSize = strlen(root);
    std::lock_guard<std::mutex> lock(lock_);
    if (!allowed_) return -1;
    for (size_t i = 0; i < count_; ++i) {
        Folder& folder = folders_[i];
        if (folder.key != key || folder.rootSize != rootSize || !folder.live) continue;
        if (folder.checked && !StillThere(folder, whole)) {
            Retire(folder);
            return -1;
        }
        ++folder.out;
        return folder.fd;
    }
    return -1;
}

// Whether `whole` still leads to the kept folder. What the folder is is
// asked when it is first taken: a run that opens a folder once asks nothing.
bool KeptFolders::StillThere(Folder& folder, const char* whole) {
    struct stat info;
    if (!folder.known) {
        if (fstat(folder.fd, &info) != 0) return false;
        folder.device = info.st_dev;
        folder.inode = info.st_ino;
        folder.known = true;
    }
    return fstatat(AT_FDCWD, whole, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
           info.st_ino == folder.inode && info.st_dev == folder.device;
}

bool KeptFolders::Keep(int fd, const char* root, const char* below, bool handedOut) {
    char whole[PATH_MAX];
    if (root[0] != '/' || WholePath(root, below, whole) == 0) return false;
    std::lock_guard<std::mutex> lock(lock_);
    if (!allowed_ || count_ >= room_) return false;
    folders_[count_++] = {
        KeyOf(whole), strlen(root), fd, handedOut ? 1u : 0u, true, *below != '\0', false, 0, 0};
    return true;
}

bool KeptFolders::Release(int fd) {
    std::lock_guard<std::mutex> lock(lock_);
    for (size_t i = 0; i < count_; ++i) {
        Folder& folder = folders_[i];
        if (folder.fd != fd || folder.out == 0) continue;
        if (--folder.out == 0 && !folder.live) Drop(folder);
        return true;
    }
    return false;
}

bool KeptFolders::DeviceOf(int fd, const char* path, dev_t* device) {
    char whole[PATH_MAX];
    const uint64_t key = fd < 0 && WholePath(path, "", whole) != 0 ? KeyOf(whole) : 0;
    std::lock_guard<std::mutex> lock(lock_);
    if (fd < 0 && !allowed_) return false;  // a waiting folder's path is not asked
    for (size_t i = 0; i < count_; ++i) {
        const Folder& folder = folders_[i];
        if (!folder.live || !folder.known || (fd >= 0 ? folder.fd != fd : folder.key != key)) {
            continue;
        }
        *device = folder.device;
        return true;
    }
    return false;
}

// Rare (an empty folder that a rollback removes): every folder below the
// installation folders is opened again.
void KeptFolders::Removed() {
    std::lock_guard<std::mutex> lock(lock_);
    for (size_t i = count_; i-- > 0;) {
        if (folders_[i].checked) Retire(folders_[i]);
    }
}

// No longer taken; closed once nobody holds it.
void KeptFolders::Retire(Folder& folder) {
    folder.live = false;
    if (folder.out == 0) Drop(folder);
}

void KeptFolders::Drop(Folder& folder) {
    close(folder.fd);
    folder = folders_[--count_];
}

}  // namespace pkx::posix
