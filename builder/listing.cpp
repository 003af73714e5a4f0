#include "builder/listing.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "builder/execution_level.h"
#include "builder/text.h"
#include "package/compressed_stream.h"
#include "package/delta_reader.h"
#include "package/file_entries.h"
#include "package/format.h"
#include "package/package_cursor.h"
#include "package/package_header.h"
#include "package/package_index.h"
#include "support/md5.h"

namespace pkx::builder {

namespace {

constexpr size_t kWindowSize = 1u << 16;
constexpr size_t kHashChunk = 1u << 20;
// The most record stream the listing decodes: far more than any release's
// names and check values.
constexpr uint64_t kLargestRecordStream = uint64_t{64} << 20;

uint32_t LoadU32(const uint8_t* bytes) {
    return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
           uint32_t{bytes[3]} << 24;
}

std::string Hex(uint64_t value, int width = 8) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*" PRIX64, width, value);
    return text;
}

// The inspected bytes as the source of a package cursor.
class InspectedBytes final : public PackageSource {
  public:
    explicit InspectedBytes(ByteSource& source) : source_(source) {}

    bool MoveTo(uint64_t offset) override {
        position_ = offset;
        return true;
    }
    bool Read(void* buffer, uint32_t count) override {
        if (!source_.ReadAt(position_, buffer, count)) return false;
        position_ += count;
        return true;
    }
    bool Skip(uint64_t count) override {
        position_ += count;
        return true;
    }

  private:
    ByteSource& source_;
    uint64_t position_ = 0;
};

// Reads fields in order from [begin, end) through the updater's package
// cursor: the first read that would pass `end` or fails stops it for good,
// and that read and every later one give 0.
class Fields {
  public:
    Fields(ByteSource& source, uint64_t begin, uint64_t end)
        : bytes_(source), in_(bytes_, begin, end) {
        in_.MoveToStart();
    }

    bool ok() const { return in_.ok(); }
    uint64_t Remaining() const { return in_.Remaining(); }

    uint16_t U16() {
        uint16_t value = 0;
        in_.ReadU16(&value);
        return value;
    }
    uint32_t U32() {
        uint32_t value = 0;
        in_.ReadU32(&value);
        return value;
    }
    PackageCursor& cursor() { return in_; }

  private:
    InspectedBytes bytes_;
    PackageCursor in_;
};

StreamStats ReadStream(ByteSource& source, uint64_t begin, uint64_t size) {
    StreamStats stats;
    Fields fields(source, begin, begin + size);
    PackageCursor& in = fields.cursor();
    DeltaHeader header;
    const ResultCode code =
        in.Fits(kDeltaHeaderSize) ? ReadDeltaHeader(in, &header) : result::kReadProgramFile;
    stats.version = header.version;
    stats.blockSize = header.blockSize;
    if (code == result::kReadProgramFile) {
        stats.problem = "the stream is shorter than its header";
        return stats;
    }
    if (code == result::kBadDifferenceData) {
        stats.problem = "not a difference stream (no \"PKS \" magic)";
        return stats;
    }
    if (code == result::kUnknownDifferenceVersion) {
        stats.problem = "stream version " + std::to_string(stats.version) + " is unknown";
        return stats;
    }
    while (in.Remaining() > 0) {
        DeltaInstruction instruction;
        const bool read = ReadDeltaInstruction(in, &instruction) == result::kSuccess;
        ++stats.opcodes[std::min<size_t>(instruction.opcode, kOpcodeKinds - 1)];
        if (read && instruction.opcode == OP_END) return stats;
        const uint64_t length = DeltaLength(instruction, stats.blockSize);
        if (IsLiteral(instruction.opcode)) {
            in.Skip(length);
            stats.literalBytes += length;
        } else {
            stats.copiedBytes += length;
        }
        if (!read || !in.ok()) {
            stats.problem = "an instruction runs past the end of the stream";
            return stats;
        }
        if (ExceedsBlock(instruction, stats.blockSize)) {
            stats.problem =
                "a piece of " + std::to_string(instruction.count) + " bytes exceeds the block size";
            return stats;
        }
    }
    stats.problem = "the stream ends without OP_END";
    return stats;
}

// A folder source as the builder describes one.
packwriter::FolderSourceModel SourceModel(const FolderSource& source) {
    packwriter::FolderSourceModel model{source.kind,  source.index, source.text1,
                                        source.text2, source.text3, {}};
    for (const LookupRecord& step : source.lookups) {
        model.lookups.push_back(
            {step.stepKind, step.index, step.text1, step.text2, step.text3, step.resultSlot});
    }
    return model;
}

// Reads one package's header and records from [offset, offset + size - 16).
class PackageReader {
  public:
    PackageReader(ByteSource& source, PackageInfo* info)
        : source_(source),
          info_(*info),
          in_(source, info->fileOffset, info->fileOffset + info->size - kDigestSize) {}

