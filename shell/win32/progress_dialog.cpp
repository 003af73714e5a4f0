#include "shell/win32/progress_dialog.h"

#include <commctrl.h>
#include <process.h>
#include <richedit.h>

#include <atomic>
#include <cstring>

#include "engine/worker.h"
#include "shell/progress_presenter.h"
#include "shell/win32/dialog_support.h"
#include "shell/win32/prompt_dialogs.h"
#include "shell/win32/resource_ids.h"
#include "support/paths.h"

namespace pkx::win32ui {

namespace {

// The log holds every line of a run, however many files it touches; the
// control's default limit (32K characters) would drop the later ones.
constexpr LPARAM kLogTextLimit = 0x7FFFFFFE;

// What the per-file events show (log lines, the status text, the bars) is
// gathered and shown when the timer fires, every kShowInterval ms until the
// worker's last event: each append re-lays and repaints the log, and each
// text or bar set is a round trip to the window system under some systems.
constexpr UINT_PTR kShowTimer = 1;
constexpr UINT kShowInterval = 40;
// An append to the log costs work that grows with the text the control
// holds, whatever it appends: the held lines go in at every fifth firing
// only (five times a second), or when they fill the buffer.
constexpr uint32_t kFiringsPerLogAppend = 5;
constexpr size_t kHeldLogBytes = 64 * (kLogLineLimit + 2);
constexpr size_t kPercentSize = 16;

// The controls that take the package's font, in the order they get it.
const int kFontControls[] = {PKX_ID_HEADLINE,       PKX_ID_RIGHTS_LABEL, PKX_ID_RIGHTS_TEXT,
                             PKX_ID_STATUS,         PKX_ID_TOTAL_LABEL,  PKX_ID_LOG_LABEL,
                             PKX_ID_DELETE_BACKUPS, PKX_ID_LOG,          IDCANCEL};

class DialogView final : public ProgressView {
  public:
    DialogView(ApplyContext& context, UiFont& font) : context_(context), font_(font) {}
    void Attach(HWND dialog) { dialog_ = dialog; }

    void SetWindowTitle(const char* text) override { SetWindowTextA(dialog_, text); }
    void SetHeadline(const char* text) override { SetText(PKX_ID_HEADLINE, text); }
    void SetRightsLabel(const char* text) override { SetText(PKX_ID_RIGHTS_LABEL, text); }
    void SetRightsText(const char* text) override { SetText(PKX_ID_RIGHTS_TEXT, text); }
    void SetStatus(const char* text) override;
    void SetLogLabel(const char* text) override { SetText(PKX_ID_LOG_LABEL, text); }
    void SetFileProgress(uint32_t value, const char* percent) override {
        SetBar(0, value, percent);
    }
    void SetTotalProgress(uint32_t value, const char* percent) override {
        SetBar(1, value, percent);
    }
    void AppendLog(const char* line) override;
    // While held, lines, the status text and the bars wait for the timer or
    // for the next event not held.
    void Hold(bool hold) { hold_ = hold; }
    void StopTimer() { KillTimer(dialog_, kShowTimer); }
    void ShowHeld(bool withLog = true);
    void SetButtonText(const char* text) override { SetText(IDCANCEL, text); }
    void EnableButton(bool enabled) override { EnableWindow(Item(IDCANCEL), enabled); }
    void SetCheckBoxText(const char* text) override { SetText(PKX_ID_DELETE_BACKUPS, text); }
    void SetCheckBox(bool checked) override {
        SendDlgItemMessageA(dialog_, PKX_ID_DELETE_BACKUPS, BM_SETCHECK,
                            checked ? BST_CHECKED : BST_UNCHECKED, 0);
    }
    void EnableCheckBox(bool enabled) override {
        EnableWindow(Item(PKX_ID_DELETE_BACKUPS), enabled);
    }
    bool IsCheckBoxChecked() override {
        return SendDlgItemMessageA(dialog_, PKX_ID_DELETE_BACKUPS, BM_GETCHECK, 0, 0) ==
               BST_CHECKED;
    }
    bool IsCheckBoxEnabled() override { return IsWindowEnabled(Item(PKX_ID_DELETE_BACKUPS)); }
    void ApplyFont() override {
        SetControlFont(dialog_, font_.Current(), kFontControls,
                       sizeof kFontControls / sizeof kFontControls[0]);
    }
    void ShowOpenFailure(const char* text, const char* caption) override {
        ShowWindow(dialog_, SW_HIDE);
        MessageBoxA(GetDesktopWindow(), text, caption, MB_OK | MB_ICONEXCLAMATION);
    }
    void Close() override { EndDialog(dialog_, 1); }

