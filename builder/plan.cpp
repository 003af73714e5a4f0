#include "builder/plan.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <system_error>
#include <thread>

#include "builder/checks.h"
#include "builder/encoding_jobs.h"
#include "builder/folders.h"
#include "builder/paths.h"
#include "builder/text.h"
#include "engine/verification_rule.h"
#include "package/writer/delta_encoder.h"

namespace pkx::builder {

namespace fs = std::filesystem;

namespace {

using packwriter::AddRecordModel;
using packwriter::Bytes;
using packwriter::DeleteRecordModel;
using packwriter::PackageModel;
using packwriter::UpdateRecordModel;

bool SameValue(const CheckValue& a, const CheckValue& b) {
    return std::memcmp(a.bytes, b.bytes, sizeof a.bytes) == 0;
}

bool SameContent(const FileValue& a, const FileValue& b) {
    return a.size == b.size && SameValue(a.md5, b.md5);
}

// Counts the bytes read against the progress bar, if there is one.
class ProgressCounter {
  public:
    explicit ProgressCounter(Progress* progress) : progress_(progress) {}
    void Start(const std::string& task, uint64_t total) {
        if (progress_ != nullptr) progress_->Start(task, total);
    }
    void Advance(uint64_t amount) {
        if (progress_ != nullptr) progress_->Advance(amount);
    }
    void Finish() {
        if (progress_ != nullptr) progress_->Finish();
    }

  private:
    Progress* progress_;
};

uint64_t Ticks(const FileTime& time) { return uint64_t{time.high} << 32 | time.low; }

uint64_t TotalSize(const FolderListing& listing) {
    uint64_t total = 0;
    for (const FolderFile& file : listing.files) total += file.size;
    return total;
}

// The new files that have an old version: each is encoded or found unchanged.
uint64_t UpdatedSize(const FolderListing& oldFiles, const FolderListing& newFiles) {
    std::set<std::string> oldKeys;
    for (const FolderFile& file : oldFiles.files) oldKeys.insert(file.key);
    uint64_t total = 0;
    for (const FolderFile& file : newFiles.files) {
        if (oldKeys.count(file.key) != 0) total += file.size;
    }
    return total;
}

// Makes the records of one package: old folder -> new folder.
class PackagePlanner {
  public:
    PackagePlanner(const BuildRequest& request, const FolderListing& newFiles,
                   ProgressCounter& progress, FolderValues* newValues, BuildResult* result)
        : request_(request),
          newFiles_(newFiles),
          progress_(progress),
          newValues_(*newValues),
          result_(*result) {}

    bool Plan(const FolderListing& oldFiles, PlannedPackage* package, FolderValues* oldValues,
              std::string* error) {
        package_ = package;
        oldValues_ = oldValues;
        // The streams are encoded on other threads while the files are read.
        const unsigned threads = std::max(std::thread::hardware_concurrency(), 1u);
        packwriter::DeltaEncoderOptions options;
        options.blockSize = request_.blockSize;
        options.threads = threads;
        DeltaJobs jobs(
            threads, options, DefaultEncodingBudget(),
            [this](uint64_t bytes) { progress_.Advance(bytes); }, Compressed());
        jobs_ = &jobs;
        changed_ = 0;
        older_ = 0;
        std::map<std::string, const FolderFile*> oldByKey;
        for (const FolderFile& file : oldFiles.files) oldByKey[file.key] = &file;
        for (const FolderFile& file : newFiles_.files) {
            const auto old = oldByKey.find(file.key);
            if (old == oldByKey.end()) {
                if (!PlanAdd(file, error)) return false;
            } else {
                if (!PlanUpdate(*old->second, file, error)) return false;
                oldByKey.erase(old);
            }
        }
        for (const FolderFile& file : oldFiles.files) {
            if (oldByKey.count(file.key) != 0 && !PlanDelete(file, error)) return false;
        }
        std::vector<EncodedFile> encoded = jobs.Finish();
        for (size_t job = 0; job < encoded.size(); ++job) {
            UpdateRecordModel& record = package_->model.updates[encodedRecords_[job]];
            record.data = std::move(encoded[job].stream);
            record.compact = std::move(encoded[job].compact);
        }
        encodedRecords_.clear();
        SortRecords();
        return true;
    }

