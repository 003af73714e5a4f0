#include "shell/progress_presenter.h"

#include <cstring>

#include "core/worker_events.h"
#include "engine/backups.h"
#include "engine/journal.h"
#include "engine/rollback.h"
#include "platform/double_byte.h"
#include "support/paths.h"
#include "texts/text_table.h"

namespace pkx {
namespace {

// Copies at most `limit` bytes of `text`, never splitting a double-byte character.
void CopyCut(char* out, const char* text, uint32_t limit, uint32_t codePage) {
    uint32_t n = 0;
    while (text[n] != '\0' && n < limit) {
        // A lead byte without its trail byte is left out.
        if (IsLeadByte(codePage, static_cast<uint8_t>(text[n])) && text[n + 1] == '\0') break;
        const uint32_t width = static_cast<uint32_t>(CharLength(text + n, codePage));
        if (n + width > limit) break;
        n += width;
    }
    std::memcpy(out, text, n);
    out[n] = '\0';
}

void AppendNumber(char*& out, uint32_t value, int minimumDigits) {
    char digits[12];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count < minimumDigits) digits[count++] = '0';
    while (count > 0) *out++ = digits[--count];
}

}  // namespace

void FormatProgramTitle(char* out) {
    std::strcpy(out, kProgramTitle);
    char* end = out + std::strlen(out);
    std::memcpy(end, " ver.", 5);
    end += 5;
    AppendNumber(end, 1, 1);
    *end++ = '.';
    AppendNumber(end, 50, 2);
    *end = '\0';
}

namespace {

// `path` as the system writes paths for its users, in `shown`; null stays null.
const char* ShownPath(const char* path, char (&shown)[kPathBufferSize]) {
    if (path == nullptr) return nullptr;
    Os().PathForDisplay(path, shown, sizeof shown);
    return shown;
}

}  // namespace

void FormatPercent(uint32_t value, char* out, uint32_t size) {
    char buffer[32];
    char* end = buffer;
    AppendNumber(end, value / 10, 1);
    *end++ = '.';
    AppendNumber(end, value % 10, 1);
    *end++ = '%';
    *end = '\0';
    CopyCut(out, buffer, size - 1, 0);
}

ProgressPresenter::ProgressPresenter(ApplyContext& context, ProgressView& view,
                                     WorkerControl& worker)
    : context_(context), view_(view), worker_(worker) {}

void ProgressPresenter::Initialize() {
    char title[64];
    FormatProgramTitle(title);
    view_.SetWindowTitle(title);
    view_.EnableButton(false);
    view_.SetFileProgress(0, "0.0%");
    view_.SetTotalProgress(0, "0.0%");
    LoadStartupTexts(context_);
    LoadResourceText(text::kDetailPrefix, detailPrefix_, sizeof detailPrefix_);
    context_.cancelRequested = 0;
    workerRunning_ = worker_.StartWorker();
    if (!workerRunning_) {
        char line[kExpansionSize];
        const uint32_t id = systemCodePage == kDefaultTextCodePage ? text::kThreadFailedJapanese
                                                                   : text::kThreadFailedEnglish;
        uint32_t length = LoadResourceText(id, line, kExpansionSize - 2);
        std::memcpy(line + length, "\r\n", 3);
        Log(line);
        // Nothing will ever arrive from a worker: let the user close the
        // window, and report the run as failed rather than as a success.
        context_.failed = 1;
        view_.SetButtonText(context_.texts[text::kCloseButton]);
        view_.EnableButton(true);
    }
    if (context_.autoFinish == 1) view_.EnableCheckBox(false);
}

uint32_t ProgressPresenter::TableCodePage() const {
    return Os().InsideCodePage(context_.textCodePage);
}

void ProgressPresenter::Log(const char* text) {
    char line[kLogLineLimit + 1];
    CopyCut(line, text, kLogLineLimit, TableCodePage());
    view_.AppendLog(line);
}

