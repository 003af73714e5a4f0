#include "builder/proof.h"

#ifdef _WIN32
#include "platform/win32/builder_system.h"
#else
#include <stdlib.h>
#include <sys/stat.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <system_error>
#include <tuple>

#include "builder/folders.h"
#include "builder/paths.h"
#include "builder/proof_platform.h"
#include "builder/text.h"
#include "engine/backups.h"
#include "engine/journal.h"
#include "engine/rollback.h"
#include "engine/worker.h"
#include "package/format.h"
#include "platform/posix/builtin_texts.h"
#include "shell/app_startup.h"
#include "support/binary_file.h"
#include "texts/text_ids.h"

namespace pkx::builder {

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

// The installation's path leaves room for the names below it in the
// updater's 259-byte paths.
constexpr size_t kLongestScratchPath = 160;
constexpr size_t kCompareChunk = 1u << 20;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// `path` as the engine writes paths.
std::string EnginePath(const fs::path& path) {
    std::string text = Utf8(path);
    for (char& c : text) {
        if (c == '/') c = '\\';
    }
    return text;
}

// A new folder in the system's temporary folder, removed with all it holds.
class ScratchFolder {
  public:
    ScratchFolder() = default;
    ~ScratchFolder() {
        std::error_code ignored;
        if (!path_.empty()) fs::remove_all(path_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    bool Create(std::string* error) {
        std::error_code code;
        const fs::path temporary = fs::temp_directory_path(code);
#ifdef _WIN32
        const std::string made = win32::NewFolder(Utf8(temporary / "pkxbuild-"));
        if (code || made.empty()) {
#else
        std::string made = Utf8(temporary / "pkxbuild-XXXXXX");
        if (code || mkdtemp(made.data()) == nullptr) {
#endif
            *error = "cannot make a scratch folder in the temporary folder";
            return false;
        }
        path_ = FsPath(made);
        return true;
    }
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

// Restores the process's current folder, which the engine moves to the
// program's folder, and the system code page it reads at start-up.
class ProcessStateGuard {
  public:
    ProcessStateGuard() : folder_(fs::current_path(code_)), codePage_(systemCodePage) {}
    ~ProcessStateGuard() {
        std::error_code ignored;
        if (!code_) fs::current_path(folder_, ignored);
        systemCodePage = codePage_;
    }
    ProcessStateGuard(const ProcessStateGuard&) = delete;
    ProcessStateGuard& operator=(const ProcessStateGuard&) = delete;

  private:
    std::error_code code_;
    fs::path folder_;
    uint32_t codePage_;
};

#ifdef _WIN32
// Folders and files with their write times, walked and copied by the system
// itself (the C runtime's listing stops at MAX_PATH): the updater's check by
// date and size must see what it would see in the old folder.
bool CopyFolder(const std::string& from, const std::string& to, std::string* error) {
    std::vector<win32::FolderEntry> entries;
    uint32_t failed = Os().CreateFolder(to.c_str());
    if (failed == win32err::kAlreadyExists) failed = 0;
    if (failed == 0) failed = win32::ListFolder(from, &entries);
    for (size_t i = 0; failed == 0 && i < entries.size(); ++i) {
        const std::string source = from + "\\" + entries[i].name;
        const std::string target = to + "\\" + entries[i].name;
        if (entries[i].folder) {
            if (!CopyFolder(source, target, error)) return false;
        } else {
            failed = win32::CopyFileKeepingTime(source, target);
        }
    }
    if (failed == 0) return true;
    *error = "cannot copy " + from + " for the proof (system error " + std::to_string(failed) + ")";
    return false;
}
#else
// Folders, files with their permissions and write times: the updater's
// check by date and size must see what it would see in the old folder.
bool CopyFolder(const fs::path& from, const fs::path& to, std::string* error) {
    std::error_code code;
    fs::create_directories(to, code);
    fs::recursive_directory_iterator it(from, code);
    for (; !code && it != fs::recursive_directory_iterator(); it.increment(code)) {
        const fs::path target = to / it->path().lexically_relative(from);
        if (fs::is_directory(it->symlink_status(code))) {
            fs::create_directory(target, code);
        } else if (fs::copy_file(it->path(), target, code)) {
            fs::last_write_time(target, fs::last_write_time(it->path(), code), code);
        }
        if (code) break;
    }
    if (!code) return true;
    *error = "cannot copy " + Utf8(from) + " for the proof: " + code.message();
    return false;
}

#endif

bool SameBytes(const FolderFile& a, const FolderFile& b) {
    if (a.size != b.size) return false;
    std::ifstream first(FsPath(a.path), std::ios::binary);
    std::ifstream second(FsPath(b.path), std::ios::binary);
    std::vector<char> one(kCompareChunk), two(kCompareChunk);
    for (uint64_t left = a.size; left > 0;) {
        const auto chunk = static_cast<std::streamsize>(std::min<uint64_t>(left, kCompareChunk));
        if (!first.read(one.data(), chunk) || !second.read(two.data(), chunk) ||
            std::memcmp(one.data(), two.data(), static_cast<size_t>(chunk)) != 0) {
            return false;
        }
        left -= static_cast<uint64_t>(chunk);
    }
    return true;
}

// Read and write permissions follow the user's umask on each machine;
// whether a file can be run is what an update must keep.
bool Executable(const FolderFile& file) {
    std::error_code code;
    const fs::perms perms = fs::status(FsPath(file.path), code).permissions();
    return !code && (perms & (fs::perms::owner_exec | fs::perms::group_exec |
                              fs::perms::others_exec)) != fs::perms::none;
}

std::optional<uint64_t> WriteTime(const FolderFile& file) {
    BinaryFile input;
    FileTime time;
    if (input.OpenRead(file.path.c_str(), kShareRead, kAttributeNormal) != 0 ||
        Os().GetWriteTime(input.NativeHandle(), &time) != 0) {
        return std::nullopt;
    }
    return uint64_t{time.high} << 32 | time.low;
}

// A file the update wrote must carry the new folder's write time: an update
// that identifies files by date and size looks for it. Files the update left
// alone keep their own.
bool WriteTimeDiffers(const FolderFile& want, const FolderFile& have, const FolderFile* before) {
    if (WriteTime(want) == WriteTime(have)) return false;
    return before == nullptr || !SameBytes(*before, have);
}

// The first file, by name, in which `folder` differs from `expected`;
// `old` is the folder the run started from.
std::string FirstDifference(const fs::path& folder, const FolderListing& expected,
                            const FolderListing& old, bool compareModes) {
    FolderListing got;
    std::string error;
    if (!ScanFolder(Utf8(folder), &got, &error)) return "a result that cannot be listed: " + error;
    std::map<std::string, std::pair<const FolderFile*, const FolderFile*>> files;
    for (const FolderFile& file : expected.files) files[file.key].first = &file;
    for (const FolderFile& file : got.files) files[file.key].second = &file;
    std::map<std::string, const FolderFile*> before;
    for (const FolderFile& file : old.files) before[file.key] = &file;
    for (const auto& [key, pair] : files) {
        const auto [want, have] = pair;
        if (have == nullptr) return "no " + want->name + ", which the new folder holds";
        if (want == nullptr) return have->name + ", which the new folder does not hold";
        if (!SameBytes(*want, *have)) return want->name + " other than the new folder's";
        if (compareModes && Executable(*want) != Executable(*have)) {
            return want->name + (Executable(*want) ? " not executable" : " executable") +
                   ", unlike the new folder's (a package carries no file modes)";
        }
        const auto it = before.find(key);
        if (WriteTimeDiffers(*want, *have, it == before.end() ? nullptr : it->second)) {
            return want->name + " with a write time other than the new folder's";
        }
    }
    return std::string();
}

// Each file of a folder by name, with what any change on disk moves (a
// write, a move, a new file), whatever the bytes: its inode and status time.
using Identities = std::map<std::string, std::tuple<uint64_t, int64_t, int64_t>>;

bool Identify(const fs::path& folder, Identities* identities, std::string* error) {
    FolderListing listing;
    if (!ScanFolder(Utf8(folder), &listing, error)) return false;
    for (const FolderFile& file : listing.files) {
#ifdef _WIN32
        uint64_t index = 0;
        int64_t changed = 0;
        const bool known = win32::FileIdentity(file.path.c_str(), &index, &changed);
        (*identities)[file.name] = {index, changed, 0};
#else
        struct stat status;
        const bool known = stat(file.path.c_str(), &status) == 0;
        (*identities)[file.name] = {status.st_ino, status.st_ctim.tv_sec, status.st_ctim.tv_nsec};
#endif
        if (!known) {
            *error = "cannot read the state of " + file.path;
            return false;
        }
    }
    return true;
}

// The first file, by name, that is new or changed in `after` (one gone is
// missing from the new folder's files).
std::string FirstChanged(const Identities& before, const Identities& after) {
    for (const auto& [name, identity] : after) {
        const auto it = before.find(name);
        if (it == before.end() || it->second != identity) return name;
    }
    return std::string();
}

// The updater's user interface, headless: every question answered as -F
// does, and the installation found where the proof put it.
class HeadlessRun final : public EventSink, public Prompter {
  public:
    HeadlessRun(ApplyContext& context, std::string installation)
        : context_(context), installation_(std::move(installation) + "\\") {}

    void Send(uint32_t code, intptr_t param) override {
        // Whatever folder the package's sources found, the installation is the copy.
        if (code == EV_TARGET_FOLDER) {
            std::snprintf(context_.targetFolder, sizeof context_.targetFolder, "%s",
                          installation_.c_str());
        }
        const bool aboutFile = code == EV_HASHING_FILE || code == EV_READING_FILE_DATE ||
                               code == EV_UPDATING_FILE || code == EV_ADDING_FILE ||
                               code == EV_DELETING_FILE;
        if (aboutFile && param != 0) lastFile_ = reinterpret_cast<const char*>(param);
    }

    void Post(uint32_t, intptr_t) override {}

    bool Confirm(const char*, const char*) override { return true; }
    int AskPassword(ApplyContext&) override { return 0; }
    int AskTargetFolder(ApplyContext& context) override {
        std::snprintf(context.targetFolder, sizeof context.targetFolder, "%s",
                      installation_.c_str());
        return 0;
    }
    void ShowNotice(ApplyContext&, const char*) override {}
    void CreateUiFont(ApplyContext&, bool) override {}

    // The full path of the last file the run turned to.
    const std::string& lastFile() const { return lastFile_; }

  private:
    ApplyContext& context_;
    std::string installation_;
    std::string lastFile_;
};

struct RunOutcome {
    ResultCode result = result::kSuccess;
    std::string lastFile;  // relative name of the last file the run turned to
};

// `path` without the installation folder in front.
std::string Relative(const std::string& path, const std::string& installation) {
    if (path.compare(0, installation.size() + 1, installation + "\\") != 0) return path;
    return path.substr(installation.size() + 1);
}

// The updater file, as the engine finds it in the scratch folder.
struct Program {
    std::string path;
    const packwriter::Bytes* image = nullptr;
    uint64_t zeros = 0;  // before the image: the room of a bare payload's updater program
};

// One run of the updater in `program` on `installation`, and afterwards what
// the program does: the backups removed after a success (when asked to), the
// touched files put back after anything else.
RunOutcome RunUpdater(const Program& program, const fs::path& installation,
                      std::optional<uint32_t> namesCodePage, bool removeBackups) {
    const ProcessStateGuard guard;
    const std::string root = EnginePath(installation);
    UpdaterPlatform platform(Os(), namesCodePage);
    platform.SetProgram(program.path, *program.image, program.zeros);
    platform.SetInstallation(root);
    // The start-up, the run and what the program does after it, all on that system.
    const ThreadPlatform onThisThread(&platform);
    auto context = std::make_unique<ApplyContext>();
    context->platform = &platform;
    PrepareContext(*context, "-F");
    HeadlessRun ui(*context, root);
    context->events = &ui;
    context->prompts = &ui;
    RunWorker(context.get());

    RunOutcome outcome;
    outcome.result = context->result;
    outcome.lastFile = Readable(Relative(ui.lastFile(), root), namesCodePage);
    if (context->result != result::kSuccess) {
        RestoreBackups(*context);
    } else {
        if (removeBackups) DeleteBackups(*context);
        EndJournal(*context);
    }
    return outcome;
}

// Both runs on a copy of one old folder.
void ProveFolder(const Program& program, const FolderListing& expected, const ProofRequest& request,
                 bool compareModes, const fs::path& installation, FolderProof* proof) {
    const RunOutcome first = RunUpdater(program, installation, request.namesCodePage, true);
    proof->firstRun = first.result;
    const std::string where = "applied to a copy of " + proof->oldFolder + ", the updater ";
    if (first.result != result::kSuccess) {
        proof->problem = where + "fails" + (first.lastFile.empty() ? "" : " at " + first.lastFile) +
                         ": " + ResultText(first.result);
        return;
    }
    FolderListing old;
    std::string error;
    if (!ScanFolder(Utf8(fs::absolute(FsPath(proof->oldFolder))), &old, &error)) {
        proof->problem = error;
        return;
    }
    std::string difference = FirstDifference(installation, expected, old, compareModes);
    if (!difference.empty()) {
        proof->problem = where + "leaves " + difference;
        return;
    }
    // A change shows on disk, whether or not the run kept a backup of it.
    Identities before, after;
    const bool listed = Identify(installation, &before, &error);
    const RunOutcome second = RunUpdater(program, installation, request.namesCodePage, false);
    proof->secondRun = second.result;
    proof->secondRunDone = true;
    const std::string again = "run again on its result from " + proof->oldFolder + ", the updater ";
    if (!listed || !Identify(installation, &after, &error)) {
        proof->problem = error;
        return;
    }
    const std::string changed = FirstChanged(before, after);
    if (!changed.empty()) {
        proof->problem = again + "changes " + changed + " once more";
        return;
    }
    difference = FirstDifference(installation, expected, old, compareModes);
    if (!difference.empty()) proof->problem = again + "leaves " + difference;
}

bool IsPayload(const packwriter::Bytes& file) {
    if (file.size() < kMagicSize) return false;
    uint32_t magic = 0;
    for (size_t i = 0; i < kMagicSize; ++i) magic |= uint32_t{file[i]} << (8 * i);
    return magic == kPackageMagic || magic == kContainerMagic;
}

bool Fail(ProofReport* report, const std::string& problem) {
    report->problem = problem;
    return false;
}

}  // namespace

std::string ResultText(ResultCode code) {
    uint32_t id = 0;
    if (code >= result::kReadProgramFile && code <= result::kReadOldFile) {
        id = text::kErrorReadProgramFile + (code - result::kReadProgramFile);
    } else if (code == result::kNoTargetFolder) {
        id = text::kErrorNoTargetFolder;
    } else if (code >= result::kOldFileDiffersMd5 && code <= result::kAddedFileExists) {
        id = text::kErrorOldFileDiffersMd5 + (code - result::kOldFileDiffersMd5);
    }
    std::string text = code == result::kSuccess           ? "applied"
                       : code == result::kCancelled       ? "cancelled"
                       : code == result::kProgramRunning  ? "the program is running"
                       : code == result::kOpenProgramFile ? "cannot open the updater file"
                                                          : "";
    const char* message = id != 0 ? FindBuiltinText(TextLanguage::kEnglish, id) : nullptr;
    if (message != nullptr) text = message;
    char number[16];
    std::snprintf(number, sizeof number, "0x%X", code);
    return text + " (result " + number + ")";
}

bool ProveUpdater(const packwriter::Bytes& file, const ProofRequest& request, Progress* progress,
                  ProofReport* report) {
    *report = ProofReport();
    const Clock::time_point start = Clock::now();
    // The updater for Windows keeps no file modes; the one for POSIX does.
    report->comparedModes = !(file.size() >= 2 && file[0] == 'M' && file[1] == 'Z');
    std::string error;
    FolderListing expected;
    if (!ScanFolder(Utf8(fs::absolute(FsPath(request.newFolder))), &expected, &error)) {
        return Fail(report, error);
    }
    ScratchFolder scratch;
    if (!scratch.Create(&error)) return Fail(report, error);
    const fs::path installation = scratch.path() / "installation";
    if (EnginePath(installation).size() > kLongestScratchPath) {
        return Fail(report, "the temporary folder " + Utf8(scratch.path().parent_path()) +
                                " is too deep for the updater's 259-byte paths; set TMPDIR");
    }
    // The updater finds its payload at 0x1F000 of its own file.
    const Program program{EnginePath(scratch.path() / "updater"), &file,
                          IsPayload(file) ? kPayloadOffset : 0};

    for (const std::string& folder : request.oldFolders) {
        const Clock::time_point folderStart = Clock::now();
        if (progress != nullptr) progress->Start("proof on a copy of " + folder, 1);
        FolderProof proof;
        proof.oldFolder = folder;
#ifdef _WIN32
        const bool copied = CopyFolder(folder, Utf8(installation), &error);
#else
        const bool copied = CopyFolder(fs::absolute(FsPath(folder)), installation, &error);
#endif
        if (!copied) return Fail(report, error);
        ProveFolder(program, expected, request, report->comparedModes, installation, &proof);
        std::error_code ignored;
        fs::remove_all(installation, ignored);
        proof.seconds = SecondsSince(folderStart);
        if (progress != nullptr) progress->Finish();
        report->folders.push_back(proof);
        if (!proof.problem.empty() && report->problem.empty()) report->problem = proof.problem;
    }
    report->seconds = SecondsSince(start);
    return report->ok();
}

bool ProveUpdaterFile(const std::string& path, const ProofRequest& request, Progress* progress,
                      ProofReport* report) {
    std::ifstream input(FsPath(path), std::ios::binary);
    packwriter::Bytes file((std::istreambuf_iterator<char>(input)),
                           std::istreambuf_iterator<char>());
    if (!input.good() && !input.eof()) {
        *report = ProofReport();
        return Fail(report, "cannot read " + path);
    }
    return ProveUpdater(file, request, progress, report);
}

}  // namespace pkx::builder