    // True when every file the last planned package changes is older in
    // the new folder than in the old one: the folders may be swapped.
    bool NewLooksOlder() const { return changed_ > 0 && older_ == changed_; }

  private:
    uint8_t CheckMode() const { return package_->model.checkMode; }
    bool Compressed() const { return request_.formatVersion >= gate::kCompressedData; }

    bool Read(const FolderFile& file, FileData* data, FileValue* value, std::string* error) {
        if (!ReadFolderFile(file, data, error,
                            [this](uint64_t bytes) { progress_.Advance(bytes); })) {
            return false;
        }
        value->name = file.name;
        value->size = data->content.size();
        value->md5 = packwriter::Md5CheckValue(data->content);
        value->check = CheckMode() == 0
                           ? value->md5
                           : packwriter::DateSizeCheckValue(
                                 data->writeTime, static_cast<uint32_t>(data->content.size()));
        return true;
    }

    bool RecordName(const FolderFile& file, std::string* name, std::string* error) {
        std::string reason;
        if (!PackageText(request_.manifest, file.name, name, &reason)) {
            *error = "the file name " + file.name + ": " + reason;
            return false;
        }
        if (name->size() > 255) {
            *error = "the file name " + file.name + " is " + std::to_string(name->size()) +
                     " bytes in the package; at most 255 fit";
            return false;
        }
        return true;
    }

    bool PlanAdd(const FolderFile& file, std::string* error) {
        FileData data;
        FileValue value;
        AddRecordModel record;
        if (!Read(file, &data, &value, error) || !RecordName(file, &record.name, error)) {
            return false;
        }
        newValues_[file.key] = value;
        record.newCheckValue = value.check;
        record.writeTime = data.writeTime;
        record.data = std::move(data.content);
        package_->model.adds.push_back(std::move(record));
        package_->addKeys.push_back(file.key);
        ++package_->summary.adds;
        return true;
    }

    bool PlanUpdate(const FolderFile& oldFile, const FolderFile& newFile, std::string* error) {
        FileData oldData;
        FileData newData;
        FileValue oldValue;
        FileValue newValue;
        if (!Read(oldFile, &oldData, &oldValue, error) ||
            !Read(newFile, &newData, &newValue, error)) {
            return false;
        }
        (*oldValues_)[oldFile.key] = oldValue;
        newValues_[newFile.key] = newValue;
        if (oldData.content == newData.content) {
            progress_.Advance(newData.content.size());  // no stream to encode
            ++package_->summary.unchanged;
            return true;
        }
        ++changed_;
        if (Ticks(newData.writeTime) < Ticks(oldData.writeTime)) ++older_;
        // The installed file keeps its name; Windows would not rename it anyway.
        if (oldFile.name != newFile.name) {
            result_.warnings.push_back(oldFile.name + " becomes " + newFile.name +
                                       ", a change of letter case only: the update keeps the "
                                       "old spelling");
        }
        if (CheckMode() != 0 && SameValue(oldValue.check, newValue.check)) {
            result_.warnings.push_back(newFile.name +
                                       " changed but kept its date and size: the updater cannot "
                                       "tell its versions apart by date and size");
        }
        UpdateRecordModel record;
        if (!RecordName(oldFile, &record.name, error)) return false;
        record.oldCheckValue = oldValue.check;
        record.newCheckValue = newValue.check;
        record.writeTime = newData.writeTime;
        record.newSize = static_cast<uint32_t>(newData.content.size());
        encodedRecords_.push_back(package_->model.updates.size());
        jobs_->Submit(std::move(oldData.content), std::move(newData.content));
        package_->model.updates.push_back(std::move(record));
        package_->updateKeys.push_back(oldFile.key);
        ++package_->summary.updates;
        return true;
    }