void ProgressPresenter::LogTemplate(uint32_t id, const char* value1, const char* value2) {
    char expanded[kExpansionSize];
    ExpandTemplate(expanded, sizeof expanded, context_.texts[id], value1, value2, nullptr,
                   TableCodePage());
    Log(expanded);
}

void ProgressPresenter::LogPath(uint32_t id, const char* path) {
    char shown[kPathBufferSize];
    LogTemplate(id, ShownPath(path, shown));
}

void ProgressPresenter::LogBuiltin(uint32_t id, const char* path) {
    char text[kTextBufferSize];
    LoadResourceText(id, text, sizeof text);
    char shown[kPathBufferSize];
    char expanded[kExpansionSize];
    ExpandTemplate(expanded, sizeof expanded, text, ShownPath(path, shown), nullptr, nullptr,
                   TableCodePage());
    Log(expanded);
}

// The file, then where its old version waits, each on a line of its own.
void ProgressPresenter::LogNotRestored(const char* path, const char* backup) {
    if (backup[0] == '\0') {
        LogBuiltin(text::kNotRemoved, path);
        return;
    }
    LogBuiltin(text::kNotRestored, path);
    LogBuiltin(text::kBackupRemains, backup);
}

// The journal, why it is not followed, and that it may go.
void ProgressPresenter::LogRefusedJournal(const RefusedJournal& refused) {
    uint32_t id = text::kJournalDamaged;
    switch (refused.reason) {
        case JournalRefusal::kOutsideNames:
            id = text::kJournalOutside;
            break;
        case JournalRefusal::kLaterVersion:
            id = text::kJournalLater;
            break;
        case JournalRefusal::kTooLarge:
            id = text::kJournalTooLarge;
            break;
        case JournalRefusal::kBehindLink:
            id = text::kJournalBehindLink;
            break;
        default:
            break;
    }
    LogBuiltin(id, refused.path);
    LogBuiltin(text::kJournalMayBeRemoved);
}

// The rollback's account: only what could not be put back is worth a line.
class ProgressPresenter::RollbackLog final : public UndoObserver {
  public:
    explicit RollbackLog(ProgressPresenter& presenter) : presenter_(presenter) {}

    void Restored(const char*) override {}
    void Removed(const char*) override {}
    void NotRestored(const char* path, const char* backup) override {
        presenter_.LogNotRestored(path, backup);
    }

  private:
    ProgressPresenter& presenter_;
};

void ProgressPresenter::LogDetail(uint32_t id, const char* path) {
    char line[kExpansionSize];
    const size_t prefix = std::strlen(detailPrefix_);
    std::memcpy(line, detailPrefix_, prefix);
    char shown[kPathBufferSize];
    ExpandTemplate(line + prefix, sizeof line - prefix, context_.texts[id], ShownPath(path, shown),
                   nullptr, nullptr, TableCodePage());
    Log(line);
}

void ProgressPresenter::ShowFileStart(uint32_t logId, uint32_t statusId, const char* path) {
    LogPath(logId, path);
    char base[kPathBufferSize];
    char extension[kPathBufferSize];
    SplitPath(path, nullptr, nullptr, base, extension);
    char status[kExpansionSize];
    ExpandTemplate(status, sizeof status, context_.texts[statusId], base, extension, nullptr,
                   TableCodePage());
    view_.SetStatus(status);
    view_.SetFileProgress(0, nullptr);
}

void ProgressPresenter::ApplyTexts() {
    view_.ApplyFont();
    LogPath(text::kProgramFileLine, context_.programPath);
    view_.SetRightsLabel(context_.texts[text::kRightsLabel]);
    view_.SetStatus(context_.texts[text::kExaminingStatus]);
    view_.SetButtonText(context_.texts[text::kCancelButton]);
    view_.SetCheckBoxText(context_.texts[text::kDeleteBackupsBox]);
    view_.SetLogLabel(context_.texts[text::kLogLabel]);
}

