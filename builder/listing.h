// Listing what an updater or a payload holds, and checking each package's
// digest. The reader here trusts no length or offset: every field is read
// through a cursor that stops at the end of the range it belongs to.
#pragma once

#include <cstdint>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "package/writer/package_writer.h"

namespace pkx::builder {

// Bytes to inspect: a file or a buffer.
class ByteSource {
  public:
    virtual ~ByteSource() = default;
    virtual uint64_t Size() const = 0;
    // Exactly `count` bytes from `offset`; false when they are not all there.
    virtual bool ReadAt(uint64_t offset, void* buffer, size_t count) = 0;
};

class MemorySource final : public ByteSource {
  public:
    explicit MemorySource(const packwriter::Bytes& bytes) : bytes_(bytes) {}
    uint64_t Size() const override { return bytes_.size(); }
    bool ReadAt(uint64_t offset, void* buffer, size_t count) override;

  private:
    const packwriter::Bytes& bytes_;
};

// Reads through a window of the file, so that field-by-field reading does
// not cost one system call per field.
class FileSource final : public ByteSource {
  public:
    bool Open(const std::string& path);
    uint64_t Size() const override { return size_; }
    bool ReadAt(uint64_t offset, void* buffer, size_t count) override;

  private:
    bool Fill(uint64_t offset);

    std::ifstream file_;
    uint64_t size_ = 0;
    std::vector<char> window_;
    uint64_t windowStart_ = 0;
    size_t windowLength_ = 0;
};

// Opcodes 0 to 6, then every undefined opcode together.
inline constexpr size_t kOpcodeKinds = 8;

struct StreamStats {
    uint16_t version = 0;
    uint32_t blockSize = 0;
    uint64_t opcodes[kOpcodeKinds] = {};
    uint64_t copiedBytes = 0;   // from the old file
    uint64_t literalBytes = 0;  // carried in the stream
    std::string problem;        // empty for a well-formed stream
};

struct RecordInfo {
    enum Kind { kUpdate, kAdd, kDelete };
    Kind kind = kUpdate;
    std::string name;
    uint32_t dataOffset = 0;
    uint32_t dataSize = 0;
    StreamStats stream;  // updates only
};

struct LanguageInfo {
    uint32_t codePage = 0;
    std::string fontFace;
    uint8_t fontHeight = 0;
};

struct NoticeInfo {
    uint32_t codePage = 0;
    uint32_t beforeLength = 0;
    uint32_t afterLength = 0;
};

// One stream of a compressed package's data block.
struct StreamInfo {
    uint8_t method = 0;  // kStreamStored, kStreamLzma or kStreamZeroRuns
    uint32_t compressedSize = 0;
    uint64_t uncompressedSize = 0;
};

struct PackageInfo {
    uint32_t indexOffset = 0;  // the offset the payload names
    uint64_t fileOffset = 0;   // where that is in the inspected file
    uint64_t size = 0;
    uint16_t version = 0;
    std::string title;
    std::string oldVersionLabel;
    std::string newVersionLabel;
    std::string rightsText;
    uint8_t passwordFlag = 0;
    std::optional<uint8_t> deleteBackupsDefault;  // from 120
    std::vector<LanguageInfo> languageBlocks;
    std::vector<packwriter::FolderSourceModel> folderSources;
    std::optional<packwriter::RunningCheckModel> runningCheck;  // from 110
    std::string documentName;
    std::optional<std::vector<NoticeInfo>> notices;  // from 110
    std::optional<uint8_t> hasNewCheckValues;        // from 140
    std::optional<uint8_t> skipMissingSources;       // from 120
    std::optional<uint8_t> overwriteExistingAdds;
    std::optional<uint8_t> skipMissingDeletes;
    uint8_t checkMode = 0;
    uint32_t counts[3] = {};  // updates, adds, deletes
    std::vector<RecordInfo> records;
    std::vector<StreamInfo> streams;  // version 200: the data block's, in stream order
    bool headerRead = false;          // the header was read, maybe only in part
    bool optionsRead = false;         // up to the counts
    bool recordsRead = false;
    bool digestChecked = false;
    std::vector<std::string> problems;  // damage the updater would stumble on
    std::vector<std::string> notes;     // oddities it copes with
    bool digestOk = false;
};

struct InspectReport {
    uint64_t fileSize = 0;
    bool selfExtracting = false;
    uint64_t payloadStart = 0;
    bool container = false;
    uint16_t declaredCount = 0;  // "LUMP" only
    std::vector<PackageInfo> packages;
    std::string problem;  // payload-level: no payload, index cut short
    // The Authenticode certificate table that ends a signed updater; a single
    // package ends where it begins.
    uint64_t certificateOffset = 0;
    uint64_t certificateSize = 0;  // 0: not signed
    std::string signer;            // the signing certificate's subject, when known
    std::string signerProblem;     // why it is not known
    // The requestedExecutionLevel of a Windows updater's manifest; empty
    // when it has none, and then why in `levelProblem` (empty for a program
    // that is not a Windows one).
    std::string executionLevel;
    std::string levelProblem;

    // True when the payload was found and every package is undamaged.
    bool AllGood() const;
};

// Reads the payload (at 0x1F000 of an updater, or at 0 of a bare payload)
// and every package it names.
InspectReport Inspect(ByteSource& source);

// The report as text; strings are shown as UTF-8 converted from
// `codePage` when given and possible, else as bytes with control bytes escaped.
std::string FormatReport(const InspectReport& report, const std::string& fileName,
                         std::optional<uint32_t> codePage);

}  // namespace pkx::builder
