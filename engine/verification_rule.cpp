#include "engine/verification_rule.h"

#include <cstring>

namespace pkx {

namespace {

bool Same(const CheckValue* expected, const CheckValue* installed) {
    return expected != nullptr && installed != nullptr &&
           std::memcmp(expected->bytes, installed->bytes, sizeof expected->bytes) == 0;
}

Verdict Missing(bool allowed) {
    if (allowed) return {VerifyAction::kSkip, VerifyReason::kMissingAllowed};
    return {VerifyAction::kStop, VerifyReason::kMissing};
}

Verdict JudgeAdd(const RecordValues& record, const InstalledFile& installed,
                 const VerifyOptions& options) {
    if (!installed.exists) return {VerifyAction::kApply, VerifyReason::kAbsent};
    if (options.newValues) {
        if (Same(record.newValue, installed.value)) {
            return {VerifyAction::kSkip, VerifyReason::kAlreadyNew};
        }
        return {VerifyAction::kStop, VerifyReason::kExistsOtherVersion};
    }
    if (options.overwriteExistingAdds) return {VerifyAction::kApply, VerifyReason::kOverwrite};
    return {VerifyAction::kStop, VerifyReason::kExists};
}

}  // namespace

bool NeedsInstalledValue(RecordList list, const VerifyOptions& options) {
    return list != RecordList::kAdds || options.newValues;
}

Verdict JudgeRecord(const RecordValues& record, const InstalledFile& installed,
                    const VerifyOptions& options) {
    if (record.list == RecordList::kAdds) return JudgeAdd(record, installed, options);
    if (!installed.exists) {
        return Missing(record.list == RecordList::kUpdates ? options.skipMissingSources
                                                           : options.skipMissingDeletes);
    }
    if (Same(record.oldValue, installed.value)) {
        return {VerifyAction::kApply, VerifyReason::kOldVersion};
    }
    if (options.newValues && Same(record.newValue, installed.value)) {
        return {VerifyAction::kSkip, VerifyReason::kAlreadyNew};
    }
    return {VerifyAction::kStop, VerifyReason::kMismatch};
}

}  // namespace pkx
