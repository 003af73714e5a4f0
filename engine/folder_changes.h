// Changes to names below an installation folder, made in their folder as
// the platform opens it (Platform::OpenFolder): through no link, junction or
// other reparse point below the installation, however the names change
// while it is done. Each path is the installation folder's first `trusted`
// bytes followed by names inside it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace pkx {

// The folder of a path below the installation, opened for several changes
// in it: a move within it, then the creation of a file in it.
class FolderBelow {
  public:
    FolderBelow() = default;
    ~FolderBelow() { Close(); }
    FolderBelow(const FolderBelow&) = delete;
    FolderBelow& operator=(const FolderBelow&) = delete;

    // Opens the folder of `path` unless it is open; 0 or the platform's code.
    PKX_NODISCARD uint32_t Open(const char* path, size_t trusted);
    // `from` and `to` lie in the folder opened; `path` too. With `opened`
    // (kInvalidFile), the file moved may come open there for reading
    // (Platform::MoveIn).
    PKX_NODISCARD uint32_t Move(const char* from, const char* to,
                                FileHandle* opened = nullptr) const;
    PKX_NODISCARD uint32_t Create(const char* path, uint32_t access, uint32_t flags,
                                  FileHandle* out) const;
    void Close();

  private:
    FolderHandle handle_ = kInvalidFolder;
    size_t length_ = 0;  // of the folder's path, its separator included
};

// Lets the platform keep the folders on the way to each file for the next
// one (Platform::KeepFolders) while it lives: a run of changes in many
// folders opens each once.
class KeptFolders {
  public:
    KeptFolders() { Os().KeepFolders(true); }
    ~KeptFolders() { Os().KeepFolders(false); }
    KeptFolders(const KeptFolders&) = delete;
    KeptFolders& operator=(const KeptFolders&) = delete;
};

// A move within one folder (`to` lies beside `from`), a change of one name,
// the creation of a file (CREATE_NEW, no sharing). 0 or the platform's
// code; kStoppedOnLink when a link stands on the way.
PKX_NODISCARD uint32_t MoveBelow(const char* from, const char* to, size_t trusted);
enum class NameChange : uint8_t { kDelete, kCreateFolder, kRemoveFolder };  // an empty folder
PKX_NODISCARD uint32_t ChangeBelow(NameChange change, const char* path, size_t trusted);
PKX_NODISCARD uint32_t CreateFileBelow(const char* path, size_t trusted, uint32_t access,
                                       uint32_t flags, FileHandle* out);

// True when a link stands between the installation folder and the folder
// of `path`; the first such link, without a separator at its end, is then
// in `link` (a path buffer).
bool FindLinkOnTheWay(const char* path, size_t trusted, char* link);

}  // namespace pkx
