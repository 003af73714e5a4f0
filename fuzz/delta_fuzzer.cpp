// Difference streams of any shape against the updater's reader. Input: a u16
// old-file length (little-endian), that many old-file bytes (or what is
// left), and the stream, which is the whole program file. The result and new
// file must equal those of an in-memory model of the stream's rules, and the
// progress values stay within 0..1000 and never fall.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fuzz/fuzz_files.h"

namespace pkx {
namespace {

using fuzz::Bytes;
using fuzz::Check;

class ProgressCheck final : public EventSink {
  public:
    void Send(uint32_t code, intptr_t param) override {
        Check(code == EV_FILE_PROGRESS);
        Check(param >= last_ && param <= 1000);
        last_ = param;
    }
    void Post(uint32_t, intptr_t) override { std::abort(); }

  private:
    intptr_t last_ = 0;
};

// The stream's rules over byte arrays: every piece is an exact read, the
// old file is sought with a signed 32-bit offset, lengths are at most a block.
class Model {
  public:
    Model(const Bytes& oldData, const uint8_t* stream, size_t size)
        : old_(oldData), stream_(stream), size_(size) {}

    ResultCode Run() {
        uint32_t magic = 0;
        uint16_t version = 0;
        if (!Take(4, &magic)) return result::kReadProgramFile;
        if (magic != kDeltaMagic) return result::kBadDifferenceData;
        if (!Take(2, &version)) return result::kReadProgramFile;
        if (version > kDeltaVersion) return result::kUnknownDifferenceVersion;
        if (!Take(4, &blockSize_)) return result::kReadProgramFile;
        for (;;) {
            uint8_t opcode = 0;
            if (!Take(1, &opcode)) return result::kReadProgramFile;
            if (opcode == OP_END) return result::kSuccess;
            const ResultCode result = Execute(opcode);
            if (result != result::kSuccess) return result;
        }
    }

    const Bytes& output() const { return output_; }

  private:
    ResultCode Execute(uint8_t opcode) {
        uint32_t offset = 0;
        uint32_t amount = 0;
        switch (opcode) {
            case OP_COPY_BLOCK:
                if (!Take(4, &offset)) return result::kReadProgramFile;
                return FromOld(offset, blockSize_);
            case OP_COPY_BLOCKS:
                if (!Take(4, &offset) || !Take(4, &amount)) return result::kReadProgramFile;
                if (offset > 0x7FFFFFFF) return result::kReadOldFile;
                for (uint64_t i = 0; blockSize_ != 0 && i < amount; ++i) {
                    const ResultCode result = FromOld(offset + i * blockSize_, blockSize_);
                    if (result != result::kSuccess) return result;
                }
                return result::kSuccess;
            case OP_COPY_BYTES:
                if (!Take(4, &offset) || !Take(4, &amount)) return result::kReadProgramFile;
                if (amount > blockSize_) return result::kBadDifferenceData;
                return FromOld(offset, amount);
            case OP_LITERAL_BLOCK:
                return Literal(blockSize_);
            case OP_LITERAL_BLOCKS:
                if (!Take(4, &amount)) return result::kReadProgramFile;
                for (uint32_t i = 0; blockSize_ != 0 && i < amount; ++i) {
                    if (Literal(blockSize_) != result::kSuccess) return result::kReadProgramFile;
                }
                return result::kSuccess;
            case OP_LITERAL_BYTES:
                if (!Take(4, &amount)) return result::kReadProgramFile;
                if (amount > blockSize_) return result::kBadDifferenceData;
                return Literal(amount);
            default:
                return result::kSuccess;
        }
    }

    ResultCode FromOld(uint64_t offset, uint32_t length) {
        if (offset > 0x7FFFFFFF) return result::kReadOldFile;  // no seek there
        if (length == 0) return result::kSuccess;              // even past the end of the file
        if (offset + length > old_.size()) return result::kReadOldFile;
        output_.insert(output_.end(), old_.begin() + offset, old_.begin() + offset + length);
        return result::kSuccess;
    }

    ResultCode Literal(uint32_t length) {
        if (size_ - at_ < length) return result::kReadProgramFile;
        output_.insert(output_.end(), stream_ + at_, stream_ + at_ + length);
        at_ += length;
        return result::kSuccess;
    }

    template <typename T>
    bool Take(size_t count, T* value) {
        if (size_ - at_ < count) return false;
        uint64_t read = 0;
        for (size_t i = 0; i < count; ++i) read |= uint64_t{stream_[at_ + i]} << (8 * i);
        *value = static_cast<T>(read);
        at_ += count;
        return true;
    }

    const Bytes& old_;
    const uint8_t* stream_;
    size_t size_;
    size_t at_ = 0;
    uint32_t blockSize_ = 0;
    Bytes output_;
};

}  // namespace
}  // namespace pkx

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace pkx;
    if (size < 2) return 0;
    static fuzz::Folder folder("pkx-delta-fuzz-");
    const size_t oldSize = std::min<size_t>(data[0] | data[1] << 8, size - 2);
    const Bytes oldData(data + 2, data + 2 + oldSize);
    const uint8_t* stream = data + 2 + oldSize;
    const size_t streamSize = size - 2 - oldSize;

    ProgressCheck progress;
    ApplyContext context;
    context.events = &progress;
    Bytes output;
    const ResultCode result =
        fuzz::ApplyStream(folder, stream, streamSize, oldData, context, &output);

    // Each copy instruction takes at least 5 stream bytes and yields at most
    // the old file; literal data yields what it takes.
    Check(output.size() <= streamSize + (streamSize / 5 + 1) * oldSize);
    Model model(oldData, stream, streamSize);
    Check(model.Run() == result);
    Check(model.output() == output);
    return 0;
}
