#include "engine/header_choice.h"

#include <cstring>

#include "platform/platform.h"
#include "texts/text_table.h"

namespace pkx {

namespace {

static_assert(sizeof(ApplyContext::passwordDigest) == kDigestSize, "the password digest is MD5");

void CopyLabel(char* destination, const char* label, const char* fallback) {
    std::strcpy(destination, label[0] != 0 ? label : fallback);
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

// A selected block's texts enter the table from the block's code page, each
// as it is read.
ResultCode TakeBlockTexts(PackageCursor& in, ApplyContext& context, uint32_t count, bool selected,
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

// The fields of a selected block's head read so far.
void TakeFont(const LanguageBlockHead& head, ApplyContext& context) {
    switch (head.fieldsRead) {
        case 3:
            context.fontHeight = head.fontHeight;
            [[fallthrough]];
        case 2:
            std::strcpy(context.fontFace, head.fontFace);
            [[fallthrough]];
        case 1:
            context.textCodePage = head.codePage;
            break;
        default:
            break;
    }
}

// The first block is taken, and after it every block of the system's code
// page; a block of code page 0 leaves the next one first.
ResultCode TakeLanguageBlock(PackageCursor& in, ApplyContext& context, uint16_t version) {
    const bool first = context.textCodePage == 0;
    LanguageBlockHead head;
    const ResultCode r = ReadLanguageBlockHead(in, &head);
    const bool selected = first || head.codePage == systemCodePage;
    if (selected) TakeFont(head, context);
    if (r != result::kSuccess) return r;
    if (version < gate::kLateTexts) LoadLateTexts(context, first);
    return TakeBlockTexts(in, context, LanguageBlockTextCount(version), selected, head.codePage);
}

ResultCode TakeHeaderFields(PackageCursor& in, PackageRef& package, ApplyContext& context,
                            HeaderStart* start) {
    char* const texts[kHeaderTextCount] = {context.title, context.oldVersionLabel,
                                           context.newVersionLabel, context.rightsText};
    const ResultCode r = ReadHeaderStart(in, texts, start);
    if (start->textsRead > kOldVersionLabel) {
        CopyLabel(package.oldVersionLabel, context.oldVersionLabel, "Old Version");
    }
    if (start->textsRead > kNewVersionLabel) {
        CopyLabel(package.newVersionLabel, context.newVersionLabel, "New Version");
    }
    if (start->step < HeaderStep::kPassword) return r;
    if (start->passwordFlag == kPasswordProtected) {
        std::memcpy(context.passwordDigest, start->passwordDigest, kDigestSize);
    }
    context.deleteBackupsDefault = start->deleteBackupsDefault;
    context.textCodePage = 0;
    if (r != result::kSuccess) return r;
    for (uint32_t i = 0; i < start->languageBlockCount; ++i) {
        const ResultCode code = TakeLanguageBlock(in, context, start->version);
        if (code != result::kSuccess) return code;
    }
    return result::kSuccess;
}

}  // namespace

ResultCode TakeHeaderStart(PackageCursor& in, PackageRef& package, ApplyContext& context,
                           HeaderStart* start) {
    const ResultCode code = TakeHeaderFields(in, package, context, start);
    // Also after a failure: the error itself is shown with these texts.
    if (context.textCodePage == 0) LoadDefaultTexts(context);
    return code;
}

}  // namespace pkx