    bool PlanDelete(const FolderFile& file, std::string* error) {
        FileData data;
        FileValue value;
        DeleteRecordModel record;
        if (!Read(file, &data, &value, error) || !RecordName(file, &record.name, error)) {
            return false;
        }
        (*oldValues_)[file.key] = value;
        record.checkValue = value.check;
        package_->model.deletes.push_back(std::move(record));
        package_->deleteKeys.push_back(file.key);
        ++package_->summary.deletes;
        return true;
    }

    // Each list in bytewise order of the names the package carries.
    template <typename Record>
    static void SortByName(std::vector<Record>* records, std::vector<std::string>* keys) {
        std::vector<size_t> order(records->size());
        for (size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
            return (*records)[a].name < (*records)[b].name;
        });
        std::vector<Record> sortedRecords;
        std::vector<std::string> sortedKeys;
        for (const size_t i : order) {
            sortedRecords.push_back(std::move((*records)[i]));
            sortedKeys.push_back((*keys)[i]);
        }
        *records = std::move(sortedRecords);
        *keys = std::move(sortedKeys);
    }

    void SortRecords() {
        SortByName(&package_->model.updates, &package_->updateKeys);
        SortByName(&package_->model.adds, &package_->addKeys);
        SortByName(&package_->model.deletes, &package_->deleteKeys);
    }

    const BuildRequest& request_;
    const FolderListing& newFiles_;
    ProgressCounter& progress_;
    FolderValues& newValues_;
    BuildResult& result_;
    PlannedPackage* package_ = nullptr;
    FolderValues* oldValues_ = nullptr;
    DeltaJobs* jobs_ = nullptr;
    // The update record of each job, by job number.
    std::vector<size_t> encodedRecords_;
    size_t changed_ = 0;
    size_t older_ = 0;
};

// --- Record order for containers.

// The package header's options as the updater reads them for its version.
VerifyOptions RuleOptions(const PackageModel& model) {
    const bool options = model.version >= gate::kLanguageBlocks;
    VerifyOptions rule;
    rule.newValues = model.version >= gate::kSourceList && model.hasNewCheckValues == 1;
    rule.skipMissingSources = options && model.skipMissingSources == 1;
    rule.skipMissingDeletes = options && model.skipMissingDeletes == 1;
    rule.overwriteExistingAdds = options && model.overwriteExistingAdds != 0;
    return rule;
}

// The verdict on a record for the installed file of `key` in `state`.
Verdict Judge(const RecordValues& record, const FolderValues& state, const std::string& key,
              const VerifyOptions& options) {
    const auto found = state.find(key);
    if (found == state.end()) return JudgeRecord(record, InstalledFile{false, nullptr}, options);
    return JudgeRecord(record, InstalledFile{true, &found->second.check}, options);
}

RecordValues UpdateValues(const UpdateRecordModel& record) {
    return {RecordList::kUpdates, &record.oldCheckValue, &record.newCheckValue};
}

RecordValues DeleteValues(const DeleteRecordModel& record) {
    return {RecordList::kDeletes, &record.checkValue, nullptr};
}

// True when verifying the record against `folder`'s file makes the updater
// skip the package (a mismatch, not an error).
bool Mismatches(const RecordValues& record, const FolderValues& folder, const std::string& key,
                const VerifyOptions& options) {
    return Judge(record, folder, key, options).why == VerifyReason::kMismatch;
}

template <typename Record>
void MoveToFront(std::vector<Record>* records, std::vector<std::string>* keys,
                 const std::vector<size_t>& first) {
    std::vector<size_t> order = first;
    for (size_t i = 0; i < records->size(); ++i) {
        if (std::find(first.begin(), first.end(), i) == first.end()) order.push_back(i);
    }
    std::vector<Record> reordered;
    std::vector<std::string> reorderedKeys;
    for (const size_t i : order) {
        reordered.push_back(std::move((*records)[i]));
        reorderedKeys.push_back((*keys)[i]);
    }
    *records = std::move(reordered);
    *keys = std::move(reorderedKeys);
}

// Chooses the update records that go first in a container's package, so that
// the installations of the later old folders, which meet this package before
// their own, show a mismatch (the package is skipped) before a missing file
// (the run stops).
class UpdateOrder {
  public:
    explicit UpdateOrder(const PlannedPackage& package)
        : package_(package), options_(RuleOptions(package.model)) {}

