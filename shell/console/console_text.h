// Text between the updater and the terminal: the updater's UTF-8 out in the
// locale's encoding, line breaks as plain line feeds, writes that survive
// signals.
#pragma once

#include <cstddef>
#include <string>

namespace pkx::console {

// The locale's character encoding (nl_langinfo(CODESET) after setlocale).
std::string TerminalEncoding();

// True when UTF-8 text is written to a terminal of `encoding` as it is:
// UTF-8 itself, and ASCII (the C and POSIX locales), whose terminals take
// the bytes unchanged as other programs write them.
bool TakesUtf8AsItIs(const std::string& encoding);

// `text` with each CR LF turned into a single line feed.
std::string WithPlainLineBreaks(const std::string& text);

// Writes all of `data` to `fd`, retrying after signals; gives up on an error
// (a closed pipe or terminal must not stop the update).
void WriteAll(int fd, const char* data, size_t size);
inline void WriteAll(int fd, const std::string& text) { WriteAll(fd, text.data(), text.size()); }

}  // namespace pkx::console
