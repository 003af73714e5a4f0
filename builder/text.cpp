#include "builder/text.h"

#ifdef _WIN32
#include "platform/win32/builder_system.h"
#else
#include <iconv.h>
#endif

#include <cerrno>
#include <cstdio>
#include <map>
#include <vector>

namespace pkx::builder {

namespace {

constexpr uint32_t kUtf8CodePage = 65001;
constexpr uint32_t kAsciiCodePage = 20127;
constexpr uint32_t kFirstIsoCodePage = 28591;  // ISO-8859-1 .. ISO-8859-9
constexpr uint32_t kLastIsoCodePage = 28599;

#ifndef _WIN32
// One iconv descriptor, closed when the object goes.
class Converter {
  public:
    Converter(const char* to, const char* from) : handle_(iconv_open(to, from)) {}
    ~Converter() {
        if (IsOpen()) iconv_close(handle_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // iconv_open reports failure as (iconv_t)-1.
    bool IsOpen() const { return handle_ != reinterpret_cast<iconv_t>(-1); }

    // The whole input converted; false on any input iconv refuses.
    bool Run(const std::string& input, std::string* output) {
        output->clear();
        std::vector<char> in(input.begin(), input.end());
        char* inPointer = in.data();
        size_t inLeft = in.size();
        std::vector<char> buffer(4 * input.size() + 16);
        while (true) {
            char* outPointer = buffer.data();
            size_t outLeft = buffer.size();
            const size_t done =
                iconv(handle_, inLeft > 0 ? &inPointer : nullptr, &inLeft, &outPointer, &outLeft);
            output->append(buffer.data(), outPointer);
            if (done != static_cast<size_t>(-1)) {
                if (inLeft == 0) return Flush(output);
                continue;
            }
            if (errno != E2BIG) return false;
        }
    }

  private:
    // Writes any shift sequence that ends the output.
    bool Flush(std::string* output) {
        char buffer[16];
        char* outPointer = buffer;
        size_t outLeft = sizeof buffer;
        if (iconv(handle_, nullptr, nullptr, &outPointer, &outLeft) == static_cast<size_t>(-1)) {
            return false;
        }
        output->append(buffer, outPointer);
        return true;
    }

    iconv_t handle_;
};

std::vector<std::string> CandidateNames(uint32_t codePage) {
    if (codePage == kUtf8CodePage) return {"UTF-8"};
    if (codePage == kAsciiCodePage) return {"ASCII"};
    if (codePage >= kFirstIsoCodePage && codePage <= kLastIsoCodePage) {
        return {"ISO-8859-" + std::to_string(codePage - kFirstIsoCodePage + 1)};
    }
    const std::string number = std::to_string(codePage);
    return {"CP" + number, "WINDOWS-" + number};
}

bool Supported(const std::string& name) {
    Converter probe(name.c_str(), "UTF-8");
    return probe.IsOpen();
}

#endif

// Length of the UTF-8 sequence starting with `lead`, 0 for a byte that
// cannot start one.
size_t SequenceLength(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

}  // namespace

#ifdef _WIN32
const char kConverter[] = "Windows";
#else
const char kConverter[] = "iconv";
#endif

const char kNeedsCodePage[] =
    "holds non-ASCII characters: set code_page to the code page of the systems the "
    "updater is for (1252 Western European, 932 Japanese, ...; 65001 keeps UTF-8)";

std::string IconvName(uint32_t codePage) {
#ifdef _WIN32
    // Windows converts itself: any code page it knows.
    return codePage != 0 && win32::KnowsCodePage(codePage) ? "CP" + std::to_string(codePage)
                                                           : std::string();
#else
    // Code pages are few; each is probed once.
    static std::map<uint32_t, std::string> known;
    const auto found = known.find(codePage);
    if (found != known.end()) return found->second;
    std::string name;
    if (codePage != 0) {
        for (const std::string& candidate : CandidateNames(codePage)) {
            if (Supported(candidate)) {
                name = candidate;
                break;
            }
        }
    }
    known[codePage] = name;
    return name;
#endif
}

bool IsUtf8(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const size_t length = SequenceLength(lead);
        if (length == 0 || i + length > text.size()) return false;
        for (size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        }
        if (length == 3) {
            const auto second = static_cast<unsigned char>(text[i + 1]);
            if (lead == 0xE0 && second < 0xA0) return false;   // overlong
            if (lead == 0xED && second >= 0xA0) return false;  // surrogate
        }
        if (length == 4) {
            const auto second = static_cast<unsigned char>(text[i + 1]);
            if (lead == 0xF0 && second < 0x90) return false;   // overlong
            if (lead == 0xF4 && second >= 0x90) return false;  // above U+10FFFF
        }
        i += length;
    }
    return true;
}

bool IsAscii(const std::string& text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

bool FromUtf8(const std::string& text, uint32_t codePage, std::string* out, std::string* error) {
    if (!IsUtf8(text)) {
        *error = "text is not valid UTF-8";
        return false;
    }
    const std::string name = IconvName(codePage);
    if (name.empty()) {
        *error = "code page " + std::to_string(codePage) + " is not known to " + kConverter;
        return false;
    }
#ifdef _WIN32
    if (!win32::ConvertText(text, kUtf8CodePage, codePage, out)) {
#else
    Converter converter(name.c_str(), "UTF-8");
    if (!converter.IsOpen() || !converter.Run(text, out)) {
#endif
        *error = "text has characters that code page " + std::to_string(codePage) + " cannot hold";
        return false;
    }
    return true;
}

bool ToUtf8(const std::string& bytes, uint32_t codePage, std::string* out) {
    const std::string name = IconvName(codePage);
    if (name.empty()) return false;
#ifdef _WIN32
    return win32::ConvertText(bytes, codePage, kUtf8CodePage, out);
#else
    Converter converter("UTF-8", name.c_str());
    return converter.IsOpen() && converter.Run(bytes, out);
#endif
}

std::string Printable(const std::string& bytes) {
    std::string out;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

std::string Readable(const std::string& bytes, std::optional<uint32_t> codePage) {
    std::string text;
    if (!codePage.has_value() || !ToUtf8(bytes, *codePage, &text)) text = bytes;
    return Printable(text);
}

}  // namespace pkx::builder
