#include "package/file_entries.h"

#include "core/cancellation.h"

namespace pkx {

namespace {

static_assert(sizeof(CheckValue::bytes) == kCheckValueSize, "a check value is 16 bytes");

// Entries are appended as read; only this many are reserved up front.
constexpr uint32_t kReserveLimit = 4096;

enum class RecordKind { kUpdate, kAdd, kDelete };

struct RecordShape {
    RecordKind kind;
    bool hasNewCheckValue;
};

uint64_t MinimumRecordSize(const RecordShape& shape) {
    const uint64_t newCheckValue = shape.hasNewCheckValue ? kCheckValueSize : 0;
    switch (shape.kind) {
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

ResultCode ReadRecord(PackageCursor& in, const RecordShape& shape, FileEntry* entry) {
    if (ReadShortString(in, entry->name) != 0) return result::kReadProgramFile;
    if (shape.kind != RecordKind::kAdd && ReadCheckValue(in, &entry->oldCheckValue) != 0) {
        return result::kReadProgramFile;
    }
    if (shape.kind == RecordKind::kDelete) return result::kSuccess;
    if (shape.hasNewCheckValue && ReadCheckValue(in, &entry->newCheckValue) != 0) {
        return result::kReadProgramFile;
    }
    return ReadDataFields(in, entry);
}

ResultCode ReadList(PackageCursor& in, uint32_t count, const RecordShape& shape,
                    ApplyContext& context, std::vector<FileEntry>* list) {
    list->reserve(count < kReserveLimit ? count : kReserveLimit);
    for (uint32_t i = 0; i < count; ++i) {
        if (CancelRequested(context)) return result::kCancelled;
        FileEntry entry;
        if (ReadRecord(in, shape, &entry) != 0) return result::kReadProgramFile;
        list->push_back(entry);
    }
    return result::kSuccess;
}

}  // namespace

ResultCode ReadFileEntries(PackageCursor& in, const RecordCounts& counts, ApplyContext& context,
                           FileEntryLists* lists) {
    const bool newCheckValues = context.hasNewCheckValues == 1;
    const RecordShape update{RecordKind::kUpdate, newCheckValues};
    const RecordShape add{RecordKind::kAdd, newCheckValues};
    const RecordShape remove{RecordKind::kDelete, false};
    // Every record takes at least its fixed fields, so counts that the rest of
    // the file cannot hold are refused before any memory is taken for them.
    const uint64_t smallest = counts.updates * MinimumRecordSize(update) +
                              counts.adds * MinimumRecordSize(add) +
                              counts.deletes * MinimumRecordSize(remove);
    lists->updates.clear();
    lists->adds.clear();
    lists->deletes.clear();
    if (!in.Fits(smallest)) {
        in.Fail();
        return result::kReadProgramFile;
    }

    ResultCode code = ReadList(in, counts.updates, update, context, &lists->updates);
    if (code == 0) code = ReadList(in, counts.adds, add, context, &lists->adds);
    if (code == 0) code = ReadList(in, counts.deletes, remove, context, &lists->deletes);
    return code;
}

}  // namespace pkx
