// The rule that decides, before anything changes, what becomes of each
// record: given the values the record expects and what is installed under
// its name, the record applies, is passed by, or stops the package. The
// updater's check of the old version and the builder's replay of it both
// follow it; neither reads a file here.
#pragma once

#include <cstdint>

#include "core/apply_context.h"

namespace pkx {

// The list a record is in.
enum class RecordList : uint8_t { kUpdates, kDeletes, kAdds };

// The values a record carries: the old one (updates and deletes) and the new
// one (updates and adds); null where it has none.
struct RecordValues {
    RecordList list;
    const CheckValue* oldValue;
    const CheckValue* newValue;
};

// What the record's name holds: nothing, or a file and its value in the
// package's check mode (null while not read: see NeedsInstalledValue).
struct InstalledFile {
    bool exists;
    const CheckValue* value;
};

// The package header's options, as the updater reads them for its version.
struct VerifyOptions {
    bool newValues;  // the records carry new check values
    bool skipMissingSources;
    bool skipMissingDeletes;
    bool overwriteExistingAdds;
};

enum class VerifyAction : uint8_t { kApply, kSkip, kStop };

enum class VerifyReason : uint8_t {
    kOldVersion,          // apply: the installed file is the record's old version
    kAbsent,              // apply: nothing holds the name of the file to add
    kOverwrite,           // apply: the added file replaces the one there
    kMissingAllowed,      // skip: the file is missing, and the package allows it
    kAlreadyNew,          // skip: the file is in its new version already
    kMissing,             // stop: the file to update or delete is missing
    kMismatch,            // stop: neither the old nor the new version; a container
                          // passes the package by
    kExists,              // stop: the file to add exists
    kExistsOtherVersion,  // stop: the file to add exists, not in its new version
};

struct Verdict {
    VerifyAction action;
    VerifyReason why;
};

// True when the verdict on an existing file of a record in `list` depends on
// that file's value.
bool NeedsInstalledValue(RecordList list, const VerifyOptions& options);

// The verdict on one record.
Verdict JudgeRecord(const RecordValues& record, const InstalledFile& installed,
                    const VerifyOptions& options);

}  // namespace pkx
