#include "texts/text_table.h"

#include <cstring>

#include "platform/double_byte.h"
#include "platform/platform.h"

namespace pkx {

TextLanguage BuiltinTextLanguage() {
    return systemCodePage == kDefaultTextCodePage ? TextLanguage::kJapanese
                                                  : TextLanguage::kEnglish;
}

uint32_t LoadResourceText(uint32_t id, char* buffer, uint32_t size) {
    if (size == 0) return 0;
    uint32_t length = Os().LoadText(id, BuiltinTextLanguage(), buffer, size);
    if (length >= size) length = size - 1;
    buffer[length] = '\0';  // an absent string may leave the buffer untouched
    return length;
}

void LoadDefaultTexts(ApplyContext& context) {
    for (uint32_t i = 0; i < kTextCount; ++i) {
        LoadResourceText(kFirstTextId + i, context.texts.slots[i], kTextBufferSize);
        ConvertLineBreaks(context.texts.slots[i]);
    }
    const bool japanese = BuiltinTextLanguage() == TextLanguage::kJapanese;
    context.textCodePage = japanese ? kDefaultTextCodePage : kEnglishTextCodePage;
    std::strcpy(context.fontFace, japanese ? kDefaultFontFace : kEnglishFontFace);
    context.fontHeight = kDefaultFontHeight;
}

void LoadStartupTexts(ApplyContext& context) {
    const bool japanese = systemCodePage == kDefaultTextCodePage;
    LoadResourceText(japanese ? text::kOpenFailedJapanese : text::kOpenFailedEnglish,
                     context.texts[text::kErrorOpenProgramFile], kTextBufferSize);
    LoadResourceText(japanese ? text::kReadFailedJapanese : text::kReadFailedEnglish,
                     context.texts[text::kErrorReadProgramFile], kTextBufferSize);
}

void ConvertLineBreaks(char* text) {
    const size_t length = std::strlen(text);
    size_t i = 0;
    while (i + 1 < length) {
        if (text[i] == '\\' && text[i + 1] == 'n') {
            text[i] = '\r';
            text[i + 1] = '\n';
            i += 2;
        } else {
            i += 1;
        }
    }
}

namespace {

// Output that is cut at its capacity, whole characters only.
class BoundedOutput {
  public:
    BoundedOutput(char* destination, size_t capacity)
        : destination_(destination), capacity_(capacity) {}

    // Appends one character of `length` bytes; false (and nothing written)
    // when it does not fit.
    bool Put(const char* character, size_t length) {
        if (capacity_ - used_ < length) return false;
        std::memcpy(destination_ + used_, character, length);
        used_ += length;
        return true;
    }

    // Appends `text` character by character; false once one does not fit.
    bool PutText(const char* text, uint32_t codePage) {
        if (text == nullptr) return true;
        while (*text != '\0') {
            const size_t length = CharLength(text, codePage);
            if (!Put(text, length)) return false;
            text += length;
        }
        return true;
    }

    void Terminate() { destination_[used_] = '\0'; }

  private:
    char* destination_;
    size_t capacity_;  // bytes before the terminator
    size_t used_ = 0;
};

}  // namespace

char* ExpandTemplate(char* destination, size_t destinationSize, const char* templ,
                     const char* value1, const char* value2, const char* value3,
                     uint32_t codePage) {
    if (destinationSize == 0) return destination;
    BoundedOutput output(destination, destinationSize - 1);
    const char* const byCounter[3] = {value1, value2, value3};
    uint32_t placeholdersSeen = 0;
    const char* in = templ != nullptr ? templ : "";
    bool fits = true;
    while (fits && *in != '\0') {
        if (*in != '%') {
            const size_t length = CharLength(in, codePage);
            fits = output.Put(in, length);
            in += length;
            continue;
        }
        const char c = in[1];
        if (c == '\0') break;  // a lone '%' at the end is dropped
        in += 2;
        if (c == 's') {
            fits = output.PutText(byCounter[placeholdersSeen < 2 ? placeholdersSeen : 2], codePage);
            ++placeholdersSeen;
        } else if (c >= '1' && c <= '3') {
            fits = output.PutText(byCounter[c - '1'], codePage);
        } else {
            // The character after '%' stands for itself; when it is a
            // double-byte character it is kept whole.
            const char* character = in - 1;
            const size_t length = CharLength(character, codePage);
            fits = output.Put(character, length);
            in = character + length;
        }
    }
    output.Terminate();
    return destination;
}

void CopyFaceName(char* dest32, const char* face, uint32_t codePage) {
    BoundedOutput output(dest32, kFaceNameSize - 1);
    output.PutText(face, codePage);
    output.Terminate();
}

}  // namespace pkx
