#include "package/package_index.h"

#include "package/package_cursor.h"

namespace pkx {

namespace {

// The index lies in no package: the end of the file is its only bound.
constexpr uint64_t kIndexEnd = UINT64_MAX;

ResultCode ReadContainerEntries(PackageCursor& in, ApplyContext& context) {
    context.multiPackage = 1;
    if (!in.ReadU16(&context.packageCount)) return result::kReadProgramFile;
    for (uint32_t i = 0; i < context.packageCount; ++i) {
        PackageRef package;
        // Entries read before a failure stay listed; nothing is applied then.
        if (!in.ReadU32(&package.offset)) return result::kReadProgramFile;
        if (!in.ReadU32(&package.size)) return result::kReadProgramFile;
        context.packages.push_back(std::move(package));
    }
    return result::kSuccess;
}

ResultCode ListSinglePackage(BinaryFile& file, ApplyContext& context) {
    context.multiPackage = 0;
    context.packageCount = 1;
    const uint32_t fileSize = file.Size();
    if (fileSize == kBadPosition) return result::kReadProgramFile;
    PackageRef package;
    package.offset = kPayloadOffset;
    package.size = fileSize - kPayloadOffset;
    context.packages.push_back(std::move(package));
    if (file.Seek(-4, kFileCurrent) == kBadPosition) return result::kReadProgramFile;
    return result::kSuccess;
}

}  // namespace

ResultCode ReadPackageIndex(BinaryFile& file, ApplyContext& context) {
    FilePackageSource source(file);
    PackageCursor in(source, kPayloadOffset, kIndexEnd);
    if (!in.MoveToStart()) return result::kReadProgramFile;
    uint32_t magic = 0;
    if (!in.ReadU32(&magic)) return result::kReadProgramFile;
    context.packages.clear();
    if (magic == kContainerMagic) return ReadContainerEntries(in, context);
    if (magic == kPackageMagic) return ListSinglePackage(file, context);
    context.multiPackage = 0;
    return result::kNotAPackage;
}

}  // namespace pkx
