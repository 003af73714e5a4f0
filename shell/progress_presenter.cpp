#include "shell/progress_presenter.h"

#include <cstring>

#include "core/worker_events.h"
#include "engine/backups.h"
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

// "pkx Self Extract Updater ver.1.50": the program's own title and version.
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
    context_.cancelRequested = 0;
    workerRunning_ = worker_.StartWorker();
    if (!workerRunning_) {
        char line[kExpansionSize];
        uint32_t id = systemCodePage == 932 ? 109 : 209;
        uint32_t length = LoadResourceText(id, line, kExpansionSize - 2);
        std::memcpy(line + length, "\r\n", 3);
        Log(line);
        // Nothing will ever arrive from a worker: let the user close the
        // window, and report the run as failed rather than as a success.
        context_.failed = 1;
        view_.SetButtonText(context_.texts[1002]);
        view_.EnableButton(true);
    }
    if (context_.autoFinish == 1) view_.EnableCheckBox(false);
}

void ProgressPresenter::Log(const char* text) {
    char line[kLogLineLimit + 1];
    CopyCut(line, text, kLogLineLimit, context_.textCodePage);
    view_.AppendLog(line);
}

void ProgressPresenter::LogTemplate(uint32_t id, const char* value1, const char* value2) {
    char expanded[kExpansionSize];
    ExpandTemplate(expanded, sizeof expanded, context_.texts[id], value1, value2, nullptr,
                   context_.textCodePage);
    Log(expanded);
}

void ProgressPresenter::LogDetail(uint32_t id, const char* path) {
    char line[kExpansionSize];
    const size_t prefix = sizeof kDetailPrefix - 1;
    std::memcpy(line, kDetailPrefix, prefix);
    ExpandTemplate(line + prefix, sizeof line - prefix, context_.texts[id], path, nullptr, nullptr,
                   context_.textCodePage);
    Log(line);
}

void ProgressPresenter::ShowFileStart(uint32_t logId, uint32_t statusId, const char* path) {
    LogTemplate(logId, path);
    char base[kPathBufferSize];
    char extension[kPathBufferSize];
    SplitPath(path, nullptr, nullptr, base, extension);
    char status[kExpansionSize];
    ExpandTemplate(status, sizeof status, context_.texts[statusId], base, extension, nullptr,
                   context_.textCodePage);
    view_.SetStatus(status);
    view_.SetFileProgress(0, nullptr);
}

void ProgressPresenter::ApplyTexts() {
    view_.ApplyFont();
    LogTemplate(1011, context_.programPath);
    view_.SetRightsLabel(context_.texts[1004]);
    view_.SetStatus(context_.texts[1016]);
    view_.SetButtonText(context_.texts[1001]);
    view_.SetCheckBoxText(context_.texts[1007]);
    view_.SetLogLabel(context_.texts[1006]);
}

void ProgressPresenter::LogFailure(ResultCode code) {
    if (code == result::kOpenProgramFile) {
        view_.ShowOpenFailure(context_.texts[1041], kProgramTitle);
        view_.Close();
    } else if (code >= 0x10002 && code <= 0x10007) {
        Log(context_.texts[1040 + (code - 0x10000)]);
    } else if (code == result::kNoTargetFolder) {
        Log(context_.texts[1048]);
        LogTemplate(1049, context_.title);
    } else if (code >= 0x10009 && code <= 0x10012) {
        Log(context_.texts[1041 + (code - 0x10000)]);
    }
    Log(context_.texts[1020]);
}

void ProgressPresenter::RestoreSequence() {
    view_.EnableCheckBox(false);
    Log(context_.texts[1023]);
    RestoreBackups(context_);
    Log(context_.texts[1024]);
}

