#include "package/writer/data_block_writer.h"

#include <LzmaEnc.h>

#include <algorithm>
#include <cstdlib>
#include <thread>
#include <vector>

#include "package/writer/package_writer.h"

namespace pkx::packwriter {

namespace {

void* Allocate(void*, size_t size) { return std::malloc(size); }
void Release(void*, void* address) { std::free(address); }
ISzAlloc gAllocator = {Allocate, Release};

// The encoder's longest match (LZMA's limit) makes runs of zero
// differences and repeated text cheapest.
constexpr int kFastBytes = 273;
// The optimal parse with binary-tree matches takes about a second per 1 to
// 2 MB, mostly in runs of zeros (differences) where every position offers
// long matches. A larger stream is parsed greedily over hash chains of this
// depth: ten to twenty times faster, for 5 to 25 % more bytes. Depth 16
// rather than 64 makes swc's 14 MB of literals 0.7 % larger, and its
// encoding takes a quarter less CPU (with the differences parsed greedily).
constexpr size_t kOptimalParseLimit = size_t{8} << 20;
constexpr int kGreedyDepth = 16;

// Raw LZMA of `data`, or false when it would not be smaller. `plain`: no
// literal or position context (lc = lp = pb = 0), which suits differences.
// `parsed`: the size that chooses the parse (the data's, or the size of what
// it was coded from).
bool Lzma(const Bytes& data, uint32_t window, bool plain, Bytes* packed,
          StreamDescriptor* descriptor, int positionBits = 2, size_t parsed = 0) {
    CLzmaEncProps properties;
    LzmaEncProps_Init(&properties);
    properties.level = 9;
    properties.pb = positionBits;
    if (plain) properties.lc = properties.lp = properties.pb = 0;
    properties.dictSize = std::max<uint32_t>(
        kLzmaMinWindow, static_cast<uint32_t>(std::min<uint64_t>(window, data.size())));
    properties.fb = kFastBytes;
    if (std::max(parsed, data.size()) > kOptimalParseLimit) {
        properties.algo = 0;
        properties.btMode = 0;
        properties.mc = kGreedyDepth;
    }
    properties.numThreads = 1;
    properties.writeEndMark = 0;
    // Room for the data itself: anything longer is stored instead.
    packed->resize(data.size());
    SizeT packedSize = packed->size();
    uint8_t encoded[LZMA_PROPS_SIZE];
    SizeT encodedSize = LZMA_PROPS_SIZE;
    const SRes result =
        LzmaEncode(packed->data(), &packedSize, data.data(), data.size(), &properties, encoded,
                   &encodedSize, 0, nullptr, &gAllocator, &gAllocator);
    if (result != SZ_OK || encodedSize != LZMA_PROPS_SIZE || packedSize >= data.size()) {
        return false;
    }
    packed->resize(packedSize);
    descriptor->method = kStreamLzma;
    descriptor->properties = encoded[0];
    descriptor->dictionary = uint32_t{encoded[1]} | uint32_t{encoded[2]} << 8 |
                             uint32_t{encoded[3]} << 16 | uint32_t{encoded[4]} << 24;
    descriptor->compressedSize = static_cast<uint32_t>(packedSize);
    return true;
}

Bytes Stored(const Bytes& data, StreamDescriptor* descriptor) {
    *descriptor = StreamDescriptor();
    descriptor->uncompressedSize = data.size();
    descriptor->compressedSize = static_cast<uint32_t>(data.size());
    return data;
}

// The zero-run coding of `data` (package/zero_runs.cpp).
Bytes CodeZeroRuns(const Bytes& data) {
    Bytes coded;
    for (size_t i = 0; i < data.size();) {
        if (data[i] != 0) {
            coded.push_back(data[i++]);
            continue;
        }
        size_t run = 1;
        while (run < kZeroRunLongest && i + run < data.size() && data[i + run] == 0) ++run;
        coded.push_back(0);
        coded.push_back(static_cast<uint8_t>(run - 1));
        i += run;
    }
    return coded;
}

// LZMA of the zero-run coding of `data` behind the coded size, or false when
// coding does not shrink it. The coded form keeps the bytes' own values, so
// the literal context (lc) is kept; runs fall at any position (pb = 0). The
// parse is chosen by the size of `data`: the optimal one over swc's 6 MB of
// coded differences (of 33 MB) is smaller but slower than the greedy one.
bool ZeroRuns(const Bytes& data, uint32_t window, Bytes* packed, StreamDescriptor* descriptor) {
    const Bytes coded = CodeZeroRuns(data);
    Bytes lzma;
    if (coded.size() + kZeroRunsPrefixSize >= data.size() ||
        !Lzma(coded, window, false, &lzma, descriptor, 0, data.size()) ||
        lzma.size() + kZeroRunsPrefixSize >= data.size()) {
        return false;
    }
    ByteWriter stream;
    stream.U32(static_cast<uint32_t>(coded.size()));
    stream.U32(static_cast<uint32_t>(uint64_t{coded.size()} >> 32));
    stream.Raw(lzma);
    *packed = stream.bytes();
    descriptor->method = kStreamZeroRuns;
    descriptor->compressedSize = static_cast<uint32_t>(packed->size());
    return true;
}

}  // namespace

Bytes CompressStream(const Bytes& data, uint32_t window, bool differences,
                     StreamDescriptor* descriptor) {
    *descriptor = StreamDescriptor();
    descriptor->uncompressedSize = data.size();
    Bytes packed;
    if (data.empty()) return Stored(data, descriptor);
    if (differences && ZeroRuns(data, window, &packed, descriptor)) return packed;
    *descriptor = StreamDescriptor();
    descriptor->uncompressedSize = data.size();
    if (Lzma(data, window, differences, &packed, descriptor)) return packed;
    return Stored(data, descriptor);
}

Bytes BuildDataBlock(const CompactStreams& streams, const DataBlockOptions& options) {
    const Bytes* sources[kDataStreamCount] = {&streams.instructions, &streams.differences,
                                              &streams.literals, &streams.records};
    const uint32_t windows[kDataStreamCount] = {options.instructionWindow, options.differenceWindow,
                                                options.literalWindow, options.recordWindow};
    Bytes packed[kDataStreamCount];
    StreamDescriptor descriptors[kDataStreamCount];
    auto compress = [&](uint32_t i) {
        packed[i] =
            CompressStream(*sources[i], windows[i], i == kDifferenceStream, &descriptors[i]);
        // Records that compress beyond what the updater will expand are stored.
        if (i == kRecordStream && !RecordStreamBounded(descriptors[i])) {
            packed[i] = Stored(*sources[i], &descriptors[i]);
        }
    };
    // The streams are independent: each on its own thread.
    std::vector<std::thread> helpers;
    for (uint32_t i = 1; i < kDataStreamCount; ++i) helpers.emplace_back(compress, i);
    compress(0);
    for (std::thread& helper : helpers) helper.join();

    ByteWriter block;
    block.U32(kDataBlockMagic);
    block.U8(kDataStreamCount);
    for (const StreamDescriptor& descriptor : descriptors) {
        block.U8(descriptor.method);
        block.U8(descriptor.properties);
        block.U32(descriptor.dictionary);
        block.U32(descriptor.compressedSize);
        block.U32(static_cast<uint32_t>(descriptor.uncompressedSize));
        block.U32(static_cast<uint32_t>(descriptor.uncompressedSize >> 32));
    }
    for (const Bytes& stream : packed) block.Raw(stream);
    return block.bytes();
}

}  // namespace pkx::packwriter
