#include "package/package_header.h"

#include <cstring>
#include <new>

namespace pkx {

namespace {

// Lookups are appended as read; only this many are reserved up front.
constexpr uint32_t kLookupReserveLimit = 64;

// One field group after another, `step` naming the last one read whole.
ResultCode ReadHeaderFields(PackageCursor& in, char* const (&texts)[kHeaderTextCount],
                            HeaderStart* start) {
    if (!in.MoveToStart()) return result::kReadProgramFile;
    uint32_t magic = 0;  // tested only for the payload as a whole
    if (!in.ReadU32(&magic)) return result::kReadProgramFile;
    if (!in.ReadU16(&start->version)) return result::kReadProgramFile;
    start->step = HeaderStep::kVersion;
    if (!IsReadableVersion(start->version)) return result::kUnknownVersion;
    for (char* text : texts) {
        if (ReadShortString(in, text) != 0) return result::kReadProgramFile;
        ++start->textsRead;
    }
    if (!in.ReadU8(&start->passwordFlag)) return result::kReadProgramFile;
    if (start->passwordFlag == kPasswordProtected && !in.Read(start->passwordDigest, kDigestSize)) {
        return result::kReadProgramFile;
    }
    start->step = HeaderStep::kPassword;
    start->deleteBackupsDefault = 1;
    if (start->version < gate::kLanguageBlocks) return result::kSuccess;
    if (!in.ReadU8(&start->deleteBackupsDefault)) return result::kReadProgramFile;
    start->step = HeaderStep::kDeleteBackupsDefault;
    if (!in.ReadU16(&start->languageBlockCount)) return result::kReadProgramFile;
    start->step = HeaderStep::kLanguageBlockCount;
    return result::kSuccess;
}

ResultCode ReadLookupRecord(PackageCursor& in, LookupRecord* record) {
    if (!in.ReadU8(&record->stepKind)) return result::kReadProgramFile;
    if (!in.ReadU8(&record->index)) return result::kReadProgramFile;
    if (ReadShortString(in, record->text1) != 0) return result::kReadProgramFile;
    if (ReadShortString(in, record->text2) != 0) return result::kReadProgramFile;
    if (ReadShortString(in, record->text3) != 0) return result::kReadProgramFile;
    if (!in.ReadU8(&record->resultSlot)) return result::kReadProgramFile;
    return result::kSuccess;
}

ResultCode ReadLookupRecords(PackageCursor& in, std::vector<LookupRecord>* lookups) {
    uint32_t count = 0;
    if (!in.ReadU32(&count)) return result::kReadProgramFile;
    if (!in.Fits(uint64_t{count} * kMinimumLookupRecordSize)) {
        in.Fail();
        return result::kReadProgramFile;
    }
    lookups->reserve(count < kLookupReserveLimit ? count : kLookupReserveLimit);
    for (uint32_t i = 0; i < count; ++i) {
        LookupRecord record;
        if (ReadLookupRecord(in, &record) != 0) return result::kReadProgramFile;
        lookups->push_back(record);
    }
    return result::kSuccess;
}

}  // namespace

ResultCode ReadShortString(PackageCursor& in, char* buffer) {
    return in.ReadShortString(buffer) ? result::kSuccess : result::kReadProgramFile;
}

ResultCode ReadHeaderStart(PackageCursor& in, char* const (&texts)[kHeaderTextCount],
                           HeaderStart* start) {
    *start = HeaderStart{};
    return ReadHeaderFields(in, texts, start);
}

ResultCode ReadLanguageBlockHead(PackageCursor& in, LanguageBlockHead* head) {
    head->fieldsRead = 0;
    if (!in.ReadU32(&head->codePage)) return result::kReadProgramFile;
    head->fieldsRead = 1;
    if (ReadShortString(in, head->fontFace) != 0) return result::kReadProgramFile;
    head->fieldsRead = 2;
    if (!in.ReadU8(&head->fontHeight)) return result::kReadProgramFile;
    head->fieldsRead = 3;
    return result::kSuccess;
}

ResultCode FolderSourceList::ReadCount() {
    if (version_ < gate::kSourceList) {
        count_ = 1;
        return result::kSuccess;
    }
    return in_.ReadU8(&count_) ? result::kSuccess : result::kReadProgramFile;
}

ResultCode FolderSourceList::ReadNext(FolderSource* source) {
    PackageCursor& in = in_;
    *source = FolderSource();
    if (!in.ReadU8(&source->kind)) return result::kReadProgramFile;
    const uint8_t kind = source->kind;
    if (kind == kSourceComposite) {
        if (version_ < gate::kLanguageBlocks) return result::kSuccess;
        return ReadLookupRecords(in, &source->lookups);
    }
    if (kind < kSourceRegistry || kind > kSourceFixedPath) return result::kSuccess;
    if (!in.ReadU8(&source->index)) return result::kReadProgramFile;
    if (ReadShortString(in, source->text1) != 0) return result::kReadProgramFile;
    if (kind == kSourceFixedPath) return result::kSuccess;
    if (ReadShortString(in, source->text2) != 0) return result::kReadProgramFile;
    if (kind == kSourceRegistry) return result::kSuccess;
    return ReadShortString(in, source->text3);
}

ResultCode ReadRunningCheck(PackageCursor& in, RunningCheck* check) {
    *check = RunningCheck();
    if (!in.ReadU8(&check->kind)) return result::kReadProgramFile;
    if (check->kind == kCheckWindow) {
        if (ReadShortString(in, check->windowTitle) != 0) return result::kReadProgramFile;
        if (ReadShortString(in, check->windowClass) != 0) return result::kReadProgramFile;
    } else if (check->kind == kCheckProcess) {
        if (ReadShortString(in, check->processName) != 0) return result::kReadProgramFile;
    } else {
        return result::kSuccess;
    }
    return in.ReadU8(&check->waitFlag) ? result::kSuccess : result::kReadProgramFile;
}

ResultCode ReadDocumentName(PackageCursor& in, char* name) { return ReadShortString(in, name); }

// A heap copy of `length` bytes, NUL-terminated; nothing is taken for a
// length the rest of the package cannot hold.
ResultCode NoticeBlockList::ReadText(uint32_t length, NoticeText* text) {
    if (!in_.Fits(length)) {
        in_.Fail();
        return result::kReadProgramFile;
    }
    NoticeText buffer(new (std::nothrow) char[static_cast<size_t>(length) + 1]);
    if (!buffer) return result::kReadProgramFile;
    if (!in_.Read(buffer.get(), length)) return result::kReadProgramFile;
    buffer[length] = 0;
    *text = std::move(buffer);
    return result::kSuccess;
}

ResultCode ReadOptionsAndCounts(PackageCursor& in, uint16_t version, PackageOptions* options,
                                RecordCounts* counts) {
    *options = PackageOptions();
    if (version >= gate::kSourceList && !in.ReadU8(&options->hasNewCheckValues)) {
        return result::kReadProgramFile;
    }
    if (version >= gate::kLanguageBlocks) {
        if (!in.ReadU8(&options->skipMissingSources)) return result::kReadProgramFile;
        if (!in.ReadU8(&options->overwriteExistingAdds)) return result::kReadProgramFile;
        if (!in.ReadU8(&options->skipMissingDeletes)) return result::kReadProgramFile;
    }
    if (!in.ReadU8(&counts->checkMode)) return result::kReadProgramFile;
    if (!in.ReadU32(&counts->updates)) return result::kReadProgramFile;
    if (!in.ReadU32(&counts->adds)) return result::kReadProgramFile;
    if (!in.ReadU32(&counts->deletes)) return result::kReadProgramFile;
    return result::kSuccess;
}

}  // namespace pkx
