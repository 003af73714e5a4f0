#include "platform/posix/registry_file.h"

#include <cstring>
#include <vector>

#include "platform/posix/text_files.h"

namespace pkx::posix {

namespace {

struct RegistryKeyName {
    RegistryRoot root;
    std::string path;  // below the root, "" for the root itself
};

bool ParseRoot(const std::string& token, RegistryRoot* root) {
    struct Name {
        const char* longName;
        const char* shortName;
        RegistryRoot root;
    };
    static const Name kNames[] = {
        {"HKEY_CLASSES_ROOT", "HKCR", RegistryRoot::kClassesRoot},
        {"HKEY_CURRENT_USER", "HKCU", RegistryRoot::kCurrentUser},
        {"HKEY_LOCAL_MACHINE", "HKLM", RegistryRoot::kLocalMachine},
        {"HKEY_USERS", "HKU", RegistryRoot::kUsers},
    };
    for (const Name& name : kNames) {
        if (EqualsIgnoringCase(token, name.longName) || EqualsIgnoringCase(token, name.shortName)) {
            *root = name.root;
            return true;
        }
    }
    return false;
}

bool ParseKeyName(const std::string& text, RegistryKeyName* key) {
    size_t separator = text.find('\\');
    if (!ParseRoot(text.substr(0, separator), &key->root)) return false;
    key->path = separator == std::string::npos ? std::string() : text.substr(separator + 1);
    return true;
}

// True when `deleted` is `key` or one of its ancestors.
bool Covers(const RegistryKeyName& deleted, const RegistryKeyName& key) {
    if (deleted.root != key.root) return false;
    if (deleted.path.empty()) return true;
    if (key.path.size() < deleted.path.size()) return false;
    if (!EqualsIgnoringCase(key.path.substr(0, deleted.path.size()), deleted.path)) return false;
    return key.path.size() == deleted.path.size() || key.path[deleted.path.size()] == '\\';
}

// A quoted string starting at text[*at] == '"'; moves *at past the closing quote.
bool ParseQuoted(const std::string& text, size_t* at, std::string* out) {
    out->clear();
    size_t i = *at + 1;
    while (i < text.size() && text[i] != '"') {
        if (text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == '"')) {
            ++i;
        }
        out->push_back(text[i]);
        ++i;
    }
    if (i >= text.size()) return false;
    *at = i + 1;
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "bb,bb,..." (one or two hex digits each, spaces allowed) into bytes.
bool ParseHexBytes(const std::string& text, std::string* out) {
    out->clear();
    std::string list = TrimSpace(text);
    if (list.empty()) return true;
    size_t start = 0;
    for (;;) {
        size_t comma = list.find(',', start);
        std::string token = TrimSpace(list.substr(start, comma - start));
        if (token.empty() || token.size() > 2) return false;
        int value = 0;
        for (char c : token) {
            int digit = HexDigit(c);
            if (digit < 0) return false;
            value = value * 16 + digit;
        }
        out->push_back(static_cast<char>(value));
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

bool ParseDword(const std::string& text, std::string* out) {
    std::string digits = TrimSpace(text);
    if (digits.empty() || digits.size() > 8) return false;
    uint32_t value = 0;
    for (char c : digits) {
        int digit = HexDigit(c);
        if (digit < 0) return false;
        value = value * 16 + static_cast<uint32_t>(digit);
    }
    out->clear();
    for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    return true;
}

// The data after "=": false when malformed, *deleted for "-".
bool ParseData(const std::string& text, bool version5, std::string* data, bool* deleted) {
    *deleted = false;
    std::string trimmed = TrimSpace(text);
    if (trimmed == "-") {
        *deleted = true;
        return true;
    }
    if (!trimmed.empty() && trimmed[0] == '"') {
        size_t at = 0;
        if (!ParseQuoted(trimmed, &at, data)) return false;
        data->push_back('\0');
        return true;
    }
    size_t colon = trimmed.find(':');
    if (colon == std::string::npos) return false;
    std::string kind = trimmed.substr(0, colon);
    std::string rest = trimmed.substr(colon + 1);
    if (EqualsIgnoringCase(kind, "dword")) return ParseDword(rest, data);
    if (EqualsIgnoringCase(kind, "hex")) return ParseHexBytes(rest, data);
    if (kind.size() < 6 || !EqualsIgnoringCase(kind.substr(0, 4), "hex(") || kind.back() != ')') {
        return false;
    }
    std::string type = kind.substr(4, kind.size() - 5);
    if (!ParseHexBytes(rest, data)) return false;
    // REG_SZ, REG_EXPAND_SZ and REG_MULTI_SZ are UTF-16 in version 5 files.
    if (version5 && (type == "1" || type == "2" || type == "7")) {
        *data = Utf16ToUtf8(data->data(), data->size());
    }
    return true;
}

// Joins continuation lines (ending in a backslash) and drops comments and
// blank lines.
std::vector<std::string> LogicalLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string pending;
    bool continuing = false;
    ForEachLine(text, [&](const std::string& raw) {
        std::string line = TrimSpace(raw);
        if (!continuing && (line.empty() || line[0] == ';')) return;
        pending += line;
        continuing = !pending.empty() && pending.back() == '\\' && pending[0] != '[';
        if (continuing) {
            pending.pop_back();
            return;
        }
        lines.push_back(pending);
        pending.clear();
    });
    if (!pending.empty()) lines.push_back(pending);
    return lines;
}

uint32_t CopyValue(const std::string& data, char* buffer, uint32_t size) {
    bool terminated = !data.empty() && data.back() == '\0';
    size_t needed = terminated ? data.size() : data.size() + 1;
    if (needed > size) return kErrorMoreData;
    memcpy(buffer, data.data(), data.size());
    if (!terminated) buffer[data.size()] = '\0';
    return win32err::kSuccess;
}

}  // namespace

uint32_t FindRegistryValue(const std::string& bytes, RegistryRoot root, const char* key,
                           const char* name, char* buffer, uint32_t size) {
    bool utf16 = false;
    std::vector<std::string> lines = LogicalLines(DecodeTextFile(bytes, &utf16));
    if (lines.empty()) return win32err::kFileNotFound;
    bool version5 = lines[0] == "Windows Registry Editor Version 5.00";
    if (!version5 && lines[0] != "REGEDIT4") return win32err::kFileNotFound;

    const RegistryKeyName wanted{root, key != nullptr ? key : ""};
    const std::string wantedValue = name != nullptr ? name : "";
    bool inKey = false;
    bool keyFound = false;
    bool valueFound = false;
    std::string value;
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (line[0] == '[') {
            size_t close = line.rfind(']');
            std::string inner = line.substr(1, close == std::string::npos ? 0 : close - 1);
            RegistryKeyName section;
            bool deletion = !inner.empty() && inner[0] == '-';
            inKey = false;
            if (!ParseKeyName(deletion ? inner.substr(1) : inner, &section)) continue;
            if (deletion) {
                if (Covers(section, wanted)) keyFound = valueFound = false;
            } else if (section.root == wanted.root &&
                       EqualsIgnoringCase(section.path, wanted.path)) {
                inKey = keyFound = true;
            }
            continue;
        }
        if (!inKey) continue;
        std::string valueName;
        size_t at = 0;
        if (line[0] == '@') {
            at = 1;
        } else if (line[0] != '"' || !ParseQuoted(line, &at, &valueName)) {
            continue;
        }
        size_t equals = line.find_first_not_of(" \t", at);
        if (equals == std::string::npos || line[equals] != '=') continue;
        if (!EqualsIgnoringCase(valueName, wantedValue)) continue;
        std::string data;
        bool deleted = false;
        if (!ParseData(line.substr(equals + 1), version5, &data, &deleted)) continue;
        valueFound = !deleted;
        value = data;
    }
    if (!keyFound || !valueFound) return win32err::kFileNotFound;
    return CopyValue(value, buffer, size);
}

}  // namespace pkx::posix
