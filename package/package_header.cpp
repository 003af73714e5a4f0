#include "package/package_header.h"

#include <cstring>
#include <new>

#include "package/read_limits.h"
#include "texts/text_table.h"

namespace pkx {

namespace {

// Lookups are appended as read; only this many are reserved up front.
constexpr uint32_t kLookupReserveLimit = 64;

void CopyLabel(char* destination, const char* label, const char* fallback) {
    std::strcpy(destination, label[0] != 0 ? label : fallback);
}

ResultCode ReadLabels(BinaryFile& file, PackageRef& package, ApplyContext& context) {
    if (ReadShortString(file, context.title) != 0) return result::kReadProgramFile;
    if (ReadShortString(file, context.oldVersionLabel) != 0) return result::kReadProgramFile;
    CopyLabel(package.oldVersionLabel, context.oldVersionLabel, "Old Version");
    if (ReadShortString(file, context.newVersionLabel) != 0) return result::kReadProgramFile;
    CopyLabel(package.newVersionLabel, context.newVersionLabel, "New Version");
    if (ReadShortString(file, context.rightsText) != 0) return result::kReadProgramFile;
    return result::kSuccess;
}

ResultCode ReadPassword(BinaryFile& file, ApplyContext& context, uint8_t* flag) {
    if (file.ReadU8(flag) != 0) return result::kReadProgramFile;
    if (*flag != kPasswordProtected) return result::kSuccess;
    uint8_t digest[sizeof(context.passwordDigest)];
    if (file.Read(digest, sizeof(digest)) != 0) return result::kReadProgramFile;
    std::memcpy(context.passwordDigest, digest, sizeof(digest));
    return result::kSuccess;
}

ResultCode ReadLanguageBlocks(BinaryFile& file, ApplyContext& context, uint16_t version) {
    if (file.ReadU8(&context.deleteBackupsDefault) != 0) return result::kReadProgramFile;
    uint16_t count = 0;
    if (file.ReadU16(&count) != 0) return result::kReadProgramFile;
    for (uint32_t i = 0; i < count; ++i) {
        const ResultCode code = ReadLanguageBlock(file, context, version);
        if (code != 0) return code;
    }
    return result::kSuccess;
}

ResultCode ReadHeaderFields(BinaryFile& file, PackageRef& package, ApplyContext& context,
                            HeaderStart* start) {
    // An offset beyond 2 GiB becomes a negative distance, which the seek refuses.
    if (file.Seek(static_cast<int32_t>(package.offset), kFileBegin) == kBadPosition) {
        return result::kReadProgramFile;
    }
    uint32_t magic = 0;  // tested only for the payload as a whole
    if (file.ReadU32(&magic) != 0) return result::kReadProgramFile;
    if (file.ReadU16(&start->version) != 0) return result::kReadProgramFile;
    if (start->version > kNewestFormatVersion) return result::kUnknownVersion;
    if (ReadLabels(file, package, context) != 0) return result::kReadProgramFile;
    if (ReadPassword(file, context, &start->passwordFlag) != 0) return result::kReadProgramFile;
    context.deleteBackupsDefault = 1;
    context.textCodePage = 0;
    if (start->version < gate::kLanguageBlocks) return result::kSuccess;
    return ReadLanguageBlocks(file, context, start->version);
}

// Older blocks borrow texts 1069 to 1071 from the program's string table,
// in Japanese or, from 2069 on, in English.
void LoadLateTexts(ApplyContext& context, bool first) {
    const bool japanese = first || systemCodePage == kDefaultTextCodePage;
    for (uint32_t i = 0; i < kLateTextCount; ++i) {
        const uint32_t id = kFirstLateText + i;
        const uint32_t resource = japanese ? id : id + kEnglishTextOffset;
        LoadResourceText(resource, context.texts[id], kTextBufferSize);
    }
}

ResultCode ReadBlockTexts(BinaryFile& file, ApplyContext& context, uint32_t count, bool selected) {
    for (uint32_t i = 0; i < count; ++i) {
        char text[kTextBufferSize];
        if (ReadShortString(file, text) != 0) return result::kReadProgramFile;
        if (!selected) continue;
        char* slot = context.texts.slots[i];
        std::memcpy(slot, text, std::strlen(text) + 1);
        ConvertLineBreaks(slot);
    }
    return result::kSuccess;
}

ResultCode ReadLookupRecord(BinaryFile& file, LookupRecord* record) {
    if (file.ReadU8(&record->stepKind) != 0) return result::kReadProgramFile;
    if (file.ReadU8(&record->index) != 0) return result::kReadProgramFile;
    if (ReadShortString(file, record->text1) != 0) return result::kReadProgramFile;
    if (ReadShortString(file, record->text2) != 0) return result::kReadProgramFile;
    if (ReadShortString(file, record->text3) != 0) return result::kReadProgramFile;
    if (file.ReadU8(&record->resultSlot) != 0) return result::kReadProgramFile;
    return result::kSuccess;
}

ResultCode ReadLookupRecords(BinaryFile& file, std::vector<LookupRecord>* lookups) {
    uint32_t count = 0;
    if (file.ReadU32(&count) != 0) return result::kReadProgramFile;
    if (CheckFitsInFile(file, uint64_t{count} * kMinimumLookupRecordSize) != 0) {
        return result::kReadProgramFile;
    }
    lookups->reserve(count < kLookupReserveLimit ? count : kLookupReserveLimit);
    for (uint32_t i = 0; i < count; ++i) {
        LookupRecord record;
        if (ReadLookupRecord(file, &record) != 0) return result::kReadProgramFile;
        lookups->push_back(record);
    }
    return result::kSuccess;
}

// A heap copy of `length` bytes from the file, NUL-terminated.
ResultCode ReadNoticeText(BinaryFile& file, uint32_t length, NoticeText* text) {
    if (CheckFitsInFile(file, length) != 0) return result::kReadProgramFile;
    NoticeText buffer(new (std::nothrow) char[static_cast<size_t>(length) + 1]);
    if (!buffer) return result::kReadProgramFile;
    if (file.Read(buffer.get(), length) != 0) return result::kReadProgramFile;
    buffer[length] = 0;
    *text = std::move(buffer);
    return result::kSuccess;
}

// One text of a notice block: taken when the block matches and the text is
// not empty, otherwise passed over.
ResultCode ReadNoticeBlockText(BinaryFile& file, bool matches, NoticeText* text) {
    uint32_t length = 0;
    if (file.ReadU32(&length) != 0) return result::kReadProgramFile;
    if (!matches) return SkipBytes(file, length);
    if (length == 0) return result::kSuccess;
    return ReadNoticeText(file, length, text);
}

ResultCode ReadNoticePair(BinaryFile& file, NoticeText* before, NoticeText* after) {
    if (ReadNoticeBlockText(file, true, before) != 0) return result::kReadProgramFile;
    return ReadNoticeBlockText(file, true, after);
}

ResultCode ReadNoticeBlocks(BinaryFile& file, NoticeText* before, NoticeText* after) {
    uint16_t count = 0;
    if (file.ReadU16(&count) != 0) return result::kReadProgramFile;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t codePage = 0;
        if (file.ReadU32(&codePage) != 0) return result::kReadProgramFile;
        const bool matches = codePage == 0 || codePage == systemCodePage;
        if (ReadNoticeBlockText(file, matches, before) != 0) return result::kReadProgramFile;
        if (ReadNoticeBlockText(file, matches, after) != 0) return result::kReadProgramFile;
    }
    return result::kSuccess;
}

}  // namespace