    // Adds, where it harms no folder served before, a record that makes the
    // package skip `folder`; false when none does.
    bool Serve(const FolderValues& folder) {
        if (SkipsFirst(front_, folder)) return Remember(folder);
        for (size_t i = 0; i < package_.model.updates.size(); ++i) {
            if (std::find(front_.begin(), front_.end(), i) != front_.end()) continue;
            if (!Mismatch(i, folder)) continue;
            for (size_t at = 0; at <= front_.size(); ++at) {
                std::vector<size_t> trial = front_;
                trial.insert(trial.begin() + static_cast<std::ptrdiff_t>(at), i);
                if (SkipsFirstForAll(trial, folder)) {
                    front_ = std::move(trial);
                    return Remember(folder);
                }
            }
        }
        return false;
    }

    const std::vector<size_t>& front() const { return front_; }

  private:
    bool Remember(const FolderValues& folder) {
        served_.push_back(&folder);
        return true;
    }

    bool Mismatch(size_t i, const FolderValues& folder) const {
        return Mismatches(UpdateValues(package_.model.updates[i]), folder, package_.updateKeys[i],
                          options_);
    }

    // Walks `order` as the updater verifies: a mismatch before any missing file.
    bool SkipsFirst(const std::vector<size_t>& order, const FolderValues& folder) const {
        for (const size_t i : order) {
            if (folder.count(package_.updateKeys[i]) == 0) return false;
            if (Mismatch(i, folder)) return true;
        }
        return false;
    }

    bool SkipsFirstForAll(const std::vector<size_t>& order, const FolderValues& folder) const {
        if (!SkipsFirst(order, folder)) return false;
        for (const FolderValues* served : served_) {
            if (!SkipsFirst(order, *served)) return false;
        }
        return true;
    }

    const PlannedPackage& package_;
    VerifyOptions options_;
    std::vector<size_t> front_;
    std::vector<const FolderValues*> served_;
};

// Orders a container's package for the later old folders: update records as
// UpdateOrder chooses; for a folder no update record serves, the first delete
// record that mismatches it goes first (deletes are verified after updates).
void OrderForLaterFolders(PlannedPackage* package,
                          const std::vector<const FolderValues*>& laterFolders) {
    UpdateOrder updates(*package);
    const VerifyOptions options = RuleOptions(package->model);
    std::vector<size_t> deleteFirst;
    for (const FolderValues* folder : laterFolders) {
        if (updates.Serve(*folder)) continue;
        for (size_t i = 0; i < package->model.deletes.size(); ++i) {
            if (!Mismatches(DeleteValues(package->model.deletes[i]), *folder,
                            package->deleteKeys[i], options)) {
                continue;
            }
            if (std::find(deleteFirst.begin(), deleteFirst.end(), i) == deleteFirst.end()) {
                deleteFirst.push_back(i);
            }
            break;
        }
    }
    MoveToFront(&package->model.updates, &package->updateKeys, updates.front());
    MoveToFront(&package->model.deletes, &package->deleteKeys, deleteFirst);
}

// --- Replay.

// One package's verification as the updater does it: updates, deletes,
// adds; it notes which records the file operations will then skip.
class PackageReplay {
  public:
    enum Outcome { kApply, kSkip, kStop };

    PackageReplay(const PlannedPackage& package, const FolderValues& state)
        : package_(package),
          model_(package.model),
          state_(state),
          skipUpdate_(model_.updates.size(), false),
          skipAdd_(model_.adds.size(), false) {}

    Outcome Verify(bool multiPackage) {
        const Outcome outcome = VerifyLists();
        if (outcome == kSkip && !multiPackage) return kStop;
        return outcome;
    }