    void Read() {
        const ResultCode code = ReadStart();
        if (start_.step < HeaderStep::kVersion) {
            return Problem("the package ends inside its header");
        }
        if (code == result::kUnknownVersion) {
            return Problem("format version " + std::to_string(info_.version) +
                           " is newer than the updater reads");
        }
        info_.headerRead = true;
        if (code != result::kSuccess || !LanguageBlocks() || !FolderSources() ||
            !RunningCheckAndNotices() || !Options()) {
            return Problem("the package ends inside its header");
        }
        Records();
    }

  private:
    bool AtLeast(uint16_t gate) const { return info_.version >= gate; }

    void Problem(const std::string& text) { info_.problems.push_back(text); }

    ResultCode ReadStart() {
        ShortText texts[kHeaderTextCount] = {};
        const ResultCode code = ReadHeaderStart(
            in_.cursor(),
            {texts[kTitle], texts[kOldVersionLabel], texts[kNewVersionLabel], texts[kRightsText]},
            &start_);
        info_.version = start_.version;
        info_.title = texts[kTitle];
        info_.oldVersionLabel = texts[kOldVersionLabel];
        info_.newVersionLabel = texts[kNewVersionLabel];
        info_.rightsText = texts[kRightsText];
        info_.passwordFlag = start_.passwordFlag;
        if (AtLeast(gate::kLanguageBlocks)) {
            const bool read = start_.step >= HeaderStep::kDeleteBackupsDefault;
            info_.deleteBackupsDefault = read ? start_.deleteBackupsDefault : 0;
        }
        return code;
    }

    // The blocks read whole, each with its texts passed over.
    bool LanguageBlocks() {
        PackageCursor& in = in_.cursor();
        for (uint32_t i = 0; i < start_.languageBlockCount; ++i) {
            LanguageBlockHead head;
            if (ReadLanguageBlockHead(in, &head) != result::kSuccess) return false;
            for (uint32_t t = 0; t < LanguageBlockTextCount(info_.version); ++t) {
                ShortText text;
                if (ReadShortString(in, text) != result::kSuccess) return false;
            }
            info_.languageBlocks.push_back({head.codePage, head.fontFace, head.fontHeight});
        }
        return true;
    }

    bool FolderSources() {
        FolderSourceList list(in_.cursor(), info_.version);
        if (list.ReadCount() != result::kSuccess) return false;
        for (uint32_t i = 0; i < list.count(); ++i) {
            FolderSource source;
            if (list.ReadNext(&source) != result::kSuccess) break;
            info_.folderSources.push_back(SourceModel(source));
        }
        for (size_t i = 0; i + 1 < info_.folderSources.size(); ++i) {
            if (info_.folderSources[i].kind == kSourcePrompt) {
                Problem(
                    "folder sources follow \"ask the user\": after a confirmed prompt the "
                    "updater reads them as the rest of the header");
                break;
            }
        }
        return in_.ok();
    }