    bool IsButtonEnabled() { return IsWindowEnabled(Item(IDCANCEL)); }

  private:
    HWND Item(int id) { return GetDlgItem(dialog_, id); }
    void SetText(int id, const char* text) { SetItemText(dialog_, id, text); }
    void SetBar(int bar, uint32_t value, const char* percent);
    void AppendHeldLog();

    ApplyContext& context_;
    UiFont& font_;
    HWND dialog_ = nullptr;
    bool hold_ = false;
    bool statusHeld_ = false;
    char status_[kExpansionSize];
    // Per bar (file, total): a value waits, and its percentage with it.
    uint32_t barsHeld_ = 0;
    uint32_t percentsHeld_ = 0;
    uint32_t barValues_[2] = {};
    char percents_[2][kPercentSize];
    size_t heldBytes_ = 0;
    char held_[kHeldLogBytes + 1];
};

void DialogView::SetStatus(const char* text) {
    lstrcpynA(status_, text, sizeof status_);
    statusHeld_ = true;
    if (!hold_) ShowHeld();
}

void DialogView::SetBar(int bar, uint32_t value, const char* percent) {
    barValues_[bar] = value;
    barsHeld_ |= 1u << bar;
    if (percent != nullptr) {
        lstrcpynA(percents_[bar], percent, kPercentSize);
        percentsHeld_ |= 1u << bar;
    }
    if (!hold_) ShowHeld();
}

// Each line ends with CR LF; they are shown in the order they came.
void DialogView::AppendLog(const char* line) {
    size_t length = std::strlen(line);
    if (length > kLogLineLimit) length = kLogLineLimit;
    if (heldBytes_ + length + 2 > kHeldLogBytes) AppendHeldLog();
    std::memcpy(held_ + heldBytes_, line, length);
    std::memcpy(held_ + heldBytes_ + length, "\r\n", 2);
    heldBytes_ += length + 2;
    if (!hold_) ShowHeld();
}

// The latest status text and bar values, and every held line `withLog`.
void DialogView::ShowHeld(bool withLog) {
    static constexpr int kBars[2] = {PKX_ID_FILE_BAR, PKX_ID_TOTAL_BAR};
    static constexpr int kPercents[2] = {PKX_ID_FILE_PERCENT, PKX_ID_TOTAL_PERCENT};
    if (statusHeld_) SetText(PKX_ID_STATUS, status_);
    statusHeld_ = false;
    for (int bar = 0; bar < 2; ++bar) {
        if ((percentsHeld_ & (1u << bar)) != 0) SetText(kPercents[bar], percents_[bar]);
        if ((barsHeld_ & (1u << bar)) != 0) {
            SendDlgItemMessageA(dialog_, kBars[bar], PBM_SETPOS, barValues_[bar], 0);
        }
    }
    barsHeld_ = percentsHeld_ = 0;
    if (withLog) AppendHeldLog();
}

// Appends the held lines at the end of the text, in the table's font.
void DialogView::AppendHeldLog() {
    if (heldBytes_ == 0) return;
    held_[heldBytes_] = '\0';
    heldBytes_ = 0;
    HWND log = Item(PKX_ID_LOG);
    const LRESULT lines = SendMessageA(log, EM_GETLINECOUNT, 0, 0);
    LRESULT end = SendMessageA(log, EM_LINEINDEX, lines, 0);
    if (end < 0) {
        const LRESULT lastStart = SendMessageA(log, EM_LINEINDEX, lines - 1, 0);
        end = lastStart + SendMessageA(log, EM_LINELENGTH, lastStart, 0);
    }
    CHARRANGE range = {static_cast<LONG>(end), static_cast<LONG>(end)};
    SendMessageA(log, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&range));
    SetInsertionFormat(log, context_);
    SendMessageA(log, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(held_));
}

// RunWorker on a thread started by the C runtime, so that the runtime is
// set up for it.
class WorkerThread final : public WorkerControl {
  public:
    explicit WorkerThread(ApplyContext& context) : context_(context) {}

    bool StartWorker() override {
        uintptr_t handle = _beginthreadex(nullptr, 0, &WorkerThread::Main, &context_, 0, &id_);
        if (handle == 0) return false;
        handle_ = reinterpret_cast<HANDLE>(handle);
        return true;
    }

    // The worker posted its final event and only returns after it; a worker
    // that does not end in time is left behind.
    void FinishWorker(uint32_t milliseconds) override {
        if (handle_ == INVALID_HANDLE_VALUE) return;
        WaitForSingleObject(handle_, milliseconds);
        CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
        id_ = 0;
    }

