#include "package/compressed_stream.h"

#include <LzmaDec.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace pkx {

namespace {

// Compressed bytes read from the program file at once.
constexpr uint32_t kInputSize = 64 * 1024;

void* Allocate(void*, size_t size) { return std::malloc(size); }
void Release(void*, void* address) { std::free(address); }
ISzAlloc gAllocator = {Allocate, Release};

bool LzmaPropertiesValid(uint8_t properties) {
    const uint32_t lc = properties % 9;
    const uint32_t lp = properties / 9 % 5;
    const uint32_t pb = properties / 45;
    return pb <= kLzmaMaxPositionBits && lc + lp <= kLzmaMaxLiteralBits;
}

bool DescriptorValid(const StreamDescriptor& stream) {
    if (stream.method == kStreamStored) {
        return stream.properties == 0 && stream.dictionary == 0 &&
               stream.uncompressedSize == stream.compressedSize;
    }
    const bool zeroRuns =
        stream.method == kStreamZeroRuns && stream.compressedSize >= kZeroRunsPrefixSize;
    return (stream.method == kStreamLzma || zeroRuns) && LzmaPropertiesValid(stream.properties);
}

// `count` little-endian bytes.
uint64_t LoadLittle(const uint8_t* bytes, uint32_t count) {
    uint64_t value = 0;
    while (count-- > 0) value = value << 8 | bytes[count];
    return value;
}

}  // namespace

uint64_t StreamWindowSize(const StreamDescriptor& stream) {
    if (stream.method == kStreamStored) return 0;
    return std::min<uint64_t>(std::max(stream.dictionary, kLzmaMinWindow), stream.uncompressedSize);
}

bool RecordStreamBounded(const StreamDescriptor& records) {
    const uint64_t bound = uint64_t{records.compressedSize} * kMaxRecordExpansion;
    return records.uncompressedSize <= (bound > kRecordStreamFloor ? bound : kRecordStreamFloor);
}

ResultCode ReadDataBlock(PackageCursor& cursor, DataBlock* block) {
    uint8_t header[kDataBlockHeaderSize];
    if (!cursor.Fits(kDataBlockHeaderSize)) return result::kBadDifferenceData;
    if (!cursor.Read(header, kDataBlockHeaderSize)) return result::kReadProgramFile;
    if (LoadLittle(header, kMagicSize) != kDataBlockMagic ||
        header[kMagicSize] != kDataStreamCount) {
        return result::kBadDifferenceData;
    }
    const uint8_t* field = header + kDataBlockStartSize;
    uint64_t windows = 0;
    uint64_t offset = cursor.position();
    for (StreamDescriptor& stream : block->streams) {
        stream.method = field[0];
        stream.properties = field[1];
        stream.dictionary = static_cast<uint32_t>(LoadLittle(field + 2, 4));
        stream.compressedSize = static_cast<uint32_t>(LoadLittle(field + 6, 4));
        stream.uncompressedSize = LoadLittle(field + 10, 8);
        field += kStreamDescriptorSize;
        if (!DescriptorValid(stream)) return result::kBadDifferenceData;
        windows += StreamWindowSize(stream);
        stream.offset = offset;
        offset += stream.compressedSize;
    }
    if (windows > kMaxWindowTotal) return result::kBadDifferenceData;
    if (!RecordStreamBounded(block->streams[kRecordStream])) return result::kBadDifferenceData;
    const uint64_t used = offset - cursor.position();
    if (used > cursor.Remaining() || cursor.Remaining() - used > kMaxDataBlockPadding) {
        return result::kBadDifferenceData;
    }
    return result::kSuccess;
}

struct CompressedStreamReader::Decoder {
    Decoder() { LzmaDec_Construct(&state); }
    ~Decoder() { LzmaDec_FreeProbs(&state, &gAllocator); }

    CLzmaDec state;
    std::unique_ptr<uint8_t[]> window;
};

CompressedStreamReader::CompressedStreamReader() = default;
CompressedStreamReader::~CompressedStreamReader() = default;

ResultCode CompressedStreamReader::Open(PackageSource& source, const StreamDescriptor& stream,
                                        bool whole) {
    source_ = &source;
    stream_ = stream;
    decoder_.reset();
    zeroRuns_ = false;
    input_.reset(new (std::nothrow) uint8_t[kInputSize]);
    Rewind();
    if (!input_) return result::kBadDifferenceData;
    if (stream.method == kStreamStored) return result::kSuccess;

    decoder_.reset(new (std::nothrow) Decoder);
    if (!decoder_) return result::kBadDifferenceData;
    const uint8_t properties[LZMA_PROPS_SIZE] = {
        stream.properties, static_cast<uint8_t>(stream.dictionary),
        static_cast<uint8_t>(stream.dictionary >> 8), static_cast<uint8_t>(stream.dictionary >> 16),
        static_cast<uint8_t>(stream.dictionary >> 24)};
    if (LzmaDec_AllocateProbs(&decoder_->state, properties, LZMA_PROPS_SIZE, &gAllocator) !=
        SZ_OK) {
        return result::kBadDifferenceData;
    }
    // At most kMaxWindowTotal, so it fits a size_t on every target. A larger
    // buffer than the window decodes the same: distances are checked against
    // the dictionary size, not the buffer's.
    size_t window = static_cast<size_t>(StreamWindowSize(stream));
    if (whole && stream.method == kStreamLzma && stream.uncompressedSize <= kMaxWindowTotal) {
        decoder_->window.reset(new (std::nothrow) uint8_t[stream.uncompressedSize]);
        if (decoder_->window) window = static_cast<size_t>(stream.uncompressedSize);
    }
    if (window > 0 && !decoder_->window) {
        decoder_->window.reset(new (std::nothrow) uint8_t[window]);
        if (!decoder_->window) return result::kBadDifferenceData;
    }
    decoder_->state.dic = decoder_->window.get();
    decoder_->state.dicBufSize = window;
    Rewind();
    return rewound_;
}

