// What the builder refuses before it builds, because the updater could never
// apply it or would do harm, and what it warns of, because it works
// otherwise than it reads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "builder/folders.h"
#include "builder/manifest.h"

namespace pkx::builder {

// Why a Windows installation cannot hold `name` (UTF-8, relative to the
// installation folder, backslashes between folders), or why it would lead
// out of that folder; empty when it is fine.
std::string NameProblem(const std::string& name);

// Refuses the first file of `listing` whose name has a problem.
bool CheckFolderNames(const FolderListing& listing, std::string* error);

// One package's names that get backups: the label and every record name,
// in package bytes.
struct BackupNames {
    std::string folder;  // the old folder, for messages
    std::string label;
    std::vector<std::string> records;
};

// Refuses a record whose backup name is taken: by a file that an
// installation holds (`present`, package bytes), or by the backup of another
// record of this or another package of the same updater. Names are compared
// as Windows does, without regard to ASCII letter case.
bool CheckBackupNames(const std::vector<BackupNames>& packages,
                      const std::vector<std::string>& present,
                      std::optional<uint32_t> namesCodePage, std::string* error);

// Refuses an output file inside one of `folders`: the next build from that
// folder would pack it.
bool CheckOutputPlace(const std::string& output, const std::vector<std::string>& folders,
                      std::string* error);

// Folder sources that work otherwise than they read.
std::vector<std::string> ManifestWarnings(const Manifest& manifest);

}  // namespace pkx::builder