  private:
    static unsigned __stdcall Main(void* context) {
        return RunWorker(static_cast<ApplyContext*>(context));
    }

    ApplyContext& context_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    unsigned id_ = 0;
};

// Worker events as WM_APPLY_EVENT to the dialog: sent, so that the worker
// waits while the dialog reads the context, except the final one.
//
// Progress values may change thousands of times per file, and a send across
// threads costs milliseconds under some window systems: the bars get the
// latest values at most every kProgressInterval ms. A value held back goes
// out before the next other event that is sent, so the final values are
// shown. Between sends the dialog's queue runs empty, so it repaints and
// takes the user's input.
//
// The events that only add a line or show a file's name come once per file;
// they wait, their names copied, in a queue that the dialog shows when its
// timer fires and before any event sent after them, so that the worker goes
// on at once. Only a full queue makes the worker wait.
class DialogEvents final : public EventSink {
  public:
    void Attach(HWND dialog) { dialog_ = dialog; }
    void Send(uint32_t code, intptr_t param) override {
        const int bar = BarOf(code);
        if (ShowsOnlyALine(code)) {
            Queue(code, reinterpret_cast<const char*>(param));
        } else if (bar < 0) {
            SendHeldProgress();
            SendMessageA(dialog_, kApplyEventMessage, code, param);
        } else {
            held_[bar] = param;
            heldBars_ |= 1u << bar;
            const DWORD now = GetTickCount();
            if (now - lastProgress_ >= kProgressInterval) {
                lastProgress_ = now;
                SendHeldProgress();
            }
        }
    }
    void Post(uint32_t code, intptr_t param) override {
        SendHeldProgress();
        PostMessageA(dialog_, kApplyEventMessage, code, param);
    }

    // The dialog's thread: each waiting event in the order they came.
    template <typename Show>
    void ShowWaiting(Show show) {
        const uint32_t queued = queued_.load(std::memory_order_acquire);
        uint32_t shown = shown_.load(std::memory_order_relaxed);
        for (; shown != queued; ++shown) {
            const Waiting& event = waiting_[shown % kCapacity];
            show(event.code, event.hasName ? reinterpret_cast<intptr_t>(event.name) : 0);
        }
        shown_.store(shown, std::memory_order_release);
    }

  private:
    static constexpr DWORD kProgressInterval = 40;
    static constexpr uint32_t kBarEvents[2] = {EV_FILE_PROGRESS, EV_TOTAL_PROGRESS};
    static constexpr uint32_t kCapacity = 64;

    struct Waiting {
        uint32_t code;
        bool hasName;
        char name[kPathSize];
    };

    static int BarOf(uint32_t code) {
        return code == EV_FILE_PROGRESS ? 0 : code == EV_TOTAL_PROGRESS ? 1 : -1;
    }

    // The worker's thread: one writer, one reader, so the two counters
    // suffice; a slot is reused only after the dialog has shown it.
    void Queue(uint32_t code, const char* name) {
        const uint32_t queued = queued_.load(std::memory_order_relaxed);
        if (queued - shown_.load(std::memory_order_acquire) == kCapacity) {
            SendMessageA(dialog_, kShowWaitingMessage, 0, 0);
        }
        Waiting& event = waiting_[queued % kCapacity];
        event.code = code;
        event.hasName = name != nullptr;
        if (name != nullptr) lstrcpynA(event.name, name, sizeof event.name);
        queued_.store(queued + 1, std::memory_order_release);
    }

    void SendHeldProgress() {
        for (int bar = 0; bar < 2; ++bar) {
            if ((heldBars_ & (1u << bar)) != 0) {
                SendMessageA(dialog_, kApplyEventMessage, kBarEvents[bar], held_[bar]);
            }
        }
        heldBars_ = 0;
    }

    HWND dialog_ = nullptr;
    // The worker's own: only its thread sends.
    intptr_t held_[2] = {};
    uint32_t heldBars_ = 0;
    DWORD lastProgress_ = 0;
    Waiting waiting_[kCapacity];
    std::atomic<uint32_t> queued_{0};
    std::atomic<uint32_t> shown_{0};
};

class ProgressDialog {
  public:
    ProgressDialog(HINSTANCE instance, ApplyContext& context, UiFont& font, WorkerControl* worker)
        : instance_(instance),
          context_(context),
          font_(font),
          prompter_(instance, font),
          thread_(context),
          view_(context, font),
          presenter_(context, view_, worker != nullptr ? *worker : thread_) {}

