// How the worker thread and the signals reach the main thread of the console
// updater. One pipe carries, in order of arrival, a zero byte for queued
// events and the number of each signal caught, so the main thread handles
// events and Ctrl-C in the order they happened by reading that pipe. An event
// queued behind others that wait for their byte to be read rides on their
// byte, unless it is urgent: a signal was caught since, the worker waits for
// it, or many are queued. The main thread, woken by a byte, gathers such
// events for a moment before it shows them: a run of small files sends
// several a file, and each byte would cost two system calls and a switch of
// threads.
#pragma once

#include <signal.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "core/apply_context.h"
#include "core/worker_events.h"

namespace pkx::console {

// The pipe's byte for a queued event; signals write their (non-zero) numbers.
inline constexpr char kEventByte = 0;

class WakePipe {
  public:
    WakePipe();
    ~WakePipe();
    WakePipe(const WakePipe&) = delete;
    WakePipe& operator=(const WakePipe&) = delete;

    bool IsOpen() const { return readFd_ >= 0; }
    int ReadFd() const { return readFd_; }
    int WriteFd() const { return writeFd_; }
    // Never blocks (the write end is non-blocking): a byte that finds the pipe
    // full is waited for, except in a signal handler.
    void Write(char byte) const;

  private:
    int readFd_ = -1;
    int writeFd_ = -1;
};

// Worker events queued for the main thread. Send blocks the worker until the
// main thread has handled the event (so the handler may read the context and
// the event's text), except two kinds, which a run of small files sends
// several times a file: a progress value replaces the value of its kind
// still queued, and an event that only shows a line or a file's name takes a
// copy of its text along. For these the worker goes on, unless the display is
// far behind. A later event waits for those queued before it to be shown
// first. Post returns at once.
class EventQueue final : public EventSink {
  public:
    struct Event {
        uint32_t code = 0;
        intptr_t param = 0;
        uint64_t serial = 0;
        bool sent = false;
        // The worker waits until it is handled.
        bool waits = false;
        // A zero byte was written for it; false when it rides on an earlier one.
        bool woken = false;
        // The text of an event that does not wait, which `param` points to
        // once taken.
        bool hasText = false;
        char text[kPathBufferSize] = {};
    };

    explicit EventQueue(const WakePipe& pipe) : pipe_(pipe) {}

    void Send(uint32_t code, intptr_t param) override;
    void Post(uint32_t code, intptr_t param) override;

    // Main thread: the oldest queued event, after reading an event byte
    // (`woken`), or while it is one that rode on that byte.
    bool Take(Event* event, bool woken);
    // Main thread: the event is handled; a sender waiting for it goes on.
    void Handled(const Event& event);
    // Main thread, woken by an event byte: whether the events may wait a
    // moment for more (none waits for it, and not many are queued).
    bool MayGather();
    // Worker: returns once every event sent so far is shown (before a
    // question takes the console).
    void WaitUntilShown();

  private:
    uint64_t Push(Event event);
    // Queues the event once there is room (under the lock, which it may
    // release while it waits); true when its byte must be written.
    bool Queue(std::unique_lock<std::mutex>& lock, const Event& event);
    // The queued event of the file's or the total's progress that a newer
    // value of its kind replaces, while only progress was queued after it
    // (a value must not pass a file's name): its serial (0: none) and place.
    struct ProgressValue {
        uint64_t serial = 0;
        uint32_t at = 0;
    };
    static ProgressValue* Slot(ProgressValue (&values)[2], uint32_t code);

    const WakePipe& pipe_;
    std::mutex mutex_;
    std::condition_variable handledChanged_;
    // Room for every event the worker can have queued: one that waits, those
    // shown ahead of it, the two progress values and the final one.
    static constexpr uint32_t kCapacity = 512;
    Event queue_[kCapacity];
    uint32_t first_ = 0;
    uint32_t count_ = 0;
    uint64_t nextSerial_ = 0;
    uint64_t handledSerial_ = 0;
    uint64_t lastOtherSerial_ = 0;
    // The count of caught signals when the last event byte was written.
    uint32_t signalsAtLastByte_ = 0;
    ProgressValue progress_[2];
};

// SIGINT, SIGTERM and SIGHUP write their number to `pipe` instead of ending
// the process (an interrupted update would be left half done); SIGPIPE is
// ignored. False when a handler cannot be installed.
bool CatchTerminationSignals(const WakePipe& pipe);

// Blocks the caught signals on the calling thread (before starting a thread
// that must never run their handlers); `previous` receives the old mask.
void BlockTerminationSignals(sigset_t* previous);
void RestoreSignalMask(const sigset_t& previous);

}  // namespace pkx::console
