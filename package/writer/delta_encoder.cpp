#include "package/writer/delta_encoder.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <thread>

#include "package/writer/delta_index.h"
#include "package/writer/delta_parser.h"
#include "package/writer/delta_writer.h"

namespace pkx::packwriter {

namespace {

// The updater seeks the old file with a signed 32-bit distance.
constexpr size_t kUsableOldSize = 0x7FFFFFFF;
constexpr size_t kChunkSize = size_t{2} << 20;

size_t ChunkCount(size_t size) { return (size + kChunkSize - 1) / kChunkSize; }

// Calls `use(piece)` for the pieces of all chunks in order, a copy that
// goes on in the next chunk joined to its start there.
template <typename Use>
void ForEachPiece(const std::vector<std::vector<DeltaPiece>>& chunks, Use use) {
    DeltaPiece pending;
    for (const auto& pieces : chunks) {
        for (const DeltaPiece& piece : pieces) {
            const bool joins =
                pending.length > 0 && piece.copy == pending.copy &&
                (!piece.copy || uint64_t{pending.source} + pending.length == piece.source) &&
                uint64_t{pending.length} + piece.length <= UINT32_MAX;
            if (joins) {
                pending.length += piece.length;
                continue;
            }
            if (pending.length > 0) use(pending);
            pending = piece;
        }
    }
    if (pending.length > 0) use(pending);
}

uint32_t FittedBlockSize(const std::vector<std::vector<DeltaPiece>>& chunks) {
    uint32_t longest = 1;
    ForEachPiece(chunks,
                 [&](const DeltaPiece& piece) { longest = std::max(longest, piece.length); });
    return std::min(longest, kLargestFittedBlockSize);
}

// Whole blocks of a piece, then the rest.
class StreamWriter {
  public:
    explicit StreamWriter(uint32_t blockSize) : writer_(blockSize), blockSize_(blockSize) {}

    void Copy(uint32_t source, uint32_t length) {
        const uint32_t blocks = length / blockSize_;
        const uint32_t rest = length % blockSize_;
        if (blocks == 1) writer_.CopyBlock(source);
        if (blocks > 1) writer_.CopyBlocks(source, blocks);
        if (rest > 0) writer_.CopyBytes(source + (length - rest), rest);
    }

    void Literal(const uint8_t* data, uint32_t length) {
        const uint32_t blocks = length / blockSize_;
        const uint32_t rest = length % blockSize_;
        if (blocks == 1) writer_.LiteralBlock(data);
        if (blocks > 1) writer_.LiteralBlocks(data, blocks);
        if (rest > 0) writer_.LiteralBytes(data + (length - rest), rest);
    }

    Bytes Finish() { return writer_.End().Take(); }

  private:
    DeltaStreamWriter writer_;
    uint32_t blockSize_;
};

}  // namespace

Bytes EncodeDeltaStream(const Bytes& oldData, const Bytes& newData,
                        const DeltaEncoderOptions& options) {
    const unsigned threads = std::max(options.threads, 1u);
    const OldFileIndex index(oldData.data(), std::min(oldData.size(), kUsableOldSize), threads,
                             options.indexStep);
    const std::vector<std::vector<DeltaPiece>> chunks = ParseChunks(index, newData, threads);
    const uint32_t blockSize = options.blockSize != 0 ? options.blockSize : FittedBlockSize(chunks);
    StreamWriter writer(blockSize);
    const uint8_t* position = newData.data();
    ForEachPiece(chunks, [&](const DeltaPiece& piece) {
        if (piece.copy) {
            writer.Copy(piece.source, piece.length);
        } else {
            writer.Literal(position, piece.length);
        }
        position += piece.length;
    });
    return writer.Finish();
}

uint64_t DeltaEncoderMemory(uint64_t oldSize, uint64_t newSize) {
    return OldFileIndex::MemoryFor(std::min<uint64_t>(oldSize, kUsableOldSize)) + newSize / 2;
}

// Each thread takes the next chunk not yet taken.
std::vector<std::vector<DeltaPiece>> ParseChunks(const OldFileIndex& index, const Bytes& newData,
                                                 unsigned threads) {
    std::vector<std::vector<DeltaPiece>> chunks(ChunkCount(newData.size()));
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t chunk; (chunk = next++) < chunks.size();) {
            const size_t begin = chunk * kChunkSize;
            const size_t end = std::min(begin + kChunkSize, newData.size());
            chunks[chunk] = ParseDelta(index, newData.data(), newData.size(), begin, end);
        }
    };
    std::vector<std::thread> helpers;
    for (unsigned i = 1; i < std::min<size_t>(threads, chunks.size()); ++i)
        helpers.emplace_back(work);
    work();
    for (std::thread& helper : helpers) helper.join();
    return chunks;
}

}  // namespace pkx::packwriter