    bool RunningCheckAndNotices() {
        if (!AtLeast(gate::kRunningCheck)) return true;
        RunningCheck check;
        ReadRunningCheck(in_.cursor(), &check);
        info_.runningCheck = packwriter::RunningCheckModel{
            check.kind, check.windowTitle, check.windowClass, check.processName, check.waitFlag};
        char documentName[kPathBufferSize] = {};
        ReadDocumentName(in_.cursor(), documentName);
        info_.documentName = documentName;
        std::vector<NoticeInfo> notices;
        NoticeBlockList list(in_.cursor(), info_.version);
        const bool counted = list.ReadCount() == result::kSuccess;
        for (uint32_t i = 0; i < list.count() && counted && in_.ok(); ++i) {
            NoticeInfo notice;
            list.ReadCodePage(&notice.codePage);
            if (list.ReadLength(&notice.beforeLength) == result::kSuccess) {
                list.SkipText(notice.beforeLength);
            }
            if (list.ReadLength(&notice.afterLength) == result::kSuccess) {
                list.SkipText(notice.afterLength);
            }
            notices.push_back(notice);
        }
        info_.notices = notices;
        return in_.ok();
    }

    bool Options() {
        PackageOptions options;
        RecordCounts counts;
        const bool read = ReadOptionsAndCounts(in_.cursor(), info_.version, &options, &counts) ==
                          result::kSuccess;
        if (AtLeast(gate::kSourceList)) info_.hasNewCheckValues = options.hasNewCheckValues;
        if (AtLeast(gate::kLanguageBlocks)) {
            info_.skipMissingSources = options.skipMissingSources;
            info_.overwriteExistingAdds = options.overwriteExistingAdds;
            info_.skipMissingDeletes = options.skipMissingDeletes;
        }
        info_.checkMode = counts.checkMode;
        info_.counts[0] = counts.updates;
        info_.counts[1] = counts.adds;
        info_.counts[2] = counts.deletes;
        info_.optionsRead = read;
        return read;
    }

    // A classic package's records, and their data, lie in the package; a
    // compressed one's in the data block's record stream.
    void Records() {
        if (AtLeast(gate::kCompressedData)) return CompressedRecords();
        if (ReadRecords(in_.cursor())) {
            for (RecordInfo& record : info_.records) CheckData(&record);
        }
    }

    void CompressedRecords() {
        DataBlock block;
        if (ReadDataBlock(in_.cursor(), &block) != result::kSuccess) {
            return Problem("the data block's header is damaged or does not fill the package");
        }
        for (const StreamDescriptor& stream : block.streams) {
            info_.streams.push_back(
                {stream.method, stream.compressedSize, stream.uncompressedSize});
        }
        const StreamDescriptor& records = block.streams[kRecordStream];
        if (records.uncompressedSize > kLargestRecordStream) {
            return Problem("the record stream is larger than the listing reads");
        }
        std::vector<uint8_t> decoded(static_cast<size_t>(records.uncompressedSize));
        InspectedBytes bytes(source_);
        CompressedStreamReader reader;
        if (reader.Open(bytes, records) != result::kSuccess ||
            (!decoded.empty() &&
             reader.Read(decoded.data(), static_cast<uint32_t>(decoded.size())) !=
                 result::kSuccess)) {
            return Problem("the record stream cannot be decoded");
        }
        MemoryPackageSource memory(decoded.data(), decoded.size());
        PackageCursor cursor(memory, 0, decoded.size());
        if (ReadRecords(cursor) && cursor.Remaining() != 0) {
            Problem("the record stream holds more than its records");
        }
    }

