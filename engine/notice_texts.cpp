#include "engine/notice_texts.h"

#include <new>

#include "platform/platform.h"

namespace pkx {

namespace {

// A text of `length` bytes in `codePage` (0: not said), held in the code page
// the updater holds texts in; unchanged where that is its own.
ResultCode HoldInside(uint32_t codePage, uint32_t length, NoticeText* text) {
    if (codePage == 0 || Os().InsideCodePage(codePage) == codePage) return result::kSuccess;
    // A character of a Windows code page takes at most three bytes in UTF-8.
    const uint64_t size = uint64_t{length} * 3 + 1;
    if (size > 0xFFFFFFFFu) return result::kReadProgramFile;
    NoticeText held(new (std::nothrow) char[size]);
    if (!held) return result::kReadProgramFile;
    Os().ConvertToInside(codePage, text->get(), held.get(), static_cast<uint32_t>(size));
    *text = std::move(held);
    return result::kSuccess;
}

// One text of a notice block: taken when the block matches and the text is
// not empty, otherwise passed over.
ResultCode TakeNoticeText(NoticeBlockList& list, bool matches, uint32_t codePage,
                          NoticeText* text) {
    uint32_t length = 0;
    if (list.ReadLength(&length) != 0) return result::kReadProgramFile;
    if (!matches) return list.SkipText(length);
    if (length == 0) return result::kSuccess;
    if (list.ReadText(length, text) != 0) return result::kReadProgramFile;
    return HoldInside(codePage, length, text);
}

}  // namespace

ResultCode TakeNoticeTexts(PackageCursor& in, uint16_t version, NoticeText* before,
                           NoticeText* after) {
    before->reset();
    after->reset();
    if (version < gate::kRunningCheck) return result::kSuccess;
    NoticeBlockList list(in, version);
    if (list.ReadCount() != 0) return result::kReadProgramFile;
    for (uint32_t i = 0; i < list.count(); ++i) {
        uint32_t codePage = 0;
        if (list.ReadCodePage(&codePage) != 0) return result::kReadProgramFile;
        const bool matches = codePage == 0 || codePage == systemCodePage;
        if (TakeNoticeText(list, matches, codePage, before) != 0) return result::kReadProgramFile;
        if (TakeNoticeText(list, matches, codePage, after) != 0) return result::kReadProgramFile;
    }
    return result::kSuccess;
}

}  // namespace pkx
