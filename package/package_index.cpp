#include "package/package_index.h"

#include "package/package_header.h"

namespace pkx {

namespace {

ResultCode ReadContainerEntries(BinaryFile& file, ApplyContext& context) {
    context.multiPackage = 1;
    if (file.ReadU16(&context.packageCount) != 0) return result::kReadProgramFile;
    for (uint32_t i = 0; i < context.packageCount; ++i) {
        PackageRef package;
        // Entries read before a failure stay listed; nothing is applied then.
        if (file.ReadU32(&package.offset) != 0) return result::kReadProgramFile;
        if (file.ReadU32(&package.size) != 0) return result::kReadProgramFile;
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
    if (file.Seek(static_cast<int32_t>(kPayloadOffset), kFileBegin) == kBadPosition) {
        return result::kReadProgramFile;
    }
    uint32_t magic = 0;
    if (file.ReadU32(&magic) != 0) return result::kReadProgramFile;
    context.packages.clear();
    if (magic == kContainerMagic) return ReadContainerEntries(file, context);
    if (magic == kPackageMagic) return ListSinglePackage(file, context);
    context.multiPackage = 0;
    return result::kNotAPackage;
}

}  // namespace pkx
