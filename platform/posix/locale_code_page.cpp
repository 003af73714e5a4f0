#include "platform/posix/locale_code_page.h"

#include <cstdlib>
#include <cstring>

namespace pkx::posix {

namespace {

struct LanguageCodePage {
    const char* language;
    uint32_t codePage;
};

// Languages by their ISO 639 code; Chinese and the script variants are
// decided before this table is consulted.
constexpr LanguageCodePage kLanguages[] = {
    {"ja", 932},   {"ko", 949},  {"th", 874},  {"el", 1253}, {"tr", 1254},  {"az", 1254},
    {"uz", 1254},  {"he", 1255}, {"iw", 1255}, {"yi", 1255}, {"ar", 1256},  {"fa", 1256},
    {"ur", 1256},  {"ps", 1256}, {"ug", 1256}, {"lt", 1257}, {"lv", 1257},  {"et", 1257},
    {"vi", 1258},  {"pl", 1250}, {"cs", 1250}, {"sk", 1250}, {"hu", 1250},  {"sl", 1250},
    {"hr", 1250},  {"ro", 1250}, {"sq", 1250}, {"bs", 1250}, {"hsb", 1250}, {"dsb", 1250},
    {"tk", 1250},  {"ru", 1251}, {"uk", 1251}, {"be", 1251}, {"bg", 1251},  {"mk", 1251},
    {"sr", 1251},  {"kk", 1251}, {"ky", 1251}, {"tt", 1251}, {"mn", 1251},  {"ba", 1251},
    {"sah", 1251}, {"tg", 1251}, {"cv", 1251}, {"os", 1251},
};

// Copies the part of `locale` before any of `stops` into `out` (lower case).
void CopyUntil(const char* locale, const char* stops, char* out, size_t size) {
    size_t length = 0;
    while (locale[length] != '\0' && strchr(stops, locale[length]) == nullptr &&
           length + 1 < size) {
        char c = locale[length];
        out[length] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        ++length;
    }
    out[length] = '\0';
}

}  // namespace

uint32_t CodePageOfLocale(const char* locale) {
    if (locale == nullptr) return 1252;
    char language[8];
    char territory[8] = "";
    CopyUntil(locale, "_.@", language, sizeof language);
    const char* underscore = strchr(locale, '_');
    if (underscore != nullptr) CopyUntil(underscore + 1, ".@", territory, sizeof territory);
    const char* at = strchr(locale, '@');
    const char* modifier = at != nullptr ? at + 1 : "";

    if (strcmp(language, "zh") == 0) {
        bool traditional = strcmp(territory, "tw") == 0 || strcmp(territory, "hk") == 0 ||
                           strcmp(territory, "mo") == 0;
        return traditional ? 950 : 936;
    }
    if (strcmp(language, "sr") == 0 && strcmp(modifier, "latin") == 0) return 1250;
    if (strcmp(language, "uz") == 0 && strcmp(modifier, "cyrillic") == 0) return 1251;
    for (const LanguageCodePage& entry : kLanguages) {
        if (strcmp(language, entry.language) == 0) return entry.codePage;
    }
    return 1252;
}

uint32_t CodePageOfEnvironment() {
    static const char* const kVariables[] = {"LC_ALL", "LC_CTYPE", "LANG"};
    for (const char* variable : kVariables) {
        const char* value = getenv(variable);
        if (value != nullptr && value[0] != '\0') return CodePageOfLocale(value);
    }
    return 1252;
}

}  // namespace pkx::posix
