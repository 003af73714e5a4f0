#include "shell/console/console_text.h"

#include <errno.h>
#include <langinfo.h>
#include <unistd.h>

namespace pkx::console {

TextConverter::~TextConverter() { Close(); }

void TextConverter::Close() {
    if (handle_ != reinterpret_cast<iconv_t>(-1)) iconv_close(handle_);
    handle_ = reinterpret_cast<iconv_t>(-1);
}

void TextConverter::Select(const std::string& from, const std::string& to) {
    if (from == from_ && to == to_) return;
    Close();
    from_ = from;
    to_ = to;
    // Transliteration turns characters the target lacks into look-alikes or '?'.
    handle_ = iconv_open((to + "//TRANSLIT").c_str(), from.c_str());
}

void TextConverter::Convert(const char* text, size_t length, std::string* out) {
    if (handle_ == reinterpret_cast<iconv_t>(-1)) {
        out->append(text, length);
        return;
    }
    iconv(handle_, nullptr, nullptr, nullptr, nullptr);
    char* in = const_cast<char*>(text);
    size_t inLeft = length;
    char buffer[256];
    while (inLeft > 0) {
        char* to = buffer;
        size_t toLeft = sizeof buffer;
        const size_t done = iconv(handle_, &in, &inLeft, &to, &toLeft);
        const int error = done == static_cast<size_t>(-1) ? errno : 0;
        out->append(buffer, static_cast<size_t>(to - buffer));
        if (error == 0 || error == E2BIG) continue;
        // An invalid or incomplete sequence: one '?' for its first byte.
        out->push_back('?');
        ++in;
        --inLeft;
        iconv(handle_, nullptr, nullptr, nullptr, nullptr);
    }
}

std::string CodePageName(uint32_t codePage) {
    if (codePage == 65001) return "UTF-8";
    return "CP" + std::to_string(codePage);
}

std::string TerminalEncoding() {
    const char* codeset = nl_langinfo(CODESET);
    return codeset != nullptr && codeset[0] != '\0' ? codeset : "ANSI_X3.4-1968";
}

std::string WithPlainLineBreaks(const std::string& text) {
    std::string plain;
    plain.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        plain.push_back(text[i]);
    }
    return plain;
}

void WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t written = write(fd, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        data += written;
        size -= static_cast<size_t>(written);
    }
}

}  // namespace pkx::console
