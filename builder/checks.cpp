#include "builder/checks.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <system_error>

#include "builder/paths.h"
#include "builder/proof_platform.h"
#include "builder/text.h"
#include "package/format.h"

namespace pkx::builder {

namespace fs = std::filesystem;

namespace {

// The names Windows keeps for devices, with or without an extension.
const char* const kDeviceNames[] = {"CON",  "PRN",  "AUX",  "NUL",  "COM1", "COM2", "COM3", "COM4",
                                    "COM5", "COM6", "COM7", "COM8", "COM9", "LPT1", "LPT2", "LPT3",
                                    "LPT4", "LPT5", "LPT6", "LPT7", "LPT8", "LPT9"};

std::string Upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

bool IsDeviceName(const std::string& part) {
    std::string base = Upper(part.substr(0, part.find('.')));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    for (const char* device : kDeviceNames) {
        if (base == device) return true;
    }
    return false;
}

std::string ControlCharacter(unsigned char byte) {
    char text[8];
    std::snprintf(text, sizeof text, "\\x%02X", byte);
    return text;
}

// One folder or file name of a path.
std::string PartProblem(const std::string& part) {
    if (part.empty()) return "has an empty folder name";
    if (part == "..") return "leads out of the installation folder (\"..\")";
    if (part == ".") return "holds the folder name \".\"";
    for (const char c : part) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20) return "holds a control character (" + ControlCharacter(byte) + ")";
        if (std::strchr("<>:\"/|?*", c) != nullptr) {
            return std::string("holds '") + c + "', which Windows does not allow in names";
        }
    }
    if (part.back() == '.' || part.back() == ' ') {
        return "ends with a dot or a space, which Windows drops from names";
    }
    if (IsDeviceName(part)) {
        return "is the device " + Upper(part.substr(0, part.find('.'))) + " on Windows";
    }
    return std::string();
}

// Package bytes as quoted text for a message.
std::string Shown(const std::string& bytes, std::optional<uint32_t> codePage) {
    return "\"" + Readable(bytes, codePage) + "\"";
}

struct BackupOwner {
    const BackupNames* package;
    std::string name;
};

std::string PathSourceWarning(const packwriter::FolderSourceModel& source, size_t number, bool last,
                              std::optional<uint32_t> codePage) {
    std::string text = "folder source " + std::to_string(number) + " (path " +
                       Shown(source.text1, codePage) +
                       ") is taken whether or not that folder exists: the updater does not look";
    if (!last)
        return text +
               "; the sources after it are tried only when its special folder "
               "is unknown";
    return text +
           ", and no source follows it: an installation elsewhere is not found, the "
           "update stops at its first missing old file or adds files to a new folder; a "
           "registry or INI source before it can find a moved installation";
}

// The first control character of the source's texts, if any.
std::optional<std::string> ControlText(const packwriter::FolderSourceModel& source) {
    std::vector<const std::string*> texts = {&source.text1, &source.text2, &source.text3};
    for (const packwriter::LookupRecordModel& step : source.lookups) {
        texts.insert(texts.end(), {&step.text1, &step.text2, &step.text3});
    }
    for (const std::string* text : texts) {
        for (const char c : *text) {
            if (static_cast<unsigned char>(c) < 0x20) return *text;
        }
    }
    return std::nullopt;
}

}  // namespace

std::string NameProblem(const std::string& name) {
    if (name.empty()) return "is empty";
    if (name[0] == '\\') return "is not relative to the installation folder";
    if (name.size() >= 2 && name[1] == ':') {
        return "names the drive " + name.substr(0, 2) +
               " and is not relative to the installation folder";
    }
    for (size_t start = 0;;) {
        const size_t end = name.find('\\', start);
        const std::string problem = PartProblem(name.substr(start, end - start));
        if (!problem.empty()) return problem;
        if (end == std::string::npos) return std::string();
        start = end + 1;
    }
}

bool CheckFolderNames(const FolderListing& listing, std::string* error) {
    for (const FolderFile& file : listing.files) {
        const std::string problem = NameProblem(file.name);
        if (problem.empty()) continue;
        *error = "in " + listing.root + ", the name \"" + Printable(file.name) + "\" " + problem;
        return false;
    }
    return true;
}

bool CheckBackupNames(const std::vector<BackupNames>& packages,
                      const std::vector<std::string>& present,
                      std::optional<uint32_t> namesCodePage, std::string* error) {
    const auto shown = [namesCodePage](const std::string& bytes) {
        return Shown(bytes, namesCodePage);
    };
    std::set<std::string> presentKeys;
    for (const std::string& name : present) presentKeys.insert(FoldCase(name));
    std::map<std::string, BackupOwner> taken;
    for (const BackupNames& package : packages) {
        for (const std::string& name : package.records) {
            std::string backup;
            if (!UpdaterBackupName(name, package.label, namesCodePage, &backup)) {
                *error = "the backup name of " + shown(name) + " with the old version label " +
                         shown(package.label) + " does not fit the updater's 259-byte paths";
                return false;
            }
            const std::string key = FoldCase(backup);
            if (presentKeys.count(key) != 0) {
                *error = shown(backup) + " is the name the updater gives the backup of " +
                         shown(name) + " (old version label " + shown(package.label) +
                         "): it could not move that file aside; rename or remove " + shown(backup);
                return false;
            }
            const auto [at, added] = taken.emplace(key, BackupOwner{&package, name});
            if (added) continue;
            const BackupOwner& other = at->second;
            const bool samePackage = other.package == &package;
            *error =
                (samePackage ? "in the package from " + package.folder + ", " + shown(other.name)
                             : shown(other.name) + " (from " + other.package->folder + ")") +
                " and " + shown(name) + (samePackage ? "" : " (from " + package.folder + ")") +
                " get the same backup name " + shown(backup) +
                ": the updater writes _ for each of / : , ; * ? \" < > |" +
                (samePackage ? "; rename one of them" : "; give the old versions different labels");
            return false;
        }
    }
    return true;
}

bool CheckOutputPlace(const std::string& output, const std::vector<std::string>& folders,
                      std::string* error) {
    std::error_code code;
    const fs::path file = fs::weakly_canonical(fs::absolute(FsPath(output), code), code);
    for (const std::string& folder : folders) {
        const fs::path root = fs::weakly_canonical(fs::absolute(FsPath(folder), code), code);
        const fs::path relative = file.lexically_relative(root);
        if (relative.empty() || *relative.begin() == "..") continue;
        *error = "the output " + output + " is inside " + folder +
                 ": the next updater built from that folder would carry it; write it elsewhere";
        return false;
    }
    return true;
}

std::vector<std::string> ManifestWarnings(const Manifest& manifest) {
    std::vector<std::string> warnings;
    const std::vector<packwriter::FolderSourceModel>& sources = manifest.folderSources;
    for (size_t i = 0; i < sources.size(); ++i) {
        if (sources[i].kind == kSourceFixedPath) {
            warnings.push_back(
                PathSourceWarning(sources[i], i + 1, i + 1 == sources.size(), manifest.codePage));
        }
        const std::optional<std::string> control = ControlText(sources[i]);
        if (control.has_value()) {
            warnings.push_back("folder source " + std::to_string(i + 1) +
                               " holds a control character: " + Shown(*control, manifest.codePage) +
                               "; in a double-quoted TOML string a backslash starts an escape "
                               "(\\n, \\t): write Windows paths in single quotes, "
                               "'C:\\new\\tools'");
        }
    }
    return warnings;
}

}  // namespace pkx::builder
