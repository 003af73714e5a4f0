// The data block of compressed packages: its reader, the LZMA decoder and
// the compact instructions. Input: a mode byte, then
//   mode 0: a u8 update count (bits 0 to 2; bits 3 to 5 a delete count,
//           bit 7 the new check values flag), a u8 add count, a u16 data
//           size per record (little-endian), and the data block itself;
//   mode 1: a u8 damage count, per damage a u16 offset and an xor byte, a
//           u16 old-file length, the old file (or what is left) and the new
//           file; the pair is encoded (one update) and the damage applied
//           to the data block;
//   mode 2: as mode 1 without damage.
// Whatever the check accepts must rebuild records of exactly their data
// sizes; an undamaged encoding must be accepted and rebuild the new file.
// Mode 0 also reads the block's record stream as the updater reads records.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_files.h"
#include "package/file_entries.h"
#include "package/writer/data_block_writer.h"
#include "tests/compressed_data_model.h"

namespace pkx {
namespace {

using fuzz::Check;
using test::ByteVector;

class Input {
  public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint32_t Take(size_t count) {
        uint32_t value = 0;
        for (size_t i = 0; i < count && at_ < size_; ++i)
            value |= uint32_t{data_[at_++]} << (8 * i);
        return value;
    }
    ByteVector Rest(size_t most) {
        const size_t count = std::min(most, size_ - at_);
        ByteVector bytes(data_ + at_, data_ + at_ + count);
        at_ += count;
        return bytes;
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// The check, then, when it passes, every record rebuilt from `old`.
ResultCode CheckAndRebuild(const ByteVector& block, const std::vector<FileEntry>& updates,
                           const std::vector<FileEntry>& adds, const ByteVector& old,
                           ByteVector* firstFile) {
    test::MemorySource source(block);
    PackageCursor cursor(source, 0, block.size());
    ApplyContext context;
    // The streams held whole, or decoded again after the check.
    DataBlockReader reader(block.size() % 2 == 0 ? kMaxWindowTotal : 0);
    const ResultCode checked = CheckDataBlock(reader, source, cursor, updates.data(),
                                              static_cast<uint32_t>(updates.size()), adds.data(),
                                              static_cast<uint32_t>(adds.size()), context);
    Check(checked == result::kSuccess || checked == result::kBadDifferenceData);
    if (checked != result::kSuccess) return checked;

    for (size_t i = 0; i < updates.size() + adds.size(); ++i) {
        const bool update = i < updates.size();
        const uint32_t size = update ? updates[i].dataSize : adds[i - updates.size()].dataSize;
        ByteVector file;
        const ResultCode code = update ? test::RebuildUpdate(reader, old, size, &file)
                                       : test::TakeStream(reader.literals(), size, &file);
        // Only the old file's size is not known to the check.
        Check(code == result::kSuccess || (update && code == result::kReadOldFile));
        if (code != result::kSuccess) return code;
        Check(file.size() == size);
        if (i == 0) *firstFile = file;
    }
    Check(reader.Finish() == result::kSuccess);
    return result::kSuccess;
}

// The records as the updater reads them: exactly the counts, or refused.
void ReadRecords(const ByteVector& block, const RecordCounts& counts, bool newCheckValues) {
    test::MemorySource source(block);
    PackageCursor cursor(source, 0, block.size());
    ApplyContext context;
    DataBlock header;
    FileEntryLists lists;
    const ResultCode code =
        ReadBlockEntries(source, cursor, counts, newCheckValues, context, &header, &lists);
    Check(code == result::kSuccess || code == result::kBadDifferenceData);
    if (code != result::kSuccess) return;
    Check(lists.updates.size() == counts.updates && lists.adds.size() == counts.adds &&
          lists.deletes.size() == counts.deletes);
    for (const FileEntry& entry : lists.updates) Check(std::memchr(entry.name, 0, kPathBufferSize));
}

void FuzzBlock(Input& input) {
    const uint32_t first = input.Take(1);
    std::vector<FileEntry> updates(first % 8);
    std::vector<FileEntry> adds(input.Take(1) % 8);
    for (FileEntry& entry : updates) entry.dataSize = input.Take(2);
    for (FileEntry& entry : adds) entry.dataSize = input.Take(2);
    const ByteVector block = input.Rest(SIZE_MAX);
    const ByteVector old(4096, 0x5A);
    ByteVector rebuilt;
    CheckAndRebuild(block, updates, adds, old, &rebuilt);
    RecordCounts counts;
    counts.updates = static_cast<uint32_t>(updates.size());
    counts.adds = static_cast<uint32_t>(adds.size());
    counts.deletes = first >> 3 & 7;
    ReadRecords(block, counts, (first & 0x80) != 0);
}

void FuzzPair(Input& input, bool damaged) {
    std::vector<std::pair<uint32_t, uint8_t>> damages(damaged ? input.Take(1) % 4 + 1 : 0);
    for (auto& damage : damages) {
        damage.first = input.Take(2);
        damage.second = static_cast<uint8_t>(input.Take(1) | 1);
    }
    const ByteVector old = input.Rest(input.Take(2));
    const ByteVector now = input.Rest(SIZE_MAX);
    packwriter::CompactStreams streams;
    packwriter::EncodeCompactDelta(old, now, &streams);
    ByteVector block = packwriter::BuildDataBlock(streams);
    for (const auto& damage : damages) block[damage.first % block.size()] ^= damage.second;

    std::vector<FileEntry> updates(1);
    updates[0].dataSize = static_cast<uint32_t>(now.size());
    ByteVector rebuilt;
    const ResultCode code = CheckAndRebuild(block, updates, {}, old, &rebuilt);
    if (!damaged) Check(code == result::kSuccess && rebuilt == now);
}

}  // namespace
}  // namespace pkx

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace pkx;
    if (size < 1) return 0;
    Input input(data + 1, size - 1);
    switch (data[0] % 3) {
        case 0:
            FuzzBlock(input);
            break;
        case 1:
            FuzzPair(input, true);
            break;
        default:
            FuzzPair(input, false);
            break;
    }
    return 0;
}
