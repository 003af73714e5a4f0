// The progress window as console output: titles, headline, rights text and
// log lines are printed, the status and bars drawn; the button and check box
// are state that the console's own end-of-run question stands in for.
#pragma once

#include <string>

#include "shell/console/console_display.h"
#include "shell/progress_view.h"

namespace pkx::console {

class ConsoleView final : public ProgressView {
  public:
    explicit ConsoleView(ConsoleDisplay& display) : display_(display) {}

    void SetWindowTitle(const char* text) override;
    void SetHeadline(const char* text) override;
    void SetRightsLabel(const char* text) override;
    void SetRightsText(const char* text) override;
    void SetStatus(const char* text) override;
    void SetLogLabel(const char*) override {}
    void SetFileProgress(uint32_t value, const char* percent) override;
    void SetTotalProgress(uint32_t value, const char* percent) override;
    void AppendLog(const char* line) override;
    void SetButtonText(const char*) override {}
    void EnableButton(bool enabled) override { buttonEnabled_ = enabled; }
    void SetCheckBoxText(const char*) override {}
    void SetCheckBox(bool checked) override { checkBoxChecked_ = checked; }
    void EnableCheckBox(bool enabled) override { checkBoxEnabled_ = enabled; }
    bool IsCheckBoxChecked() override { return checkBoxChecked_; }
    bool IsCheckBoxEnabled() override { return checkBoxEnabled_; }
    void ApplyFont() override {}
    void ShowOpenFailure(const char* text, const char* caption) override;
    void Close() override { closed_ = true; }

    // The Cancel button would take a press.
    bool ButtonEnabled() const { return buttonEnabled_; }
    bool Closed() const { return closed_; }

  private:
    ConsoleDisplay& display_;
    std::string rightsLabel_;
    bool buttonEnabled_ = false;
    bool checkBoxChecked_ = false;
    bool checkBoxEnabled_ = true;
    bool closed_ = false;
};

}  // namespace pkx::console
