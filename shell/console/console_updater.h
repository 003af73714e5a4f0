// The console updater's run: the main thread plays the progress window. It
// handles the worker's events and the signals that stand for the Cancel
// button, and after a successful run asks whether to delete the backups.
#pragma once

#include "core/apply_context.h"
#include "shell/console/console_display.h"
#include "shell/console/console_events.h"
#include "shell/console/console_input.h"
#include "shell/console/console_prompter.h"
#include "shell/console/console_view.h"
#include "shell/console/console_worker.h"
#include "shell/progress_presenter.h"

namespace pkx::console {

class ConsoleUpdater {
  public:
    explicit ConsoleUpdater(ApplyContext& context)
        : context_(context),
          view_(display_),
          events_(pipe_),
          prompter_(display_, input_, events_),
          worker_(context),
          presenter_(context, view_, worker_) {}
    ConsoleUpdater(const ConsoleUpdater&) = delete;
    ConsoleUpdater& operator=(const ConsoleUpdater&) = delete;

    // The whole run after start-up; returns the exit code.
    int Run();

  private:
    void HandleEventsUntilTheRunEnds();
    void GatherEvents();
    bool HandleQueuedEvents();
    void OnSignal(int number);
    void CancelWhenPossible();
    void AskDeleteBackups();
    void OpenDocument();

    ApplyContext& context_;
    WakePipe pipe_;
    ConsoleDisplay display_;
    ConsoleView view_;
    LineReader input_;
    EventQueue events_;
    ConsolePrompter prompter_;
    WorkerThread worker_;
    ProgressPresenter presenter_;
    // A press of Cancel that the progress window could not take yet: a signal
    // while it was disabled, or Ctrl-C at a notice.
    bool cancelPending_ = false;
    bool succeeded_ = false;
};

}  // namespace pkx::console