    void Apply(FolderValues* state, const FolderValues& target) const {
        for (size_t i = 0; i < model_.updates.size(); ++i) {
            if (!skipUpdate_[i])
                (*state)[package_.updateKeys[i]] = target.at(package_.updateKeys[i]);
        }
        for (size_t i = 0; i < model_.adds.size(); ++i) {
            if (!skipAdd_[i]) (*state)[package_.addKeys[i]] = target.at(package_.addKeys[i]);
        }
        for (const std::string& key : package_.deleteKeys) state->erase(key);
    }

    const std::string& reason() const { return reason_; }

  private:
    // The outcome of a verdict that stops: a mismatch skips the package.
    Outcome Stop(const Verdict& verdict, const std::string& what, const std::string& name,
                 const std::string& key) {
        switch (verdict.why) {
            case VerifyReason::kMismatch:
                reason_ = "the installed " + state_.at(key).name +
                          " is neither its old nor its new version";
                return kSkip;
            case VerifyReason::kExists:
                reason_ = "the file to add " + name + " exists already";
                break;
            case VerifyReason::kExistsOtherVersion:
                reason_ = "the file to add " + name + " exists in another version";
                break;
            default:
                reason_ = "the file to " + what + " " + name + " is missing";
                break;
        }
        return kStop;
    }

    Outcome VerifyLists() {
        const VerifyOptions options = RuleOptions(model_);
        for (size_t i = 0; i < model_.updates.size(); ++i) {
            const std::string& key = package_.updateKeys[i];
            const Verdict verdict = Judge(UpdateValues(model_.updates[i]), state_, key, options);
            if (verdict.action == VerifyAction::kStop) {
                return Stop(verdict, "update", model_.updates[i].name, key);
            }
            skipUpdate_[i] = verdict.action == VerifyAction::kSkip;
        }
        for (size_t i = 0; i < model_.deletes.size(); ++i) {
            const std::string& key = package_.deleteKeys[i];
            const Verdict verdict = Judge(DeleteValues(model_.deletes[i]), state_, key, options);
            if (verdict.action == VerifyAction::kStop) {
                return Stop(verdict, "delete", model_.deletes[i].name, key);
            }
        }
        for (size_t i = 0; i < model_.adds.size(); ++i) {
            const AddRecordModel& record = model_.adds[i];
            const std::string& key = package_.addKeys[i];
            const RecordValues values{RecordList::kAdds, nullptr, &record.newCheckValue};
            const Verdict verdict = Judge(values, state_, key, options);
            if (verdict.action == VerifyAction::kStop)
                return Stop(verdict, "add", record.name, key);
            skipAdd_[i] = verdict.action == VerifyAction::kSkip;
        }
        return kApply;
    }

