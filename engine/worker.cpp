#include "engine/worker.h"

#include <cstring>
#include <utility>

#include "engine/file_operations.h"
#include "engine/folder_changes.h"
#include "engine/folder_rights.h"
#include "engine/header_choice.h"
#include "engine/integrity_check.h"
#include "engine/journal.h"
#include "engine/notice_texts.h"
#include "engine/old_version_check.h"
#include "engine/recovery.h"
#include "engine/running_check.h"
#include "engine/special_folders.h"
#include "engine/target_folder.h"
#include "package/data_block_reader.h"
#include "package/file_entries.h"
#include "package/package_header.h"
#include "package/package_index.h"
#include "texts/text_table.h"

namespace pkx {

namespace {

// The dialog expands its templates into buffers of this size.
constexpr size_t kExpandedTextSize = 512;

void Send(ApplyContext& context, uint32_t code, intptr_t param = 0) {
    context.events->Send(code, param);
}

void SetIfEmpty(char* text, const char* fallback) {
    if (text[0] == '\0') std::strcpy(text, fallback);
}

// The backups are named after the package's old label, so the PackageRef must
// carry the same defaults as the context.
void PutDefaultLabels(ApplyContext& context, PackageRef& package) {
    SetIfEmpty(context.title, "No Title");
    SetIfEmpty(context.oldVersionLabel, "Old Version");
    SetIfEmpty(context.newVersionLabel, "New Version");
    std::strcpy(package.oldVersionLabel, context.oldVersionLabel);
    std::strcpy(package.newVersionLabel, context.newVersionLabel);
}

// Text `id` with the title and the two labels.
struct PackageText {
    char text[kExpandedTextSize];

    PackageText(ApplyContext& context, uint32_t id) {
        ExpandTemplate(text, sizeof text, context.texts[id], context.title, context.oldVersionLabel,
                       context.newVersionLabel, context.textCodePage);
    }
};

// The header start picks the texts and font; the dialog takes them over with
// event 28 whether or not the header could be read.
ResultCode ReadHeaderAndTexts(PackageCursor& in, PackageRef& package, ApplyContext& context,
                              HeaderStart* start) {
    const ResultCode r = TakeHeaderStart(in, package, context, start);
    if (r != result::kSuccess) {
        systemCodePage = Os().AnsiCodePage();
        context.prompts->CreateUiFont(context, true);
    } else {
        context.prompts->CreateUiFont(context, false);
    }
    Send(context, EV_APPLY_TEXTS);
    return r;
}

ResultCode CheckIntegrityInPlace(BinaryFile& file, const PackageRef& package,
                                 ApplyContext& context) {
    const uint32_t position = file.Seek(0, kFileCurrent);
    if (position == kBadPosition) return result::kReadProgramFile;
    if (file.Seek(static_cast<int32_t>(package.offset), kFileBegin) == kBadPosition) {
        return result::kReadProgramFile;
    }
    const ResultCode r = CheckPackageIntegrity(file, package.size, context);
    if (r != result::kSuccess) return r;
    if (file.Seek(static_cast<int32_t>(position), kFileBegin) == kBadPosition) {
        return result::kReadProgramFile;
    }
    return result::kSuccess;
}

// Title, headline, rights text and check box, then the Yes/No question.
ResultCode AnnounceAndConfirm(ApplyContext& context) {
    const PackageText caption(context, text::kWindowTitle);
    Send(context, EV_SET_TITLE, reinterpret_cast<intptr_t>(caption.text));
    const PackageText headline(context, text::kHeadline);
    Send(context, EV_HEADLINE, reinterpret_cast<intptr_t>(headline.text));
    Send(context, EV_RIGHTS_TEXT);
    Send(context, EV_DELETE_DEFAULT);
    if (context.autoFinish == 1) return result::kSuccess;
    const PackageText question(context, text::kConfirmQuestion);
    if (!context.prompts->Confirm(question.text, caption.text)) return result::kCancelled;
    return result::kSuccess;
}

// What the first half of a package hands to the second.
struct PreparedPackage {
    uint16_t version = 0;
    NoticeText before;
    NoticeText after;
};

// Running check, document name and notice texts: the fields of version 110 on.
ResultCode ReadRunningAndNotices(PackageCursor& in, uint16_t version, ApplyContext& context,
                                 PreparedPackage* prepared) {
    if (version < gate::kRunningCheck) return result::kSuccess;
    RunningCheck check;
    ResultCode r = ReadRunningCheck(in, &check);
    if (r != result::kSuccess) return r;
    r = RunRunningCheck(check, context);
    if (r != result::kSuccess) return r;
    r = ReadDocumentName(in, context.openAfterName);
    if (r != result::kSuccess) return r;
    return TakeNoticeTexts(in, version, &prepared->before, &prepared->after);
}

void ShowNoticeIfAny(ApplyContext& context, const NoticeText& text) {
    if (text) context.prompts->ShowNotice(context, text.get());
}

class ProgressCounter {
  public:
    explicit ProgressCounter(const RecordCounts& counts)
        : total_(uint64_t{counts.updates} + counts.adds + counts.deletes) {}