void CompressedStreamReader::Rewind() {
    // Only a clean end brings the count to 0 (NextDecoded checks it). The
    // window of a zero-run coded stream holds its coded form: never replayed.
    replay_ = decoder_ && (replay_ || remaining_ == 0) && stream_.method == kStreamLzma &&
              decoder_->state.dicBufSize == stream_.uncompressedSize;
    remaining_ = stream_.uncompressedSize;
    inputOffset_ = stream_.offset;
    inputLeft_ = stream_.compressedSize;
    inputPosition_ = inputSize_ = 0;
    zeroRuns_ = false;
    rewound_ = result::kSuccess;
    if (!decoder_) return;
    LzmaDec_Init(&decoder_->state);
    if (stream_.method == kStreamZeroRuns) rewound_ = OpenZeroRuns(stream_.uncompressedSize);
}

ResultCode CompressedStreamReader::Next(uint32_t wanted, const uint8_t** data, uint32_t* size) {
    *size = 0;
    if (wanted == 0) return result::kSuccess;
    if (rewound_ != result::kSuccess) return rewound_;
    if (remaining_ == 0 || !input_) return result::kBadDifferenceData;
    wanted =
        static_cast<uint32_t>(std::min<uint64_t>(std::min(wanted, kStreamPieceSize), remaining_));
    const ResultCode code = zeroRuns_  ? NextExpanded(wanted, data, size)
                            : decoder_ ? NextDecoded(wanted, remaining_, data, size)
                                       : NextStored(wanted, data, size);
    if (code == result::kSuccess) remaining_ -= *size;
    return code;
}

ResultCode CompressedStreamReader::NextStored(uint32_t wanted, const uint8_t** data,
                                              uint32_t* size) {
    if (!source_->MoveTo(inputOffset_) || !source_->Read(input_.get(), wanted)) {
        return result::kReadProgramFile;
    }
    inputOffset_ += wanted;
    *data = input_.get();
    *size = wanted;
    return result::kSuccess;
}

ResultCode CompressedStreamReader::NextDecoded(uint32_t wanted, uint64_t left, const uint8_t** data,
                                               uint32_t* size) {
    CLzmaDec& state = decoder_->state;
    if (replay_) {
        *data = state.dic + (stream_.uncompressedSize - remaining_);
        *size = wanted;
        return result::kSuccess;
    }
    if (state.dicPos == state.dicBufSize) state.dicPos = 0;
    const SizeT start = state.dicPos;
    const SizeT limit = start + std::min<SizeT>(wanted, state.dicBufSize - start);
    while (state.dicPos < limit) {
        // Once every compressed byte is in, the decoder may still have symbols
        // to give from what it holds.
        if (inputPosition_ == inputSize_ && inputLeft_ > 0) {
            const ResultCode code = Refill();
            if (code != result::kSuccess) return code;
        }
        SizeT used = inputSize_ - inputPosition_;
        const SizeT before = state.dicPos;
        ELzmaStatus status;
        if (LzmaDec_DecodeToDic(&state, limit, input_.get() + inputPosition_, &used,
                                LZMA_FINISH_ANY, &status) != SZ_OK) {
            return result::kBadDifferenceData;
        }
        inputPosition_ += static_cast<uint32_t>(used);
        // The compressed bytes are used up, or an end marker came before the
        // stream's size: nothing more will come.
        if (used == 0 && state.dicPos == before) return result::kBadDifferenceData;
    }
    *data = state.dic + start;
    *size = static_cast<uint32_t>(limit - start);
    // At the end the range decoder has taken every compressed byte and comes
    // out at 0: damage anywhere in the stream shows here at the latest.
    const bool ends = left == *size;
    if (ends && (state.remainLen != 0 || state.code != 0 || inputLeft_ != 0 ||
                 inputPosition_ != inputSize_)) {
        return result::kBadDifferenceData;
    }
    return result::kSuccess;
}

// The next compressed bytes (some are left).
ResultCode CompressedStreamReader::Refill() {
    const uint32_t count = std::min(inputLeft_, kInputSize);
    if (!source_->MoveTo(inputOffset_) || !source_->Read(input_.get(), count)) {
        return result::kReadProgramFile;
    }
    inputOffset_ += count;
    inputLeft_ -= count;
    inputPosition_ = 0;
    inputSize_ = count;
    return result::kSuccess;
}

ResultCode CompressedStreamReader::Read(uint8_t* buffer, uint32_t count) {
    while (count > 0) {
        const uint8_t* data = nullptr;
        uint32_t size = 0;
        const ResultCode code = Next(count, &data, &size);
        if (code != result::kSuccess) return code;
        std::memcpy(buffer, data, size);
        buffer += size;
        count -= size;
    }
    return result::kSuccess;
}

}  // namespace pkx
