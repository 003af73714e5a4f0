#include "support/paths.h"

#include <cstring>

#include "platform/double_byte.h"
#include "platform/platform.h"

namespace pkx {

namespace {

constexpr size_t kMaxExtension = 255;

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Copies `length` bytes of `from` into the kPathSize-byte `to`, cut to fit.
void CopyPart(char* to, const char* from, size_t length, size_t limit = kPathSize - 1) {
    if (to == nullptr) return;
    if (length > limit) length = limit;
    memcpy(to, from, length);
    to[length] = '\0';
}

// The code page whose lead bytes a scan of a path honours: the system's on
// Windows, none on POSIX (names are UTF-8 bytes).
uint32_t NameCodePage() { return Os().InsideCodePage(Os().AnsiCodePage()); }

// A step of only dots and spaces: Windows reads it as "." or "..".
bool IsDotStep(const char* step, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (step[i] != '.' && step[i] != ' ') return false;
    }
    return true;
}

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// CON, PRN, AUX, NUL, COMn and LPTn (n 1 to 9) before the first dot, with
// any spaces after them: Windows opens the device, wherever the name lies.
bool IsDeviceStep(const char* step, size_t length) {
    size_t base = 0;
    while (base < length && step[base] != '.') ++base;
    while (base > 0 && step[base - 1] == ' ') --base;
    static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "COM", "LPT"};
    for (size_t d = 0; d < sizeof kDevices / sizeof kDevices[0]; ++d) {
        const char* device = kDevices[d];
        const bool numbered = d >= 4;
        if (base != (numbered ? 4u : 3u)) continue;
        if (Upper(step[0]) != device[0] || Upper(step[1]) != device[1] ||
            Upper(step[2]) != device[2]) {
            continue;
        }
        if (!numbered || (step[3] >= '1' && step[3] <= '9')) return true;
    }
    return false;
}

bool IsStepInside(const char* step, size_t length) {
    return length > 0 && !IsDotStep(step, length) && !IsDeviceStep(step, length);
}

}  // namespace

bool IsNameInsideFolder(const char* name) {
    if (name[0] == '\0' || IsSeparator(name[0]) || name[1] == ':') return false;
    const uint32_t codePage = NameCodePage();
    const char* step = name;
    for (const char* at = name;; at += CharLength(at, codePage)) {
        if (*at != '\0' && !IsSeparator(*at)) continue;
        if (!IsStepInside(step, static_cast<size_t>(at - step))) return false;
        if (*at == '\0') return true;
        step = at + 1;
    }
}

int FileExists(const char* path) {
    if (path == nullptr) return 0;
    return Os().Exists(path) ? 1 : 0;
}

char* ReplaceInvalidNameChars(char* text, char replacement) {
    if (text == nullptr) return text;
    // Code page 932 whatever the system's, names in packages being Japanese;
    // UTF-8 where names are held in it. A lone lead byte in the last place is
    // no invalid character.
    const uint32_t codePage = Os().InsideCodePage(932);
    for (char* at = text; *at != '\0'; at += CharLength(at, codePage)) {
        if (CharLength(at, codePage) == 1 && strchr(kInvalidNameChars, *at) != nullptr) {
            *at = replacement;
        }
    }
    return text;
}

bool BuildFullPath(const char* folder, const char* name, char* path) {
    const size_t folderLength = strlen(folder);
    const size_t nameLength = strlen(name);
    path[0] = '\0';
    if (folderLength + nameLength >= kPathSize) return false;
    memcpy(path, folder, folderLength);
    memcpy(path + folderLength, name, nameLength + 1);
    return true;
}

bool ParentFolder(const char* path, char* parent) {
    char drive[kPathSize];
    char folder[kPathSize];
    SplitPath(path, drive, folder, nullptr, nullptr);
    return BuildFullPath(drive, folder, parent);
}

void SplitPath(const char* path, char* drive, char* folder, char* baseName, char* extension) {
    if (path == nullptr) path = "";
    const char* rest = path;
    if (path[0] != '\0' && path[1] == ':') rest = path + 2;
    CopyPart(drive, path, static_cast<size_t>(rest - path));

    const uint32_t codePage = NameCodePage();
    const char* nameStart = rest;
    const char* lastDot = nullptr;
    const char* at = rest;
    while (*at != '\0') {
        size_t charLength = CharLength(at, codePage);
        if (charLength == 1 && IsSeparator(*at)) nameStart = at + 1;
        if (charLength == 1 && *at == '.') lastDot = at;
        at += charLength;
    }
    const char* end = at;
    CopyPart(folder, rest, static_cast<size_t>(nameStart - rest));
    if (lastDot != nullptr && lastDot >= nameStart) {
        CopyPart(baseName, nameStart, static_cast<size_t>(lastDot - nameStart));
        CopyPart(extension, lastDot, static_cast<size_t>(end - lastDot), kMaxExtension);
    } else {
        CopyPart(baseName, nameStart, static_cast<size_t>(end - nameStart));
        CopyPart(extension, end, 0);
    }
}

}  // namespace pkx
