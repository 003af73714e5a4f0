// Throughput of the MD5 digest over 8 KiB blocks, the unit that
// `openssl speed -evp md5 -bytes 8192` reports, so the two compare directly.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "support/md5.h"

namespace {

void BM_MD5Update(benchmark::State& state) {
    const uint32_t blockSize = static_cast<uint32_t>(state.range(0));
    std::vector<uint8_t> block(blockSize);
    for (uint32_t i = 0; i < blockSize; ++i) block[i] = static_cast<uint8_t>(i * 131 + 7);

    pkx::MD5_CTX context;
    pkx::MD5Init(&context);
    for (auto _ : state) {
        pkx::MD5Update(&context, block.data(), blockSize);
        benchmark::ClobberMemory();
    }
    uint8_t digest[16];
    pkx::MD5Final(digest, &context);
    benchmark::DoNotOptimize(digest);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * blockSize);
}
BENCHMARK(BM_MD5Update)->Arg(8192);

// The engine's own feeding pattern: 512-byte reads.
BENCHMARK(BM_MD5Update)->Arg(512);

}  // namespace
