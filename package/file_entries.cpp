#include "package/file_entries.h"

#include "core/cancellation.h"

namespace pkx {

namespace {

static_assert(sizeof(CheckValue::bytes) == kCheckValueSize, "a check value is 16 bytes");

// Entries are appended as read; only this many are reserved up front.
constexpr uint32_t kReserveLimit = 4096;

uint64_t MinimumRecordSize(RecordKind kind, bool newCheckValues) {
    const uint64_t newCheckValue = newCheckValues ? kCheckValueSize : 0;
    switch (kind) {
        case RecordKind::kUpdate:
            return kMinimumUpdateRecordSize + newCheckValue;
        case RecordKind::kAdd:
            return kMinimumAddRecordSize + newCheckValue;
        case RecordKind::kDelete:
            return kDeleteRecordSize;
    }
    return 0;
}

ResultCode ReadCheckValue(PackageCursor& in, CheckValue* value) {
    return in.Read(value->bytes, sizeof(value->bytes)) ? result::kSuccess
                                                       : result::kReadProgramFile;
}

ResultCode ReadDataFields(PackageCursor& in, FileEntry* entry) {
    if (!in.ReadU32(&entry->writeTime.low)) return result::kReadProgramFile;
    if (!in.ReadU32(&entry->writeTime.high)) return result::kReadProgramFile;
    if (!in.ReadU32(&entry->dataOffset)) return result::kReadProgramFile;
    if (!in.ReadU32(&entry->dataSize)) return result::kReadProgramFile;
    return result::kSuccess;
}

ResultCode ReadList(PackageCursor& in, uint32_t count, RecordKind kind, bool newCheckValues,
                    ApplyContext& context, std::vector<FileEntry>* list) {
    list->reserve(count < kReserveLimit ? count : kReserveLimit);
    for (uint32_t i = 0; i < count; ++i) {
        if (CancelRequested(context)) return result::kCancelled;
        FileEntry entry;
        if (ReadRecord(in, kind, newCheckValues, &entry) != 0) return result::kReadProgramFile;
        list->push_back(entry);
    }
    return result::kSuccess;
}

// The record stream as a cursor's source, read in order. It remembers why
// a read failed: the stream's code, or none when the cursor's bound did.
class RecordStreamSource final : public PackageSource {
  public:
    explicit RecordStreamSource(CompressedStreamReader& stream) : stream_(stream) {}
    bool MoveTo(uint64_t) override { return true; }
    bool Read(void* buffer, uint32_t count) override {
        code_ = stream_.Read(static_cast<uint8_t*>(buffer), count);
        return code_ == result::kSuccess;
    }
    bool Skip(uint64_t) override { return false; }
    ResultCode code() const { return code_; }

  private:
    CompressedStreamReader& stream_;
    ResultCode code_ = result::kSuccess;
};

}  // namespace

ResultCode ReadBlockEntries(PackageSource& source, PackageCursor& block, const RecordCounts& counts,
                            bool newCheckValues, ApplyContext& context, DataBlock* header,
                            FileEntryLists* lists) {
    if (!block.MoveToStart()) return result::kReadProgramFile;
    ResultCode code = ReadDataBlock(block, header);
    CompressedStreamReader stream;
    if (code == result::kSuccess) code = stream.Open(source, header->streams[kRecordStream]);
    if (code != result::kSuccess) return code;
    RecordStreamSource records(stream);
    PackageCursor in(records, 0, header->streams[kRecordStream].uncompressedSize);
    code = ReadFileEntries(in, counts, newCheckValues, context, lists);
    if (code == result::kCancelled) return code;
    if (records.code() != result::kSuccess) return records.code();
    return code == result::kSuccess && in.Remaining() == 0 ? result::kSuccess
                                                           : result::kBadDifferenceData;
}

bool RecordsFit(const PackageCursor& in, const RecordCounts& counts, bool newCheckValues) {
    const uint64_t smallest =
        counts.updates * MinimumRecordSize(RecordKind::kUpdate, newCheckValues) +
        counts.adds * MinimumRecordSize(RecordKind::kAdd, newCheckValues) +
        counts.deletes * MinimumRecordSize(RecordKind::kDelete, newCheckValues);
    return in.Fits(smallest);
}

ResultCode ReadRecord(PackageCursor& in, RecordKind kind, bool newCheckValues, FileEntry* entry) {
    if (ReadShortString(in, entry->name) != 0) return result::kReadProgramFile;
    if (kind != RecordKind::kAdd && ReadCheckValue(in, &entry->oldCheckValue) != 0) {
        return result::kReadProgramFile;
    }
    if (kind == RecordKind::kDelete) return result::kSuccess;
    if (newCheckValues && ReadCheckValue(in, &entry->newCheckValue) != 0) {
        return result::kReadProgramFile;
    }
    return ReadDataFields(in, entry);
}

ResultCode ReadFileEntries(PackageCursor& in, const RecordCounts& counts, bool newCheckValues,
                           ApplyContext& context, FileEntryLists* lists) {
    lists->updates.clear();
    lists->adds.clear();
    lists->deletes.clear();
    // Every record takes at least its fixed fields, so counts that the rest of
    // the file cannot hold are refused before any memory is taken for them.
    if (!RecordsFit(in, counts, newCheckValues)) {
        in.Fail();
        return result::kReadProgramFile;
    }
    ResultCode code =
        ReadList(in, counts.updates, RecordKind::kUpdate, newCheckValues, context, &lists->updates);
    if (code == 0) {
        code = ReadList(in, counts.adds, RecordKind::kAdd, newCheckValues, context, &lists->adds);
    }
    if (code == 0) {
        code = ReadList(in, counts.deletes, RecordKind::kDelete, newCheckValues, context,
                        &lists->deletes);
    }
    return code;
}

}  // namespace pkx