void ProgressPresenter::LogFailure(ResultCode code) {
    if (code == result::kOpenProgramFile) {
        view_.ShowOpenFailure(context_.texts[text::kErrorOpenProgramFile], kProgramTitle);
        view_.Close();
    } else if (code >= result::kReadProgramFile && code <= result::kReadOldFile) {
        // The error texts follow the result codes in order.
        Log(context_.texts[text::kErrorReadProgramFile + (code - result::kReadProgramFile)]);
    } else if (code == result::kNoTargetFolder) {
        Log(context_.texts[text::kErrorNoTargetFolder]);
        LogTemplate(text::kErrorNotInstalled, context_.title);
    } else if (code >= result::kOldFileDiffersMd5 && code <= result::kAddedFileExists) {
        Log(context_.texts[text::kErrorOldFileDiffersMd5 + (code - result::kOldFileDiffersMd5)]);
    } else if (code == result::kJournal) {
        LogBuiltin(text::kErrorJournal);
    } else if (code == result::kRecoveryIncomplete) {
        LogBuiltin(text::kErrorRecovery);
    }
    Log(context_.texts[text::kFailed]);
}

// The closing line says "restored" only when every file is back.
void ProgressPresenter::RestoreSequence() {
    view_.EnableCheckBox(false);
    Log(context_.texts[text::kRestoring]);
    RollbackLog log(*this);
    if (RestoreBackups(context_, &log)) {
        Log(context_.texts[text::kRestored]);
    } else {
        LogBuiltin(text::kRestoreFailed);
    }
}

void ProgressPresenter::WaitSequence(bool finished) {
    if (workerRunning_) worker_.FinishWorker(kWorkerWaitMilliseconds);
    workerRunning_ = false;
    view_.SetButtonText(context_.texts[text::kCloseButton]);
    view_.EnableButton(true);
    if (finished && context_.autoFinish == 1) {
        if (view_.IsCheckBoxChecked()) DeleteBackups(context_);
        // The backups are dealt with: a successful run's journal goes.
        EndJournal(context_);
        view_.Close();
    }
}

void ProgressPresenter::OnFinalEvent(uint32_t code, intptr_t param) {
    switch (code) {
        case EV_FINISHED:
            view_.SetStatus(context_.texts[text::kFinishedStatus]);
            Log(context_.texts[text::kFinished]);
            WaitSequence(true);
            return;
        case EV_FAILED:
            context_.failed = 1;
            LogFailure(static_cast<ResultCode>(param));
            break;
        case EV_CANCELLED:
            context_.failed = 1;
            Log(context_.texts[text::kCancelled]);
            break;
        default:  // EV_PROGRAM_RUNNING
            context_.failed = 1;
            LogTemplate(text::kProgramRunning, context_.title);
            break;
    }
    RestoreSequence();
    WaitSequence(false);
}

