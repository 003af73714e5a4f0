#include "shell/console/console_display.h"

#include <sys/ioctl.h>
#include <unistd.h>
#include <wchar.h>

#include <cstring>

#include "core/apply_context.h"

namespace pkx::console {
namespace {

constexpr uint32_t kBarWidth = 12;
constexpr uint32_t kProgressMaximum = 1000;
constexpr char kEraseLine[] = "\r\x1b[K";
constexpr size_t kHeldOutputLimit = 16384;

uint32_t TerminalColumns() {
    struct winsize size;
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

void AppendBar(uint32_t value, const std::string& percent, std::string* line) {
    const uint32_t filled =
        (value > kProgressMaximum ? kProgressMaximum : value) * kBarWidth / kProgressMaximum;
    line->push_back('[');
    line->append(filled, '#');
    line->append(kBarWidth - filled, '.');
    line->append("] ");
    if (percent.size() < 6) line->append(6 - percent.size(), ' ');
    line->append(percent);
}

// Bytes of the UTF-8 sequence that `lead` starts (1 for a stray byte).
size_t Utf8Length(unsigned char lead) {
    return lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
}

// The longest start of `text` that fills at most `columns` terminal columns
// (a wide character takes two), never cutting a multibyte character. Where
// the locale cannot tell (UTF-8 text on an ASCII locale), a character of
// three or more bytes counts as wide.
std::string FitColumns(const std::string& text, uint32_t columns) {
    mbstate_t state;
    std::memset(&state, 0, sizeof state);
    size_t at = 0;
    uint32_t used = 0;
    while (at < text.size()) {
        wchar_t wide = 0;
        size_t length = mbrtowc(&wide, text.data() + at, text.size() - at, &state);
        int width = 0;
        if (length == 0) break;
        if (length > text.size() - at) {
            std::memset(&state, 0, sizeof state);
            length = Utf8Length(static_cast<unsigned char>(text[at]));
            if (length > text.size() - at) break;
            width = length >= 3 ? 2 : 1;
        } else {
            width = wcwidth(wide);
        }
        const uint32_t cells = width < 0 ? 1 : static_cast<uint32_t>(width);
        if (used + cells > columns) break;
        used += cells;
        at += length;
    }
    return text.substr(0, at);
}

}  // namespace

ConsoleDisplay::ConsoleDisplay()
    : terminalEncoding_(TerminalEncoding()),
      stdoutIsTerminal_(isatty(STDOUT_FILENO) == 1),
      drawProgress_(isatty(STDERR_FILENO) == 1) {}

std::string ConsoleDisplay::FromTable(const char* text) {
    if (TakesUtf8AsItIs(terminalEncoding_)) return WithPlainLineBreaks(text);
    display_.Select("UTF-8", terminalEncoding_);
    std::string converted;
    display_.Convert(text, std::strlen(text), &converted);
    return WithPlainLineBreaks(converted);
}

std::string ConsoleDisplay::TypedAsUtf8(const std::string& typed) { return Typed(typed, "UTF-8"); }

std::string ConsoleDisplay::ToSystemCodePage(const std::string& typed) {
    return Typed(typed, posix::CodePageName(systemCodePage));
}

// A terminal that takes UTF-8 as it is also sends it.
std::string ConsoleDisplay::Typed(const std::string& typed, const std::string& to) {
    input_.Select(TakesUtf8AsItIs(terminalEncoding_) ? "UTF-8" : terminalEncoding_, to);
    std::string converted;
    input_.Convert(typed.data(), typed.size(), &converted);
    return converted;
}

ConsoleDisplay::~ConsoleDisplay() { FlushOutput(); }

// Held until the events at hand are handled, a question is asked or the
// progress line is drawn: thousands of log lines cost a few writes, not one
// each.
void ConsoleDisplay::PrintConverted(const std::string& text) {
    Erase();
    Hold(text);
    Draw();
}

// Questions are asked on the worker's thread while the events are handled
// on the main thread: each text is held and written once, in order.
void ConsoleDisplay::Hold(const std::string& text) {
    std::lock_guard<std::mutex> lock(outputLock_);
    heldOutput_ += text;
    if (heldOutput_.size() < kHeldOutputLimit) return;
    WriteAll(STDOUT_FILENO, heldOutput_);
    heldOutput_.clear();
}

void ConsoleDisplay::FlushOutput() {
    std::lock_guard<std::mutex> lock(outputLock_);
    WriteAll(STDOUT_FILENO, heldOutput_);
    heldOutput_.clear();
}

void ConsoleDisplay::PrintError(const std::string& text) {
    Erase();
    FlushOutput();
    WriteAll(STDERR_FILENO, text);
    Draw();
}

void ConsoleDisplay::SetTerminalTitle(const std::string& text) {
    if (!stdoutIsTerminal_) return;
    std::string title;
    for (char c : text) {
        // Control characters would end the sequence early.
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F) title.push_back(c);
    }
    Hold("\x1b]0;" + title + "\x07");
}

void ConsoleDisplay::SetStatus(const std::string& text) {
    status_.clear();
    for (char c : text) status_.push_back(c == '\n' ? ' ' : c);
    Draw();
}

void ConsoleDisplay::SetFileProgress(uint32_t value, const char* percent) {
    file_.value = value;
    if (percent != nullptr) file_.percent = percent;
    Draw();
}

void ConsoleDisplay::SetTotalProgress(uint32_t value, const char* percent) {
    total_.value = value;
    if (percent != nullptr) total_.percent = percent;
    Draw();
}

void ConsoleDisplay::HideProgress() {
    Erase();
    hidden_ = true;
}

void ConsoleDisplay::ShowProgress() {
    hidden_ = false;
    Draw();
}

void ConsoleDisplay::FinishProgress() {
    FlushOutput();
    if (drawn_) WriteAll(STDERR_FILENO, "\n");
    drawn_ = false;
    drawProgress_ = false;
}

// What goes to standard error follows what went to standard output before.
void ConsoleDisplay::Erase() {
    if (!drawn_) return;
    FlushOutput();
    WriteAll(STDERR_FILENO, kEraseLine);
    drawn_ = false;
}

void ConsoleDisplay::Draw() {
    if (!drawProgress_ || hidden_) return;
    FlushOutput();
    WriteAll(STDERR_FILENO, kEraseLine + ProgressLine());
    drawn_ = true;
}

std::string ConsoleDisplay::ProgressLine() const {
    std::string line;
    AppendBar(file_.value, file_.percent, &line);
    line.append("  ");
    AppendBar(total_.value, total_.percent, &line);
    line.append("  ");
    // One column stays free, so the cursor never wraps to a new line.
    const uint32_t columns = TerminalColumns();
    const uint32_t used = static_cast<uint32_t>(line.size()) + 1;
    if (columns > used) {
        line.append(FitColumns(status_, columns - used));
    } else {
        line.resize(columns > 1 ? columns - 1 : 0);
    }
    return line;
}

}  // namespace pkx::console