ResultCode ReadShortString(BinaryFile& file, char* buffer) {
    uint8_t length = 0;
    if (file.ReadU8(&length) != 0) return result::kReadProgramFile;
    // Read aside so that a short read leaves the destination as it was.
    char text[kPathBufferSize];
    if (file.ReadString(text, length) != 0) return result::kReadProgramFile;
    std::memcpy(buffer, text, static_cast<size_t>(length) + 1);
    return result::kSuccess;
}

ResultCode ReadHeaderStart(BinaryFile& file, PackageRef& package, ApplyContext& context,
                           HeaderStart* start) {
    *start = HeaderStart();
    const ResultCode code = ReadHeaderFields(file, package, context, start);
    // Also after a failure: the error itself is shown with these texts.
    if (context.textCodePage == 0) LoadDefaultTexts(context);
    return code;
}

ResultCode ReadLanguageBlock(BinaryFile& file, ApplyContext& context, uint16_t version) {
    const bool first = context.textCodePage == 0;
    uint32_t codePage = 0;
    if (file.ReadU32(&codePage) != 0) return result::kReadProgramFile;
    const bool selected = first || codePage == systemCodePage;
    if (selected) context.textCodePage = codePage;

    // The face is kept as read; it is cut to the font records' 31 bytes
    // where fonts are made.
    char face[kPathBufferSize];
    if (ReadShortString(file, face) != 0) return result::kReadProgramFile;
    if (selected) std::strcpy(context.fontFace, face);
    uint8_t height = 0;
    if (file.ReadU8(&height) != 0) return result::kReadProgramFile;
    if (selected) context.fontHeight = height;

    if (version < gate::kLateTexts) LoadLateTexts(context, first);
    const uint32_t count = version >= gate::kLateTexts ? kFullTextCount : kShortTextCount;
    return ReadBlockTexts(file, context, count, selected);
}

