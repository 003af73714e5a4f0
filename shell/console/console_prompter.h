// The worker's questions on the console: asked on the worker thread, answered
// on standard input, with the rules of the dialogs they stand for.
#pragma once

#include <atomic>
#include <string>

#include "core/worker_events.h"
#include "shell/console/console_display.h"
#include "shell/console/console_input.h"

namespace pkx::console {

class ConsolePrompter final : public Prompter {
  public:
    ConsolePrompter(ConsoleDisplay& display, LineReader& input)
        : display_(display), input_(input) {}

    bool Confirm(const char* text, const char* caption) override;
    int AskPassword(ApplyContext& context) override;
    int AskTargetFolder(ApplyContext& context) override;
    void ShowNotice(ApplyContext& context, const char* text) override;
    void CreateUiFont(ApplyContext&, bool) override {}

    // True while a question waits for its answer: the progress window would
    // be disabled then, so Cancel does nothing.
    bool QuestionOpen() const { return open_.load(); }

  private:
    class Question;

    bool TypedPasswordMatches(const ApplyContext& context, const std::string& typed);

    ConsoleDisplay& display_;
    LineReader& input_;
    std::atomic<bool> open_{false};
};

// A yes/no answer: "y"/"yes" or "n"/"no" in either case; anything else is
// no answer (false), `*yes` unchanged.
bool ParseYesNo(const std::string& answer, bool* yes);

// Asks `question` (already converted) until the answer is yes or no; an
// empty answer takes `emptyAnswer` when that is 0 or 1 (with -1 it is asked
// again). Returns kLine with the answer in `*yes`, or kEnd at the end of
// input, or kInterrupted when a signal arrived on `interruptFd` (the main
// thread's question after the run).
LineReader::Result AskYesNo(ConsoleDisplay& display, LineReader& input, const std::string& question,
                            int emptyAnswer, bool* yes, int interruptFd = -1);

}  // namespace pkx::console
