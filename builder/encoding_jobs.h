// Encoding the updated files of a build on worker threads, with no more file
// contents in memory at once than a budget allows: classic difference
// streams, or the compact streams of a compressed package.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "package/writer/compact_encoder.h"
#include "package/writer/delta_encoder.h"

namespace pkx::builder {

// Half the machine's memory, at least 1 GiB.
uint64_t DefaultEncodingBudget();

// One updated file encoded: its classic stream, or (compact jobs) its
// compact streams.
struct EncodedFile {
    packwriter::Bytes stream;
    packwriter::CompactStreams compact;
};

class DeltaJobs {
  public:
    // `workers` threads take the jobs in turn; each job may use
    // `options.threads` threads of its own. `onDone(newBytes)` is told of
    // every finished job, on the thread that calls Submit and Finish.
    // `compact`: EncodeCompactDelta instead of EncodeDeltaStream.
    DeltaJobs(unsigned workers, const packwriter::DeltaEncoderOptions& options,
              uint64_t memoryBudget, std::function<void(uint64_t newBytes)> onDone,
              bool compact = false);
    ~DeltaJobs();
    DeltaJobs(const DeltaJobs&) = delete;
    DeltaJobs& operator=(const DeltaJobs&) = delete;

    // Queues the encoding of `newData` against `oldData`, first waiting while
    // the jobs under way hold too much memory for this one. A job larger
    // than the whole budget runs alone. Returns the job's number: 0, 1, ...
    size_t Submit(packwriter::Bytes oldData, packwriter::Bytes newData);

    // Waits for every job and gives the files in the order of submission;
    // rethrows what a job threw (such as std::bad_alloc).
    std::vector<EncodedFile> Finish();

  private:
    struct Job {
        size_t number;
        packwriter::Bytes oldData;
        packwriter::Bytes newData;
        uint64_t memory;
    };

    void Work();
    // With the lock held: reports the jobs finished since the last call.
    void ReportDone(std::unique_lock<std::mutex>& lock);

    const packwriter::DeltaEncoderOptions options_;
    const uint64_t budget_;
    const bool compact_;
    const std::function<void(uint64_t)> onDone_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Job> queue_;
    std::vector<EncodedFile> streams_;
    uint64_t memoryInUse_ = 0;
    size_t unfinished_ = 0;
    uint64_t doneBytes_ = 0;
    std::exception_ptr failure_;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

}  // namespace pkx::builder
