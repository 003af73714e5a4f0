// Double-byte characters of the ANSI code pages: the lead-byte test as
// IsDBCSLeadByteEx answers it, and the one step over a character that every
// byte-wise scan of a name or text takes, so that a trail byte (0x5C "\\"
// among them) is never read as a character of its own.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pkx {

// True when `byte` starts a double-byte character in `codePage`
// (932, 936, 949, 950); single-byte code pages have no lead bytes.
bool IsLeadByte(uint32_t codePage, uint8_t byte);

// Bytes of the UTF-8 character at `text`: its lead byte and the continuation
// bytes that follow it (a stray byte stands alone).
inline size_t Utf8CharLength(const char* text) {
    const auto lead = static_cast<uint8_t>(text[0]);
    const size_t expected = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    size_t length = 1;
    while (length < expected && (static_cast<uint8_t>(text[length]) & 0xC0) == 0x80) ++length;
    return length;
}

// Bytes of the character at `text` in `codePage`: 2 for a lead byte with its
// trail byte, else 1 (a lead byte right before the terminator stands alone);
// in UTF-8 (65001), which has no lead bytes in this sense, a whole sequence,
// so that a cut never splits one.
inline size_t CharLength(const char* text, uint32_t codePage) {
    if (codePage == 65001) return Utf8CharLength(text);
    return IsLeadByte(codePage, static_cast<uint8_t>(text[0])) && text[1] != '\0' ? 2 : 1;
}

}  // namespace pkx