    void Step(ApplyContext& context) {
        ++done_;
        const double value = static_cast<double>(done_) * 1000.0 / static_cast<double>(total_);
        Send(context, EV_TOTAL_PROGRESS, static_cast<intptr_t>(static_cast<uint32_t>(value)));
    }

  private:
    // 64-bit, so that counts summing past 2^32 cannot wrap into a division by
    // a total smaller than the records done.
    uint64_t total_;
    uint64_t done_ = 0;
};

ResultCode ApplyRecords(BinaryFile& file, const FileEntryLists& lists, const RecordCounts& counts,
                        PackageRef& package, ApplyContext& context, DataBlockReader* block) {
    ProgressCounter progress(counts);
    for (const FileEntry& entry : lists.updates) {
        const ResultCode r = UpdateEntry(file, entry, package, context, block);
        if (r != result::kSuccess) return r;
        progress.Step(context);
    }
    for (const FileEntry& entry : lists.adds) {
        const ResultCode r = AddEntry(file, entry, package, context, block);
        if (r != result::kSuccess) return r;
        progress.Step(context);
    }
    for (const FileEntry& entry : lists.deletes) {
        const ResultCode r = DeleteEntry(entry, package, context);
        if (r != result::kSuccess) return r;
        progress.Step(context);
    }
    return result::kSuccess;
}

bool IsMismatch(ResultCode r) {
    return r == result::kOldFileDiffersMd5 || r == result::kOldFileDiffersDateSize;
}

// Applies the packages in order; a container skips the ones that do not fit.
ResultCode ApplyAllPackages(BinaryFile& file, ApplyContext& context) {
    ResultCode r = result::kSuccess;
    for (uint32_t i = 0; i < context.packageCount && i < context.packages.size(); ++i) {
        PackageRef& package = context.packages[i];
        r = ApplyPackage(file, package, context);
        if (context.multiPackage == 1 && IsMismatch(r)) {
            Send(context, EV_TRY_NEXT_PACKAGE);
            r = result::kSuccess;
            continue;
        }
        package.applied = 1;
        if (r != result::kSuccess) break;
    }
    return r;
}

void SendSummary(ApplyContext& context) {
    Send(context, EV_SEPARATOR);
    for (PackageRef& package : context.packages) {
        Send(context, EV_PACKAGE_SUMMARY, reinterpret_cast<intptr_t>(&package));
    }
    Send(context, EV_SEPARATOR);
}

// The one posted event that ends the run; nothing follows it.
void PostFinalEvent(ApplyContext& context, ResultCode r) {
    switch (r) {
        case result::kSuccess:
            if (context.packageCount > 1) SendSummary(context);
            context.events->Post(EV_FINISHED, 0);
            break;
        case result::kCancelled:
            context.events->Post(EV_CANCELLED, 0);
            break;
        case result::kProgramRunning:
            context.events->Post(EV_PROGRAM_RUNNING, 0);
            break;
        default:
            context.events->Post(EV_FAILED, static_cast<intptr_t>(r));
            break;
    }
}

// Steps up to the Cancel button: header start, integrity, the questions, the
// target folder, the running check and the notice texts.
ResultCode PreparePackage(BinaryFile& file, PackageCursor& in, PackageRef& package,
                          ApplyContext& context, PreparedPackage* prepared) {
    HeaderStart start;
    ResultCode r = ReadHeaderAndTexts(in, package, context, &start);
    if (r != result::kSuccess) return r;
    r = CheckIntegrityInPlace(file, package, context);
    if (r != result::kSuccess) return r;
    PutDefaultLabels(context, package);
    r = AnnounceAndConfirm(context);
    if (r != result::kSuccess) return r;
    if (start.passwordFlag == 1 && context.prompts->AskPassword(context) != 0) {
        return result::kCancelled;
    }
    FolderSourceList sources(in, start.version);
    r = ResolveTargetFolder(sources, context);
    if (r != result::kSuccess) return r;
    prepared->version = start.version;
    r = ReadRunningAndNotices(in, start.version, context, prepared);
    if (r != result::kSuccess) return r;
    ShowNoticeIfAny(context, prepared->before);
    Send(context, EV_TARGET_FOLDER);
    r = CheckFolderRights(context);
    if (r != result::kSuccess) return r;
    // An update cut short in this folder is undone before anything else.
    r = RecoverInterruptedUpdate(context);
    if (r != result::kSuccess) return r;
    Send(context, EV_READY);
    return result::kSuccess;
}

// The package's options rule the run; those its version lacks are 0.
void TakeOptions(const PackageOptions& options, ApplyContext& context) {
    context.hasNewCheckValues = options.hasNewCheckValues;
    context.skipMissingSources = options.skipMissingSources;
    context.overwriteExistingAdds = options.overwriteExistingAdds;
    context.skipMissingDeletes = options.skipMissingDeletes;
}

// A compressed package's data block: from behind the counts to the digest.
class DataBlockPlace {
  public:
    DataBlockPlace(BinaryFile& file, const PackageCursor& in, const PackageRef& package)
        : source_(file),
          start_(in.position()),
          end_(uint64_t{package.offset} +
               (package.size > kDigestSize ? package.size - kDigestSize : 0)) {}

