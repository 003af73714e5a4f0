#include "shell/console/console_text.h"

#include <errno.h>
#include <langinfo.h>
#include <unistd.h>

namespace pkx::console {

std::string TerminalEncoding() {
    const char* codeset = nl_langinfo(CODESET);
    return codeset != nullptr && codeset[0] != '\0' ? codeset : "ANSI_X3.4-1968";
}

bool TakesUtf8AsItIs(const std::string& encoding) {
    return encoding == "UTF-8" || encoding == "utf8" || encoding == "ANSI_X3.4-1968" ||
           encoding == "US-ASCII" || encoding == "ASCII";
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
