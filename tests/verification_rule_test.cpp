// The rule for each record before anything changes, as a table.
#include "engine/verification_rule.h"

#include <gtest/gtest.h>

namespace pkx {
namespace {

TEST(VerificationRuleTest, EachCaseHasItsVerdict) {
    const CheckValue oldValue{{1}};
    const CheckValue newValue{{2}};
    const CheckValue otherValue{{3}};
    const VerifyOptions strict{false, false, false, false};
    const VerifyOptions lenient{true, true, true, true};
    const VerifyOptions overwrite{false, false, false, true};
    const RecordValues update{RecordList::kUpdates, &oldValue, &newValue};
    const RecordValues remove{RecordList::kDeletes, &oldValue, nullptr};
    const RecordValues add{RecordList::kAdds, nullptr, &newValue};
    const InstalledFile missing{false, nullptr};
    const InstalledFile atOld{true, &oldValue};
    const InstalledFile atNew{true, &newValue};
    const InstalledFile atOther{true, &otherValue};
    using A = VerifyAction;
    using R = VerifyReason;
    const struct {
        const char* what;
        const RecordValues& record;
        const InstalledFile& installed;
        const VerifyOptions& options;
        VerifyAction action;
        VerifyReason why;
    } cases[] = {
        {"update of the old version", update, atOld, strict, A::kApply, R::kOldVersion},
        {"update missing", update, missing, strict, A::kStop, R::kMissing},
        {"update missing, allowed", update, missing, lenient, A::kSkip, R::kMissingAllowed},
        {"update in its new version", update, atNew, lenient, A::kSkip, R::kAlreadyNew},
        {"update new, no new values", update, atNew, strict, A::kStop, R::kMismatch},
        {"update of another version", update, atOther, lenient, A::kStop, R::kMismatch},
        {"delete of the old version", remove, atOld, strict, A::kApply, R::kOldVersion},
        {"delete missing", remove, missing, strict, A::kStop, R::kMissing},
        {"delete missing, allowed", remove, missing, lenient, A::kSkip, R::kMissingAllowed},
        {"delete of the new version", remove, atNew, lenient, A::kStop, R::kMismatch},
        {"add of an absent file", add, missing, strict, A::kApply, R::kAbsent},
        {"add over a file", add, atOther, strict, A::kStop, R::kExists},
        {"add over a file, allowed", add, atOther, overwrite, A::kApply, R::kOverwrite},
        {"add in its new version", add, atNew, lenient, A::kSkip, R::kAlreadyNew},
        {"add of another version", add, atOther, lenient, A::kStop, R::kExistsOtherVersion},
    };
    for (const auto& c : cases) {
        const Verdict verdict = JudgeRecord(c.record, c.installed, c.options);
        EXPECT_EQ(verdict.action, c.action) << c.what;
        EXPECT_EQ(verdict.why, c.why) << c.what;
    }
    // Only an add without new values is judged without the file's value.
    EXPECT_FALSE(NeedsInstalledValue(RecordList::kAdds, overwrite));
    EXPECT_TRUE(NeedsInstalledValue(RecordList::kAdds, lenient));
    EXPECT_TRUE(NeedsInstalledValue(RecordList::kDeletes, strict));
}

}  // namespace
}  // namespace pkx
