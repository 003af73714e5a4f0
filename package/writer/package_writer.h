// Builds packages of every format version (0 to 150, and the compressed
// version 200), "LUMP" containers and self-extracting files: the builder's
// side of the package format.
//
// A package is described by a plain `PackageModel` and serialized for the
// version it names: fields below their version's gate are not written. The
// serializer lays out the header, the records, the data areas (record data
// offsets count from the package's first byte) and the trailing MD5 digest
// of every preceding byte. At version 200 the records and their data go into
// one data block of compressed streams instead (docs/format.md).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/apply_context.h"
#include "package/format.h"
#include "package/header_fields.h"
#include "package/writer/compact_encoder.h"

namespace pkx::packwriter {

using Bytes = std::vector<uint8_t>;

// Little-endian bytes appended one field at a time; also the tool for
// writing deliberately malformed packages in tests.
class ByteWriter {
  public:
    void U8(uint8_t value);
    void U16(uint16_t value);
    void U32(uint32_t value);
    void Raw(const void* data, size_t size);
    void Raw(const Bytes& data) { Raw(data.data(), data.size()); }
    // A u8 length and the bytes; false (nothing written) above 255 bytes.
    bool ShortString(const std::string& text);
    // A u32 length and the bytes.
    void LongText(const std::string& text);
    void Zeros(size_t count);

    size_t Size() const { return bytes_.size(); }
    const Bytes& bytes() const { return bytes_; }
    Bytes& bytes() { return bytes_; }

