#include "engine/old_version_check.h"

#include <cstring>

#include "core/cancellation.h"
#include "engine/backups.h"
#include "engine/file_digest.h"
#include "engine/folder_changes.h"
#include "engine/journal.h"
#include "engine/verification_rule.h"
#include "support/binary_file.h"
#include "support/md5.h"
#include "support/paths.h"

namespace pkx {

namespace {

constexpr uint32_t kSizeFailed = 0xFFFFFFFFu;

void Send(ApplyContext& context, uint32_t code, intptr_t param) {
    if (context.events != nullptr) context.events->Send(code, param);
}

void PutU32(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

ResultCode MismatchResult(uint8_t checkMode) {
    return checkMode == 0 ? result::kOldFileDiffersMd5 : result::kOldFileDiffersDateSize;
}

// {write time low, write time high, size, 0}, little-endian. A time that
// cannot be read is a read failure, never a mismatch: in a container a
// mismatch skips the package and the run would end as a success.
ResultCode DateAndSize(BinaryFile& file, uint32_t size, CheckValue* value) {
    FileTime time;
    if (Os().GetWriteTime(file.NativeHandle(), &time) != 0) return result::kReadOldFile;
    PutU32(value->bytes, time.low);
    PutU32(value->bytes + 4, time.high);
    PutU32(value->bytes + 8, size);
    return result::kSuccess;
}

// A zero-length file is one request of zero bytes and the digest of nothing.
ResultCode HashContent(BinaryFile& file, uint32_t size, CheckValue* value, ApplyContext& context) {
    MD5_CTX md5;
    MD5Init(&md5);
    const ResultCode r = DigestFileBytes(file, size, &md5, context, result::kReadOldFile);
    uint8_t digest[sizeof(CheckValue::bytes)];
    MD5Final(digest, &md5);
    if (r == result::kSuccess) std::memcpy(value->bytes, digest, sizeof digest);
    return r;
}

// The record's full path, and the proof that its backup name fits as well:
// a name the file operations could not handle, or one that leads out of the
// target folder, by its steps or through a link (which is named), is
// refused before anything changes.
bool BuildCheckedPath(const FileEntry& entry, ApplyContext& context, char* path) {
    char backup[kPathBufferSize];
    if (!IsRecordNameAllowed(entry.name) ||
        !BuildFullPath(context.targetFolder, entry.name, path) ||
        !BuildBackupPath(path, context.oldVersionLabel, backup)) {
        return false;
    }
    char link[kPathBufferSize];
    if (!FindLinkOnTheWay(path, std::strlen(context.targetFolder), link)) return true;
    Send(context, EV_LINK_REFUSED, reinterpret_cast<intptr_t>(link));
    return false;
}

// The options of the package being checked, as its header gave them.
VerifyOptions OptionsOf(const ApplyContext& context) {
    VerifyOptions options;
    options.newValues = context.hasNewCheckValues == 1;
    options.skipMissingSources = context.skipMissingSources == 1;
    options.skipMissingDeletes = context.skipMissingDeletes == 1;
    options.overwriteExistingAdds = context.overwriteExistingAdds != 0;
    return options;
}

// What the verdict means for the run: a stop is its result code; a record
// found in its new version is marked for the file operations to pass by.
ResultCode Conclude(FileEntry& entry, const Verdict& verdict, uint8_t checkMode) {
    if (verdict.action == VerifyAction::kStop) {
        if (verdict.why == VerifyReason::kMismatch) return MismatchResult(checkMode);
        return verdict.why == VerifyReason::kMissing ? result::kOldFileMissing
                                                     : result::kAddedFileExists;
    }
    if (verdict.why == VerifyReason::kAlreadyNew) entry.alreadyUpdated = 1;
    return result::kSuccess;
}

// Judges an update or delete record by its installed file's value; a file
// that is missing where that stops the run is named as if read.
ResultCode VerifyExisting(FileEntry& entry, const RecordValues& record,
                          const VerifyOptions& options, uint8_t checkMode, ApplyContext& context) {
    if (CancelRequested(context)) return result::kCancelled;
    char path[kPathBufferSize];
    if (!BuildCheckedPath(entry, context, path)) return result::kOpenOldFile;
    const Verdict ifMissing = JudgeRecord(record, InstalledFile{false, nullptr}, options);
    CheckValue value;
    const ResultCode r = ComputeCheckValue(path, &value, checkMode, context,
                                           ifMissing.action != VerifyAction::kStop);
    if (r == kCheckValueMissingAllowed) return Conclude(entry, ifMissing, checkMode);
    if (r != result::kSuccess) return r;
    entry.foundThere = 1;
    return Conclude(entry, JudgeRecord(record, InstalledFile{true, &value}, options), checkMode);
}

ResultCode VerifyAdd(FileEntry& entry, const VerifyOptions& options, uint8_t checkMode,
                     ApplyContext& context) {
    char path[kPathBufferSize];
    if (!BuildCheckedPath(entry, context, path)) return result::kOpenNewFile;
    // The name as it stands: "*" and "?" in a record are no wildcards.
    InstalledFile installed{Os().NameExists(path), nullptr};
    CheckValue value;
    if (installed.exists && NeedsInstalledValue(RecordList::kAdds, options)) {
        const ResultCode r = ComputeCheckValue(path, &value, checkMode, context, true);
        // The file was there a moment ago; its disappearance is no new state.
        if (r == kCheckValueMissingAllowed) return result::kOldFileMissing;
        if (r != result::kSuccess) return r;
        installed.value = &value;
    }
    const RecordValues record{RecordList::kAdds, nullptr, &entry.newCheckValue};
    return Conclude(entry, JudgeRecord(record, installed, options), checkMode);
}

}  // namespace

ResultCode ComputeCheckValue(const char* path, CheckValue* value, uint8_t checkMode,
                             ApplyContext& context, bool missingAllowed) {
    *value = CheckValue{};
    // No sharing: nobody changes the file while its value is taken. Whether
    // the name exists is asked only when it cannot be opened, so that a file
    // found costs no search.
    BinaryFile file;
    const bool opened = file.OpenRead(path, kShareNone, kAttributeArchive) == 0;
    const bool exists = opened || FileExists(path) != 0;
    if (!exists && missingAllowed) return kCheckValueMissingAllowed;
    Send(context, checkMode == 0 ? EV_HASHING_FILE : EV_READING_FILE_DATE,
         reinterpret_cast<intptr_t>(path));
    if (!exists) return result::kOldFileMissing;
    if (!opened) return result::kOpenOldFile;
    const uint32_t size = file.Size();
    if (size == kSizeFailed) return result::kReadOldFile;
    if (checkMode != 0) return DateAndSize(file, size, value);
    return HashContent(file, size, value, context);
}

ResultCode VerifyOldVersion(FileEntryLists& lists, uint8_t checkMode, ApplyContext& context) {
    Send(context, checkMode == 0 ? EV_CHECK_OLD_MD5 : EV_CHECK_OLD_DATE_SIZE, 0);
    const VerifyOptions options = OptionsOf(context);
    for (FileEntry& entry : lists.updates) {
        const RecordValues record{RecordList::kUpdates, &entry.oldCheckValue, &entry.newCheckValue};
        const ResultCode r = VerifyExisting(entry, record, options, checkMode, context);
        if (r != result::kSuccess) return r;
    }
    for (FileEntry& entry : lists.deletes) {
        const RecordValues record{RecordList::kDeletes, &entry.oldCheckValue, nullptr};
        const ResultCode r = VerifyExisting(entry, record, options, checkMode, context);
        if (r != result::kSuccess) return r;
    }
    // No Cancel test here: the adds compute a value only for existing files.
    for (FileEntry& entry : lists.adds) {
        const ResultCode r = VerifyAdd(entry, options, checkMode, context);
        if (r != result::kSuccess) return r;
    }
    return result::kSuccess;
}

}  // namespace pkx
