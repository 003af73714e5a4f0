#include "platform/posix/text_files.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>

namespace pkx::posix {

namespace {

void AppendUtf8(uint32_t codePoint, std::string* out) {
    if (codePoint < 0x80) {
        out->push_back(static_cast<char>(codePoint));
    } else if (codePoint < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
        out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else if (codePoint < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
        out->push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
        out->push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    }
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

char FoldCase(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool ReadWholeFile(const std::string& path, std::string* bytes) {
    bytes->clear();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char chunk[4096];
    bool ok = true;
    for (;;) {
        ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) ok = false;
        if (got <= 0) break;
        bytes->append(chunk, static_cast<size_t>(got));
    }
    close(fd);
    return ok;
}

std::string Utf16ToUtf8(const char* data, size_t size) {
    std::string out;
    out.reserve(size);
    const auto* bytes = reinterpret_cast<const uint8_t*>(data);
    size_t units = size / 2;
    for (size_t i = 0; i < units; ++i) {
        uint32_t unit = bytes[2 * i] | (bytes[2 * i + 1] << 8);
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units) {
            uint32_t next = bytes[2 * i + 2] | (bytes[2 * i + 3] << 8);
            if (next >= 0xDC00 && next <= 0xDFFF) {
                AppendUtf8(0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00), &out);
                ++i;
                continue;
            }
        }
        if (unit >= 0xD800 && unit <= 0xDFFF) unit = 0xFFFD;
        AppendUtf8(unit, &out);
    }
    return out;
}

std::string DecodeTextFile(const std::string& bytes, bool* wasUtf16) {
    *wasUtf16 = bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFF &&
                static_cast<uint8_t>(bytes[1]) == 0xFE;
    if (*wasUtf16) return Utf16ToUtf8(bytes.data() + 2, bytes.size() - 2);
    if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) return bytes.substr(3);
    return bytes;
}

std::string TrimSpace(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && IsSpace(text[begin])) ++begin;
    while (end > begin && IsSpace(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (FoldCase(a[i]) != FoldCase(b[i])) return false;
    }
    return true;
}

}  // namespace pkx::posix
