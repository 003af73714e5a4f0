// Any payload, written behind an empty image at 0x1F000, against the
// container, header and record readers, read as the worker reads them
// without prompts. Every result must be one the readers may give, every
// stored text must stay terminated inside its buffer, and no list may hold
// more entries than its count.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_files.h"
#include "fuzz/package_reading.h"

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

// An empty image (a hole up to the payload offset), then `payload`. Every run
// rewrites the file, so it lives in the memory-backed folder where there is one.
const char* WriteProgram(const uint8_t* payload, size_t size) {
    static fuzz::Folder folder("pkx-package-fuzz-");
    static const std::string path = folder.File("program.exe");
    BinaryFile file;
    Check(file.OpenWrite(path.c_str(), kShareNone, kAttributeNormal) == 0);
    Check(file.Seek(static_cast<int32_t>(kPayloadOffset), kFileBegin) == kPayloadOffset);
    if (size > 0) Check(file.Write(payload, static_cast<uint32_t>(size)) == 0);
    return path.c_str();
}

void CheckHeaderStrings(const ApplyContext& context, const PackageRef& package) {
    for (const char* text : {context.title, context.oldVersionLabel, context.newVersionLabel,
                             context.rightsText, context.fontFace, context.openAfterName,
                             package.oldVersionLabel, package.newVersionLabel}) {
        CheckTerminated(text);
    }
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

void CheckReading(const test::PackageReading& reading, const PackageRef& package,
                  const ApplyContext& context) {
    const ResultCode code = reading.code;
    Check(code == 0 || code == result::kReadProgramFile ||
          (code == result::kUnknownVersion && reading.stage == test::Stage::kHeaderStart) ||
          (code == result::kBadDifferenceData && reading.stage == test::Stage::kRecords));
    CheckHeaderStrings(context, package);
    for (const FolderSource& source : reading.sources) {
        for (const char* text : {source.text1, source.text2, source.text3}) CheckTerminated(text);
    }
    for (const char* text : {reading.check.windowTitle, reading.check.processName}) {
        CheckTerminated(text);
    }
    CheckNotice(reading.before, package);
    CheckNotice(reading.after, package);
    CheckEntries(reading.lists.updates, reading.counts.updates, code);
    CheckEntries(reading.lists.adds, reading.counts.adds, code);
    CheckEntries(reading.lists.deletes, reading.counts.deletes, code);
    // Nothing is read past the package's end.
    Check(reading.position <= uint64_t{package.offset} + package.size);
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
        test::PackageReading reading;
        test::ReadPackageBody(file, package, *context, reading);
        CheckReading(reading, package, *context);
    }
}

}  // namespace
}  // namespace pkx

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* path = pkx::WriteProgram(data, size);
    // Both kinds of system: a Japanese one and a Western one.
    pkx::ReadPayload(path, size % 2 == 0 ? 932 : 1252);
    return 0;
}
