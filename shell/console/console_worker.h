// The worker thread of the console updater.
#pragma once

#include <pthread.h>

#include "core/apply_context.h"
#include "shell/progress_view.h"

namespace pkx::console {

class WorkerThread final : public WorkerControl {
  public:
    explicit WorkerThread(ApplyContext& context) : context_(context) {}
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // Starts RunWorker with the termination signals blocked, so that only the
    // main thread ever runs their handlers.
    bool StartWorker() override;
    // Joins the worker, or leaves it behind after `milliseconds`.
    void FinishWorker(uint32_t milliseconds) override;

  private:
    static void* Run(void* context);

    ApplyContext& context_;
    pthread_t thread_{};
    bool started_ = false;
};

}  // namespace pkx::console