  private:
    Bytes bytes_;
};

struct LanguageBlockModel {
    uint32_t codePage = 0;
    std::string fontFace;
    uint8_t fontHeight = 0;
    // Texts 1000 upward in ID order. Versions from 130 on write 74 texts,
    // older ones 69; missing texts are written empty, surplus ones dropped.
    std::vector<std::string> texts;
};

// The header's structures as the readers describe them, with texts of any
// length (longer than 255 bytes cannot be written). Fields not used by a
// kind are ignored.
using LookupRecordModel = LookupRecordOf<std::string>;
using FolderSourceModel = FolderSourceOf<std::string>;
using RunningCheckModel = RunningCheckOf<std::string>;

struct NoticeBlockModel {
    uint32_t codePage = 0;
    std::string before;
    std::string after;
};

struct UpdateRecordModel {
    std::string name;
    CheckValue oldCheckValue;
    CheckValue newCheckValue;  // written when the package has new check values
    FileTime writeTime;
    Bytes data;  // the difference stream (versions up to 150)
    // Version 200: the new file's length, and its compact instructions with
    // the differences and literals they take (SetCompactData).
    uint32_t newSize = 0;
    CompactStreams compact{};
};

struct AddRecordModel {
    std::string name;
    CheckValue newCheckValue;
    FileTime writeTime;
    Bytes data;  // the file's content
};

struct DeleteRecordModel {
    std::string name;
    CheckValue checkValue;
};

struct PackageModel {
    uint16_t version = kNewestFormatVersion;
    std::string title;
    std::string oldVersionLabel;
    std::string newVersionLabel;
    std::string rightsText;
    uint8_t passwordFlag = 0;  // 1: protected, the digest follows
    uint8_t passwordDigest[kDigestSize] = {};
    uint8_t deleteBackupsDefault = 1;                // from 120
    std::vector<LanguageBlockModel> languageBlocks;  // from 120
    // From 140 a count byte precedes them; older versions hold exactly one.
    std::vector<FolderSourceModel> folderSources;
    RunningCheckModel runningCheck;              // from 110
    std::string documentName;                    // from 110
    std::string noticeBefore;                    // 110 to 139
    std::string noticeAfter;                     // 110 to 139
    std::vector<NoticeBlockModel> noticeBlocks;  // from 140
    uint8_t hasNewCheckValues = 0;               // from 140
    uint8_t skipMissingSources = 0;              // from 120
    uint8_t overwriteExistingAdds = 0;           // from 120
    uint8_t skipMissingDeletes = 0;              // from 120
    uint8_t checkMode = 0;                       // 0 MD5, other: write time and size
    std::vector<UpdateRecordModel> updates;
    std::vector<AddRecordModel> adds;
    std::vector<DeleteRecordModel> deletes;
};

// Where the serializer put things, as offsets from the package's first byte.
// A section absent at the package's version starts where the next one does.
// At version 200 the record offsets count from the start of the record
// stream (uncompressed), and there are no data offsets.
struct PackageLayout {
    uint32_t languageBlocksOffset = 0;  // the delete-backups default byte
    uint32_t folderSourcesOffset = 0;   // the count byte, or the only source
    uint32_t runningCheckOffset = 0;
    uint32_t documentNameOffset = 0;
    uint32_t noticeOffset = 0;
    uint32_t optionsOffset = 0;  // the first option byte, or the check mode
    uint32_t countsOffset = 0;   // the update count
    uint32_t recordsOffset = 0;
    std::vector<uint32_t> updateRecordOffsets;
    std::vector<uint32_t> addRecordOffsets;
    std::vector<uint32_t> deleteRecordOffsets;
    std::vector<uint32_t> updateDataOffsets;
    std::vector<uint32_t> addDataOffsets;
    uint32_t dataBlockOffset = 0;  // version 200; otherwise 0
    uint32_t digestOffset = 0;
};

// Sets the password flag and the digest of `password`'s bytes.
void SetPassword(PackageModel& model, const std::string& password);

// Makes `record` rebuild `newData` from `oldData` in a version 200 package:
// its new size and compact streams (EncodeCompactDelta).
void SetCompactData(const Bytes& oldData, const Bytes& newData, UpdateRecordModel* record,
                    const DeltaEncoderOptions& options = DeltaEncoderOptions());

// Serializes `model`. At version 200 each update's `newSize` and `compact`
// and each add's `data` fill the data block (BuildDataBlock, default
// windows); the updates' `data` is not used. False, with a reason in
// `error`, when the model cannot be written at its version: a version above
// 150 other than 200, a short string above 255
// bytes, a count too large for its field, other than one folder source below
// version 140, or a package of 4 GiB or more.
bool BuildPackage(const PackageModel& model, Bytes* package, PackageLayout* layout = nullptr,
                  std::string* error = nullptr);

struct ContainerOptions {
    // File offset of the payload: where the "LUMP" magic will lie.
    uint32_t payloadOffset = kPayloadOffset;
    // Each package starts at a multiple of this (zero bytes fill the gaps).
    uint32_t alignment = 1;
};

// A "LUMP" payload: index, then the packages; the index holds absolute file
// offsets, which is why it must know where the payload will lie.
bool BuildContainer(const std::vector<Bytes>& packages, Bytes* payload,
                    const ContainerOptions& options = ContainerOptions(),
                    std::string* error = nullptr);

// The stub padded with zero bytes to the payload offset, then the payload.
// Refuses a stub longer than the payload offset.
bool BuildSelfExtracting(const Bytes& stub, const Bytes& payload, Bytes* file,
                         std::string* error = nullptr);

// Writes `bytes` to a new file (an existing one is replaced). 0 or the
// platform's error code.
uint32_t WriteFileBytes(const char* path, const Bytes& bytes);

// MD5 of the bytes: the 16-byte form of digests and MD5 check values.
CheckValue Md5CheckValue(const void* data, size_t size);
inline CheckValue Md5CheckValue(const Bytes& data) {
    return Md5CheckValue(data.data(), data.size());
}
// {write time low, write time high, size, 0}, each little-endian.
CheckValue DateSizeCheckValue(const FileTime& writeTime, uint32_t size);

// Changes to built bytes, for damaged and hostile variants. Each returns
// false, changing nothing, when the field lies outside `bytes`.
bool PatchU8(Bytes& bytes, size_t offset, uint8_t value);
bool PatchU16(Bytes& bytes, size_t offset, uint16_t value);
bool PatchU32(Bytes& bytes, size_t offset, uint32_t value);
bool PatchBytes(Bytes& bytes, size_t offset, const void* data, size_t size);
// Keeps the first `size` bytes.
void Truncate(Bytes& bytes, size_t size);
// Recomputes the trailing digest of a package after a patch, so that only the
// patched field, not the integrity check, rejects it. False below 16 bytes.
bool RefreshDigest(Bytes& package);

// Zero bytes between the data areas and the digest make the package's size a
// multiple of `multiple`, and the digest is computed anew. Signing pads the
// file to 8 bytes before it appends its certificate table: a single package
// padded so first ends right where the table begins. False, changing
// nothing, below 16 bytes or when the package would reach 4 GiB.
bool PadPackage(Bytes& package, uint32_t multiple);

}  // namespace pkx::packwriter
