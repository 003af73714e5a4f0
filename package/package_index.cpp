#include "package/package_index.h"

namespace pkx {

namespace {

// The index lies in no package: the end of the file is its only bound.
constexpr uint64_t kIndexEnd = UINT64_MAX;

// --- The PE headers of a Windows program image, as far as signing touches them.
constexpr uint16_t kDosMagic = 0x5A4D;  // "MZ"
constexpr uint32_t kDosHeaderSize = 64;
constexpr uint32_t kPeHeaderOffsetField = 0x3C;
constexpr uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
// From the signature on: the signature, the file header, the optional header.
constexpr uint32_t kOptionalHeaderSizeField = 4 + 16;
constexpr uint32_t kOptionalHeaderAt = 4 + 20;
constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kPe32PlusMagic = 0x20B;
// Where each kind of optional header holds its data directories; the
// number of directories is the u32 just before them.
constexpr uint32_t kPe32Directories = 96;
constexpr uint32_t kPe32PlusDirectories = 112;
constexpr uint32_t kSecurityDirectory = 4;
constexpr uint32_t kDirectorySize = 8;  // file offset and size, for this directory
constexpr uint32_t kPeHeadersRead =
    kOptionalHeaderAt + kPe32PlusDirectories + (kSecurityDirectory + 1) * kDirectorySize;
// The smallest package: magic, version and digest.
constexpr uint32_t kSmallestPackage = kHeaderStartSize + kDigestSize;

uint16_t LoadU16(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] | bytes[1] << 8); }

uint32_t LoadU32(const uint8_t* bytes) {
    return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
           uint32_t{bytes[3]} << 24;
}

// Reads pieces of the program image: the file before the payload.
class ImageReader {
  public:
    ImageReader(PackageSource& source, uint64_t fileSize)
        : source_(source), end_(fileSize < kPayloadOffset ? fileSize : kPayloadOffset) {}

    // False when the bytes do not lie inside the image or the read fails;
    // failed() tells the two apart.
    bool Read(uint64_t offset, uint8_t* buffer, uint32_t count) {
        PackageCursor in(source_, offset, end_);
        if (!in.Fits(count)) return false;
        failed_ = !in.MoveToStart() || !in.Read(buffer, count);
        return !failed_;
    }
    bool failed() const { return failed_; }

  private:
    PackageSource& source_;
    uint64_t end_;
    bool failed_ = false;
};

// Where `headers` (from the PE signature on) hold the security directory;
// 0 when they are damaged or have none.
uint32_t SecurityEntryAt(const uint8_t* headers) {
    if (LoadU32(headers) != kPeSignature) return 0;
    const uint16_t magic = LoadU16(headers + kOptionalHeaderAt);
    const uint32_t directories = magic == kPe32Magic       ? kPe32Directories
                                 : magic == kPe32PlusMagic ? kPe32PlusDirectories
                                                           : 0;
    if (directories == 0) return 0;
    const uint32_t entry = directories + kSecurityDirectory * kDirectorySize;
    const uint32_t count = LoadU32(headers + kOptionalHeaderAt + directories - 4);
    const uint16_t optionalSize = LoadU16(headers + kOptionalHeaderSizeField);
    if (count <= kSecurityDirectory || optionalSize < entry + kDirectorySize) return 0;
    return kOptionalHeaderAt + entry;
}

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

ResultCode ListSinglePackage(BinaryFile& file, PackageSource& source, ApplyContext& context) {
    context.multiPackage = 0;
    context.packageCount = 1;
    const uint32_t fileSize = file.Size();
    if (fileSize == kBadPosition) return result::kReadProgramFile;
    CertificateTable table;
    if (!FindCertificateTable(source, fileSize, &table)) return result::kReadProgramFile;
    PackageRef package;
    package.offset = kPayloadOffset;
    package.size = (table.size != 0 ? table.offset : fileSize) - kPayloadOffset;
    context.packages.push_back(std::move(package));
    if (!source.MoveTo(kPayloadOffset)) return result::kReadProgramFile;
    return result::kSuccess;
}

}  // namespace

bool FindCertificateTable(PackageSource& source, uint64_t fileSize, CertificateTable* table) {
    *table = CertificateTable();
    ImageReader image(source, fileSize);
    uint8_t dos[kDosHeaderSize];
    uint8_t headers[kPeHeadersRead];
    if (!image.Read(0, dos, sizeof dos) || LoadU16(dos) != kDosMagic ||
        !image.Read(LoadU32(dos + kPeHeaderOffsetField), headers, sizeof headers)) {
        return !image.failed();
    }
    const uint32_t entry = SecurityEntryAt(headers);
    if (entry == 0) return true;
    const uint32_t offset = LoadU32(headers + entry);
    const uint32_t size = LoadU32(headers + entry + 4);
    // In 64 bits, a size that wraps past 4 GiB ends nowhere near the file's end.
    if (size != 0 && offset >= kPayloadOffset + kSmallestPackage &&
        uint64_t{offset} + size == fileSize) {
        *table = {offset, size};
    }
    return true;
}

ResultCode ReadPackageIndex(BinaryFile& file, ApplyContext& context) {
    FilePackageSource source(file);
    PackageCursor in(source, kPayloadOffset, kIndexEnd);
    if (!in.MoveToStart()) return result::kReadProgramFile;
    uint32_t magic = 0;
    if (!in.ReadU32(&magic)) return result::kReadProgramFile;
    context.packages.clear();
    if (magic == kContainerMagic) return ReadContainerEntries(in, context);
    if (magic == kPackageMagic) return ListSinglePackage(file, source, context);
    context.multiPackage = 0;
    return result::kNotAPackage;
}

}  // namespace pkx
