#include "shell/console/console_worker.h"

#include <time.h>

#include "engine/worker.h"
#include "shell/console/console_events.h"

namespace pkx::console {

void* WorkerThread::Run(void* context) {
    RunWorker(static_cast<ApplyContext*>(context));
    return nullptr;
}

bool WorkerThread::StartWorker() {
    sigset_t previous;
    BlockTerminationSignals(&previous);
    started_ = pthread_create(&thread_, nullptr, &WorkerThread::Run, &context_) == 0;
    RestoreSignalMask(previous);
    return started_;
}

void WorkerThread::FinishWorker(uint32_t milliseconds) {
    if (!started_) return;
    started_ = false;
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    if (pthread_timedjoin_np(thread_, nullptr, &deadline) != 0) pthread_detach(thread_);
}

}  // namespace pkx::console
