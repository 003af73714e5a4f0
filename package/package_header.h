// Reading the package header, field group by field group.
//
// The worker acts between reads (prompts, folder resolution, running check),
// so the header is read in the order of its fields by separate calls on one
// cursor over the package. Every failed or short read gives kReadProgramFile.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/apply_context.h"
#include "package/format.h"
#include "package/header_fields.h"
#include "package/package_cursor.h"

namespace pkx {

// A u8 length and that many bytes, stored NUL-terminated (buffer of 260).
// After a failed read the buffer keeps its previous contents.
ResultCode ReadShortString(PackageCursor& in, char* buffer);

// A short string as the updater holds it: NUL-terminated.
using ShortText = char[kPathBufferSize];

// The header's texts before the password, in their order.
enum HeaderText : uint32_t { kTitle, kOldVersionLabel, kNewVersionLabel, kRightsText };
inline constexpr uint32_t kHeaderTextCount = 4;

// How far ReadHeaderStart came: the last field group it read whole.
enum class HeaderStep : uint8_t {
    kNone,
    kVersion,   // then the texts; `textsRead` says how many of them
    kPassword,  // the flag and, when protected, the digest
    kDeleteBackupsDefault,
    kLanguageBlockCount,
};

// The header's fields before the language blocks' contents, but for its
// texts, which go to the caller's buffers. Set as a whole by ReadHeaderStart.
struct HeaderStart {
    uint16_t version;
    uint8_t textsRead;
    uint8_t passwordFlag;
    uint8_t passwordDigest[kDigestSize];  // when the flag says protected
    uint8_t deleteBackupsDefault;         // from 120; 1 before
    uint16_t languageBlockCount;          // from 120
    HeaderStep step;
};

// Moves to the package's first byte and reads magic, version, the texts (into
// `texts`, by HeaderText, each a buffer of 260), password, and for version
// >= 120 the delete-backups default and the number of language blocks. The
// fields after `step` and the texts after `textsRead` are not read; their
// buffers keep their contents. Returns 0, kReadProgramFile or
// kUnknownVersion (after the version).
ResultCode ReadHeaderStart(PackageCursor& in, char* const (&texts)[kHeaderTextCount],
                           HeaderStart* start);

// A language block's code page and font; its texts follow, each a short
// string (ReadShortString).
struct LanguageBlockHead {
    uint8_t fieldsRead = 0;  // 0 to 3, in this order:
    uint32_t codePage = 0;
    ShortText fontFace = {};  // kept as read; cut to 31 bytes where fonts are made
    uint8_t fontHeight = 0;
};

ResultCode ReadLanguageBlockHead(PackageCursor& in, LanguageBlockHead* head);

// The number of texts of a block, for the slots from 1000 on: 74 from
// version 130 on, 69 before.
inline uint32_t LanguageBlockTextCount(uint16_t version) {
    return version >= gate::kLateTexts ? kFullTextCount : kShortTextCount;
}

using LookupRecord = LookupRecordOf<ShortText>;
using FolderSource = FolderSourceOf<ShortText>;
using RunningCheck = RunningCheckOf<ShortText>;

// The folder-source list, handed out one parsed entry at a time: the target
// folder resolution acts on each entry before the next is read, and a
// confirmed prompt ends the list with the rest unread (the bytes after it are
// then read as the running check).
class FolderSourceList {
  public:
    FolderSourceList(PackageCursor& in, uint16_t version) : in_(in), version_(version) {}

    // Reads the entry count: a u8 from version 140 on, otherwise 1 without reading.
    ResultCode ReadCount();
    uint32_t count() const { return count_; }
    uint16_t version() const { return version_; }
    // The next entry: its kind byte and every field of that kind.
    ResultCode ReadNext(FolderSource* source);

  private:
    PackageCursor& in_;
    uint16_t version_;
    uint8_t count_ = 0;
};

// Version >= 110 only (the caller tests the gate).
ResultCode ReadRunningCheck(PackageCursor& in, RunningCheck* check);

// The name of the document opened after success (version >= 110).
ResultCode ReadDocumentName(PackageCursor& in, char* name);

// A heap text, NUL-terminated, or null for none.
using NoticeText = std::unique_ptr<char[]>;

// The notice blocks (version >= 110), handed out piece by piece so that the
// texts not shown are passed over unread: below version 140 one block of code
// page 0 (count and code page are not read), from 140 on a u16 count of
// blocks, each a u32 code page; in each block the before- and the after-text,
// each a u32 length and that many bytes.
class NoticeBlockList {
  public:
    NoticeBlockList(PackageCursor& in, uint16_t version) : in_(in), version_(version) {}

    ResultCode ReadCount() {
        count_ = 1;
        return version_ < gate::kSourceList || in_.ReadU16(&count_) ? result::kSuccess
                                                                    : result::kReadProgramFile;
    }
    uint32_t count() const { return count_; }
    ResultCode ReadCodePage(uint32_t* codePage) {
        *codePage = 0;
        return version_ < gate::kSourceList || in_.ReadU32(codePage) ? result::kSuccess
                                                                     : result::kReadProgramFile;
    }
    // The next text: its length, then either its bytes or none of them.
    ResultCode ReadLength(uint32_t* length) {
        return in_.ReadU32(length) ? result::kSuccess : result::kReadProgramFile;
    }
    ResultCode ReadText(uint32_t length, NoticeText* text);
    ResultCode SkipText(uint32_t length) {
        return in_.Skip(length) ? result::kSuccess : result::kReadProgramFile;
    }

  private:
    PackageCursor& in_;
    uint16_t version_;
    uint16_t count_ = 0;
};

// The option bytes: 0 where the package's version has none.
struct PackageOptions {
    uint8_t hasNewCheckValues = 0;      // from 140
    uint8_t skipMissingSources = 0;     // from 120
    uint8_t overwriteExistingAdds = 0;  // from 120
    uint8_t skipMissingDeletes = 0;     // from 120
};

struct RecordCounts {
    uint8_t checkMode = 0;
    uint32_t updates = 0;
    uint32_t adds = 0;
    uint32_t deletes = 0;
};

// The option bytes, the check mode and the three counts; after a failure the
// fields read before it keep their values.
ResultCode ReadOptionsAndCounts(PackageCursor& in, uint16_t version, PackageOptions* options,
                                RecordCounts* counts);

}  // namespace pkx
