// One old and new file pair for the real-pairs benchmark (scripts/bench.sh):
//
//   delta_pair encode OLD NEW STREAM   the builder's stream, written to STREAM
//   delta_pair apply OLD STREAM OUT    rebuilds the new file with the updater's reader
//   delta_pair optimal OLD NEW         the least stream size the format allows
//   delta_pair compact OLD NEW         the compressed format's streams: each one's
//                                      bytes before and after compression and
//                                      the seconds of each step
//
// The least size is that of the best choice of copies (9 bytes each, any
// length) and literal runs (5 bytes plus the data), given every match
// between the files; the block size is taken as large as the longest piece,
// as the builder fits it. It needs a suffix array of the two files together
// (libdivsufsort) and about 9 bytes of memory per byte of both files.
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "engine/delta_stream.h"
#include "package/writer/compact_encoder.h"
#include "package/writer/data_block_writer.h"
#include "package/writer/delta_encoder.h"
#include "package/writer/delta_parser.h"
#include "package/writer/package_writer.h"

#ifdef PKX_HAVE_DIVSUFSORT
#include <divsufsort.h>
#endif

namespace {

using pkx::packwriter::Bytes;

bool ReadAll(const char* path, Bytes* bytes) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    bytes->assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return true;
}

int Encode(const char* oldPath, const char* newPath, const char* streamPath) {
    Bytes oldData;
    Bytes newData;
    if (!ReadAll(oldPath, &oldData) || !ReadAll(newPath, &newData)) return 2;
    pkx::packwriter::DeltaEncoderOptions options;
    options.threads = std::max(std::thread::hardware_concurrency(), 1u);
    const Bytes stream = pkx::packwriter::EncodeDeltaStream(oldData, newData, options);
    if (pkx::packwriter::WriteFileBytes(streamPath, stream) != 0) return 2;
    std::printf("%zu\n", stream.size());
    return 0;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Each stream compressed on its own, one after the other, to time it alone.
int Compact(const char* oldPath, const char* newPath) {
    Bytes oldData;
    Bytes newData;
    if (!ReadAll(oldPath, &oldData) || !ReadAll(newPath, &newData)) return 2;
    pkx::packwriter::DeltaEncoderOptions options;
    options.threads = std::max(std::thread::hardware_concurrency(), 1u);
    pkx::packwriter::CompactStreams streams;
    auto start = std::chrono::steady_clock::now();
    pkx::packwriter::EncodeCompactDelta(oldData, newData, &streams, options);
    std::printf("encode %.2f s\n", SecondsSince(start));
    const pkx::packwriter::DataBlockOptions windows;
    const struct {
        const char* name;
        const Bytes* data;
        uint32_t window;
        bool differences;
    } rows[] = {{"instructions", &streams.instructions, windows.instructionWindow, false},
                {"differences", &streams.differences, windows.differenceWindow, true},
                {"literals", &streams.literals, windows.literalWindow, false}};
    size_t total = pkx::kDataBlockHeaderSize;
    for (const auto& row : rows) {
        start = std::chrono::steady_clock::now();
        pkx::StreamDescriptor descriptor;
        const Bytes packed =
            pkx::packwriter::CompressStream(*row.data, row.window, row.differences, &descriptor);
        total += packed.size();
        std::printf("%-12s %12zu -> %10zu  %.2f s\n", row.name, row.data->size(), packed.size(),
                    SecondsSince(start));
    }
    std::printf("block %zu\n", total);
    return 0;
}

int Apply(const char* oldPath, const char* streamPath, const char* outPath) {
    pkx::BinaryFile program;
    pkx::BinaryFile oldFile;
    pkx::BinaryFile output;
    if (program.OpenRead(streamPath, pkx::kShareRead, pkx::kAttributeNormal) != 0 ||
        oldFile.OpenRead(oldPath, pkx::kShareNone, pkx::kAttributeNormal) != 0 ||
        output.OpenWrite(outPath, pkx::kShareNone, pkx::kAttributeArchive) != 0) {
        return 2;
    }
    pkx::ApplyContext context;
    pkx::PackageRef package;
    pkx::FileEntry entry;
    entry.dataSize = program.Size();
    const pkx::ResultCode result =
        pkx::ApplyDeltaStream(program, package, entry, oldFile, output, context);
    if (result != 0) std::fprintf(stderr, "delta_pair: result 0x%" PRIX32 "\n", result);
    return result == 0 ? 0 : 1;
}

#ifdef PKX_HAVE_DIVSUFSORT
// For every position of the new file, the longest match anywhere in the old
// file: the nearest suffixes of the old file in the suffix array of both.
std::vector<uint32_t> LongestMatches(const Bytes& oldData, const Bytes& newData) {
    const size_t m = oldData.size();
    const size_t total = m + newData.size();
    Bytes text = oldData;
    text.insert(text.end(), newData.begin(), newData.end());
    std::vector<int32_t> suffixes(total);
    divsufsort(text.data(), suffixes.data(), static_cast<saidx_t>(total));
    // Longest common prefix of each suffix with the one before it in the
    // array (Kasai's bound, through the permuted array).
    std::vector<int32_t> common(total);
    if (total > 0) common[suffixes[0]] = -1;
    for (size_t r = 1; r < total; ++r) common[suffixes[r]] = suffixes[r - 1];
    for (size_t i = 0, length = 0; i < total; ++i) {
        const int32_t before = common[i];
        if (before < 0) {
            common[i] = 0;
            length = 0;
            continue;
        }
        while (i + length < total && before + length < total &&
               text[i + length] == text[before + length]) {
            ++length;
        }
        common[i] = static_cast<int32_t>(length);
        if (length > 0) --length;
    }
    // An old suffix's match ends with the old file: walk on while a farther
    // one could still agree longer.
    std::vector<uint32_t> longest(newData.size(), 0);
    for (int direction = -1; direction <= 1; direction += 2) {
        for (size_t r = 0; r < total; ++r) {
            if (static_cast<size_t>(suffixes[r]) < m) continue;
            const size_t at = suffixes[r] - m;
            int64_t best = longest[at];
            int64_t shared = INT64_MAX;
            for (int64_t q = static_cast<int64_t>(r) + direction; q >= 0 && q < int64_t(total);
                 q += direction) {
                shared = std::min<int64_t>(shared, common[suffixes[direction < 0 ? q + 1 : q]]);
                if (shared <= best) break;
                const size_t other = suffixes[q];
                if (other >= m) continue;
                best = std::max<int64_t>(best, std::min<int64_t>(shared, m - other));
                if (m - other >= static_cast<size_t>(shared)) break;
            }
            longest[at] = static_cast<uint32_t>(std::min<int64_t>(best, newData.size() - at));
        }
    }
    return longest;
}

// The least cost of the rest of the new file after a copy (or at the start)
// and inside a literal run, from the end backwards; a copy from a position
// goes as far as its longest match, which is never worse than stopping short.
uint64_t LeastStreamSize(const std::vector<uint32_t>& longest) {
    const size_t n = longest.size();
    std::vector<uint32_t> afterCopy(n + 1, 0);
    uint64_t inLiteral = 0;
    for (size_t k = n; k-- > 0;) {
        const uint64_t literal = 1 + inLiteral;
        uint64_t copy = UINT64_MAX;
        if (longest[k] > 0) copy = pkx::packwriter::kCopyCost + afterCopy[k + longest[k]];
        afterCopy[k] =
            static_cast<uint32_t>(std::min(copy, pkx::packwriter::kLiteralRunCost + literal));
        inLiteral = std::min(literal, copy);
    }
    return pkx::kDeltaHeaderSize + afterCopy[0] + 1;
}

int Optimal(const char* oldPath, const char* newPath) {
    Bytes oldData;
    Bytes newData;
    if (!ReadAll(oldPath, &oldData) || !ReadAll(newPath, &newData)) return 2;
    if (oldData.size() + newData.size() > 0x7FFFFFFF) return 2;
    std::printf("%" PRIu64 "\n", LeastStreamSize(LongestMatches(oldData, newData)));
    return 0;
}
#else
int Optimal(const char*, const char*) {
    std::fprintf(stderr, "delta_pair: built without libdivsufsort\n");
    return 3;
}
#endif

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "encode" && argc == 5) return Encode(argv[2], argv[3], argv[4]);
    if (command == "apply" && argc == 5) return Apply(argv[2], argv[3], argv[4]);
    if (command == "optimal" && argc == 4) return Optimal(argv[2], argv[3]);
    if (command == "compact" && argc == 4) return Compact(argv[2], argv[3]);
    std::fprintf(stderr,
                 "usage: delta_pair encode OLD NEW STREAM | apply OLD STREAM OUT | "
                 "optimal OLD NEW | compact OLD NEW\n");
    return 2;
}
