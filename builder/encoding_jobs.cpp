#include "builder/encoding_jobs.h"

#ifdef _WIN32
#include "platform/win32/builder_system.h"
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <utility>

namespace pkx::builder {

uint64_t DefaultEncodingBudget() {
#ifdef _WIN32
    const uint64_t physical = win32::PhysicalMemory();
#else
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGE_SIZE);
    const uint64_t physical = pages > 0 && pageSize > 0
                                  ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize)
                                  : 0;
#endif
    return std::max<uint64_t>(physical / 2, uint64_t{1} << 30);
}

DeltaJobs::DeltaJobs(unsigned workers, const packwriter::DeltaEncoderOptions& options,
                     uint64_t memoryBudget, std::function<void(uint64_t)> onDone, bool compact)
    : options_(options), budget_(memoryBudget), compact_(compact), onDone_(std::move(onDone)) {
    for (unsigned i = 0; i < std::max(workers, 1u); ++i) workers_.emplace_back([this] { Work(); });
}

DeltaJobs::~DeltaJobs() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        queue_.clear();
    }
    changed_.notify_all();
    for (std::thread& worker : workers_) worker.join();
}

size_t DeltaJobs::Submit(packwriter::Bytes oldData, packwriter::Bytes newData) {
    const uint64_t memory = oldData.size() + newData.size() +
                            packwriter::DeltaEncoderMemory(oldData.size(), newData.size());
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] {
        ReportDone(lock);
        return memoryInUse_ == 0 || memoryInUse_ + memory <= budget_;
    });
    const size_t number = streams_.size();
    streams_.emplace_back();
    memoryInUse_ += memory;
    ++unfinished_;
    queue_.push_back(Job{number, std::move(oldData), std::move(newData), memory});
    lock.unlock();
    changed_.notify_all();
    return number;
}

std::vector<EncodedFile> DeltaJobs::Finish() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] {
        ReportDone(lock);
        return unfinished_ == 0;
    });
    if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
    return std::move(streams_);
}

void DeltaJobs::ReportDone(std::unique_lock<std::mutex>& lock) {
    const uint64_t done = std::exchange(doneBytes_, 0);
    if (done == 0 || !onDone_) return;
    lock.unlock();
    onDone_(done);
    lock.lock();
}

void DeltaJobs::Work() {
    for (;;) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (stopping_) return;
        Job job = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        EncodedFile encoded;
        std::exception_ptr failure;
        try {
            if (compact_) {
                packwriter::EncodeCompactDelta(job.oldData, job.newData, &encoded.compact,
                                               options_);
            } else {
                encoded.stream = packwriter::EncodeDeltaStream(job.oldData, job.newData, options_);
            }
        } catch (...) {
            failure = std::current_exception();
        }
        const uint64_t newBytes = job.newData.size();
        const size_t number = job.number;
        const uint64_t memory = job.memory;
        job = Job{};  // the contents go before the next job may start
        lock.lock();
        streams_[number] = std::move(encoded);
        if (failure && !failure_) failure_ = failure;
        memoryInUse_ -= memory;
        doneBytes_ += newBytes;
        --unfinished_;
        lock.unlock();
        changed_.notify_all();
    }
}

}  // namespace pkx::builder