bool ProgressPresenter::HandleEvent(uint32_t code, intptr_t param) {
    const char* text = reinterpret_cast<const char*>(param);
    char percent[16];
    if (IsFinalEvent(code)) {
        OnFinalEvent(code, param);
        return true;
    }
    switch (code) {
        case EV_READY:
            Log(context_.texts[text::kReadingInformation]);
            view_.EnableButton(true);
            break;
        case EV_HEADLINE:
            view_.SetHeadline(text);
            break;
        case EV_RIGHTS_TEXT:
            view_.SetRightsText(context_.rightsText);
            break;
        case EV_CHECK_OLD_MD5:
            Log(context_.texts[text::kCheckingOldMd5]);
            break;
        case EV_CHECK_OLD_DATE_SIZE:
            Log(context_.texts[text::kCheckingOldDateSize]);
            break;
        case EV_HASHING_FILE:
            LogDetail(text::kHashingFile, text);
            break;
        case EV_READING_FILE_DATE:
            LogDetail(text::kReadingFileDate, text);
            break;
        case EV_TARGET_FOLDER:
            LogPath(text::kTargetFolderLine, context_.targetFolder);
            break;
        case EV_UPDATING_FILE:
            ShowFileStart(text::kUpdatingFile, text::kUpdatingStatus, text);
            break;
        case EV_FILE_PROGRESS:
            FormatPercent(static_cast<uint32_t>(param), percent, sizeof percent);
            view_.SetFileProgress(static_cast<uint32_t>(param), percent);
            break;
        case EV_TOTAL_PROGRESS:
            FormatPercent(static_cast<uint32_t>(param), percent, sizeof percent);
            view_.SetTotalProgress(static_cast<uint32_t>(param), percent);
            break;
        case EV_ADDING_FILE:
            ShowFileStart(text::kAddingFile, text::kAddingStatus, text);
            break;
        case EV_DELETING_FILE:
            ShowFileStart(text::kDeletingFile, text::kDeletingStatus, text);
            break;
        case EV_CHECK_INTEGRITY:
            Log(context_.texts[text::kCheckingIntegrity]);
            break;
        case EV_CHECK_RUNNING:
            LogTemplate(text::kCheckingRunning, text);
            break;
        case EV_DELETE_DEFAULT:
            view_.SetCheckBox(context_.deleteBackupsDefault != 0);
            break;
        case EV_SOURCE_MISSING:
            LogPath(text::kSourceMissing, text);
            break;
        case EV_OVERWRITING_NEW:
            LogPath(text::kOverwritingNew, text);
            break;
        case EV_SEPARATOR:
            Log(context_.texts[text::kSeparator]);
            break;
        case EV_DELETE_TARGET_MISSING:
            LogPath(text::kDeleteTargetMissing, text);
            break;
        case EV_APPLY_TEXTS:
            ApplyTexts();
            break;
        case EV_TRY_NEXT_PACKAGE:
            Log(context_.texts[text::kOldVersionDiffers]);
            break;
        case EV_PACKAGE_SUMMARY: {
            const auto* package = reinterpret_cast<const PackageRef*>(param);
            LogTemplate(package->applied == 1 ? text::kPackageApplied : text::kPackageSkipped,
                        package->oldVersionLabel, package->newVersionLabel);
            break;
        }
        case EV_ALREADY_UPDATED:
            LogPath(text::kAlreadyUpdated, text);
            break;
        case EV_ALREADY_ADDED:
            LogPath(text::kAlreadyAdded, text);
            break;
        case EV_RECOVERY_FOUND:
            LogBuiltin(text::kRecoveryFound, text);
            break;
        case EV_RECOVERY_RESTORED:
            LogBuiltin(text::kRecoveryRestored, text);
            break;
        case EV_RECOVERY_REMOVED:
            LogBuiltin(text::kRecoveryRemoved, text);
            break;
        case EV_NOT_RESTORED: {
            const auto* file = reinterpret_cast<const UnrestoredFile*>(param);
            LogNotRestored(file->path, file->backup);
            break;
        }
        case EV_RECOVERY_DONE:
            LogBuiltin(text::kRecoveryDone);
            break;
        case EV_RECOVERY_COMPLETED:
            LogBuiltin(text::kRecoveryCompleted);
            break;
        case EV_RECOVERY_BACKUP_DELETED:
            LogBuiltin(text::kRecoveryBackupDeleted, text);
            break;
        case EV_JOURNAL_REFUSED:
            LogRefusedJournal(*reinterpret_cast<const RefusedJournal*>(param));
            break;
        case EV_LINK_REFUSED:
            LogBuiltin(text::kLinkRefused, text);
            break;
        case EV_FOLDER_NEEDS_ADMINISTRATOR:
            LogBuiltin(text::kFolderNeedsAdministrator, text);
            break;
        case EV_SET_TITLE:
            view_.SetWindowTitle(text);
            break;
        default:
            break;
    }
    return true;
}

void ProgressPresenter::OnCancelCommand() {
    if (workerRunning_) {
        view_.EnableButton(false);
        Log(context_.texts[text::kStopping]);
        context_.cancelRequested = 1;
        return;
    }
    if (view_.IsCheckBoxEnabled() && view_.IsCheckBoxChecked()) DeleteBackups(context_);
    EndJournal(context_);
    view_.EnableButton(false);
    view_.Close();
}

}  // namespace pkx
