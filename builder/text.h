// Text conversion for the builder: manifests and file names are UTF-8, the
// package carries bytes in Windows code pages. Conversion goes through iconv.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace pkx::builder {

// The name iconv knows code page `codePage` by, or empty when it knows none
// (on Windows, where the system converts: "CP" and the number, for the code
// pages it knows).
std::string IconvName(uint32_t codePage);

// What converts text: "iconv", or "Windows".
extern const char kConverter[];

// True when `text` is well-formed UTF-8.
bool IsUtf8(const std::string& text);

// True when every byte of `text` is below 0x80.
bool IsAscii(const std::string& text);

// Why a non-ASCII text needs a code page: without one its UTF-8 bytes would
// reach Windows as they are, shown garbled and, in names, making other files.
extern const char kNeedsCodePage[];

// `text` (UTF-8) in code page `codePage`. False with a one-line reason when
// the text is not UTF-8, the code page is unknown, or a character has no
// form in it.
bool FromUtf8(const std::string& text, uint32_t codePage, std::string* out, std::string* error);

// `bytes` of code page `codePage` as UTF-8; false when they do not convert.
bool ToUtf8(const std::string& bytes, uint32_t codePage, std::string* out);

// `bytes` for one line of a report: control bytes and DEL as \xNN.
std::string Printable(const std::string& bytes);

// Text of the package, in `codePage` if given, for one line of a message:
// converted to UTF-8 where it converts, with control bytes escaped.
std::string Readable(const std::string& bytes, std::optional<uint32_t> codePage);

}  // namespace pkx::builder
