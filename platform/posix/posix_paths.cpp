#include "platform/posix/posix_paths.h"

#include <cstring>

#include "platform/double_byte.h"

namespace pkx::posix {

namespace {

bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

char FoldCase(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameChar(const char* a, size_t aLength, const char* b, size_t bLength) {
    if (aLength != bLength) return false;
    if (aLength == 2) return a[0] == b[0] && a[1] == b[1];
    return FoldCase(a[0]) == FoldCase(b[0]);
}

// Wildcard match with one backtracking point: the most recent "*".
bool MatchWildcards(const char* pattern, const char* name, uint32_t codePage) {
    const char* afterStar = nullptr;
    const char* starName = nullptr;
    while (*name != '\0') {
        if (*pattern == '*') {
            afterStar = ++pattern;
            starName = name;
            continue;
        }
        size_t nameLength = CharLength(name, codePage);
        if (*pattern == '?') {
            ++pattern;
            name += nameLength;
            continue;
        }
        size_t patternLength = CharLength(pattern, codePage);
        if (*pattern != '\0' && SameChar(pattern, patternLength, name, nameLength)) {
            pattern += patternLength;
            name += nameLength;
            continue;
        }
        if (afterStar == nullptr) return false;
        // Let the last "*" swallow one more character and try again.
        starName += CharLength(starName, codePage);
        name = starName;
        pattern = afterStar;
    }
    while (*pattern == '*') ++pattern;
    return *pattern == '\0';
}

}  // namespace

std::string NativePath(const char* path) {
    if (IsAsciiLetter(path[0]) && path[1] == ':') path += 2;
    std::string native(path);
    for (char& c : native) {
        if (c == '\\') c = '/';
    }
    if (native.empty()) native = ".";
    return native;
}

std::string WindowsStylePath(const std::string& path) {
    std::string windows(path);
    for (char& c : windows) {
        if (c == '/') c = '\\';
    }
    return windows;
}

bool MatchesPattern(const char* pattern, const char* name, uint32_t codePage) {
    if (MatchWildcards(pattern, name, codePage)) return true;
    size_t length = strlen(pattern);
    if (length >= 2 && pattern[length - 2] == '.' && pattern[length - 1] == '*') {
        std::string withoutExtension(pattern, length - 2);
        return MatchWildcards(withoutExtension.c_str(), name, codePage);
    }
    return false;
}

}  // namespace pkx::posix
