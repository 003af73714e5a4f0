// The build manifest (docs/manifest.md): a TOML file with every package header field the
// builder does not derive from the folders. Texts are UTF-8 in the file and
// are converted here into the code page they are written in.
//
//   code_page = 1252                # title, labels, names...; absent: bytes as given
//   title = "Example"
//   old_version = "1.0"             # or one label per --old folder: ["1.0", "1.1"]
//   new_version = "2.0"
//   rights = "(c) Example"
//   password = "secret"             # only its MD5 digest is stored
//   delete_backups = true           # initial state of the "delete backups" box
//   document = "readme.txt"         # opened after a successful update
//   check_mode = "md5"              # or "date-size"
//   execution_level = "asInvoker"   # or "highestAvailable", "requireAdministrator"
//   [options]                       # skip_missing_sources, overwrite_existing_adds,
//   skip_missing_deletes = true     # skip_missing_deletes
//   [[language]]                    # code_page, font_face, font_height, texts
//   code_page = 932
//   texts = { 1000 = "..." }        # IDs 1000 to 1073, or "en" / "ja": a built-in table
//   [[folder_source]]               # kind = "registry" | "ini" | "path" | "lookup" | "ask"
//   [running_check]                 # kind = "none" | "window" | "process"
//   [[notice]]                      # code_page, before, after
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "builder/execution_level.h"
#include "package/writer/package_writer.h"
#include "platform/platform.h"

namespace pkx::builder {

inline constexpr uint32_t kLastTextId = 1073;
// The updater's font description holds 31 bytes of face name.
inline constexpr size_t kLongestFontFace = 31;

struct LanguageBlock {
    uint32_t codePage = 0;
    std::string fontFace;
    uint8_t fontHeight = 12;
    // Texts 1000 to 1073 in the block's code page; absent ones the manifest did not give.
    std::vector<std::optional<std::string>> texts;
    // The built-in table the absent texts come from (texts = "en" or "ja");
    // without one, the Japanese table for code page 932 and the English one otherwise.
    std::optional<TextLanguage> builtinTable;
    std::string where;  // "name:line" of the block, for messages
};

// Everything the manifest says; strings are already in their code pages.
struct Manifest {
    // Code page of the package's own strings and of the file names; absent:
    // they are written as the UTF-8 bytes given.
    std::optional<uint32_t> codePage;
    std::optional<std::string> title;
    std::vector<std::string> oldVersionLabels;  // none, one, or one per old folder
    std::optional<std::string> newVersionLabel;
    std::string rightsText;
    std::optional<std::string> password;
    std::optional<bool> deleteBackups;
    std::vector<LanguageBlock> languageBlocks;
    std::vector<packwriter::FolderSourceModel> folderSources;  // none: ask the user
    packwriter::RunningCheckModel runningCheck;
    std::string documentName;
    std::vector<packwriter::NoticeBlockModel> notices;
    std::optional<bool> skipMissingSources;
    std::optional<bool> overwriteExistingAdds;
    std::optional<bool> skipMissingDeletes;
    uint8_t checkMode = 0;  // 0 MD5, 1 date and size
    // The level the Windows updater's manifest requests; absent: asInvoker.
    std::optional<ExecutionLevel> executionLevel;
};

// Parses manifest text; `sourceName` prefixes the messages. False with a
// one-line message ("name:line:column: what") on the first problem.
bool ParseManifest(const std::string& text, const std::string& sourceName, Manifest* manifest,
                   std::string* error);

// Every key the parser accepts, qualified by its table: "title",
// "options.skip_missing_sources", "folder_source.step.slot", ...
std::vector<std::string> ManifestKeys();

// Reads and parses the manifest file `path`.
bool LoadManifest(const std::string& path, Manifest* manifest, std::string* error);

// `text` (UTF-8) in the package's code page; without one, ASCII text as it
// is, and false for any other.
bool PackageText(const Manifest& manifest, const std::string& text, std::string* out,
                 std::string* error);

// Sets the header fields of `model` that the manifest gives (all but the title,
// the labels and the records) for format version `version`. Refuses what that
// version cannot carry (language blocks below 120, several folder sources
// below 140, ...). Texts a language block does not give are the built-in
// ones: Japanese for code page 932, English for all others.
bool FillHeader(const Manifest& manifest, uint16_t version, packwriter::PackageModel* model,
                std::string* error);

}  // namespace pkx::builder
