// Rebuilding a 200 MiB file from a difference stream with 64 KiB blocks,
// against a plain copy of the same 200 MiB in 64 KiB reads and writes, both
// through BinaryFile on the same machine. Their ratio is the cost of the
// stream over the disk work it cannot avoid. The files live in a temporary
// folder that is deleted at exit.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/delta_stream.h"
#include "package/writer/delta_writer.h"

namespace pkx {
namespace {

namespace fs = std::filesystem;
using packwriter::Bytes;
using packwriter::DeltaStreamWriter;

constexpr uint32_t kBlockSize = 64 * 1024;
constexpr uint32_t kOldBlocks = 1024;  // a 64 MiB old file
constexpr uint32_t kGroups = 200;      // 16 blocks each: 200 MiB out

bool WriteWhole(const std::string& path, const Bytes& bytes) {
    BinaryFile file;
    return file.OpenWrite(path.c_str(), kShareNone, kAttributeArchive) == 0 &&
           file.Write(bytes.data(), static_cast<uint32_t>(bytes.size())) == 0;
}

// Per group of 16 blocks: a run of 11 old blocks at an unaligned offset, one
// block copied on its own, 3 literal blocks, and one block made of an old
// piece and literal bytes. About 3/16 of the output comes from the stream.
Bytes BuildStream(std::mt19937& random) {
    DeltaStreamWriter writer(kBlockSize);
    Bytes literal(3 * kBlockSize);
    for (uint32_t group = 0; group < kGroups; ++group) {
        for (uint8_t& byte : literal) byte = static_cast<uint8_t>(random());
        const uint32_t runStart = random() % ((kOldBlocks - 12) * kBlockSize);
        writer.CopyBlocks(runStart, 11)
            .CopyBlock(random() % kOldBlocks * kBlockSize)
            .LiteralBlocks(literal.data(), 2)
            .LiteralBlock(literal.data() + 2 * kBlockSize)
            .CopyBytes(random() % kBlockSize, kBlockSize / 2)
            .LiteralBytes(literal.data(), kBlockSize / 2);
    }
    return writer.End().Take();
}

// The old file, the stream (as a program file) and the output of one apply,
// the source of the plain copy.
class Fixture {
  public:
    Fixture() {
        std::random_device seed;
        folder_ = fs::temp_directory_path() / ("pkx-delta-bench-" + std::to_string(seed()));
        fs::create_directories(folder_);
        std::mt19937 random(1);
        Bytes old(size_t{kOldBlocks} * kBlockSize);
        for (uint8_t& byte : old) byte = static_cast<uint8_t>(random());
        ok_ = WriteWhole(Path("old"), old);
        const Bytes stream = BuildStream(random);
        streamSize_ = static_cast<uint32_t>(stream.size());
        ok_ = ok_ && WriteWhole(Path("program"), stream);
    }
    ~Fixture() {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    bool ok() const { return ok_; }
    uint32_t streamSize() const { return streamSize_; }
    std::string Path(const char* name) const { return (folder_ / name).string(); }

  private:
    fs::path folder_;
    uint32_t streamSize_ = 0;
    bool ok_ = false;
};

Fixture& Files() {
    static Fixture fixture;
    return fixture;
}

ResultCode ApplyOnce(const std::string& target) {
    Fixture& files = Files();
    BinaryFile program;
    BinaryFile old;
    BinaryFile output;
    if (program.OpenRead(files.Path("program").c_str(), kShareRead, kAttributeNormal) != 0 ||
        old.OpenRead(files.Path("old").c_str(), kShareNone, kAttributeNormal) != 0 ||
        output.OpenWrite(target.c_str(), kShareNone, kAttributeArchive) != 0) {
        return result::kOpenNewFile;
    }
    ApplyContext context;
    PackageRef package;
    FileEntry entry;
    entry.dataSize = files.streamSize();
    return ApplyDeltaStream(program, package, entry, old, output, context);
}

constexpr int64_t kOutputBytes = int64_t{kGroups} * 16 * kBlockSize;

void BM_ApplyDeltaStream(benchmark::State& state) {
    if (!Files().ok()) return state.SkipWithError("cannot write the input files");
    const std::string target = Files().Path("applied");
    for (auto _ : state) {
        if (ApplyOnce(target) != 0) return state.SkipWithError("the stream did not apply");
    }
    state.SetBytesProcessed(state.iterations() * kOutputBytes);
}
BENCHMARK(BM_ApplyDeltaStream)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

void BM_PlainCopy(benchmark::State& state) {
    if (!Files().ok()) return state.SkipWithError("cannot write the input files");
    const std::string source = Files().Path("applied");
    if (ApplyOnce(source) != 0) return state.SkipWithError("the stream did not apply");
    const std::string target = Files().Path("copied");
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[kBlockSize]);
    for (auto _ : state) {
        BinaryFile from;
        BinaryFile to;
        if (from.OpenRead(source.c_str(), kShareNone, kAttributeNormal) != 0 ||
            to.OpenWrite(target.c_str(), kShareNone, kAttributeArchive) != 0) {
            return state.SkipWithError("cannot open the copy");
        }
        for (int64_t copied = 0; copied < kOutputBytes; copied += kBlockSize) {
            if (from.Read(buffer.get(), kBlockSize) != 0 ||
                to.Write(buffer.get(), kBlockSize) != 0) {
                return state.SkipWithError("copy failed");
            }
        }
    }
    state.SetBytesProcessed(state.iterations() * kOutputBytes);
}
BENCHMARK(BM_PlainCopy)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace
}  // namespace pkx

BENCHMARK_MAIN();
