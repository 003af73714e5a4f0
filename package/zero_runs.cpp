// Zero-run coding, under LZMA in a stream of method kStreamZeroRuns: every
// byte but 0 stands for itself, and a 0 is followed by a byte n: the two
// stand for n + 1 zero bytes (1 to 256; a longer run takes several pairs).
// The differences of approximate copies are mostly runs of zeros; coded so,
// LZMA's parse sees a tenth of the bytes and comes out about as small.
// Here CompressedStreamReader expands such a stream; the builder codes it in
// package/writer/data_block_writer.cpp.
#include <algorithm>

#include "package/compressed_stream.h"

namespace pkx {

namespace {

// Runs of zeros are yielded from here.
uint8_t gZeros[kZeroRunLongest];

}  // namespace

// The coded form's size is the u64 in front of the LZMA data; it bounds the
// window as the stream's size does, so it may not exceed it.
ResultCode CompressedStreamReader::OpenZeroRuns(uint64_t size) {
    const ResultCode code = Refill();
    if (code != result::kSuccess) return code;
    codedLeft_ = 0;
    for (uint32_t i = kZeroRunsPrefixSize; i-- > 0;) codedLeft_ = codedLeft_ << 8 | input_[i];
    inputPosition_ = kZeroRunsPrefixSize;
    codedSize_ = 0;
    zeros_ = 0;
    zeroRuns_ = true;
    return codedLeft_ <= size ? result::kSuccess : result::kBadDifferenceData;
}

// At least one decoded coded byte at coded_; the coded form may not end
// before the stream does.
ResultCode CompressedStreamReader::TakeCoded() {
    if (codedSize_ > 0) return result::kSuccess;
    if (codedLeft_ == 0) return result::kBadDifferenceData;
    const ResultCode code =
        NextDecoded(static_cast<uint32_t>(std::min<uint64_t>(codedLeft_, kStreamPieceSize)),
                    codedLeft_, &coded_, &codedSize_);
    codedLeft_ -= codedSize_;
    return code;
}

ResultCode CompressedStreamReader::NextExpanded(uint32_t wanted, const uint8_t** data,
                                                uint32_t* size) {
    if (zeros_ == 0) {
        ResultCode code = TakeCoded();
        if (code == result::kSuccess && *coded_ == 0) {
            ++coded_;
            --codedSize_;
            code = TakeCoded();
            if (code == result::kSuccess) {
                zeros_ = *coded_++ + 1u;
                --codedSize_;
            }
        }
        if (code != result::kSuccess) return code;
    }
    if (zeros_ > 0) {
        *data = gZeros;
        *size = std::min(zeros_, wanted);
        zeros_ -= *size;
    } else {
        // Bytes up to the next 0 stand for themselves, straight from the window.
        const uint32_t most = std::min(wanted, codedSize_);
        uint32_t count = 1;
        while (count < most && coded_[count] != 0) ++count;
        *data = coded_;
        *size = count;
        coded_ += count;
        codedSize_ -= count;
    }
    // The last piece uses up the coded form, and a run may not pass it.
    const bool ends = remaining_ == *size;
    return ends && (zeros_ != 0 || codedLeft_ != 0 || codedSize_ != 0) ? result::kBadDifferenceData
                                                                       : result::kSuccess;
}

}  // namespace pkx
