#include "builder/manifest.h"

#include <toml++/toml.h>

#include <algorithm>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <utility>

#include "builder/paths.h"
#include "builder/text.h"
#include "core/display_texts.h"
#include "package/format.h"
#include "platform/posix/builtin_texts.h"

namespace pkx::builder {

namespace {

using packwriter::FolderSourceModel;
using packwriter::LookupRecordModel;
using packwriter::NoticeBlockModel;
using packwriter::PackageModel;

constexpr size_t kShortStringLimit = kShortStringMaxLength;
constexpr uint32_t kJapaneseCodePage = 932;
constexpr uint8_t kNoFolder = 0xFF;

// Names accepted for the enumerated fields.
using Choices = std::initializer_list<std::pair<const char*, int>>;
constexpr Choices kRegistryRoots = {
    {"HKCR", 0}, {"HKEY_CLASSES_ROOT", 0},  {"HKCU", 1}, {"HKEY_CURRENT_USER", 1},
    {"HKLM", 2}, {"HKEY_LOCAL_MACHINE", 2}, {"HKU", 3},  {"HKEY_USERS", 3}};
constexpr Choices kSpecialFolders = {{"windows", 0},     {"system", 1},  {"program-files", 2},
                                     {"drive-root", 3},  {"desktop", 4}, {"documents", 5},
                                     {"none", kNoFolder}};
constexpr Choices kSourceKinds = {
    {"ask", 0}, {"registry", 1}, {"ini", 2}, {"path", 3}, {"lookup", 4}};
constexpr Choices kStepKinds = {{"registry", 1}, {"ini", 2}};
constexpr Choices kCheckKinds = {{"none", 0}, {"window", 1}, {"process", 2}};
constexpr Choices kCheckModes = {{"md5", 0}, {"date-size", 1}};
constexpr Choices kBuiltinTables = {{"en", 0}, {"ja", 1}};
constexpr Choices kExecutionLevels = {
    {kExecutionLevelNames[0], 0}, {kExecutionLevelNames[1], 1}, {kExecutionLevelNames[2], 2}};

// The keys of each table of the manifest; docs/manifest.md describes each one.
using KeyList = std::initializer_list<const char*>;
constexpr KeyList kRootKeys = {"code_page",     "title",    "old_version",    "new_version",
                               "rights",        "password", "delete_backups", "document",
                               "check_mode",    "options",  "language",       "folder_source",
                               "running_check", "notice",   "execution_level"};
constexpr KeyList kOptionKeys = {"skip_missing_sources", "overwrite_existing_adds",
                                 "skip_missing_deletes"};
constexpr KeyList kLanguageKeys = {"code_page", "font_face", "font_height", "texts"};
constexpr KeyList kRegistrySourceKeys = {"kind", "root", "key", "value"};
constexpr KeyList kIniSourceKeys = {"kind", "folder", "file", "section", "key"};
constexpr KeyList kPathSourceKeys = {"kind", "folder", "path"};
constexpr KeyList kLookupSourceKeys = {"kind", "step"};
constexpr KeyList kAskSourceKeys = {"kind"};
constexpr KeyList kRegistryStepKeys = {"kind", "root", "key", "value", "slot"};
constexpr KeyList kIniStepKeys = {"kind", "folder", "file", "section", "key", "slot"};
constexpr KeyList kWindowCheckKeys = {"kind", "title", "class", "wait"};
constexpr KeyList kProcessCheckKeys = {"kind", "process", "wait"};
constexpr KeyList kNoCheckKeys = {"kind"};
constexpr KeyList kNoticeKeys = {"code_page", "before", "after"};

std::string ChoiceList(Choices choices) {
    std::string list;
    for (const auto& choice : choices)
        list += (list.empty() ? "\"" : ", \"") + std::string(choice.first) + "\"";
    return list;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// Display texts mark line breaks with the two characters backslash and n.
std::string DisplayTextLineBreaks(const std::string& text) {
    return Replace(Replace(text, "\r\n", "\n"), "\n", "\\n");
}

// Notice texts are shown as they are, with CR LF line breaks.
std::string NoticeLineBreaks(const std::string& text) {
    return Replace(Replace(text, "\r\n", "\n"), "\n", "\r\n");
}

// Bytes of the UTF-8 sequence that starts with `lead` (the text is valid).
size_t Utf8Length(unsigned char lead) {
    if (lead < 0xC0) return 1;
    if (lead < 0xE0) return 2;
    return lead < 0xF0 ? 3 : 4;
}

// The updater turns every backslash byte followed by "n" in a display text
// into a line break, also the second byte of a double-byte character (0x95
// 0x5C in code page 932). Finds such a character before an "n", if any.
bool FindHiddenLineBreak(const std::string& utf8, uint32_t codePage, std::string* character) {
    for (size_t i = 0; i < utf8.size();) {
        const size_t length = Utf8Length(static_cast<unsigned char>(utf8[i]));
        if (length > 1 && i + length < utf8.size() && utf8[i + length] == 'n') {
            std::string bytes, reason;
            if (FromUtf8(utf8.substr(i, length), codePage, &bytes, &reason) && bytes.size() > 1 &&
                bytes.back() == '\\') {
                *character = utf8.substr(i, length);
                return true;
            }
        }
        i += length;
    }
    return false;
}

std::string Slashes(std::string text) {
    for (char& c : text) {
        if (c == '/') c = '\\';
    }
    return text;
}

// Walks the TOML tree and stops at the first problem.
class ManifestParser {
  public:
    ManifestParser(std::string sourceName, Manifest* manifest)
        : sourceName_(std::move(sourceName)), manifest_(*manifest) {}

    bool Parse(const toml::table& root) {
        return Keys(root, "the manifest", kRootKeys) && CodePage(root) && Header(root) &&
               Options(root) && Languages(root) && FolderSources(root) && RunningCheck(root) &&
               Notices(root);
    }

    const std::string& error() const { return error_; }

  private:
    // --- Messages.
    std::string Where(const toml::source_region& region) const {
        return sourceName_ + ":" + std::to_string(region.begin.line) + ":" +
               std::to_string(region.begin.column);
    }
    bool Fail(const toml::node& node, const std::string& message) {
        error_ = Where(node.source()) + ": " + message;
        return false;
    }

    // --- Structure.
    bool Keys(const toml::table& table, const std::string& what, KeyList allowed) {
        for (auto&& [key, node] : table) {
            bool known = false;
            for (const char* name : allowed) known = known || key.str() == name;
            if (!known) {
                error_ = Where(key.source()) + ": unknown key '" + std::string(key.str()) +
                         "' in " + what;
                return false;
            }
        }
        return true;
    }

    bool WrongType(const toml::node& node, const char* key, const char* expected) {
        return Fail(node, std::string("'") + key + "' must be " + expected);
    }

    // Each getter leaves its output alone when the key is absent; `present` tells.
    bool String(const toml::table& table, const char* key, std::string* out,
                bool* present = nullptr) {
        const toml::node* node = table.get(key);
        if (present != nullptr) *present = node != nullptr;
        if (node == nullptr) return true;
        if (!node->is_string()) return WrongType(*node, key, "a string");
        *out = node->as_string()->get();
        return true;
    }

    bool Bool(const toml::table& table, const char* key, std::optional<bool>* out) {
        const toml::node* node = table.get(key);
        if (node == nullptr) return true;
        if (!node->is_boolean()) return WrongType(*node, key, "true or false");
        *out = node->as_boolean()->get();
        return true;
    }

    bool Integer(const toml::table& table, const char* key, int64_t lowest, int64_t highest,
                 int64_t* out, bool* present = nullptr) {
        const toml::node* node = table.get(key);
        if (present != nullptr) *present = node != nullptr;
        if (node == nullptr) return true;
        if (!node->is_integer()) return WrongType(*node, key, "an integer");
        const int64_t value = node->as_integer()->get();
        if (value < lowest || value > highest) {
            return Fail(*node, std::string("'") + key + "' must be " + std::to_string(lowest) +
                                   " to " + std::to_string(highest));
        }
        *out = value;
        return true;
    }

    bool Choice(const toml::table& table, const char* key, Choices choices, int* out,
                bool required) {
        const toml::node* node = table.get(key);
        if (node == nullptr) {
            if (!required) return true;
            return Fail(table, std::string("'") + key + "' is missing");
        }
        if (!node->is_string()) return WrongType(*node, key, "a string");
        const std::string& value = node->as_string()->get();
        for (const auto& choice : choices) {
            if (value == choice.first) {
                *out = choice.second;
                return true;
            }
        }
        return Fail(*node, std::string("'") + key + "' must be one of " + ChoiceList(choices));
    }

    bool TableArray(const toml::table& table, const char* key,
                    std::vector<const toml::table*>* tables) {
        const toml::node* node = table.get(key);
        if (node == nullptr) return true;
        const toml::array* array = node->as_array();
        if (array == nullptr) return WrongType(*node, key, "an array of tables");
        for (const toml::node& element : *array) {
            if (!element.is_table()) return WrongType(element, key, "an array of tables");
            tables->push_back(element.as_table());
        }
        return true;
    }

    bool SubTable(const toml::table& table, const char* key, const toml::table** out) {
        const toml::node* node = table.get(key);
        *out = nullptr;
        if (node == nullptr) return true;
        if (!node->is_table()) return WrongType(*node, key, "a table");
        *out = node->as_table();
        return true;
    }

    // --- Conversion into the code page a field is written in.
    bool Convert(const toml::node& node, const char* key, const std::string& utf8,
                 std::optional<uint32_t> codePage, size_t limit, std::string* out) {
        std::string reason;
        if (!codePage.has_value()) {
            if (!IsAscii(utf8)) return Fail(node, std::string("'") + key + "' " + kNeedsCodePage);
            *out = utf8;
        } else if (!FromUtf8(utf8, *codePage, out, &reason)) {
            return Fail(node, std::string("'") + key + "': " + reason);
        }
        if (out->size() > limit) {
            return Fail(node, std::string("'") + key + "' is " + std::to_string(out->size()) +
                                  " bytes long; at most " + std::to_string(limit) + " fit");
        }
        return true;
    }

    // A string field in the package's code page, at most 255 bytes.
    bool PackageString(const toml::table& table, const char* key, std::string* out,
                       bool* present = nullptr) {
        std::string utf8;
        bool given = false;
        if (!String(table, key, &utf8, &given)) return false;
        if (present != nullptr) *present = given;
        if (!given) return true;
        return Convert(*table.get(key), key, utf8, manifest_.codePage, kShortStringLimit, out);
    }

    bool RequiredPackageString(const toml::table& table, const char* key, std::string* out) {
        bool present = false;
        if (!PackageString(table, key, out, &present)) return false;
        if (!present) return Fail(table, std::string("'") + key + "' is missing");
        return true;
    }

    bool KnownCodePage(const toml::node& node, uint32_t codePage) {
        if (codePage == 0 || !IconvName(codePage).empty()) return true;
        return Fail(node,
                    "code page " + std::to_string(codePage) + " is not known to " + kConverter);
    }

    // --- Sections.
    bool CodePage(const toml::table& root) {
        int64_t value = 0;
        bool present = false;
        if (!Integer(root, "code_page", 1, 0xFFFFFFFF, &value, &present)) return false;
        if (!present) return true;
        if (!KnownCodePage(*root.get("code_page"), static_cast<uint32_t>(value))) return false;
        manifest_.codePage = static_cast<uint32_t>(value);
        return true;
    }

    bool Labels(const toml::table& root) {
        const toml::node* node = root.get("old_version");
        if (node == nullptr) return true;
        if (node->is_string()) {
            std::string label;
            if (!PackageString(root, "old_version", &label)) return false;
            manifest_.oldVersionLabels = {label};
            return true;
        }
        const toml::array* array = node->as_array();
        if (array == nullptr || array->empty()) {
            return WrongType(*node, "old_version", "a string or an array of strings");
        }
        for (const toml::node& element : *array) {
            if (!element.is_string())
                return WrongType(element, "old_version", "an array of strings");
            std::string label;
            if (!Convert(element, "old_version", element.as_string()->get(), manifest_.codePage,
                         kShortStringLimit, &label)) {
                return false;
            }
            manifest_.oldVersionLabels.push_back(label);
        }
        return true;
    }

    bool Header(const toml::table& root) {
        bool present = false;
        std::string text;
        if (!PackageString(root, "title", &text, &present)) return false;
        if (present) manifest_.title = text;
        if (!Labels(root)) return false;
        if (!PackageString(root, "new_version", &text, &present)) return false;
        if (present) manifest_.newVersionLabel = text;
        if (!PackageString(root, "rights", &manifest_.rightsText)) return false;
        if (!Password(root)) return false;
        if (!Bool(root, "delete_backups", &manifest_.deleteBackups)) return false;
        if (!PackageString(root, "document", &text, &present)) return false;
        if (present) manifest_.documentName = Slashes(text);
        int mode = 0;
        if (!Choice(root, "check_mode", kCheckModes, &mode, false)) return false;
        manifest_.checkMode = static_cast<uint8_t>(mode);
        int level = -1;
        if (!Choice(root, "execution_level", kExecutionLevels, &level, false)) return false;
        if (level >= 0) manifest_.executionLevel = static_cast<ExecutionLevel>(level);
        return true;
    }

    bool Password(const toml::table& root) {
        std::string utf8;
        bool present = false;
        if (!String(root, "password", &utf8, &present)) return false;
        if (!present) return true;
        const toml::node& node = *root.get("password");
        if (utf8.empty()) return Fail(node, "'password' is empty");
        std::string bytes;
        // The prompt accepts at most 259 bytes.
        if (!Convert(node, "password", utf8, manifest_.codePage, kPathBufferSize - 1, &bytes)) {
            return false;
        }
        manifest_.password = bytes;
        return true;
    }

    bool Options(const toml::table& root) {
        const toml::table* options = nullptr;
        if (!SubTable(root, "options", &options)) return false;
        if (options == nullptr) return true;
        return Keys(*options, "[options]", kOptionKeys) &&
               Bool(*options, "skip_missing_sources", &manifest_.skipMissingSources) &&
               Bool(*options, "overwrite_existing_adds", &manifest_.overwriteExistingAdds) &&
               Bool(*options, "skip_missing_deletes", &manifest_.skipMissingDeletes);
    }

    // --- Language blocks.
    bool Languages(const toml::table& root) {
        std::vector<const toml::table*> blocks;
        if (!TableArray(root, "language", &blocks)) return false;
        for (const toml::table* block : blocks) {
            if (!Language(*block)) return false;
        }
        return true;
    }

    bool Language(const toml::table& table) {
        if (!Keys(table, "[[language]]", kLanguageKeys)) return false;
        LanguageBlock block;
        block.where = sourceName_ + ":" + std::to_string(table.source().begin.line);
        block.texts.resize(kTextCount);
        int64_t value = 0;
        bool present = false;
        if (!Integer(table, "code_page", 0, 0xFFFFFFFF, &value, &present)) return false;
        if (!present) return Fail(table, "'code_page' is missing in [[language]]");
        block.codePage = static_cast<uint32_t>(value);
        if (!KnownCodePage(*table.get("code_page"), block.codePage)) return false;
        // Code page 0 selects nothing; its texts are in the package's code page.
        const std::optional<uint32_t> textCodePage =
            block.codePage != 0 ? std::optional<uint32_t>(block.codePage) : manifest_.codePage;

        block.fontFace = block.codePage == kJapaneseCodePage ? "MS UI Gothic" : "Arial";
        std::string face;
        if (!String(table, "font_face", &face, &present)) return false;
        if (present && !Convert(*table.get("font_face"), "font_face", face, textCodePage,
                                kLongestFontFace, &block.fontFace)) {
            return false;
        }
        value = block.fontHeight;
        if (!Integer(table, "font_height", 1, 255, &value)) return false;
        block.fontHeight = static_cast<uint8_t>(value);

        if (!BlockTexts(table, textCodePage, &block)) return false;
        manifest_.languageBlocks.push_back(std::move(block));
        return true;
    }

    // `texts` is a table of texts by ID, or the name of a built-in table.
    bool BlockTexts(const toml::table& table, std::optional<uint32_t> codePage,
                    LanguageBlock* block) {
        const toml::node* node = table.get("texts");
        if (node == nullptr) return true;
        if (node->is_table()) return Texts(*node->as_table(), codePage, block);
        if (!node->is_string()) {
            return WrongType(*node, "texts",
                             "a table of texts by ID, or \"en\" or \"ja\" for a built-in table");
        }
        int language = 0;
        if (!Choice(table, "texts", kBuiltinTables, &language, false)) return false;
        block->builtinTable = language == 0 ? TextLanguage::kEnglish : TextLanguage::kJapanese;
        return true;
    }

    bool Texts(const toml::table& texts, std::optional<uint32_t> codePage, LanguageBlock* block) {
        for (auto&& [key, node] : texts) {
            const std::string name(key.str());
            uint32_t id = 0;
            bool numeric = !name.empty() && name.size() <= 4;
            for (const char c : name) {
                numeric = numeric && c >= '0' && c <= '9';
                id = id * 10 + static_cast<uint32_t>(c - '0');
            }
            if (!numeric || id < kFirstTextId || id > kLastTextId) {
                error_ = Where(key.source()) + ": unknown text ID '" + name + "' (IDs are " +
                         std::to_string(kFirstTextId) + " to " + std::to_string(kLastTextId) + ")";
                return false;
            }
            if (!node.is_string()) return WrongType(node, name.c_str(), "a string");
            const std::string text = DisplayTextLineBreaks(node.as_string()->get());
            std::string converted, character;
            if (!Convert(node, name.c_str(), text, codePage, kShortStringLimit, &converted)) {
                return false;
            }
            if (codePage.has_value() && FindHiddenLineBreak(text, *codePage, &character)) {
                return Fail(node, "text " + name + ": the updater would read \"" + character +
                                      "n\" as a line break (its last byte is a backslash); put "
                                      "something between them");
            }
            block->texts[id - kFirstTextId] = converted;
        }
        return true;
    }

    // --- Folder sources.
    bool FolderSources(const toml::table& root) {
        std::vector<const toml::table*> sources;
        if (!TableArray(root, "folder_source", &sources)) return false;
        for (size_t i = 0; i < sources.size(); ++i) {
            FolderSourceModel source;
            if (!FolderSource(*sources[i], &source)) return false;
            // After a confirmed prompt the updater stops reading the list and
            // would take the next source's bytes for the running check.
            if (source.kind == 0 && i + 1 < sources.size()) {
                return Fail(*sources[i],
                            "the \"ask\" folder source must be the last one: after a confirmed "
                            "prompt the updater reads no further sources");
            }
            manifest_.folderSources.push_back(std::move(source));
        }
        return true;
    }

    bool Folder(const toml::table& table, uint8_t* index) {
        int folder = kNoFolder;
        if (!Choice(table, "folder", kSpecialFolders, &folder, false)) return false;
        *index = static_cast<uint8_t>(folder);
        return true;
    }

    bool Root(const toml::table& table, uint8_t* index) {
        int root = 0;
        if (!Choice(table, "root", kRegistryRoots, &root, true)) return false;
        *index = static_cast<uint8_t>(root);
        return true;
    }

    bool FolderSource(const toml::table& table, FolderSourceModel* source) {
        int kind = 0;
        if (!Choice(table, "kind", kSourceKinds, &kind, true)) return false;
        source->kind = static_cast<uint8_t>(kind);
        switch (kind) {
            case 1:
                return Keys(table, "a registry folder source", kRegistrySourceKeys) &&
                       Root(table, &source->index) &&
                       RequiredPackageString(table, "key", &source->text1) &&
                       PackageString(table, "value", &source->text2);
            case 2:
                return Keys(table, "an INI folder source", kIniSourceKeys) &&
                       Folder(table, &source->index) &&
                       RequiredPackageString(table, "file", &source->text1) &&
                       RequiredPackageString(table, "section", &source->text2) &&
                       RequiredPackageString(table, "key", &source->text3);
            case 3:
                if (!Keys(table, "a path folder source", kPathSourceKeys) ||
                    !Folder(table, &source->index) ||
                    !PackageString(table, "path", &source->text1)) {
                    return false;
                }
                source->text1 = Slashes(source->text1);
                if (source->index == kNoFolder && source->text1.empty()) {
                    return Fail(table, "a path folder source needs a 'path' or a 'folder'");
                }
                return true;
            case 4:
                return Keys(table, "a lookup folder source", kLookupSourceKeys) &&
                       Lookup(table, source);
            default:
                return Keys(table, "an \"ask\" folder source", kAskSourceKeys);
        }
    }

    bool Lookup(const toml::table& table, FolderSourceModel* source) {
        std::vector<const toml::table*> steps;
        if (!TableArray(table, "step", &steps)) return false;
        bool writesResult = false;
        for (const toml::table* step : steps) {
            LookupRecordModel record;
            if (!Step(*step, &record)) return false;
            writesResult = writesResult || record.resultSlot == 0;
            source->lookups.push_back(std::move(record));
        }
        if (!writesResult) {
            return Fail(table,
                        "a lookup needs a [[folder_source.step]] that writes slot 0, "
                        "the folder");
        }
        return true;
    }

    bool Step(const toml::table& table, LookupRecordModel* record) {
        int kind = 0;
        if (!Choice(table, "kind", kStepKinds, &kind, true)) return false;
        record->stepKind = static_cast<uint8_t>(kind);
        int64_t slot = 0;
        bool present = false;
        if (!Integer(table, "slot", 0, kLookupSlotCount - 1, &slot, &present)) return false;
        if (!present) return Fail(table, "'slot' is missing in a lookup step");
        record->resultSlot = static_cast<uint8_t>(slot);
        if (kind == 1) {
            return Keys(table, "a registry lookup step", kRegistryStepKeys) &&
                   Root(table, &record->index) &&
                   RequiredPackageString(table, "key", &record->text1) &&
                   PackageString(table, "value", &record->text2);
        }
        return Keys(table, "an INI lookup step", kIniStepKeys) && Folder(table, &record->index) &&
               RequiredPackageString(table, "file", &record->text1) &&
               RequiredPackageString(table, "section", &record->text2) &&
               RequiredPackageString(table, "key", &record->text3);
    }

    // --- Running check.
    bool RunningCheck(const toml::table& root) {
        const toml::table* table = nullptr;
        if (!SubTable(root, "running_check", &table)) return false;
        if (table == nullptr) return true;
        packwriter::RunningCheckModel& check = manifest_.runningCheck;
        int kind = 0;
        if (!Choice(*table, "kind", kCheckKinds, &kind, true)) return false;
        check.kind = static_cast<uint8_t>(kind);
        std::optional<bool> wait;
        switch (kind) {
            case 1:
                if (!Keys(*table, "a window running check", kWindowCheckKeys) ||
                    !PackageString(*table, "title", &check.windowTitle) ||
                    !PackageString(*table, "class", &check.windowClass) ||
                    !Bool(*table, "wait", &wait)) {
                    return false;
                }
                if (check.windowTitle.empty() && check.windowClass.empty()) {
                    return Fail(*table, "a window running check needs a 'title' or a 'class'");
                }
                break;
            case 2:
                if (!Keys(*table, "a process running check", kProcessCheckKeys) ||
                    !RequiredPackageString(*table, "process", &check.processName) ||
                    !Bool(*table, "wait", &wait)) {
                    return false;
                }
                if (check.processName.empty()) return Fail(*table, "'process' is empty");
                break;
            default:
                return Keys(*table, "[running_check]", kNoCheckKeys);
        }
        check.waitFlag = wait.value_or(false) ? 1 : 0;
        return true;
    }

    // --- Notices.
    bool Notices(const toml::table& root) {
        std::vector<const toml::table*> notices;
        if (!TableArray(root, "notice", &notices)) return false;
        for (const toml::table* table : notices) {
            if (!Keys(*table, "[[notice]]", kNoticeKeys)) return false;
            NoticeBlockModel block;
            int64_t value = 0;
            if (!Integer(*table, "code_page", 0, 0xFFFFFFFF, &value)) return false;
            block.codePage = static_cast<uint32_t>(value);
            if (table->get("code_page") != nullptr &&
                !KnownCodePage(*table->get("code_page"), block.codePage)) {
                return false;
            }
            // Code page 0 is shown on every system; its texts are in the package's code page.
            const std::optional<uint32_t> codePage =
                block.codePage != 0 ? std::optional<uint32_t>(block.codePage) : manifest_.codePage;
            if (!NoticeText(*table, "before", codePage, &block.before) ||
                !NoticeText(*table, "after", codePage, &block.after)) {
                return false;
            }
            manifest_.notices.push_back(std::move(block));
        }
        return true;
    }

    bool NoticeText(const toml::table& table, const char* key, std::optional<uint32_t> codePage,
                    std::string* out) {
        std::string utf8;
        bool present = false;
        if (!String(table, key, &utf8, &present)) return false;
        if (!present) return true;
        // Lengths are u32 in the package; far less is ever sensible.
        constexpr size_t kLongestNotice = 1u << 24;
        return Convert(*table.get(key), key, NoticeLineBreaks(utf8), codePage, kLongestNotice, out);
    }

    std::string sourceName_;
    Manifest& manifest_;
    std::string error_;
};

bool NeedVersion(uint16_t version, uint16_t gate, const std::string& what, std::string* error) {
    if (version >= gate) return true;
    *error = what + " needs format version " + std::to_string(gate) + " or later (building " +
             std::to_string(version) + ")";
    return false;
}

// The built-in text `id` of `language` in `codePage`. The English texts are
// ASCII, the same bytes in every code page.
bool BuiltinTextFor(TextLanguage language, uint32_t codePage, uint32_t id, std::string* out,
                    std::string* error) {
    const char* text = FindBuiltinText(language, id);
    if (language == TextLanguage::kEnglish) {
        *out = text;
        return true;
    }
    std::string reason;
    if (FromUtf8(text, codePage, out, &reason)) return true;
    *error = "text " + std::to_string(id) + " of the Japanese table: " + reason;
    return false;
}

// The block's texts for `version`: given ones, else built-in ones.
bool ResolveLanguageBlock(const LanguageBlock& block, uint16_t version,
                          packwriter::LanguageBlockModel* model, std::string* error) {
    const uint32_t lastId = version >= gate::kLateTexts ? kLastTextId : kFirstLateText - 1;
    model->codePage = block.codePage;
    model->fontFace = block.fontFace;
    model->fontHeight = block.fontHeight;
    for (uint32_t id = kFirstTextId; id <= kLastTextId; ++id) {
        const std::optional<std::string>& text = block.texts[id - kFirstTextId];
        if (id > lastId) {
            if (text.has_value()) {
                return NeedVersion(version, gate::kLateTexts,
                                   block.where + ": text " + std::to_string(id), error);
            }
            continue;
        }
        if (text.has_value()) {
            model->texts.push_back(*text);
            continue;
        }
        // Without a choice: the Japanese table for code page 932, else the English one.
        const TextLanguage language = block.builtinTable.value_or(
            block.codePage == kJapaneseCodePage ? TextLanguage::kJapanese : TextLanguage::kEnglish);
        model->texts.emplace_back();
        if (!BuiltinTextFor(language, block.codePage, id, &model->texts.back(), error)) {
            return false;
        }
    }
    return true;
}

bool FillNotices(const Manifest& manifest, uint16_t version, PackageModel* model,
                 std::string* error) {
    if (manifest.notices.empty()) return true;
    if (!NeedVersion(version, gate::kRunningCheck, "a notice", error)) return false;
    if (version >= 140) {
        model->noticeBlocks = manifest.notices;
        return true;
    }
    if (manifest.notices.size() > 1) {
        return NeedVersion(version, gate::kSourceList, "more than one [[notice]]", error);
    }
    model->noticeBefore = manifest.notices[0].before;
    model->noticeAfter = manifest.notices[0].after;
    return true;
}

bool FillOptions(const Manifest& manifest, uint16_t version, PackageModel* model,
                 std::string* error) {
    const std::pair<const std::optional<bool>*, const char*> options[] = {
        {&manifest.skipMissingSources, "options.skip_missing_sources"},
        {&manifest.overwriteExistingAdds, "options.overwrite_existing_adds"},
        {&manifest.skipMissingDeletes, "options.skip_missing_deletes"}};
    // Below 120 the options are absent, which reads as off.
    for (const auto& [value, name] : options) {
        if (value->value_or(false) && !NeedVersion(version, gate::kLanguageBlocks, name, error))
            return false;
    }
    model->skipMissingSources = manifest.skipMissingSources.value_or(false) ? 1 : 0;
    model->overwriteExistingAdds = manifest.overwriteExistingAdds.value_or(false) ? 1 : 0;
    model->skipMissingDeletes = manifest.skipMissingDeletes.value_or(false) ? 1 : 0;
    return true;
}

bool FillFolderSources(const Manifest& manifest, uint16_t version, PackageModel* model,
                       std::string* error) {
    model->folderSources = manifest.folderSources;
    if (model->folderSources.empty()) model->folderSources.push_back(FolderSourceModel{});
    if (model->folderSources.size() > 1 &&
        !NeedVersion(version, gate::kSourceList, "more than one [[folder_source]]", error)) {
        return false;
    }
    if (model->folderSources.size() > 0xFF) {
        *error = "at most 255 folder sources fit";
        return false;
    }
    for (const FolderSourceModel& source : model->folderSources) {
        if (source.kind == kSourceComposite &&
            !NeedVersion(version, gate::kLanguageBlocks, "a lookup folder source", error)) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool ParseManifest(const std::string& text, const std::string& sourceName, Manifest* manifest,
                   std::string* error) {
    *manifest = Manifest();
    toml::table root;
    try {
        root = toml::parse(text, sourceName);
    } catch (const toml::parse_error& failure) {
        *error = sourceName + ":" + std::to_string(failure.source().begin.line) + ":" +
                 std::to_string(failure.source().begin.column) + ": " +
                 std::string(failure.description());
        return false;
    }
    ManifestParser parser(sourceName, manifest);
    if (!parser.Parse(root)) {
        *error = parser.error();
        return false;
    }
    return true;
}

bool LoadManifest(const std::string& path, Manifest* manifest, std::string* error) {
    std::ifstream file(FsPath(path), std::ios::binary);
    std::ostringstream text;
    if (!file || !(text << file.rdbuf())) {
        *error = "cannot read the manifest " + path;
        return false;
    }
    return ParseManifest(text.str(), path, manifest, error);
}

std::vector<std::string> ManifestKeys() {
    std::vector<std::string> keys;
    const auto add = [&keys](const std::string& prefix, KeyList list) {
        for (const char* key : list) {
            if (std::find(keys.begin(), keys.end(), prefix + key) == keys.end())
                keys.push_back(prefix + key);
        }
    };
    add("", kRootKeys);
    add("options.", kOptionKeys);
    add("language.", kLanguageKeys);
    for (const KeyList list : {kRegistrySourceKeys, kIniSourceKeys, kPathSourceKeys,
                               kLookupSourceKeys, kAskSourceKeys}) {
        add("folder_source.", list);
    }
    add("folder_source.step.", kRegistryStepKeys);
    add("folder_source.step.", kIniStepKeys);
    for (const KeyList list : {kWindowCheckKeys, kProcessCheckKeys, kNoCheckKeys}) {
        add("running_check.", list);
    }
    add("notice.", kNoticeKeys);
    return keys;
}

bool PackageText(const Manifest& manifest, const std::string& text, std::string* out,
                 std::string* error) {
    if (!manifest.codePage.has_value()) {
        if (!IsAscii(text)) {
            *error = kNeedsCodePage;
            return false;
        }
        *out = text;
        return true;
    }
    return FromUtf8(text, *manifest.codePage, out, error);
}

bool FillHeader(const Manifest& manifest, uint16_t version, PackageModel* model,
                std::string* error) {
    model->version = version;
    model->rightsText = manifest.rightsText;
    if (manifest.password.has_value()) packwriter::SetPassword(*model, *manifest.password);
    if (manifest.deleteBackups.has_value() && !*manifest.deleteBackups &&
        !NeedVersion(version, gate::kLanguageBlocks, "delete_backups = false", error)) {
        return false;
    }
    model->deleteBackupsDefault = manifest.deleteBackups.value_or(true) ? 1 : 0;
    if (!manifest.languageBlocks.empty() &&
        !NeedVersion(version, gate::kLanguageBlocks, "a [[language]] block", error)) {
        return false;
    }
    for (const LanguageBlock& block : manifest.languageBlocks) {
        model->languageBlocks.emplace_back();
        if (!ResolveLanguageBlock(block, version, &model->languageBlocks.back(), error))
            return false;
    }
    if (!FillFolderSources(manifest, version, model, error)) return false;
    model->runningCheck = manifest.runningCheck;
    if (model->runningCheck.kind != 0 &&
        !NeedVersion(version, gate::kRunningCheck, "a running check", error)) {
        return false;
    }
    model->documentName = manifest.documentName;
    if (!model->documentName.empty() &&
        !NeedVersion(version, gate::kRunningCheck, "a document", error)) {
        return false;
    }
    if (!FillNotices(manifest, version, model, error)) return false;
    if (!FillOptions(manifest, version, model, error)) return false;
    model->checkMode = manifest.checkMode;
    model->hasNewCheckValues = version >= gate::kSourceList ? 1 : 0;
    return true;
}

}  // namespace pkx::builder
