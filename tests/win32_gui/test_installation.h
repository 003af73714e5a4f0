// Installations and self-extracting updaters for the GUI tests: real
// packages built with the package writer, pkxupdate.exe as the stub.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "package/writer/package_writer.h"

namespace pkx::gui {

using packwriter::Bytes;
using packwriter::PackageModel;
// The files of an installation: relative name (backslashes) to contents.
using Files = std::map<std::string, std::string>;

// An empty folder of its own below the work folder (what was there is removed).
std::string FreshFolder(const std::string& name);
// The same for a folder anywhere; returns `folder`.
std::string FreshFolderAt(const std::string& folder);
bool PutFiles(const std::string& folder, const Files& files);
// The files below `folder`, folders left out.
Files FilesIn(const std::string& folder);
// Empty when equal; else which names are missing, extra or different.
std::string Difference(const Files& actual, const Files& expected);

// `size` reproducible bytes; different seeds give unrelated contents.
std::string Pattern(size_t size, uint32_t seed);

// Version 1.0 and 2.0 of the test application: app.exe and data\lib.dll
// change, new.txt is added, old.txt deleted, keep.txt stays.
Files AppVersion1();
Files AppVersion2();
// `files` and the backups a run from label `label` leaves of `before`'s
// files that `after` changes or removes.
Files WithBackups(const Files& after, const Files& before, const std::string& label);

// A version 150 package taking `before` to `after` (MD5 check mode), titled
// "GuiApp", found at the fixed path `folder` (no source when empty).
PackageModel PackageBetween(const Files& before, const Files& after, const std::string& folder,
                            const std::string& oldLabel = "1.0",
                            const std::string& newLabel = "2.0");

// Folder sources.
packwriter::FolderSourceModel PromptSource();
packwriter::FolderSourceModel FixedSource(uint8_t folderIndex, const std::string& path);
packwriter::FolderSourceModel RegistrySource(uint8_t root, const std::string& key,
                                             const std::string& value);
packwriter::FolderSourceModel IniSource(uint8_t folderIndex, const std::string& file,
                                        const std::string& section, const std::string& key);

// Writes the updater: the stub followed by one package or, for several, a
// "LUMP" container. False, with the reason in `error`, when it cannot.
bool WriteUpdater(const std::string& path, const std::vector<PackageModel>& packages,
                  std::string* error);
// The same with packages already serialized (patched ones, for one).
bool WriteUpdaterBytes(const std::string& path, const std::vector<Bytes>& packages,
                       std::string* error);

inline Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

}  // namespace pkx::gui
