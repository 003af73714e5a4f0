#include "shell/console/console_updater.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <string>

#include "platform/posix/posix_paths.h"
#include "shell/app_startup.h"
#include "texts/text_ids.h"

namespace pkx::console {

int ConsoleUpdater::Run() {
    if (!CatchTerminationSignals(pipe_)) {
        // Without the handlers an interrupt could leave the installation half updated.
        display_.PrintError(std::string(kProgramTitle) + ": cannot catch interrupt signals\n");
        return 255;
    }
    context_.events = &events_;
    context_.prompts = &prompter_;
    presenter_.Initialize();
    // A worker that cannot start leaves nothing to wait for: the run failed.
    if (presenter_.WorkerRunning()) HandleEventsUntilTheRunEnds();
    if (succeeded_ && !view_.Closed()) AskDeleteBackups();
    display_.FinishProgress();
    OpenDocument();
    return ExitCode(context_);
}

// Reads the wake pipe: a zero byte for queued events, a signal's number per
// signal, in the order they came.
void ConsoleUpdater::HandleEventsUntilTheRunEnds() {
    bool ended = false;
    while (!ended) {
        char bytes[64];
        const ssize_t count = read(pipe_.ReadFd(), bytes, sizeof bytes);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) {
            // Cannot happen while this thread holds the write end; never a success.
            context_.failed = 1;
            return;
        }
        for (ssize_t i = 0; i < count; ++i) {
            if (bytes[i] == kEventByte) {
                if (i + 1 == count) GatherEvents();
                ended = HandleQueuedEvents() || ended;
            } else {
                OnSignal(bytes[i]);
            }
        }
    }
}

// Lets events ride on the byte just read for a moment, short enough for the
// display to follow; an urgent byte (a signal, an event the worker waits
// for) ends the wait.
void ConsoleUpdater::GatherEvents() {
    constexpr int kMilliseconds = 25;
    if (!events_.MayGather()) return;
    struct pollfd urgent = {pipe_.ReadFd(), POLLIN, 0};
    poll(&urgent, 1, kMilliseconds);
}

// The event whose byte was read and those that rode on it; true after the
// run's final event (the only posted one).
bool ConsoleUpdater::HandleQueuedEvents() {
    bool ended = false;
    EventQueue::Event event;
    for (bool woken = true; events_.Take(&event, woken); woken = false) {
        presenter_.HandleEvent(event.code, event.param);
        if (event.code == EV_FINISHED && !event.sent) succeeded_ = context_.failed == 0;
        // Before the worker goes on: it sends what follows without waiting,
        // so a press kept until Cancel can be given must reach it first.
        CancelWhenPossible();
        events_.Handled(event);
        ended = ended || !event.sent;
    }
    display_.FlushOutput();
    return ended;
}

// A signal is a press of Cancel. At an open question it answers that
// question as its Cancel or No would (a notice closes, and the press goes
// on to the progress window). Otherwise a press that comes before Cancel can
// be given (during the package check) is kept until it can.
void ConsoleUpdater::OnSignal(int number) {
    if (!presenter_.WorkerRunning()) return;
    if (number != SIGINT) cancelPending_ = true;
    const ConsolePrompter::Interruption question = prompter_.Interrupt();
    if (question == ConsolePrompter::Interruption::kPassedOn) cancelPending_ = true;
    if (question != ConsolePrompter::Interruption::kNoQuestion) return;
    if (!view_.ButtonEnabled()) {
        cancelPending_ = true;
        return;
    }
    cancelPending_ = false;
    presenter_.OnCancelCommand();
}

void ConsoleUpdater::CancelWhenPossible() {
    if (!cancelPending_ || !presenter_.WorkerRunning()) return;
    if (prompter_.QuestionOpen() || !view_.ButtonEnabled()) return;
    cancelPending_ = false;
    presenter_.OnCancelCommand();
}

// The check box and the Close button in one question. An empty answer or the
// end of input keeps the package's default; an interrupt keeps the backups.
void ConsoleUpdater::AskDeleteBackups() {
    // The final progress stays on the screen, above the question.
    display_.FinishProgress();
    const bool byDefault = context_.deleteBackupsDefault != 0;
    bool yes = byDefault;
    const LineReader::Result read =
        AskYesNo(display_, input_, display_.FromTable(context_.texts[text::kDeleteBackupsBox]),
                 byDefault ? 1 : 0, &yes, pipe_.ReadFd());
    if (read == LineReader::kEnd) yes = byDefault;
    if (read == LineReader::kInterrupted) yes = false;
    view_.SetCheckBox(yes);
    presenter_.OnCancelCommand();
}

// Hands the document to the desktop's opener without waiting for it; an
// opener that is missing or fails changes nothing.
void ConsoleUpdater::OpenDocument() {
    char document[2 * kPathBufferSize];
    if (!DocumentToOpen(context_, document, sizeof document)) return;
    std::string path = posix::NativePath(document);
    const std::string folder = posix::NativePath(context_.targetFolder);
    // A relative target folder names a place below the current folder; the
    // opener starts in the target folder, so it gets the full path.
    char current[4096];
    if (path[0] != '/' && getcwd(current, sizeof current) != nullptr) {
        path = std::string(current) + "/" + path;
    }
    const pid_t child = fork();
    if (child != 0) return;
    signal(SIGPIPE, SIG_DFL);
    if (chdir(folder.c_str()) != 0) _exit(127);
    // The opener must not hold the updater's output open after it has ended.
    const int nowhere = open("/dev/null", O_RDWR);
    if (nowhere >= 0) {
        dup2(nowhere, STDIN_FILENO);
        dup2(nowhere, STDOUT_FILENO);
        dup2(nowhere, STDERR_FILENO);
    }
    char* const arguments[] = {const_cast<char*>("xdg-open"), const_cast<char*>(path.c_str()),
                               nullptr};
    execvp(arguments[0], arguments);
    _exit(127);
}

}  // namespace pkx::console
