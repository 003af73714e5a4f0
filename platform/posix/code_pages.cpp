#include "platform/posix/code_pages.h"

#include <errno.h>

#include <cstring>

namespace pkx::posix {

TextConverter::~TextConverter() { Close(); }

void TextConverter::Close() {
    if (handle_ != reinterpret_cast<iconv_t>(-1)) iconv_close(handle_);
    handle_ = reinterpret_cast<iconv_t>(-1);
}

void TextConverter::Select(const std::string& from, const std::string& to, bool transliterate) {
    if (from == from_ && to == to_ && transliterate == transliterate_) return;
    Close();
    from_ = from;
    to_ = to;
    transliterate_ = transliterate;
    handle_ = iconv_open((transliterate ? to + "//TRANSLIT" : to).c_str(), from.c_str());
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

void CopyUtf8Cut(const std::string& text, char* buffer, uint32_t size) {
    if (size == 0) return;
    size_t length = text.size();
    if (length > size - 1) {
        length = size - 1;
        // Back to the start of the sequence that would be split.
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
    }
    std::memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
}

}  // namespace pkx::posix