    bool ReadRecords(PackageCursor& in) {
        const bool newValues = info_.hasNewCheckValues.value_or(0) == 1;
        const RecordCounts counts{info_.checkMode, info_.counts[0], info_.counts[1],
                                  info_.counts[2]};
        if (!RecordsFit(in, counts, newValues)) {
            Problem("the record counts exceed the package");
            return false;
        }
        const RecordKind kinds[3] = {RecordKind::kUpdate, RecordKind::kAdd, RecordKind::kDelete};
        const RecordInfo::Kind shown[3] = {RecordInfo::kUpdate, RecordInfo::kAdd,
                                           RecordInfo::kDelete};
        for (int list = 0; list < 3; ++list) {
            for (uint32_t i = 0; i < info_.counts[list]; ++i) {
                FileEntry entry;
                if (ReadRecord(in, kinds[list], newValues, &entry) != result::kSuccess) {
                    Problem("the package ends inside a record");
                    return false;
                }
                RecordInfo record;
                record.kind = shown[list];
                record.name = entry.name;
                if (kinds[list] != RecordKind::kDelete) {
                    record.dataOffset = entry.dataOffset;
                    record.dataSize = entry.dataSize;
                }
                info_.records.push_back(std::move(record));
            }
        }
        info_.recordsRead = true;
        return true;
    }
    void CheckData(RecordInfo* record) {
        if (record->kind == RecordInfo::kDelete) return;
        const uint64_t end = uint64_t{record->dataOffset} + record->dataSize;
        if (end > info_.size - kDigestSize) {
            Problem("the data of " + record->name + " lies outside the package");
            return;
        }
        if (record->kind != RecordInfo::kUpdate) return;
        record->stream =
            ReadStream(source_, info_.fileOffset + record->dataOffset, record->dataSize);
        if (!record->stream.problem.empty()) {
            Problem("the difference stream of " + record->name + ": " + record->stream.problem);
        }
    }

    ByteSource& source_;
    PackageInfo& info_;
    Fields in_;
    HeaderStart start_{};
};

// MD5 of the package's bytes before its last 16, compared with those 16.
bool DigestMatches(ByteSource& source, const PackageInfo& info) {
    MD5_CTX context;
    MD5Init(&context);
    std::vector<uint8_t> buffer(kHashChunk);
    const uint64_t hashed = info.size - kDigestSize;
    for (uint64_t done = 0; done < hashed;) {
        const size_t chunk = static_cast<size_t>(std::min<uint64_t>(kHashChunk, hashed - done));
        if (!source.ReadAt(info.fileOffset + done, buffer.data(), chunk)) return false;
        MD5Update(&context, buffer.data(), static_cast<uint32_t>(chunk));
        done += chunk;
    }
    uint8_t computed[kDigestSize];
    MD5Final(computed, &context);
    uint8_t stored[kDigestSize];
    if (!source.ReadAt(info.fileOffset + hashed, stored, sizeof stored)) return false;
    return std::memcmp(computed, stored, sizeof stored) == 0;
}

void InspectPackage(ByteSource& source, PackageInfo* info) {
    if (info->fileOffset > source.Size() || info->size > source.Size() - info->fileOffset) {
        info->problems.push_back("the package reaches beyond the end of the file");
        return;
    }
    if (info->size < kDigestSize + kHeaderStartSize) {
        info->problems.push_back("the package is shorter than a header and its digest");
        return;
    }
    info->digestChecked = true;
    info->digestOk = DigestMatches(source, *info);
    PackageReader reader(source, info);
    reader.Read();
}

uint32_t MagicAt(ByteSource& source, uint64_t offset) {
    uint8_t bytes[4];
    return source.ReadAt(offset, bytes, sizeof bytes) ? LoadU32(bytes) : 0;
}

bool IsPayloadMagic(uint32_t magic) { return magic == kPackageMagic || magic == kContainerMagic; }

void ReadContainer(ByteSource& source, InspectReport* report) {
    Fields in(source, report->payloadStart + kMagicSize, source.Size());
    report->declaredCount = in.U16();
    for (uint32_t i = 0; i < report->declaredCount; ++i) {
        PackageInfo info;
        info.indexOffset = in.U32();
        info.size = in.U32();
        if (!in.ok()) {
            report->problem = "the container index ends after " + std::to_string(i) + " of " +
                              std::to_string(report->declaredCount) + " entries";
            return;
        }
        report->packages.push_back(info);
    }
    // The index holds offsets in the updater file, where the payload starts at 0x1F000.
    for (PackageInfo& info : report->packages) {
        if (info.indexOffset < kPayloadOffset) {
            info.problems.push_back("the package lies before the payload");
            continue;
        }
        info.fileOffset = info.indexOffset - kPayloadOffset + report->payloadStart;
        InspectPackage(source, &info);
    }
}

// --- Text.

class ReportWriter {
  public:
    explicit ReportWriter(std::optional<uint32_t> codePage) : codePage_(codePage) {}

