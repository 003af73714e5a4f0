// Reading the small text files that stand in for Windows configuration
// stores (registry exports, INI files).
#pragma once

#include <cstddef>
#include <string>

namespace pkx::posix {

// The whole file at native path `path`; false when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string* bytes);

// UTF-16LE code units (`size` bytes, an odd last byte ignored) as UTF-8;
// unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(const char* data, size_t size);

// The text of a file's bytes as 8-bit text: a UTF-16LE file (byte-order mark
// FF FE) is converted to UTF-8, a UTF-8 byte-order mark is dropped, anything
// else is taken as it is. `wasUtf16` tells which case applied.
std::string DecodeTextFile(const std::string& bytes, bool* wasUtf16);

// Splits `text` into lines at LF, CR LF or CR; calls `visit` for each line.
template <typename Visitor>
void ForEachLine(const std::string& text, Visitor&& visit) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos) end = text.size();
        visit(text.substr(start, end - start));
        if (end < text.size() && text[end] == '\r' && end + 1 < text.size() &&
            text[end + 1] == '\n') {
            ++end;
        }
        start = end + 1;
    }
}

// `text` without leading and trailing spaces, tabs and line-end characters.
std::string TrimSpace(const std::string& text);

// ASCII case-insensitive equality.
bool EqualsIgnoringCase(const std::string& a, const std::string& b);

}  // namespace pkx::posix