ResultCode ReadFolderSourceCount(BinaryFile& file, uint16_t version, uint8_t* count) {
    if (version < gate::kSourceList) {
        *count = 1;
        return result::kSuccess;
    }
    return file.ReadU8(count) == 0 ? result::kSuccess : result::kReadProgramFile;
}

ResultCode ReadFolderSource(BinaryFile& file, uint16_t version, FolderSource* source) {
    *source = FolderSource();
    if (file.ReadU8(&source->kind) != 0) return result::kReadProgramFile;
    const uint8_t kind = source->kind;
    if (kind == kSourceComposite) {
        if (version < gate::kLanguageBlocks) return result::kSuccess;
        return ReadLookupRecords(file, &source->lookups);
    }
    if (kind < kSourceRegistry || kind > kSourceFixedPath) return result::kSuccess;
    if (file.ReadU8(&source->index) != 0) return result::kReadProgramFile;
    if (ReadShortString(file, source->text1) != 0) return result::kReadProgramFile;
    if (kind == kSourceFixedPath) return result::kSuccess;
    if (ReadShortString(file, source->text2) != 0) return result::kReadProgramFile;
    if (kind == kSourceRegistry) return result::kSuccess;
    return ReadShortString(file, source->text3);
}

ResultCode ReadRunningCheck(BinaryFile& file, RunningCheck* check) {
    *check = RunningCheck();
    if (file.ReadU8(&check->kind) != 0) return result::kReadProgramFile;
    if (check->kind == kCheckWindow) {
        if (ReadShortString(file, check->windowTitle) != 0) return result::kReadProgramFile;
        if (ReadShortString(file, check->windowClass) != 0) return result::kReadProgramFile;
    } else if (check->kind == kCheckProcess) {
        if (ReadShortString(file, check->processName) != 0) return result::kReadProgramFile;
    } else {
        return result::kSuccess;
    }
    return file.ReadU8(&check->waitFlag) == 0 ? result::kSuccess : result::kReadProgramFile;
}

ResultCode ReadNoticeTexts(BinaryFile& file, uint16_t version, NoticeText* before,
                           NoticeText* after) {
    before->reset();
    after->reset();
    if (version < gate::kRunningCheck) return result::kSuccess;
    if (version < gate::kSourceList) return ReadNoticePair(file, before, after);
    return ReadNoticeBlocks(file, before, after);
}

ResultCode ReadOptionsAndCounts(BinaryFile& file, uint16_t version, ApplyContext& context,
                                RecordCounts* counts) {
    context.hasNewCheckValues = 0;
    context.skipMissingSources = 0;
    context.overwriteExistingAdds = 0;
    context.skipMissingDeletes = 0;
    if (version >= gate::kSourceList && file.ReadU8(&context.hasNewCheckValues) != 0) {
        return result::kReadProgramFile;
    }
    if (version >= gate::kLanguageBlocks) {
        if (file.ReadU8(&context.skipMissingSources) != 0) return result::kReadProgramFile;
        if (file.ReadU8(&context.overwriteExistingAdds) != 0) return result::kReadProgramFile;
        if (file.ReadU8(&context.skipMissingDeletes) != 0) return result::kReadProgramFile;
    }
    if (file.ReadU8(&counts->checkMode) != 0) return result::kReadProgramFile;
    if (file.ReadU32(&counts->updates) != 0) return result::kReadProgramFile;
    if (file.ReadU32(&counts->adds) != 0) return result::kReadProgramFile;
    if (file.ReadU32(&counts->deletes) != 0) return result::kReadProgramFile;
    return result::kSuccess;
}

}  // namespace pkx
