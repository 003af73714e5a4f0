#include "package/package_header.h"

#include <cstring>
#include <new>

#include "platform/platform.h"
#include "texts/text_table.h"

namespace pkx {

namespace {

static_assert(sizeof(ApplyContext::passwordDigest) == kDigestSize, "the password digest is MD5");

// Lookups are appended as read; only this many are reserved up front.
constexpr uint32_t kLookupReserveLimit = 64;

void CopyLabel(char* destination, const char* label, const char* fallback) {
    std::strcpy(destination, label[0] != 0 ? label : fallback);
}

ResultCode ReadLabels(PackageCursor& in, PackageRef& package, ApplyContext& context) {
    if (ReadShortString(in, context.title) != 0) return result::kReadProgramFile;
    if (ReadShortString(in, context.oldVersionLabel) != 0) return result::kReadProgramFile;
    CopyLabel(package.oldVersionLabel, context.oldVersionLabel, "Old Version");
    if (ReadShortString(in, context.newVersionLabel) != 0) return result::kReadProgramFile;
    CopyLabel(package.newVersionLabel, context.newVersionLabel, "New Version");
    if (ReadShortString(in, context.rightsText) != 0) return result::kReadProgramFile;
    return result::kSuccess;
}

ResultCode ReadPassword(PackageCursor& in, ApplyContext& context, uint8_t* flag) {
    if (!in.ReadU8(flag)) return result::kReadProgramFile;
    if (*flag != kPasswordProtected) return result::kSuccess;
    uint8_t digest[sizeof(context.passwordDigest)];
    if (!in.Read(digest, sizeof(digest))) return result::kReadProgramFile;
    std::memcpy(context.passwordDigest, digest, sizeof(digest));
    return result::kSuccess;
}

ResultCode ReadLanguageBlocks(PackageCursor& in, ApplyContext& context, uint16_t version) {
    if (!in.ReadU8(&context.deleteBackupsDefault)) return result::kReadProgramFile;
    uint16_t count = 0;
    if (!in.ReadU16(&count)) return result::kReadProgramFile;
    for (uint32_t i = 0; i < count; ++i) {
        const ResultCode code = ReadLanguageBlock(in, context, version);
        if (code != 0) return code;
    }
    return result::kSuccess;
}

ResultCode ReadHeaderFields(PackageCursor& in, PackageRef& package, ApplyContext& context,
                            HeaderStart* start) {
    if (!in.MoveToStart()) return result::kReadProgramFile;
    uint32_t magic = 0;  // tested only for the payload as a whole
    if (!in.ReadU32(&magic)) return result::kReadProgramFile;
    if (!in.ReadU16(&start->version)) return result::kReadProgramFile;
    if (start->version > kNewestFormatVersion) return result::kUnknownVersion;
    if (ReadLabels(in, package, context) != 0) return result::kReadProgramFile;
    if (ReadPassword(in, context, &start->passwordFlag) != 0) return result::kReadProgramFile;
    context.deleteBackupsDefault = 1;
    context.textCodePage = 0;
    if (start->version < gate::kLanguageBlocks) return result::kSuccess;
    return ReadLanguageBlocks(in, context, start->version);
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

// A selected block's texts enter the table from the block's code page.
ResultCode ReadBlockTexts(PackageCursor& in, ApplyContext& context, uint32_t count, bool selected,
                          uint32_t codePage) {
    for (uint32_t i = 0; i < count; ++i) {
        char text[kTextBufferSize];
        if (ReadShortString(in, text) != 0) return result::kReadProgramFile;
        if (!selected) continue;
        char* slot = context.texts.slots[i];
        Os().ConvertToInside(codePage, text, slot, kTextBufferSize);
        ConvertLineBreaks(slot);
    }
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

ResultCode ReadHeaderStart(PackageCursor& in, PackageRef& package, ApplyContext& context,
                           HeaderStart* start) {
    *start = HeaderStart();
    const ResultCode code = ReadHeaderFields(in, package, context, start);
    // Also after a failure: the error itself is shown with these texts.
    if (context.textCodePage == 0) LoadDefaultTexts(context);
    return code;
}

ResultCode ReadLanguageBlock(PackageCursor& in, ApplyContext& context, uint16_t version) {
    const bool first = context.textCodePage == 0;
    uint32_t codePage = 0;
    if (!in.ReadU32(&codePage)) return result::kReadProgramFile;
    const bool selected = first || codePage == systemCodePage;
    if (selected) context.textCodePage = codePage;

    // The face is kept as read; it is cut to the font records' 31 bytes
    // where fonts are made.
    char face[kPathBufferSize];
    if (ReadShortString(in, face) != 0) return result::kReadProgramFile;
    if (selected) std::strcpy(context.fontFace, face);
    uint8_t height = 0;
    if (!in.ReadU8(&height)) return result::kReadProgramFile;
    if (selected) context.fontHeight = height;

    if (version < gate::kLateTexts) LoadLateTexts(context, first);
    const uint32_t count = version >= gate::kLateTexts ? kFullTextCount : kShortTextCount;
    return ReadBlockTexts(in, context, count, selected, codePage);
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

ResultCode ReadDocumentName(PackageCursor& in, ApplyContext& context) {
    return ReadShortString(in, context.openAfterName);
}

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