    std::string Quoted(const std::string& bytes) const {
        std::string text;
        if (!codePage_.has_value() || !ToUtf8(bytes, *codePage_, &text)) text = bytes;
        return "\"" + Printable(text) + "\"";
    }

    void Field(const std::string& name, const std::string& value) {
        std::string line = "  " + name;
        line.resize(std::max<size_t>(line.size() + 1, 20), ' ');
        out_ += line + value + "\n";
    }
    void More(const std::string& value) { out_ += std::string(20, ' ') + value + "\n"; }
    void Line(const std::string& text) { out_ += text + "\n"; }
    const std::string& text() const { return out_; }

  private:
    std::optional<uint32_t> codePage_;
    std::string out_;
};

const char* RootName(uint8_t index) {
    static const char* const kRoots[] = {"HKCR", "HKCU", "HKLM", "HKU"};
    return index < 4 ? kRoots[index] : "root?";
}

std::string FolderIndexName(uint8_t index) {
    static const char* const kFolders[] = {"windows",    "system",  "program-files",
                                           "drive-root", "desktop", "documents"};
    return index < 6 ? kFolders[index] : "no folder";
}

std::string Source(const ReportWriter& w, const packwriter::FolderSourceModel& source) {
    switch (source.kind) {
        case 0:
            return "ask the user";
        case 1:
            return std::string("registry ") + RootName(source.index) + " " +
                   w.Quoted(source.text1) + " value " + w.Quoted(source.text2);
        case 2:
            return "INI " + FolderIndexName(source.index) + " " + w.Quoted(source.text1) +
                   " section " + w.Quoted(source.text2) + " key " + w.Quoted(source.text3);
        case 3:
            return "path " + FolderIndexName(source.index) + " " + w.Quoted(source.text1);
        case 4:
            return "lookup of " + std::to_string(source.lookups.size()) + " steps";
        default:
            return "kind " + std::to_string(source.kind) + " (no effect)";
    }
}

std::string Step(const ReportWriter& w, const packwriter::LookupRecordModel& step) {
    std::string text;
    if (step.stepKind == 1) {
        text = std::string("registry ") + RootName(step.index) + " " + w.Quoted(step.text1) +
               " value " + w.Quoted(step.text2);
    } else if (step.stepKind == 2) {
        text = "INI " + FolderIndexName(step.index) + " " + w.Quoted(step.text1) + " section " +
               w.Quoted(step.text2) + " key " + w.Quoted(step.text3);
    } else {
        return "step kind " + std::to_string(step.stepKind) + " (skipped)";
    }
    return text + " -> slot " + std::to_string(step.resultSlot);
}

std::string RunningCheckText(const ReportWriter& w, const packwriter::RunningCheckModel& check) {
    const std::string wait = check.waitFlag != 0 ? ", waits" : ", does not wait";
    if (check.kind == 1) {
        return "window title " + w.Quoted(check.windowTitle) + " class " +
               w.Quoted(check.windowClass) + wait;
    }
    if (check.kind == 2) return "process " + w.Quoted(check.processName) + wait;
    return "none";
}

std::string Count(uint64_t count, const char* word) {
    return std::to_string(count) + " " + word + (count == 1 ? "" : "s");
}

std::string YesNo(const std::optional<uint8_t>& flag, bool exactlyOne) {
    if (!flag.has_value()) return "absent";
    const bool on = exactlyOne ? *flag == 1 : *flag != 0;
    return on ? "yes" : "no";
}

std::string StreamText(const StreamStats& stats) {
    static const char* const kNames[kOpcodeKinds] = {
        "end",           "copy-block",     "copy-blocks",   "copy-bytes",
        "literal-block", "literal-blocks", "literal-bytes", "undefined"};
    std::string text = "stream v" + std::to_string(stats.version) + ", block " +
                       std::to_string(stats.blockSize) + ":";
    for (size_t i = 1; i < kOpcodeKinds; ++i) {
        if (i == kOpcodeKinds - 1 && stats.opcodes[i] == 0) continue;
        text +=
            (i == 1 ? " " : ", ") + std::string(kNames[i]) + " " + std::to_string(stats.opcodes[i]);
    }
    return text + "; " + std::to_string(stats.copiedBytes) + " bytes copied, " +
           std::to_string(stats.literalBytes) + " literal";
}

void FormatRecords(ReportWriter& w, const PackageInfo& info) {
    static const char* const kKinds[] = {"update", "add", "delete"};
    w.Line("");
    w.Line("    Kind         Offset        Size  Name");
    for (const RecordInfo& record : info.records) {
        char line[64];
        if (record.kind == RecordInfo::kDelete) {
            std::snprintf(line, sizeof line, "    %-6s  %10s  %10s  ", kKinds[record.kind], "-",
                          "-");
        } else if (!info.streams.empty()) {  // compressed: the data is in the data block
            std::snprintf(line, sizeof line, "    %-6s  %10s  %10" PRIu32 "  ", kKinds[record.kind],
                          "-", record.dataSize);
        } else {
            std::snprintf(line, sizeof line, "    %-6s  %10s  %10" PRIu32 "  ", kKinds[record.kind],
                          Hex(record.dataOffset).c_str(), record.dataSize);
        }
        w.Line(line + w.Quoted(record.name));
        if (record.kind == RecordInfo::kUpdate && info.streams.empty() &&
            record.stream.problem.empty() &&
            record.dataOffset + uint64_t{record.dataSize} <= info.size) {
            w.Line("            " + StreamText(record.stream));
        }
    }
    w.Line("");
}

// The data block of a compressed package: each stream's bytes in the
// package and decoded.
void FormatStreams(ReportWriter& w, const PackageInfo& info) {
    static const char* const kStreams[kDataStreamCount] = {"instructions", "differences",
                                                           "literals", "records"};
    for (size_t i = 0; i < info.streams.size() && i < kDataStreamCount; ++i) {
        const StreamInfo& stream = info.streams[i];
        const std::string method = stream.method == kStreamLzma       ? "LZMA, "
                                   : stream.method == kStreamZeroRuns ? "zero runs, LZMA, "
                                                                      : "stored, ";
        const std::string line = std::string(kStreams[i]) + ": " + method +
                                 std::to_string(stream.compressedSize) + " bytes of " +
                                 std::to_string(stream.uncompressedSize);
        i == 0 ? w.Field("data streams", line) : w.More(line);
    }
}

void FormatHeader(ReportWriter& w, const PackageInfo& info) {
    const bool compressed = info.version >= gate::kCompressedData;
    w.Field("format version",
            std::to_string(info.version) + (compressed ? " (compressed)" : " (classic)"));
    w.Field("title", w.Quoted(info.title));
    w.Field("labels", w.Quoted(info.oldVersionLabel) + " -> " + w.Quoted(info.newVersionLabel));
    w.Field("rights", w.Quoted(info.rightsText));
    w.Field("password", info.passwordFlag == 1 ? "protected" : "none");
    if (info.deleteBackupsDefault.has_value()) {
        w.Field("delete backups", *info.deleteBackupsDefault != 0 ? "ticked" : "not ticked");
    }
    w.Field("language blocks", std::to_string(info.languageBlocks.size()));
    for (const LanguageInfo& block : info.languageBlocks) {
        w.More("code page " + std::to_string(block.codePage) + ", font " +
               w.Quoted(block.fontFace) + " " + std::to_string(block.fontHeight));
    }
    w.Field("folder sources", std::to_string(info.folderSources.size()));
    for (size_t i = 0; i < info.folderSources.size(); ++i) {
        w.More(std::to_string(i + 1) + ". " + Source(w, info.folderSources[i]));
        for (const packwriter::LookupRecordModel& step : info.folderSources[i].lookups) {
            w.More("   " + Step(w, step));
        }
    }
    if (info.runningCheck.has_value())
        w.Field("running check", RunningCheckText(w, *info.runningCheck));
    if (info.notices.has_value()) {
        w.Field("document", info.documentName.empty() ? "none" : w.Quoted(info.documentName));
        w.Field("notices", std::to_string(info.notices->size()));
        for (const NoticeInfo& notice : *info.notices) {
            const std::string which = info.version >= gate::kSourceList
                                          ? "code page " + std::to_string(notice.codePage) + ": "
                                          : "";
            w.More(which + "before " + std::to_string(notice.beforeLength) + " bytes, after " +
                   std::to_string(notice.afterLength) + " bytes");
        }
    }
}

void FormatOptions(ReportWriter& w, const PackageInfo& info) {
    w.Field("options", "new check values " + YesNo(info.hasNewCheckValues, true) +
                           "; skip missing sources " + YesNo(info.skipMissingSources, true) +
                           "; overwrite existing adds " + YesNo(info.overwriteExistingAdds, false) +
                           "; skip missing deletes " + YesNo(info.skipMissingDeletes, true));
    w.Field("check mode", info.checkMode == 0 ? "MD5" : "date and size");
    w.Field("records", Count(info.counts[0], "update") + ", " + Count(info.counts[1], "add") +
                           ", " + Count(info.counts[2], "delete"));
}

void FormatPackage(ReportWriter& w, const PackageInfo& info, size_t number, size_t count) {
    w.Line("Package " + std::to_string(number) + " of " + std::to_string(count) +
           " at file offset " + Hex(info.fileOffset) + ", " + std::to_string(info.size) + " bytes");
    if (info.headerRead) FormatHeader(w, info);
    if (info.optionsRead) FormatOptions(w, info);
    FormatStreams(w, info);
    if (info.recordsRead) FormatRecords(w, info);
    for (const std::string& problem : info.problems) w.Field("problem", problem);
    w.Field("digest", !info.digestChecked ? "not checked" : (info.digestOk ? "OK" : "BAD"));
    w.Line("");
}

// The level in the manifest of the program image before the payload.
void ReadExecutionLevel(ByteSource& source, InspectReport* report) {
    packwriter::Bytes image(kPayloadOffset);
    LevelField field;
    if (!source.ReadAt(0, image.data(), image.size()) || image[0] != 'M' || image[1] != 'Z') {
        return;
    }
    if (FindLevelField(image, &field, &report->levelProblem)) {
        report->executionLevel = ExecutionLevelName(field.level);
    }
}

}  // namespace

