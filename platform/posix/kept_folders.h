// The folders a run opens below an installation, kept open from one
// OpenFolder to the next while KeepFolders allows: a run that comes back to
// a folder in each of its phases opens it once. A kept folder below the
// installation folder is taken again only while its path still leads to it,
// which one fstatat tells, where opening it again costs an opening and a
// closing. The installation folder itself is taken as it was found. Folders
// are known by a digest of their path: one taken for another would differ
// from what its path leads to.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <mutex>

namespace pkx::posix {

class KeptFolders {
  public:
    // Folders may be kept from Allow(true) on. Allow(false) closes the
    // installation folders; those below wait, untaken, for the next
    // Allow(true).
    void Allow(bool allow);
    // The kept descriptor of the folder `below` (as OpenFolder is given it)
    // in the installation folder `root` (native), now held by the caller, or -1.
    int Take(const char* root, const char* below);
    // Keeps `fd`, found as the folder `below` in `root`, when there is room
    // and its path is plain; true when kept, and then held by the caller when
    // `handedOut`.
    bool Keep(int fd, const char* root, const char* below, bool handedOut);
    // The caller lets go of `fd`; false when it is not kept, and the caller
    // closes it.
    bool Release(int fd);
    // The device of a kept folder that was taken again: the one open as
    // `fd`, or with -1 the one at `path` (native). False when none is known.
    bool DeviceOf(int fd, const char* path, dev_t* device);
    // A folder is gone: none that may have been at or below it is taken
    // again, since a folder made later may get its number.
    void Removed();

  private:
    struct Folder {
        uint64_t key;  // of the whole native path, without a trailing slash
        size_t rootSize;
        int fd;
        uint32_t out;  // callers holding it
        bool live;     // may be taken
        bool checked;  // below the installation folder: its path is asked when taken
        bool known;    // its device and number
        dev_t device;
        ino_t inode;
    };

    static bool StillThere(Folder& folder, const char* whole);
    void Retire(Folder& folder);
    void Drop(Folder& folder);

    std::mutex lock_;
    bool allowed_ = false;
    size_t room_ = 0;
    size_t count_ = 0;
    Folder* folders_ = nullptr;  // room for room_
};

}  // namespace pkx::posix
