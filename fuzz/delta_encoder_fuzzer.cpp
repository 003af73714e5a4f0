// The builder's difference encoder against the updater's reader. Input: a
// u16 old-file length, the old-file bytes, one byte of settings (low 6 bits:
// the block size, 0 for fitted; top 2 bits: index every 1, 2, 4 or 8 bytes),
// and the new file, which the applied stream must give back. The stream keeps
// to the format and is never longer than the new file as literal data.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_files.h"
#include "package/delta_reader.h"
#include "package/writer/delta_encoder.h"

namespace pkx {
namespace {

using fuzz::Check;
using fuzz::U32At;
using packwriter::Bytes;

// Walks the instructions with the updater's reader; aborts on anything
// outside the format's limits.
void CheckLimits(const Bytes& stream, size_t oldSize) {
    MemoryPackageSource bytes(stream.data(), stream.size());
    PackageCursor in(bytes, 0, stream.size());
    DeltaHeader header;
    Check(ReadDeltaHeader(in, &header) == 0);
    for (;;) {
        DeltaInstruction instruction;
        Check(ReadDeltaInstruction(in, &instruction) == 0);
        if (instruction.opcode == OP_END) break;
        Check(instruction.opcode <= OP_LITERAL_BYTES);
        const uint64_t length = DeltaLength(instruction, header.blockSize);
        if (IsLiteral(instruction.opcode)) {
            Check(in.Skip(length));
        } else {
            Check(uint64_t{instruction.offset} + length <= oldSize);
        }
    }
    Check(in.Remaining() == 0);
}

}  // namespace
}  // namespace pkx

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace pkx;
    if (size < 3) return 0;
    static fuzz::Folder folder("pkx-encoder-fuzz-");
    const size_t oldSize = std::min<size_t>(data[0] | data[1] << 8, size - 3);
    const Bytes oldData(data + 2, data + 2 + oldSize);
    const uint8_t settings = data[2 + oldSize];
    const uint32_t blockChoice = settings & 0x3F;
    const Bytes newData(data + 3 + oldSize, data + size);

    packwriter::DeltaEncoderOptions options;
    options.blockSize = blockChoice;
    options.indexStep = 1u << (settings >> 6);
    const Bytes stream = packwriter::EncodeDeltaStream(oldData, newData, options);
    CheckLimits(stream, oldData.size());
    if (blockChoice == 0) {
        Check(U32At(stream, 6) <= packwriter::kLargestFittedBlockSize);
        // Header, one literal instruction with its data, OP_END.
        Check(stream.size() <= kDeltaHeaderSize + 5 + newData.size() + 1);
    } else {
        Check(U32At(stream, 6) == blockChoice);
    }

    ApplyContext context;
    Bytes output;
    Check(fuzz::ApplyStream(folder, stream.data(), stream.size(), oldData, context, &output) == 0);
    Check(output == newData);
    return 0;
}
