// The worker's questions on the console: asked on the worker thread, answered
// on standard input, with the rules of the dialogs they stand for.
#pragma once

#include <mutex>
#include <string>

#include "core/worker_events.h"
#include "shell/console/console_display.h"
#include "shell/console/console_events.h"
#include "shell/console/console_input.h"

namespace pkx::console {

class ConsolePrompter final : public Prompter {
  public:
    ConsolePrompter(ConsoleDisplay& display, LineReader& input, EventQueue& events)
        : display_(display), input_(input), events_(events) {}

    bool Confirm(const char* text, const char* caption) override;
    int AskPassword(ApplyContext& context) override;
    int AskTargetFolder(ApplyContext& context) override;
    void ShowNotice(ApplyContext& context, const char* text) override;
    void CreateUiFont(ApplyContext&, bool) override {}

    enum class Interruption {
        kNoQuestion,  // none is open: the press is the progress window's
        kAnswered,    // answered as its Cancel or No would
        kPassedOn,    // a notice, which has neither: closed, and the press
                      // is the progress window's Cancel once it takes one
    };
    // Main thread, on Ctrl-C: ends the open question, if any. While a
    // question is open the progress window is disabled and takes no Cancel.
    Interruption Interrupt();
    bool QuestionOpen() const;
    // Tests: an interruption that came too late for the question it was for.
    void LeaveInterruption() { interrupt_.Write(1); }

  private:
    class Question;

    bool TypedPasswordMatches(const ApplyContext& context, const std::string& typed);

    ConsoleDisplay& display_;
    LineReader& input_;
    // The lines sent before a question are shown before it.
    EventQueue& events_;
    // A byte here ends the wait for an answer.
    WakePipe interrupt_;
    mutable std::mutex mutex_;
    bool open_ = false;
    bool noticeOpen_ = false;
    bool interrupted_ = false;
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
