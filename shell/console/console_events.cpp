#include "shell/console/console_events.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "shell/progress_presenter.h"

namespace pkx::console {
namespace {

constexpr int kCaughtSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The handler's only way out: async-signal-safe write(2) to this descriptor.
volatile sig_atomic_t signalPipeFd = -1;
// Counted before the byte is written, so that an event queued after it never
// rides on an event byte that came before the signal's.
std::atomic<uint32_t> signalsCaught{0};
static_assert(std::atomic<uint32_t>::is_always_lock_free, "a signal handler must not lock");

void OnTerminationSignal(int number) {
    const int saved = errno;
    const char byte = static_cast<char>(number);
    signalsCaught.fetch_add(1);
    if (signalPipeFd >= 0) {
        // A full pipe drops the byte: a flood of signals asks for one cancel.
        [[maybe_unused]] ssize_t ignored = write(signalPipeFd, &byte, 1);
    }
    errno = saved;
}

// Events the display shows past a waiting worker at most.
constexpr uint64_t kShownAhead = 384;
// Queued events that make the next one urgent; fewer than kShownAhead, so
// that the worker is never held while the main thread gathers. Each wake of
// the main thread costs four system calls: an update of thousands of small
// files sends hundreds of events between two showings.
constexpr uint32_t kGathered = 256;

void CloseIfOpen(int fd) {
    if (fd >= 0) close(fd);
}

}  // namespace

WakePipe::WakePipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    readFd_ = fds[0];
    writeFd_ = fds[1];
    fcntl(writeFd_, F_SETFL, fcntl(writeFd_, F_GETFL) | O_NONBLOCK);
}

WakePipe::~WakePipe() {
    if (signalPipeFd == writeFd_) signalPipeFd = -1;
    CloseIfOpen(readFd_);
    CloseIfOpen(writeFd_);
}

void WakePipe::Write(char byte) const {
    for (;;) {
        const ssize_t written = write(writeFd_, &byte, 1);
        if (written == 1) return;
        if (written < 0 && errno == EAGAIN) {
            struct pollfd writable = {writeFd_, POLLOUT, 0};
            poll(&writable, 1, -1);
        } else if (written < 0 && errno != EINTR) {
            return;
        }
    }
}

EventQueue::ProgressValue* EventQueue::Slot(ProgressValue (&values)[2], uint32_t code) {
    if (code == EV_FILE_PROGRESS) return &values[0];
    return code == EV_TOTAL_PROGRESS ? &values[1] : nullptr;
}

void EventQueue::Send(uint32_t code, intptr_t param) {
    if (ProgressValue* value = Slot(progress_, code)) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (value->serial > lastOtherSerial_) {
                queue_[value->at].param = param;
                return;
            }
            value->serial = ++nextSerial_;
            const bool woken = Queue(lock, Event{code, param, value->serial, true});
            value->at = (first_ + count_ - 1) % kCapacity;
            if (!woken) return;
        }
        pipe_.Write(kEventByte);
        return;
    }
    Event event{code, param, 0, true};
    const bool waits = !ShowsOnlyALine(code);
    event.waits = waits;
    if (!waits && param != 0) {
        const char* text = reinterpret_cast<const char*>(param);
        std::memcpy(event.text, text, strnlen(text, sizeof event.text - 1));
        event.hasText = true;
    }
    const uint64_t serial = Push(event);
    std::unique_lock<std::mutex> lock(mutex_);
    handledChanged_.wait(lock, [&] {
        return waits ? handledSerial_ >= serial : serial - handledSerial_ <= kShownAhead;
    });
}

// The run's last event: ends it at once.
void EventQueue::Post(uint32_t code, intptr_t param) { Push(Event{code, param, 0, false, true}); }

uint64_t EventQueue::Push(Event event) {
    bool woken;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        event.serial = ++nextSerial_;
        lastOtherSerial_ = event.serial;
        woken = Queue(lock, event);
    }
    if (woken) pipe_.Write(kEventByte);
    return event.serial;
}

bool EventQueue::Queue(std::unique_lock<std::mutex>& lock, const Event& event) {
    handledChanged_.wait(lock, [&] { return count_ < kCapacity; });
    const uint32_t signals = signalsCaught.load();
    const bool woken =
        count_ == 0 || signals != signalsAtLastByte_ || event.waits || count_ == kGathered;
    if (woken) signalsAtLastByte_ = signals;
    Event& queued = queue_[(first_ + count_++) % kCapacity];
    queued = event;
    queued.woken = woken;
    return woken;
}

bool EventQueue::Take(Event* event, bool woken) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (count_ == 0 || queue_[first_].woken != woken) return false;
    *event = queue_[first_];
    first_ = (first_ + 1) % kCapacity;
    --count_;
    ProgressValue* value = Slot(progress_, event->code);
    if (value != nullptr && value->serial == event->serial) value->serial = 0;
    if (event->hasText) event->param = reinterpret_cast<intptr_t>(event->text);
    return true;
}

void EventQueue::Handled(const Event& event) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (event.serial > handledSerial_) handledSerial_ = event.serial;
    }
    handledChanged_.notify_all();
}

bool EventQueue::MayGather() {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_ > 0 && count_ < kGathered && !queue_[first_].waits;
}

void EventQueue::WaitUntilShown() {
    std::unique_lock<std::mutex> lock(mutex_);
    handledChanged_.wait(lock, [&] { return handledSerial_ >= nextSerial_; });
}

bool CatchTerminationSignals(const WakePipe& pipe) {
    if (!pipe.IsOpen()) return false;
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    if (sigaction(SIGPIPE, &ignore, nullptr) != 0) return false;

    signalPipeFd = pipe.WriteFd();
    struct sigaction action = {};
    action.sa_handler = OnTerminationSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int number : kCaughtSignals) sigaddset(&action.sa_mask, number);
    for (int number : kCaughtSignals) {
        if (sigaction(number, &action, nullptr) != 0) return false;
    }
    return true;
}

void BlockTerminationSignals(sigset_t* previous) {
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int number : kCaughtSignals) sigaddset(&blocked, number);
    pthread_sigmask(SIG_BLOCK, &blocked, previous);
}

void RestoreSignalMask(const sigset_t& previous) {
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

}  // namespace pkx::console
