#include "shell/console/console_view.h"

namespace pkx::console {

void ConsoleView::SetWindowTitle(const char* text) {
    const std::string title = display_.FromTable(text);
    display_.SetTerminalTitle(title);
    display_.PrintConverted("== " + title + " ==\n");
}

void ConsoleView::SetHeadline(const char* text) { display_.PrintLine(text); }

void ConsoleView::SetRightsLabel(const char* text) { rightsLabel_ = display_.FromTable(text); }

void ConsoleView::SetRightsText(const char* text) {
    if (text[0] == '\0') return;
    // The dialog shows label and text in controls of their own.
    display_.PrintConverted(rightsLabel_ + " " + display_.FromTable(text) + "\n");
}

void ConsoleView::SetStatus(const char* text) { display_.SetStatus(display_.FromTable(text)); }

void ConsoleView::SetFileProgress(uint32_t value, const char* percent) {
    display_.SetFileProgress(value, percent);
}

void ConsoleView::SetTotalProgress(uint32_t value, const char* percent) {
    display_.SetTotalProgress(value, percent);
}

void ConsoleView::AppendLog(const char* line) { display_.PrintLine(line); }

void ConsoleView::ShowOpenFailure(const char* text, const char* caption) {
    display_.PrintError(std::string(caption) + ": " + display_.FromTable(text) + "\n");
}

}  // namespace pkx::console
