// Any payload against the container, header and record readers.
//
// The input is the payload of a program file: it is written behind an empty
// image at 0x1F000 and read the way the worker reads it, without prompts:
// the index, then for every listed package the header start, all folder
// sources, the running check, document name and notice texts, the options
// and counts, and the records. Besides not crashing, every result must be one
// the readers may give, every stored text must stay terminated inside its
// buffer, and no list may hold more entries than its count.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>

#include "core/apply_context.h"
#include "package/file_entries.h"
#include "package/package_header.h"
#include "package/package_index.h"
#include "support/binary_file.h"

namespace pkx {
namespace {

// Packages beyond this many in one index are not read: each costs time, not safety.
constexpr size_t kPackagesRead = 16;

// A failed expectation names its line, so a finding says which rule broke.
void CheckAt(bool condition, int line) {
    if (condition) return;
    std::fprintf(stderr, "package_fuzzer: check at line %d failed\n", line);
    std::abort();
}
#define Check(condition) CheckAt((condition), __LINE__)

void CheckTerminated(const char* buffer) { Check(std::memchr(buffer, 0, kPathBufferSize)); }

// Every run truncates and rewrites the program file; on a disk file system
// that costs more than all the reading, so memory-backed /dev/shm is used
// where there is one.
std::filesystem::path TempRoot() {
    std::error_code error;
    if (std::filesystem::is_directory("/dev/shm", error)) return "/dev/shm";
    return std::filesystem::temp_directory_path();
}

// The program file of every run; removed at exit.
class ProgramFile {
  public:
    ProgramFile() {
        std::random_device seed;
        folder_ = TempRoot() / ("pkx-package-fuzz-" + std::to_string(seed()));
        std::filesystem::create_directories(folder_);
        path_ = (folder_ / "program.exe").string();
    }
    ~ProgramFile() {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }

    // An empty image (a hole up to the payload offset), then `payload`.
    const char* Write(const uint8_t* payload, size_t size) {
        BinaryFile file;
        Check(file.OpenWrite(path_.c_str(), kShareNone, kAttributeNormal) == 0);
        Check(file.Seek(static_cast<int32_t>(kPayloadOffset), kFileBegin) == kPayloadOffset);
        if (size > 0) Check(file.Write(payload, static_cast<uint32_t>(size)) == 0);
        return path_.c_str();
    }

  private:
    std::filesystem::path folder_;
    std::string path_;
};

void CheckHeaderStrings(const ApplyContext& context, const PackageRef& package) {
    CheckTerminated(context.title);
    CheckTerminated(context.oldVersionLabel);
    CheckTerminated(context.newVersionLabel);
    CheckTerminated(context.rightsText);
    CheckTerminated(context.fontFace);
    CheckTerminated(package.oldVersionLabel);
    CheckTerminated(package.newVersionLabel);
    for (uint32_t i = 0; i < kTextCount; ++i) CheckTerminated(context.texts.slots[i]);
    // A table is always in force after the header start: a block's or the defaults.
    Check(context.textCodePage != 0);
}

void CheckNotice(const NoticeText& text, const PackageRef& package) {
    if (text) Check(std::strlen(text.get()) <= package.size);
}

void CheckEntries(const std::vector<FileEntry>& list, uint32_t count, ResultCode code) {
    Check(list.size() <= count);
    if (code == 0) Check(list.size() == count);
    for (const FileEntry& entry : list) {
        CheckTerminated(entry.name);
        Check(entry.alreadyUpdated == 0);
    }
}

// Reads the rest of one package after its header start.
void ReadPackageBody(PackageCursor& in, const PackageRef& package, uint16_t version,
                     ApplyContext& context) {
    FolderSourceList sources(in, version);
    if (sources.ReadCount() != 0) return;
    for (uint32_t i = 0; i < sources.count(); ++i) {
        FolderSource source;
        const ResultCode code = sources.ReadNext(&source);
        Check(code == 0 || code == result::kReadProgramFile);
        if (code != 0) return;
        CheckTerminated(source.text1);
        CheckTerminated(source.text2);
        CheckTerminated(source.text3);
    }
    if (version >= gate::kRunningCheck) {
        RunningCheck check;
        if (ReadRunningCheck(in, &check) != 0) return;
        CheckTerminated(check.windowTitle);
        CheckTerminated(check.processName);
        if (ReadDocumentName(in, context) != 0) return;
        CheckTerminated(context.openAfterName);
        NoticeText before;
        NoticeText after;
        const ResultCode code = ReadNoticeTexts(in, version, &before, &after);
        Check(code == 0 || code == result::kReadProgramFile);
        if (code != 0) return;
        CheckNotice(before, package);
        CheckNotice(after, package);
    }
    RecordCounts counts;
    if (ReadOptionsAndCounts(in, version, context, &counts) != 0) return;
    FileEntryLists lists;
    const ResultCode code = ReadFileEntries(in, counts, context, &lists);
    Check(code == 0 || code == result::kReadProgramFile);
    CheckEntries(lists.updates, counts.updates, code);
    CheckEntries(lists.adds, counts.adds, code);
    CheckEntries(lists.deletes, counts.deletes, code);
}

void ReadPayload(const char* path, uint32_t codePage) {
    systemCodePage = codePage;
    BinaryFile file;
    Check(file.OpenRead(path, kShareRead, kAttributeNormal) == 0);
    auto context = std::make_unique<ApplyContext>();
    const ResultCode indexCode = ReadPackageIndex(file, *context);
    Check(indexCode == 0 || indexCode == result::kReadProgramFile ||
          indexCode == result::kNotAPackage);
    if (indexCode != 0) return;
    Check(context->packages.size() == context->packageCount);
    const uint64_t fileSize = file.Size();
    for (size_t i = 0; i < context->packages.size() && i < kPackagesRead; ++i) {
        PackageRef& package = context->packages[i];
        // The updater checks a package's digest over all its bytes before it
        // reads the notices, whose lengths are bounded by the package alone.
        if (uint64_t{package.offset} + package.size > fileSize) continue;
        HeaderStart start;
        FilePackageSource source(file);
        PackageCursor in(source, package);
        const ResultCode code = ReadHeaderStart(in, package, *context, &start);
        Check(code == 0 || code == result::kReadProgramFile || code == result::kUnknownVersion);
        CheckHeaderStrings(*context, package);
        if (code == 0) ReadPackageBody(in, package, start.version, *context);
        // Nothing is read past the package's end.
        Check(in.position() <= uint64_t{package.offset} + package.size);
    }
}

}  // namespace
}  // namespace pkx

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static pkx::ProgramFile program;
    const char* path = program.Write(data, size);
    // Both kinds of system: a Japanese one and a Western one.
    pkx::ReadPayload(path, size % 2 == 0 ? 932 : 1252);
    return 0;
}