    ResultCode ReadRecords(const RecordCounts& counts, ApplyContext& context,
                           FileEntryLists* lists) {
        PackageCursor block(source_, start_, end_);
        return ReadBlockEntries(source_, block, counts, context.hasNewCheckValues == 1, context,
                                &header_, lists);
    }

    // Every record's data read once, before anything is written or moved;
    // `reader` is then ready to apply them.
    ResultCode Check(const FileEntryLists& lists, ApplyContext& context, DataBlockReader* reader) {
        PackageCursor block(source_, start_, end_);
        if (!block.MoveToStart()) return result::kReadProgramFile;
        return CheckDataBlock(*reader, source_, block, lists.updates.data(),
                              static_cast<uint32_t>(lists.updates.size()), lists.adds.data(),
                              static_cast<uint32_t>(lists.adds.size()), context);
    }

  private:
    FilePackageSource source_;
    uint64_t start_;
    uint64_t end_;
    DataBlock header_;
};

// The records: read, verified against the installation, then applied.
ResultCode ApplyFileRecords(BinaryFile& file, PackageCursor& in, PackageRef& package,
                            ApplyContext& context, uint16_t version) {
    PackageOptions options;
    RecordCounts counts;
    ResultCode r = ReadOptionsAndCounts(in, version, &options, &counts);
    TakeOptions(options, context);
    if (r != result::kSuccess) return r;
    context.checkMode = counts.checkMode;
    package.compressed = version >= gate::kCompressedData ? 1 : 0;
    DataBlockPlace place(file, in, package);
    FileEntryLists lists;
    r = package.compressed == 1
            ? place.ReadRecords(counts, context, &lists)
            : ReadFileEntries(in, counts, context.hasNewCheckValues == 1, context, &lists);
    if (r != result::kSuccess) return r;
    // The file operations resolve a relative target folder from the program's
    // folder; the verification must look at the same files.
    BestEffort(Os().SetCurrentFolder(context.programFolder));
    r = VerifyOldVersion(lists, counts.checkMode, context);
    // The reader of the check applies the data (what it could not hold is
    // decoded again); it is made before the journal is touched.
    DataBlockReader reader;
    if (r == result::kSuccess && package.compressed == 1) r = place.Check(lists, context, &reader);
    if (r != result::kSuccess) return r;
    // The changes to come go into the journal with one flush.
    std::vector<Change> changes;
    ForeseeChanges(lists, package, context, &changes);
    r = PlanChanges(context, package, std::move(changes));
    if (r != result::kSuccess) return r;
    return ApplyRecords(file, lists, counts, package, context,
                        package.compressed == 1 ? &reader : nullptr);
}

}  // namespace

ResultCode ApplyPackage(BinaryFile& programFile, PackageRef& package, ApplyContext& context) {
    // The header and the records are read through one cursor bounded by the
    // package; the integrity check and the file operations read the data areas.
    FilePackageSource source(programFile);
    PackageCursor in(source, package);
    PreparedPackage prepared;
    ResultCode r = PreparePackage(programFile, in, package, context, &prepared);
    if (r != result::kSuccess) return r;
    r = ApplyFileRecords(programFile, in, package, context, prepared.version);
    if (r != result::kSuccess) return r;
    // The last package's changes are complete before its after-text waits for
    // the user: cut short from here, the update counts as done.
    if (&package == &context.packages.back()) r = CommitJournal(context);
    if (r != result::kSuccess) return r;
    ShowNoticeIfAny(context, prepared.after);
    return result::kSuccess;
}

uint32_t RunWorker(ApplyContext* context) {
    const ThreadPlatform onRun(context->platform);
    context->multiPackage = 0;
    FillSpecialFolders(*context);
    ResultCode r = result::kSuccess;
    {
        const KeptFolders kept;
        BinaryFile file;
        if (file.OpenRead(context->programPath, kShareRead, kAttributeNormal) != 0) {
            r = result::kOpenProgramFile;
        } else {
            r = ReadPackageIndex(file, *context);
            if (r == result::kSuccess) r = ApplyAllPackages(file, *context);
            // Only a run whose every change is durable counts as done (here,
            // when the last package of a container was skipped).
            if (r == result::kSuccess) r = CommitJournal(*context);
        }
        // The program file is closed, and the folders let go, before the final event.
    }
    context->result = r;
    PostFinalEvent(*context, r);
    return 0;
}

}  // namespace pkx