bool MemorySource::ReadAt(uint64_t offset, void* buffer, size_t count) {
    if (offset > bytes_.size() || count > bytes_.size() - offset) return false;
    if (count > 0) std::memcpy(buffer, bytes_.data() + offset, count);
    return true;
}

bool FileSource::Open(const std::string& path) {
    file_.open(path, std::ios::binary);
    if (!file_) return false;
    file_.seekg(0, std::ios::end);
    const std::streamoff size = file_.tellg();
    if (size < 0) return false;
    size_ = static_cast<uint64_t>(size);
    window_.resize(kWindowSize);
    return true;
}

bool FileSource::Fill(uint64_t offset) {
    windowStart_ = offset;
    windowLength_ = static_cast<size_t>(std::min<uint64_t>(kWindowSize, size_ - offset));
    file_.clear();
    file_.seekg(static_cast<std::streamoff>(offset));
    if (!file_.read(window_.data(), static_cast<std::streamsize>(windowLength_))) {
        windowLength_ = 0;
        return false;
    }
    return true;
}

bool FileSource::ReadAt(uint64_t offset, void* buffer, size_t count) {
    if (offset > size_ || count > size_ - offset) return false;
    auto* out = static_cast<char*>(buffer);
    while (count > 0) {
        if (offset < windowStart_ || offset >= windowStart_ + windowLength_) {
            if (!Fill(offset)) return false;
        }
        const size_t at = static_cast<size_t>(offset - windowStart_);
        const size_t piece = std::min(count, windowLength_ - at);
        std::memcpy(out, window_.data() + at, piece);
        out += piece;
        offset += piece;
        count -= piece;
    }
    return true;
}