    const PlannedPackage& package_;
    const PackageModel& model_;
    const FolderValues& state_;
    std::vector<bool> skipUpdate_;
    std::vector<bool> skipAdd_;
    std::string reason_;
};

std::string CompareWithTarget(const FolderValues& state, const FolderValues& target) {
    for (const auto& [key, value] : target) {
        const auto found = state.find(key);
        if (found == state.end()) return "it ends without " + value.name;
        if (!SameContent(found->second, value)) {
            return "it ends with " + value.name + " not in its new version";
        }
    }
    for (const auto& [key, value] : state) {
        if (target.count(key) == 0) return "it ends with " + value.name + ", which is not new";
    }
    return std::string();
}

// --- Request checks and header.

bool CheckRequest(const BuildRequest& request, std::string* error) {
    if (request.oldFolders.empty()) {
        *error = "no old folder given";
        return false;
    }
    if (request.oldFolders.size() > 0xFFFF) {
        *error = "a container holds at most 65535 packages";
        return false;
    }
    if (request.formatVersion > kNewestFormatVersion &&
        request.formatVersion != gate::kCompressedData) {
        *error = "format version " + std::to_string(request.formatVersion) +
                 " is not one the updater reads: 0 to " + std::to_string(kNewestFormatVersion) +
                 ", or " + std::to_string(gate::kCompressedData) + " (compressed)";
        return false;
    }
    if (request.blockSize != 0 &&
        (request.blockSize < kSmallestBlockSize || request.blockSize > kLargestBlockSize)) {
        *error = "the block size must be " + std::to_string(kSmallestBlockSize) + " to " +
                 std::to_string(kLargestBlockSize) + " bytes";
        return false;
    }
    const size_t labels = request.manifest.oldVersionLabels.size();
    if (labels > 1 && labels != request.oldFolders.size()) {
        *error = "the manifest gives " + std::to_string(labels) + " old version labels for " +
                 std::to_string(request.oldFolders.size()) + " old folders";
        return false;
    }
    if (labels == 1 && request.oldFolders.size() > 1) {
        *error =
            "with several old folders the manifest's old_version must give one label per "
            "folder";
        return false;
    }
    return true;
}

bool LabelFromFolder(const Manifest& manifest, const std::string& folder, std::string* label,
                     std::string* error) {
    std::string reason;
    if (!PackageText(manifest, FolderName(folder), label, &reason)) {
        *error = "the name of " + folder + ": " + reason;
        return false;
    }
    if (label->size() > 255) label->resize(255);
    return true;
}

// The header every package shares: manifest fields, title, new label.
bool BaseModel(const BuildRequest& request, PackageModel* model, std::string* error) {
    const Manifest& manifest = request.manifest;
    if (!FillHeader(manifest, request.formatVersion, model, error)) return false;
    // A later package meets the installation that an earlier one has just
    // updated; the files that were deleted then are missing.
    if (request.oldFolders.size() > 1 && !manifest.skipMissingDeletes.has_value() &&
        request.formatVersion >= gate::kLanguageBlocks) {
        model->skipMissingDeletes = 1;
    }
    if (manifest.title.has_value()) {
        model->title = *manifest.title;
    } else if (!LabelFromFolder(manifest, request.newFolder, &model->title, error)) {
        return false;
    }
    if (manifest.newVersionLabel.has_value()) {
        model->newVersionLabel = *manifest.newVersionLabel;
        return true;
    }
    return LabelFromFolder(manifest, request.newFolder, &model->newVersionLabel, error);
}

bool Serialize(PlannedPackage* package, Bytes* bytes, std::string* error) {
    std::string reason;
    if (!packwriter::BuildPackage(package->model, bytes, nullptr, &reason)) {
        *error = "the package from " + package->summary.oldFolder + " cannot be written: " + reason;
        return false;
    }
    package->summary.size = bytes->size();
    // The record data is in the bytes now.
    package->model.updates.clear();
    package->model.adds.clear();
    return true;
}

bool CheckNames(const BuildRequest& request, const FolderListing& newFiles,
                const std::vector<FolderListing>& oldFiles, std::string* error) {
    if (!CheckFolderNames(newFiles, error)) return false;
    for (const FolderListing& listing : oldFiles) {
        if (!CheckFolderNames(listing, error)) return false;
    }
    const Manifest& manifest = request.manifest;
    std::string document = manifest.documentName;
    if (manifest.codePage.has_value() &&
        !ToUtf8(manifest.documentName, *manifest.codePage, &document))
        document = manifest.documentName;
    const std::string problem = document.empty() ? std::string() : NameProblem(document);
    if (problem.empty()) return true;
    *error = "the manifest's document \"" + Printable(document) + "\" " + problem;
    return false;
}

// Every name an installation may hold while the updater runs, in package bytes.
std::vector<std::string> PresentNames(const Manifest& manifest, const FolderListing& newFiles,
                                      const std::vector<FolderListing>& oldFiles) {
    std::vector<std::string> names;
    const auto add = [&](const FolderListing& listing) {
        for (const FolderFile& file : listing.files) {
            std::string name, reason;
            // A name the code page cannot hold never reaches the package.
            if (PackageText(manifest, file.name, &name, &reason)) names.push_back(name);
        }
    };
    add(newFiles);
    for (const FolderListing& listing : oldFiles) add(listing);
    return names;
}

bool CheckPackageBackups(const BuildRequest& request, const std::vector<PlannedPackage>& packages,
                         const std::vector<std::string>& present, std::string* error) {
    std::vector<BackupNames> names(packages.size());
    for (size_t i = 0; i < packages.size(); ++i) {
        const PackageModel& model = packages[i].model;
        names[i].folder = request.oldFolders[i];
        // The updater puts its default in place of an empty label.
        names[i].label = model.oldVersionLabel.empty() ? "Old Version" : model.oldVersionLabel;
        for (const auto& record : model.updates) names[i].records.push_back(record.name);
        for (const auto& record : model.adds) names[i].records.push_back(record.name);
        for (const auto& record : model.deletes) names[i].records.push_back(record.name);
    }
    return CheckBackupNames(names, present, request.manifest.codePage, error);
}

bool ReplayEveryOldFolder(const BuildRequest& request, const std::vector<PlannedPackage>& packages,
                          const std::vector<FolderValues>& oldValues, const FolderValues& newValues,
                          std::string* error) {
    for (size_t i = 0; i < oldValues.size(); ++i) {
        const std::string reason = ReplayRun(packages, oldValues[i], newValues);
        if (reason.empty()) continue;
        *error = "the update does not work on a copy of " + request.oldFolders[i] + ": " + reason;
        if (packages.size() > 1) {
            *error += " (try another order of the old folders, or options.skip_missing_sources)";
        }
        return false;
    }
    return true;
}

}  // namespace

