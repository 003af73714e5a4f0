#include "tests/win32_gui/test_installation.h"

#include <windows.h>

#include "package/writer/delta_encoder.h"
#include "tests/test_support.h"
#include "tests/win32_gui/driver_options.h"

namespace pkx::gui {

namespace {

bool RemoveTree(const std::string& folder) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = found.cFileName;
            if (name == "." || name == "..") continue;
            const std::string path = folder + "\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(path);
            } else {
                SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(path.c_str());
            }
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    return RemoveDirectoryA(folder.c_str()) != 0;
}

Bytes ReadStub() {
    static const std::string stub = test::ReadFile(Options().updater).value_or("");
    return ToBytes(stub);
}

}  // namespace

std::string FreshFolder(const std::string& name) {
    return FreshFolderAt(Options().work + "\\" + name);
}

std::string FreshFolderAt(const std::string& folder) {
    RemoveTree(folder);
    test::MakeFolders(folder);
    return folder;
}

Files AppVersion1() {
    return {{"app.exe", Pattern(6000, 1)},
            {"data\\lib.dll", Pattern(3000, 2)},
            {"old.txt", "obsolete\r\n"},
            {"keep.txt", "unchanged\r\n"}};
}

Files AppVersion2() {
    std::string app = Pattern(6000, 1);
    app.replace(1000, 200, Pattern(200, 10));
    app += Pattern(500, 11);
    return {{"app.exe", app},
            {"data\\lib.dll", Pattern(3500, 3)},
            {"new.txt", "added in 2.0\r\n"},
            {"keep.txt", "unchanged\r\n"}};
}

Files WithBackups(const Files& after, const Files& before, const std::string& label) {
    Files files = after;
    for (const auto& [name, content] : before) {
        const auto found = after.find(name);
        if (found == after.end() || found->second != content) {
            files[name + "." + label + ".old"] = content;
        }
    }
    return files;
}

PackageModel PackageBetween(const Files& before, const Files& after, const std::string& folder,
                            const std::string& oldLabel, const std::string& newLabel) {
    PackageModel model;
    model.title = "GuiApp";
    model.oldVersionLabel = oldLabel;
    model.newVersionLabel = newLabel;
    model.rightsText = "(c) pkx GUI tests";
    model.hasNewCheckValues = 1;
    if (!folder.empty()) model.folderSources.push_back(FixedSource(0xFF, folder));
    for (const auto& [name, content] : after) {
        const auto old = before.find(name);
        if (old == before.end()) {
            model.adds.push_back({name, packwriter::Md5CheckValue(ToBytes(content)),
                                  FileTime{0x5A5A0000u, 0x01D20000u}, ToBytes(content)});
        } else if (old->second != content) {
            packwriter::UpdateRecordModel record;
            record.name = name;
            record.oldCheckValue = packwriter::Md5CheckValue(ToBytes(old->second));
            record.newCheckValue = packwriter::Md5CheckValue(ToBytes(content));
            record.writeTime = FileTime{0x5A5A0000u, 0x01D20000u};
            record.data =
                packwriter::EncodeDeltaStream(ToBytes(old->second), ToBytes(content), {256});
            model.updates.push_back(record);
        }
    }
    for (const auto& [name, content] : before) {
        if (after.count(name) == 0) {
            model.deletes.push_back({name, packwriter::Md5CheckValue(ToBytes(content))});
        }
    }
    return model;
}

packwriter::FolderSourceModel PromptSource() { return {0, 0, "", "", "", {}}; }

packwriter::FolderSourceModel FixedSource(uint8_t folderIndex, const std::string& path) {
    return {3, folderIndex, path, "", "", {}};
}

packwriter::FolderSourceModel RegistrySource(uint8_t root, const std::string& key,
                                             const std::string& value) {
    return {1, root, key, value, "", {}};
}

packwriter::FolderSourceModel IniSource(uint8_t folderIndex, const std::string& file,
                                        const std::string& section, const std::string& key) {
    return {2, folderIndex, file, section, key, {}};
}

bool WriteUpdater(const std::string& path, const std::vector<PackageModel>& packages,
                  std::string* error) {
    std::vector<Bytes> built;
    for (const PackageModel& model : packages) {
        Bytes bytes;
        if (!packwriter::BuildPackage(model, &bytes, nullptr, error)) return false;
        built.push_back(std::move(bytes));
    }
    return WriteUpdaterBytes(path, built, error);
}

bool WriteUpdaterBytes(const std::string& path, const std::vector<Bytes>& packages,
                       std::string* error) {
    Bytes payload;
    if (packages.size() == 1) {
        payload = packages[0];
    } else if (!packwriter::BuildContainer(packages, &payload, {}, error)) {
        return false;
    }
    Bytes file;
    if (!packwriter::BuildSelfExtracting(ReadStub(), payload, &file, error)) return false;
    if (packwriter::WriteFileBytes(path.c_str(), file) != 0) {
        *error = "cannot write " + path;
        return false;
    }
    return true;
}

}  // namespace pkx::gui