bool InspectReport::AllGood() const {
    if (!problem.empty()) return false;
    for (const PackageInfo& info : packages) {
        if (!info.digestOk || !info.problems.empty()) return false;
    }
    return true;
}

InspectReport Inspect(ByteSource& source) {
    InspectReport report;
    report.fileSize = source.Size();
    if (IsPayloadMagic(MagicAt(source, 0))) {
        report.payloadStart = 0;
    } else if (IsPayloadMagic(MagicAt(source, kPayloadOffset))) {
        report.selfExtracting = true;
        report.payloadStart = kPayloadOffset;
    } else {
        report.problem =
            "neither an updater nor a package: no \"PKX \" or \"LUMP\" at offset 0 or 0x1F000";
        return report;
    }
    if (report.selfExtracting) ReadExecutionLevel(source, &report);
    InspectedBytes image(source);
    CertificateTable table;
    if (report.selfExtracting && FindCertificateTable(image, report.fileSize, &table)) {
        report.certificateOffset = table.offset;
        report.certificateSize = table.size;
    }
    if (MagicAt(source, report.payloadStart) == kContainerMagic) {
        report.container = true;
        ReadContainer(source, &report);
        return report;
    }
    PackageInfo info;
    info.indexOffset = kPayloadOffset;
    info.fileOffset = report.payloadStart;
    info.size = (report.certificateSize != 0 ? report.certificateOffset : report.fileSize) -
                report.payloadStart;
    InspectPackage(source, &info);
    report.packages.push_back(std::move(info));
    return report;
}