void ProgressPresenter::WaitSequence(bool finished) {
    if (workerRunning_) worker_.FinishWorker(kWorkerWaitMilliseconds);
    workerRunning_ = false;
    view_.SetButtonText(context_.texts[1002]);
    view_.EnableButton(true);
    if (finished && context_.autoFinish == 1) {
        if (view_.IsCheckBoxChecked()) DeleteBackups(context_);
        view_.Close();
    }
}

void ProgressPresenter::OnFinalEvent(uint32_t code, intptr_t param) {
    switch (code) {
        case EV_FINISHED:
            view_.SetStatus(context_.texts[1005]);
            Log(context_.texts[1019]);
            WaitSequence(true);
            return;
        case EV_FAILED:
            context_.failed = 1;
            LogFailure(static_cast<ResultCode>(param));
            break;
        case EV_CANCELLED:
            context_.failed = 1;
            Log(context_.texts[1021]);
            break;
        default:  // EV_PROGRAM_RUNNING
            context_.failed = 1;
            LogTemplate(1022, context_.title);
            break;
    }
    RestoreSequence();
    WaitSequence(false);
}

bool ProgressPresenter::HandleEvent(uint32_t code, intptr_t param) {
    const char* text = reinterpret_cast<const char*>(param);
    char percent[16];
    switch (code) {
        case EV_FINISHED:
        case EV_FAILED:
        case EV_CANCELLED:
        case EV_PROGRAM_RUNNING:
            OnFinalEvent(code, param);
            break;
        case EV_READY:
            Log(context_.texts[1017]);
            view_.EnableButton(true);
            break;
        case EV_HEADLINE:
            view_.SetHeadline(text);
            break;
        case EV_RIGHTS_TEXT:
            view_.SetRightsText(context_.rightsText);
            break;
        case EV_CHECK_OLD_MD5:
            Log(context_.texts[1026]);
            break;
        case EV_CHECK_OLD_DATE_SIZE:
            Log(context_.texts[1027]);
            break;
        case EV_HASHING_FILE:
            LogDetail(1028, text);
            break;
        case EV_READING_FILE_DATE:
            LogDetail(1029, text);
            break;
        case EV_TARGET_FOLDER:
            LogTemplate(1025, context_.targetFolder);
            break;
        case EV_UPDATING_FILE:
            ShowFileStart(1030, 1012, text);
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
            ShowFileStart(1031, 1013, text);
            break;
        case EV_DELETING_FILE:
            ShowFileStart(1032, 1014, text);
            break;
        case EV_CHECK_INTEGRITY:
            Log(context_.texts[1015]);
            break;
        case EV_CHECK_RUNNING:
            LogTemplate(1034, text);
            break;
        case EV_DELETE_DEFAULT:
            view_.SetCheckBox(context_.deleteBackupsDefault != 0);
            break;
        case EV_SOURCE_MISSING:
            LogTemplate(1035, text);
            break;
        case EV_OVERWRITING_NEW:
            LogTemplate(1037, text);
            break;
        case EV_SEPARATOR:
            Log(context_.texts[1039]);
            break;
        case EV_DELETE_TARGET_MISSING:
            LogTemplate(1038, text);
            break;
        case EV_APPLY_TEXTS:
            ApplyTexts();
            break;
        case EV_TRY_NEXT_PACKAGE:
            Log(context_.texts[1069]);
            break;
        case EV_PACKAGE_SUMMARY: {
            const auto* package = reinterpret_cast<const PackageRef*>(param);
            LogTemplate(package->applied == 1 ? 1071 : 1070, package->oldVersionLabel,
                        package->newVersionLabel);
            break;
        }
        case EV_ALREADY_UPDATED:
            LogTemplate(1072, text);
            break;
        case EV_ALREADY_ADDED:
            LogTemplate(1073, text);
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
        Log(context_.texts[1018]);
        context_.cancelRequested = 1;
        return;
    }
    if (view_.IsCheckBoxEnabled() && view_.IsCheckBoxChecked()) DeleteBackups(context_);
    view_.EnableButton(false);
    view_.Close();
}

}  // namespace pkx
