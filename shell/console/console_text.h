// Text between the updater's Windows code pages and the terminal: display
// texts out (the text table's code page to the locale's encoding), typed
// passwords in (the locale's encoding to the system ANSI code page).
#pragma once

#include <iconv.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace pkx::console {

// One iconv conversion, reopened when its source or target changes. Bytes
// that cannot be converted become '?'; without a conversion (an unknown
// code page) the bytes pass unchanged.
class TextConverter {
  public:
    TextConverter() = default;
    ~TextConverter();
    TextConverter(const TextConverter&) = delete;
    TextConverter& operator=(const TextConverter&) = delete;

    // Selects the conversion from `from` to `to` (iconv names).
    void Select(const std::string& from, const std::string& to);
    // Appends `text` converted to `out`.
    void Convert(const char* text, size_t length, std::string* out);

  private:
    void Close();

    iconv_t handle_ = reinterpret_cast<iconv_t>(-1);
    std::string from_;
    std::string to_;
};

// The iconv name of a Windows code page ("CP932"; 65001 is "UTF-8").
std::string CodePageName(uint32_t codePage);

// The locale's character encoding (nl_langinfo(CODESET) after setlocale).
std::string TerminalEncoding();

// `text` with each CR LF turned into a single line feed.
std::string WithPlainLineBreaks(const std::string& text);

// Writes all of `data` to `fd`, retrying after signals; gives up on an error
// (a closed pipe or terminal must not stop the update).
void WriteAll(int fd, const char* data, size_t size);
inline void WriteAll(int fd, const std::string& text) { WriteAll(fd, text.data(), text.size()); }

}  // namespace pkx::console