std::string FormatReport(const InspectReport& report, const std::string& fileName,
                         std::optional<uint32_t> codePage) {
    ReportWriter w(codePage);
    if (report.selfExtracting) {
        w.Line(fileName + ": self-extracting updater, " + std::to_string(report.fileSize) +
               " bytes; program image before " + Hex(kPayloadOffset, 5) + ", payload from there");
    } else {
        w.Line(fileName + ": bare payload, " + std::to_string(report.fileSize) + " bytes");
    }
    if (report.certificateSize != 0) {
        const std::string signer = !report.signer.empty()
                                       ? "signed by " + report.signer
                                       : "signed (signer unknown: " + report.signerProblem + ")";
        w.Line(signer + "; certificate table of " + std::to_string(report.certificateSize) +
               " bytes at " + Hex(report.certificateOffset, 5));
    } else if (report.selfExtracting) {
        w.Line("not signed");
    }
    if (!report.executionLevel.empty()) {
        w.Line("execution level " + report.executionLevel + " (application manifest)");
    } else if (!report.levelProblem.empty()) {
        w.Line("no execution level: " + report.levelProblem);
    }
    if (report.container) {
        w.Line("\"LUMP\" container of " + std::to_string(report.declaredCount) + " packages");
    } else if (report.problem.empty()) {
        w.Line("single package");
    }
    w.Line("");
    for (size_t i = 0; i < report.packages.size(); ++i) {
        FormatPackage(w, report.packages[i], i + 1, report.packages.size());
    }
    if (!report.problem.empty()) w.Line("problem: " + report.problem);
    size_t bad = 0;
    for (const PackageInfo& info : report.packages)
        bad += info.digestOk && info.problems.empty() ? 0 : 1;
    if (report.problem.empty()) {
        w.Line(bad == 0 ? Count(report.packages.size(), "package") + ", all OK"
                        : std::to_string(bad) + " of " + Count(report.packages.size(), "package") +
                              " BAD");
    }
    return w.text();
}

}  // namespace pkx::builder
