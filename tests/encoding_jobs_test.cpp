// The builder's encoding jobs (Linux only): streams in the order of submission
// whatever order the workers finish in, every job done under any memory budget.
#ifndef _WIN32
#include "builder/encoding_jobs.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "tests/test_support.h"

namespace pkx::builder {
namespace {

using packwriter::Bytes;
using test::Pattern;
using test::ToBytes;

TEST(DeltaJobs, StreamsComeInSubmissionOrderUnderAnyBudget) {
    std::vector<Bytes> olds;
    std::vector<Bytes> news;
    uint64_t newBytes = 0;
    // Sizes up and down, so that later jobs can finish first.
    for (uint32_t size : {300000, 10, 5000, 0, 120000, 77}) {
        olds.push_back(ToBytes(Pattern(size, size)));
        news.push_back(ToBytes(Pattern(size / 2, size) + "changed" + Pattern(size / 2, 1)));
        newBytes += news.back().size();
    }
    packwriter::DeltaEncoderOptions options;
    // A budget of one byte runs every job alone; a large one runs them together.
    for (uint64_t budget : {uint64_t{1}, uint64_t{1} << 30}) {
        SCOPED_TRACE("budget " + std::to_string(budget));
        uint64_t reported = 0;
        DeltaJobs jobs(2, options, budget, [&](uint64_t bytes) { reported += bytes; });
        for (size_t i = 0; i < olds.size(); ++i) EXPECT_EQ(jobs.Submit(olds[i], news[i]), i);

        const std::vector<EncodedFile> streams = jobs.Finish();

        ASSERT_EQ(streams.size(), olds.size());
        for (size_t i = 0; i < olds.size(); ++i) {
            EXPECT_EQ(streams[i].stream, packwriter::EncodeDeltaStream(olds[i], news[i], options))
                << i;
        }
        EXPECT_EQ(reported, newBytes);
    }
}

}  // namespace
}  // namespace pkx::builder

#endif  // _WIN32