std::string ReplayRun(const std::vector<PlannedPackage>& packages, const FolderValues& installed,
                      const FolderValues& target) {
    FolderValues state = installed;
    const bool multiPackage = packages.size() > 1;
    for (size_t i = 0; i < packages.size(); ++i) {
        PackageReplay replay(packages[i], state);
        const PackageReplay::Outcome outcome = replay.Verify(multiPackage);
        const std::string which =
            multiPackage ? "package " + std::to_string(i + 1) + " stops: " : std::string();
        if (outcome == PackageReplay::kStop) return which + replay.reason();
        if (outcome == PackageReplay::kApply) replay.Apply(&state, target);
    }
    return CompareWithTarget(state, target);
}

bool BuildPayload(const BuildRequest& request, Progress* progress, BuildResult* result,
                  std::string* error) {
    *result = BuildResult();
    if (!CheckRequest(request, error)) return false;
    PackageModel base;
    if (!BaseModel(request, &base, error)) return false;

    FolderListing newFiles;
    if (!ScanFolder(request.newFolder, &newFiles, error)) return false;
    std::vector<FolderListing> oldFiles(request.oldFolders.size());
    for (size_t i = 0; i < oldFiles.size(); ++i) {
        if (!ScanFolder(request.oldFolders[i], &oldFiles[i], error)) return false;
    }
    if (!CheckNames(request, newFiles, oldFiles, error)) return false;
    result->warnings = ManifestWarnings(request.manifest);

    ProgressCounter counter(progress);
    FolderValues newValues;
    std::vector<FolderValues> oldValues(oldFiles.size());
    std::vector<PlannedPackage> packages(oldFiles.size());
    PackagePlanner planner(request, newFiles, counter, &newValues, result);
    for (size_t i = 0; i < oldFiles.size(); ++i) {
        PlannedPackage& package = packages[i];
        package.model = base;
        if (!request.manifest.oldVersionLabels.empty()) {
            package.model.oldVersionLabel = request.manifest.oldVersionLabels[i];
        } else if (!LabelFromFolder(request.manifest, request.oldFolders[i],
                                    &package.model.oldVersionLabel, error)) {
            return false;
        }
        package.summary.oldFolder = request.oldFolders[i];
        package.summary.oldLabel = package.model.oldVersionLabel;
        package.summary.newLabel = package.model.newVersionLabel;
        counter.Start(
            package.model.oldVersionLabel + " -> " + package.model.newVersionLabel,
            TotalSize(oldFiles[i]) + TotalSize(newFiles) + UpdatedSize(oldFiles[i], newFiles));
        const bool planned = planner.Plan(oldFiles[i], &package, &oldValues[i], error);
        counter.Finish();
        if (!planned) return false;
        if (planner.NewLooksOlder()) {
            result->warnings.push_back("every file that changes is older in " + request.newFolder +
                                       " than in " + request.oldFolders[i] +
                                       ": are --old and --new swapped?");
        }
    }
    if (!CheckPackageBackups(request, packages, PresentNames(request.manifest, newFiles, oldFiles),
                             error)) {
        return false;
    }

    for (size_t i = 0; i + 1 < packages.size(); ++i) {
        std::vector<const FolderValues*> later;
        for (size_t k = i + 1; k < oldValues.size(); ++k) later.push_back(&oldValues[k]);
        OrderForLaterFolders(&packages[i], later);
    }
    if (!ReplayEveryOldFolder(request, packages, oldValues, newValues, error)) return false;

    std::vector<Bytes> built(packages.size());
    for (size_t i = 0; i < packages.size(); ++i) {
        if (!Serialize(&packages[i], &built[i], error)) return false;
        result->packages.push_back(packages[i].summary);
        if (packages[i].summary.updates + packages[i].summary.adds + packages[i].summary.deletes ==
            0) {
            result->warnings.push_back(request.oldFolders[i] + " and " + request.newFolder +
                                       " hold the same files: the package changes nothing");
        }
    }
    if (built.size() == 1) {
        result->payload = std::move(built[0]);
        return true;
    }
    result->container = true;
    std::string reason;
    if (!packwriter::BuildContainer(built, &result->payload, packwriter::ContainerOptions(),
                                    &reason)) {
        *error = "the container cannot be written: " + reason;
        return false;
    }
    return true;
}