    void OnInit(HWND dialog);
    void OnEvent(uint32_t code, intptr_t param);
    void OnCancel();
    // The per-file events that wait, then all that is held, the log's lines
    // `withLog`.
    void ShowWaiting(bool withLog = true);
    void OnTimer() { ShowWaiting(++firings_ % kFiringsPerLogAppend == 0); }

  private:
    HINSTANCE instance_;
    ApplyContext& context_;
    UiFont& font_;
    DialogPrompter prompter_;
    DialogEvents events_;
    WorkerThread thread_;
    DialogView view_;
    ProgressPresenter presenter_;
    uint32_t firings_ = 0;
};

void ProgressDialog::OnInit(HWND dialog) {
    view_.Attach(dialog);
    events_.Attach(dialog);
    prompter_.SetOwner(dialog);
    context_.events = &events_;
    context_.prompts = &prompter_;
    HICON icon = LoadIconA(instance_, MAKEINTRESOURCEA(PKX_ICON_PROGRAM));
    SetClassLongPtrA(dialog, GCLP_HICON, reinterpret_cast<LONG_PTR>(icon));
    SetClassLongPtrA(dialog, GCLP_HICONSM, reinterpret_cast<LONG_PTR>(icon));
    CenterWindow(dialog);
    SendDlgItemMessageA(dialog, PKX_ID_FILE_BAR, PBM_SETRANGE, 0, MAKELPARAM(0, 1000));
    SendDlgItemMessageA(dialog, PKX_ID_TOTAL_BAR, PBM_SETRANGE, 0, MAKELPARAM(0, 1000));
    SendDlgItemMessageA(dialog, PKX_ID_LOG, EM_EXLIMITTEXT, 0, kLogTextLimit);
    // Title, disabled button, 0.0%, start-up texts, the worker.
    SetTimer(dialog, kShowTimer, kShowInterval, nullptr);
    presenter_.Initialize();
}

// The lines of the events that come once per file are held; any other
// event shows them first, and its own at once.
bool IsFileEvent(uint32_t code) {
    return ShowsOnlyALine(code) || code == EV_FILE_PROGRESS || code == EV_TOTAL_PROGRESS;
}

void ProgressDialog::ShowWaiting(bool withLog) {
    view_.Hold(true);
    events_.ShowWaiting(
        [this](uint32_t code, intptr_t param) { presenter_.HandleEvent(code, param); });
    view_.Hold(false);
    view_.ShowHeld(withLog);
}

void ProgressDialog::OnEvent(uint32_t code, intptr_t param) {
    const bool held = IsFileEvent(code);
    if (!held) ShowWaiting();
    view_.Hold(held);
    presenter_.HandleEvent(code, param);
    view_.Hold(false);
    // The worker has ended: nothing is held any more, and an idle dialog
    // need not wake 25 times a second.
    if (IsFinalEvent(code)) view_.StopTimer();
    // Every control now holds the new font, and the prompts are closed.
    if (code == EV_APPLY_TEXTS) font_.ReleaseRetired();
}

// The button, Escape and the close command. A disabled button takes no
// press, whichever way it comes.
void ProgressDialog::OnCancel() {
    if (!view_.IsButtonEnabled()) return;
    presenter_.OnCancelCommand();
}

INT_PTR CALLBACK ProgressProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrA(dialog, DWLP_USER, lParam);
        reinterpret_cast<ProgressDialog*>(lParam)->OnInit(dialog);
        return TRUE;
    }
    auto* self = reinterpret_cast<ProgressDialog*>(GetWindowLongPtrA(dialog, DWLP_USER));
    if (self == nullptr) return FALSE;
    if (message == kApplyEventMessage) {
        self->OnEvent(static_cast<uint32_t>(wParam), static_cast<intptr_t>(lParam));
        return TRUE;
    }
    if (message == kShowWaitingMessage) {
        self->ShowWaiting();
        return TRUE;
    }
    if (message == WM_TIMER && wParam == kShowTimer) {
        self->OnTimer();
        return TRUE;
    }
    if (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL && HIWORD(wParam) == 0) {
        self->OnCancel();
        return TRUE;
    }
    return FALSE;
}

}  // namespace

bool RunProgressDialog(HINSTANCE instance, ApplyContext& context, UiFont& font,
                       WorkerControl* worker) {
    ProgressDialog dialog(instance, context, font, worker);
    const INT_PTR result =
        DialogBoxParamA(instance, MAKEINTRESOURCEA(PKX_DIALOG_PROGRESS), GetDesktopWindow(),
                        ProgressProc, reinterpret_cast<LPARAM>(&dialog));
    context.events = nullptr;
    context.prompts = nullptr;
    return result != -1;
}

}  // namespace pkx::win32ui
