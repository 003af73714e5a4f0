// Code pages on POSIX: the updater holds its strings in UTF-8 and converts
// with iconv where texts come in (display texts of other code pages) and go
// out (a terminal of a legacy encoding, a password hashed in the system's
// code page).
#pragma once

#include <iconv.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace pkx::posix {

// One iconv conversion, reopened when its source or target changes. Bytes
// that cannot be converted become '?'; without a conversion (an unknown
// code page) the bytes pass unchanged.
class TextConverter {
  public:
    TextConverter() = default;
    ~TextConverter();
    TextConverter(const TextConverter&) = delete;
    TextConverter& operator=(const TextConverter&) = delete;

    // Selects the conversion from `from` to `to` (iconv names); characters
    // the target lacks become look-alikes or '?' when `transliterate`.
    void Select(const std::string& from, const std::string& to, bool transliterate = true);
    // Appends `text` converted to `out`.
    void Convert(const char* text, size_t length, std::string* out);

  private:
    void Close();

    iconv_t handle_ = reinterpret_cast<iconv_t>(-1);
    std::string from_;
    std::string to_;
    bool transliterate_ = false;
};

// The iconv name of a Windows code page ("CP932"; 65001 is "UTF-8").
std::string CodePageName(uint32_t codePage);

// Copies `text` into `buffer`: at most size - 1 bytes, never ending inside
// a UTF-8 sequence, always terminated (nothing when size is 0).
void CopyUtf8Cut(const std::string& text, char* buffer, uint32_t size);

}  // namespace pkx::posix