bool LoadStub(const std::string& path, Bytes* stub, std::string* error) {
    std::error_code code;
    const uint64_t size = fs::file_size(FsPath(path), code);
    if (code || !fs::is_regular_file(FsPath(path), code)) {
        *error = "cannot read the updater program " + path;
        return false;
    }
    if (size > kPayloadOffset) {
        *error = "the updater program " + path + " is " + std::to_string(size) +
                 " bytes; it must end by offset 0x1F000 (" + std::to_string(kPayloadOffset) +
                 " bytes), where the payload starts";
        return false;
    }
    if (size == 0) {
        *error = "the updater program " + path + " is empty";
        return false;
    }
    std::ifstream file(FsPath(path), std::ios::binary);
    stub->assign(size, 0);
    if (!file.read(reinterpret_cast<char*>(stub->data()), static_cast<std::streamsize>(size))) {
        *error = "cannot read the updater program " + path;
        return false;
    }
    return true;
}

bool FindDefaultStub(const std::string& builderPath, std::string* stubPath, std::string* error) {
    const fs::path folder = FsPath(builderPath).parent_path();
    for (const char* name : {"pkxupdate", "pkxupdate.exe"}) {
        std::error_code code;
        const fs::path candidate = folder / name;
        if (fs::is_regular_file(candidate, code)) {
            *stubPath = Utf8(candidate);
            return true;
        }
    }
    *error = "no updater program (pkxupdate) next to " + builderPath +
             ": give one with --stub, or write the payload alone with --payload-only";
    return false;
}

bool WriteOutput(const std::string& path, const Bytes& bytes, bool executable, std::string* error) {
    const std::string partial = path + ".partial";
    if (bytes.size() > 0xFFFFFFFFu || packwriter::WriteFileBytes(partial.c_str(), bytes) != 0) {
        std::error_code ignored;
        fs::remove(FsPath(partial), ignored);
        *error = "cannot write " + path;
        return false;
    }
    std::error_code code;
    if (executable) {
        fs::permissions(FsPath(partial),
                        fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                        fs::perm_options::add, code);
    }
    if (!code) fs::rename(FsPath(partial), FsPath(path), code);
    if (code) {
        std::error_code ignored;
        fs::remove(FsPath(partial), ignored);
        *error = "cannot write " + path + ": " + code.message();
        return false;
    }
    return true;
}

}  // namespace pkx::builder
