#include "platform/posix/ini_file.h"

#include <cstring>

#include "platform/posix/text_files.h"

namespace pkx::posix {

namespace {

// The section name of a "[name]" line; false for any other line.
bool ParseSectionLine(const std::string& line, std::string* name) {
    if (line.empty() || line[0] != '[') return false;
    size_t close = line.rfind(']');
    if (close == std::string::npos || close == 0) return false;
    *name = TrimSpace(line.substr(1, close - 1));
    return true;
}

std::string StripMatchingQuotes(const std::string& value) {
    if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0]) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

uint32_t CopyResult(const std::string& value, char* buffer, uint32_t size) {
    if (size == 0) return 0;
    uint32_t length = value.size() < size ? static_cast<uint32_t>(value.size()) : size - 1;
    memcpy(buffer, value.data(), length);
    buffer[length] = '\0';
    return length;
}

}  // namespace

uint32_t FindIniValue(const std::string& bytes, const char* section, const char* key, char* buffer,
                      uint32_t size) {
    if (size > 0) buffer[0] = '\0';
    if (section == nullptr || key == nullptr) return 0;
    bool utf16 = false;
    const std::string text = DecodeTextFile(bytes, &utf16);
    const std::string wantedSection = TrimSpace(section);
    const std::string wantedKey = TrimSpace(key);

    enum class Place { kBefore, kInside, kDone } place = Place::kBefore;
    bool found = false;
    std::string value;
    ForEachLine(text, [&](const std::string& raw) {
        if (found || place == Place::kDone) return;
        std::string line = TrimSpace(raw);
        if (line.empty() || line[0] == ';') return;
        std::string name;
        if (ParseSectionLine(line, &name)) {
            // Only the first section of the wanted name is searched.
            if (place == Place::kInside) {
                place = Place::kDone;
            } else if (EqualsIgnoringCase(name, wantedSection)) {
                place = Place::kInside;
            }
            return;
        }
        if (place != Place::kInside) return;
        size_t equals = line.find('=');
        std::string lineKey = TrimSpace(line.substr(0, equals));
        if (!EqualsIgnoringCase(lineKey, wantedKey)) return;
        found = true;
        value = equals == std::string::npos ? std::string() : TrimSpace(line.substr(equals + 1));
    });
    if (!found) return 0;
    return CopyResult(StripMatchingQuotes(value), buffer, size);
}

}  // namespace pkx::posix
