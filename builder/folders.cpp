#include "builder/folders.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <system_error>

#include "builder/paths.h"
#include "support/binary_file.h"

#ifdef _WIN32
#include "platform/win32/builder_system.h"
#endif

namespace pkx::builder {

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kReadChunk = 1u << 20;

#ifndef _WIN32
std::string RelativeName(const fs::path& relative, std::string* error) {
    std::string name;
    for (const fs::path& part : relative) {
        const std::string piece = Utf8(part);
        if (piece.find('\\') != std::string::npos) {
            *error = "the name " + Utf8(relative) +
                     " holds a backslash, which the package uses between folders";
            return std::string();
        }
        name += (name.empty() ? "" : "\\") + piece;
    }
    return name;
}

// Adds one directory entry; false with a reason for what cannot be packed.
bool AddEntry(const fs::directory_entry& entry, const fs::path& root, FolderListing* listing,
              std::string* error) {
    std::error_code code;
    const fs::file_status link = entry.symlink_status(code);
    if (!code && fs::is_directory(link)) return true;
    const fs::file_status target = entry.status(code);
    if (code || !fs::is_regular_file(target)) {
        *error = Utf8(entry.path()) + (fs::is_directory(target)
                                           ? " is a link to a folder, which is not followed"
                                           : " is not a regular file");
        return false;
    }
    const uint64_t size = fs::file_size(entry.path(), code);
    if (code) {
        *error = "cannot read the size of " + Utf8(entry.path()) + ": " + code.message();
        return false;
    }
    if (size > kLargestFile) {
        *error = Utf8(entry.path()) + " is 2 GiB or larger; packages hold smaller files only";
        return false;
    }
    FolderFile file;
    file.name = RelativeName(entry.path().lexically_relative(root), error);
    if (file.name.empty()) return false;
    file.key = FoldCase(file.name);
    file.path = Utf8(entry.path());
    file.size = size;
    listing->files.push_back(std::move(file));
    return true;
}

#endif

bool RefuseCaseTwins(const FolderListing& listing, std::string* error) {
    std::map<std::string, const FolderFile*> seen;
    for (const FolderFile& file : listing.files) {
        const auto [at, added] = seen.emplace(file.key, &file);
        if (!added) {
            *error = "in " + listing.root + ", " + at->second->name + " and " + file.name +
                     " differ only in letter case: on Windows they are one file";
            return false;
        }
    }
    return true;
}

}  // namespace

std::string FoldCase(const std::string& name) {
    std::string folded = name;
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return folded;
}

std::string FolderName(const std::string& folder) {
    std::error_code code;
    fs::path path = fs::absolute(FsPath(folder), code).lexically_normal();
    if (!path.has_filename()) path = path.parent_path();
    return Utf8(path.filename());
}

#ifdef _WIN32
// The files below `path` (`name` its name below the root, empty for the
// root), walked through the system itself: the C runtime's listing stops at
// MAX_PATH.
bool WalkFolder(const std::string& path, const std::string& name, FolderListing* listing,
                std::string* error) {
    std::vector<win32::FolderEntry> entries;
    const uint32_t listed = win32::ListFolder(path, &entries);
    if (listed != 0) {
        *error = name.empty()
                     ? path + " is not a readable folder"
                     : "cannot list " + path + " (system error " + std::to_string(listed) + ")";
        return false;
    }
    for (const win32::FolderEntry& entry : entries) {
        const std::string entryPath = path + "\\" + entry.name;
        const std::string entryName = name.empty() ? entry.name : name + "\\" + entry.name;
        if (entry.folder && entry.link) {
            *error = entryPath + " is a link to a folder, which is not followed";
            return false;
        }
        if (entry.folder) {
            if (!WalkFolder(entryPath, entryName, listing, error)) return false;
            continue;
        }
        if (entry.size > kLargestFile) {
            *error = entryPath + " is 2 GiB or larger; packages hold smaller files only";
            return false;
        }
        listing->files.push_back({entryName, FoldCase(entryName), entryPath, entry.size});
    }
    return true;
}
#endif

bool ScanFolder(const std::string& folder, FolderListing* listing, std::string* error) {
    listing->root = folder;
    listing->files.clear();
#ifdef _WIN32
    std::string root = folder;
    while (root.size() > 1 && (root.back() == '\\' || root.back() == '/')) root.pop_back();
    if (!WalkFolder(root, std::string(), listing, error)) return false;
#else
    std::error_code code;
    if (!fs::is_directory(FsPath(folder), code)) {
        *error = folder + " is not a readable folder";
        return false;
    }
    const fs::path root = FsPath(folder);
    fs::recursive_directory_iterator it(root, code);
    for (; !code && it != fs::recursive_directory_iterator(); it.increment(code)) {
        if (!AddEntry(*it, root, listing, error)) return false;
    }
    if (code) {
        *error = "cannot list " + folder + ": " + code.message();
        return false;
    }
#endif
    std::sort(listing->files.begin(), listing->files.end(),
              [](const FolderFile& a, const FolderFile& b) { return a.name < b.name; });
    return RefuseCaseTwins(*listing, error);
}

bool ReadFolderFile(const FolderFile& file, FileData* data, std::string* error,
                    const std::function<void(uint64_t bytes)>& onChunk) {
    BinaryFile input;
    const uint32_t opened = input.OpenRead(file.path.c_str(), kShareRead, kAttributeNormal);
    if (opened != 0) {
        *error = "cannot open " + file.path + " (system error " + std::to_string(opened) + ")";
        return false;
    }
    const uint32_t size = input.Size();
    if (size == kBadPosition || size != file.size) {
        *error = file.path + " changed while the package was being built";
        return false;
    }
    if (Os().GetWriteTime(input.NativeHandle(), &data->writeTime) != 0) {
        *error = "cannot read the write time of " + file.path;
        return false;
    }
    data->content.resize(size);
    for (uint32_t done = 0; done < size;) {
        const uint32_t chunk = std::min(kReadChunk, size - done);
        if (input.Read(data->content.data() + done, chunk) != 0) {
            *error = "cannot read " + file.path;
            return false;
        }
        done += chunk;
        if (onChunk) onChunk(chunk);
    }
    return true;
}

}  // namespace pkx::builder
