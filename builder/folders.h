// The files of an old or new folder: names as the package writes them, and
// the contents and write times the records are made from.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "package/writer/package_writer.h"
#include "platform/platform.h"

namespace pkx::builder {

// The format addresses old files with signed 32-bit offsets.
inline constexpr uint64_t kLargestFile = 0x7FFFFFFF;

struct FolderFile {
    std::string name;  // relative, backslashes, bytes as on disk
    std::string key;   // `name` with ASCII letters in lower case: one file on Windows
    std::string path;  // the file on this system
    uint64_t size = 0;
};

// Files sorted by name, bytewise. Folders are not listed: the updater makes
// the folders of the files it adds.
struct FolderListing {
    std::string root;
    std::vector<FolderFile> files;
};

// Lists every regular file below `folder`. Refuses files of 2 GiB or more,
// names holding a backslash (the package's separator), names that differ only
// in letter case (one file on Windows), links to folders and special files.
bool ScanFolder(const std::string& folder, FolderListing* listing, std::string* error);

// One file's content and last-write time (as the updater reads it, through
// the platform layer). `onChunk` (may be empty) is told of each piece read.
struct FileData {
    packwriter::Bytes content;
    FileTime writeTime;
};
bool ReadFolderFile(const FolderFile& file, FileData* data, std::string* error,
                    const std::function<void(uint64_t bytes)>& onChunk = {});

// The folder's own name, for default titles and labels.
std::string FolderName(const std::string& folder);

// `name` with ASCII letters in lower case.
std::string FoldCase(const std::string& name);

}  // namespace pkx::builder
