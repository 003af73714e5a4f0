// The terminal side of the console updater: lines on standard output, and
// the status line with both progress bars on standard error when that is a
// terminal, redrawn in place below the last line printed.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "platform/posix/code_pages.h"
#include "shell/console/console_text.h"

namespace pkx::console {

class ConsoleDisplay {
  public:
    ConsoleDisplay();
    ~ConsoleDisplay();
    ConsoleDisplay(const ConsoleDisplay&) = delete;
    ConsoleDisplay& operator=(const ConsoleDisplay&) = delete;

    // Text of the updater (UTF-8: display texts, names) for the terminal,
    // with its CR LF line breaks as plain line feeds.
    std::string FromTable(const char* text);
    // Typed text (in the terminal's encoding) in UTF-8, and in the system
    // ANSI code page.
    std::string TypedAsUtf8(const std::string& typed);
    std::string ToSystemCodePage(const std::string& typed);

    // One display text as a line of standard output.
    void PrintLine(const char* text) { PrintConverted(FromTable(text) + "\n"); }
    // Already converted text, as it is (a question without its line end).
    void PrintConverted(const std::string& text);
    // An error for the user, on standard error (and without progress drawing).
    void PrintError(const std::string& text);
    // The terminal window's title (OSC 0), when standard output is a terminal.
    void SetTerminalTitle(const std::string& text);

    void SetStatus(const std::string& text);
    void SetFileProgress(uint32_t value, const char* percent);
    void SetTotalProgress(uint32_t value, const char* percent);
    // While a question is open the progress line is not drawn.
    void HideProgress();
    void ShowProgress();
    // Leaves the last drawn progress line on the screen, ending it.
    void FinishProgress();
    // Writes what the Print calls hold for standard output.
    void FlushOutput();

  private:
    struct Bar {
        uint32_t value = 0;
        std::string percent = "0.0%";
    };

    std::string Typed(const std::string& typed, const std::string& to);
    void Hold(const std::string& text);
    void Erase();
    void Draw();
    std::string ProgressLine() const;

    posix::TextConverter display_;
    posix::TextConverter input_;
    std::string terminalEncoding_;
    bool stdoutIsTerminal_;
    bool drawProgress_;
    bool hidden_ = false;
    bool drawn_ = false;
    std::string status_;
    std::mutex outputLock_;
    std::string heldOutput_;
    Bar file_;
    Bar total_;
};

}  // namespace pkx::console
