#include "engine/folder_changes.h"

#include <cstring>

#include "platform/double_byte.h"
#include "support/paths.h"

namespace pkx {

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// The folder of a path, opened for changes in it, and the path's last name.
class OpenedFolder {
  public:
    OpenedFolder(const char* path, size_t trusted) {
        ParentFolder(path, folder_);
        name_ = path + std::strlen(folder_);
        if (std::strlen(folder_) < trusted) {
            error_ = win32err::kInvalidName;
            return;
        }
        error_ = Os().OpenFolder(folder_, static_cast<uint32_t>(trusted), &handle_);
    }
    ~OpenedFolder() {
        if (handle_ != kInvalidFolder) Os().CloseFolder(handle_);
    }
    OpenedFolder(const OpenedFolder&) = delete;
    OpenedFolder& operator=(const OpenedFolder&) = delete;

    uint32_t error() const { return error_; }
    FolderHandle handle() const { return handle_; }
    const char* name() const { return name_; }

  private:
    char folder_[kPathSize];
    const char* name_;
    FolderHandle handle_ = kInvalidFolder;
    uint32_t error_;
};

// What opening `folder` gives.
uint32_t OpenResult(const char* folder, size_t trusted) {
    FolderHandle handle = kInvalidFolder;
    const uint32_t r = Os().OpenFolder(folder, static_cast<uint32_t>(trusted), &handle);
    if (r == 0) Os().CloseFolder(handle);
    return r;
}

}  // namespace

uint32_t FolderBelow::Open(const char* path, size_t trusted) {
    if (handle_ != kInvalidFolder) return 0;
    char folder[kPathSize];
    ParentFolder(path, folder);
    length_ = std::strlen(folder);
    if (length_ < trusted) return win32err::kInvalidName;
    return Os().OpenFolder(folder, static_cast<uint32_t>(trusted), &handle_);
}

uint32_t FolderBelow::Move(const char* from, const char* to, FileHandle* opened) const {
    // Both names lie in the one folder opened.
    if (std::strncmp(from, to, length_) != 0) return win32err::kInvalidName;
    return Os().MoveIn(handle_, from + length_, to + length_, opened);
}

uint32_t FolderBelow::Create(const char* path, uint32_t access, uint32_t flags,
                             FileHandle* out) const {
    *out = kInvalidFile;
    return Os().CreateIn(handle_, path + length_, access, flags, out);
}

void FolderBelow::Close() {
    if (handle_ != kInvalidFolder) Os().CloseFolder(handle_);
    handle_ = kInvalidFolder;
}

uint32_t MoveBelow(const char* from, const char* to, size_t trusted) {
    FolderBelow folder;
    const uint32_t r = folder.Open(from, trusted);
    return r != 0 ? r : folder.Move(from, to);
}

uint32_t ChangeBelow(NameChange change, const char* path, size_t trusted) {
    OpenedFolder folder(path, trusted);
    if (folder.error() != 0) return folder.error();
    switch (change) {
        case NameChange::kDelete:
            return Os().DeleteIn(folder.handle(), folder.name());
        case NameChange::kCreateFolder:
            return Os().CreateFolderIn(folder.handle(), folder.name());
        case NameChange::kRemoveFolder:
            return Os().RemoveFolderIn(folder.handle(), folder.name());
    }
    return win32err::kInvalidParameter;
}

uint32_t CreateFileBelow(const char* path, size_t trusted, uint32_t access, uint32_t flags,
                         FileHandle* out) {
    *out = kInvalidFile;
    OpenedFolder folder(path, trusted);
    if (folder.error() != 0) return folder.error();
    return Os().CreateIn(folder.handle(), folder.name(), access, flags, out);
}

bool FindLinkOnTheWay(const char* path, size_t trusted, char* link) {
    char folder[kPathSize];
    ParentFolder(path, folder);
    const size_t length = std::strlen(folder);
    if (length < trusted || OpenResult(folder, trusted) != win32err::kStoppedOnLink) return false;
    // Which one: the first folder from the installation down that meets it.
    const uint32_t codePage = Os().InsideCodePage(Os().AnsiCodePage());
    for (size_t end = trusted; end < length; end += CharLength(folder + end, codePage)) {
        if (!IsSeparator(folder[end]) || end == trusted) continue;
        std::memcpy(link, folder, end);
        link[end] = '\0';
        if (OpenResult(link, trusted) == win32err::kStoppedOnLink) return true;
    }
    std::strcpy(link, folder);
    return true;
}

}  // namespace pkx
