#include "package/writer/package_writer.h"

#include <cstring>

#include "package/format.h"
#include "package/writer/data_block_writer.h"
#include "support/binary_file.h"
#include "support/md5.h"

namespace pkx::packwriter {

namespace {

constexpr uint64_t kLargestPackage = 0xFFFFFFFFu;

void StoreU32(uint8_t* destination, uint32_t value) {
    for (int i = 0; i < 4; ++i) destination[i] = static_cast<uint8_t>(value >> (8 * i));
}

void SetError(std::string* error, const std::string& text) {
    if (error != nullptr) *error = text;
}

// Writes one package and remembers the first reason it cannot be written.
class PackageSerializer {
  public:
    PackageSerializer(const PackageModel& model, PackageLayout* layout)
        : model_(model), layout_(*layout) {}

    bool Run() {
        WriteHeaderStart();
        WriteLanguageBlocks();
        WriteFolderSources();
        WriteRunningCheckAndNotices();
        WriteOptionsAndCounts();
        WriteRecords();
        WriteDataAreas();
        WriteDigest();
        return error_.empty();
    }

    Bytes& bytes() { return out_.bytes(); }
    const std::string& error() const { return error_; }

  private:
    bool AtLeast(uint16_t gate) const { return model_.version >= gate; }
    bool Compressed() const { return AtLeast(gate::kCompressedData); }
    bool NewCheckValues() const {
        return AtLeast(gate::kSourceList) && model_.hasNewCheckValues == 1;
    }
    uint32_t Here() const { return static_cast<uint32_t>(out_.Size()); }

    void Fail(const std::string& reason) {
        if (error_.empty()) error_ = reason;
    }

    void String(const std::string& text, const char* field, ByteWriter* to = nullptr) {
        if (!(to != nullptr ? *to : out_).ShortString(text)) {
            Fail(std::string(field) + " is longer than 255 bytes");
        }
    }

    void Count(size_t count, size_t largest, const char* what) {
        if (count > largest) Fail(std::string("too many ") + what);
    }

    void WriteHeaderStart() {
        if (model_.version > kNewestFormatVersion && model_.version != gate::kCompressedData) {
            Fail("format version above 150 other than 200");
        }
        out_.U32(kPackageMagic);
        out_.U16(model_.version);
        String(model_.title, "title");
        String(model_.oldVersionLabel, "old version label");
        String(model_.newVersionLabel, "new version label");
        String(model_.rightsText, "rights text");
        out_.U8(model_.passwordFlag);
        if (model_.passwordFlag == kPasswordProtected)
            out_.Raw(model_.passwordDigest, sizeof(model_.passwordDigest));
    }

    void WriteLanguageBlocks() {
        layout_.languageBlocksOffset = Here();
        if (!AtLeast(gate::kLanguageBlocks)) return;
        out_.U8(model_.deleteBackupsDefault);
        Count(model_.languageBlocks.size(), 0xFFFF, "language blocks");
        out_.U16(static_cast<uint16_t>(model_.languageBlocks.size()));
        const size_t textCount = AtLeast(gate::kLateTexts) ? kFullTextCount : kShortTextCount;
        for (const LanguageBlockModel& block : model_.languageBlocks) {
            out_.U32(block.codePage);
            String(block.fontFace, "font face");
            out_.U8(block.fontHeight);
            for (size_t i = 0; i < textCount; ++i) {
                String(i < block.texts.size() ? block.texts[i] : std::string(), "display text");
            }
        }
    }

    void WriteLookups(const FolderSourceModel& source) {
        if (!AtLeast(gate::kLanguageBlocks)) return;
        Count(source.lookups.size(), 0xFFFFFFFFu, "lookup records");
        out_.U32(static_cast<uint32_t>(source.lookups.size()));
        for (const LookupRecordModel& record : source.lookups) {
            out_.U8(record.stepKind);
            out_.U8(record.index);
            String(record.text1, "lookup text");
            String(record.text2, "lookup text");
            String(record.text3, "lookup text");
            out_.U8(record.resultSlot);
        }
    }

    void WriteFolderSource(const FolderSourceModel& source) {
        out_.U8(source.kind);
        switch (source.kind) {
            case kSourceRegistry:
                out_.U8(source.index);
                String(source.text1, "registry key");
                String(source.text2, "registry value name");
                break;
            case kSourceIni:
                out_.U8(source.index);
                String(source.text1, "INI file");
                String(source.text2, "INI section");
                String(source.text3, "INI key");
                break;
            case kSourceFixedPath:
                out_.U8(source.index);
                String(source.text1, "fixed path");
                break;
            case kSourceComposite:
                WriteLookups(source);
                break;
            default:
                break;
        }
    }

    void WriteFolderSources() {
        layout_.folderSourcesOffset = Here();
        if (AtLeast(gate::kSourceList)) {
            Count(model_.folderSources.size(), 0xFF, "folder sources");
            out_.U8(static_cast<uint8_t>(model_.folderSources.size()));
        } else if (model_.folderSources.size() != 1) {
            Fail("below version 140 a package holds exactly one folder source");
        }
        for (const FolderSourceModel& source : model_.folderSources) WriteFolderSource(source);
    }

    void WriteRunningCheck() {
        const RunningCheckModel& check = model_.runningCheck;
        out_.U8(check.kind);
        if (check.kind == kCheckWindow) {
            String(check.windowTitle, "window title");
            String(check.windowClass, "window class");
            out_.U8(check.waitFlag);
        } else if (check.kind == kCheckProcess) {
            String(check.processName, "process name");
            out_.U8(check.waitFlag);
        }
    }

    void WriteNotices() {
        if (!AtLeast(gate::kSourceList)) {
            out_.LongText(model_.noticeBefore);
            out_.LongText(model_.noticeAfter);
            return;
        }
        Count(model_.noticeBlocks.size(), 0xFFFF, "notice blocks");
        out_.U16(static_cast<uint16_t>(model_.noticeBlocks.size()));
        for (const NoticeBlockModel& block : model_.noticeBlocks) {
            out_.U32(block.codePage);
            out_.LongText(block.before);
            out_.LongText(block.after);
        }
    }

    void WriteRunningCheckAndNotices() {
        layout_.runningCheckOffset = Here();
        if (AtLeast(gate::kRunningCheck)) WriteRunningCheck();
        layout_.documentNameOffset = Here();
        if (AtLeast(gate::kRunningCheck)) String(model_.documentName, "document name");
        layout_.noticeOffset = Here();
        if (AtLeast(gate::kRunningCheck)) WriteNotices();
    }

    void WriteOptionsAndCounts() {
        layout_.optionsOffset = Here();
        if (AtLeast(gate::kSourceList)) out_.U8(model_.hasNewCheckValues);
        if (AtLeast(gate::kLanguageBlocks)) {
            out_.U8(model_.skipMissingSources);
            out_.U8(model_.overwriteExistingAdds);
            out_.U8(model_.skipMissingDeletes);
        }
        out_.U8(model_.checkMode);
        layout_.countsOffset = Here();
        Count(model_.updates.size(), 0xFFFFFFFFu, "update records");
        Count(model_.adds.size(), 0xFFFFFFFFu, "add records");
        Count(model_.deletes.size(), 0xFFFFFFFFu, "delete records");
        out_.U32(static_cast<uint32_t>(model_.updates.size()));
        out_.U32(static_cast<uint32_t>(model_.adds.size()));
        out_.U32(static_cast<uint32_t>(model_.deletes.size()));
    }

    void CheckValueField(const CheckValue& value) {
        records_->Raw(value.bytes, sizeof(value.bytes));
    }

    // Write time, then the data offset (patched once the data is placed; 0
    // at version 200) and size.
    void DataFields(const FileTime& writeTime, uint64_t size) {
        records_->U32(writeTime.low);
        records_->U32(writeTime.high);
        dataOffsetFields_.push_back(records_->Size());
        records_->U32(0);
        Count(size, 0xFFFFFFFFu, "data bytes");
        records_->U32(static_cast<uint32_t>(size));
    }

    // Classic records lie in the package, version 200's in the record stream.
    void WriteRecords() {
        layout_.recordsOffset = Here();
        if (Compressed()) records_ = &recordStream_;
        for (const UpdateRecordModel& record : model_.updates) {
            layout_.updateRecordOffsets.push_back(RecordHere());
            String(record.name, "file name", records_);
            CheckValueField(record.oldCheckValue);
            if (NewCheckValues()) CheckValueField(record.newCheckValue);
            DataFields(record.writeTime, Compressed() ? record.newSize : record.data.size());
        }
        for (const AddRecordModel& record : model_.adds) {
            layout_.addRecordOffsets.push_back(RecordHere());
            String(record.name, "file name", records_);
            if (NewCheckValues()) CheckValueField(record.newCheckValue);
            DataFields(record.writeTime, record.data.size());
        }
        for (const DeleteRecordModel& record : model_.deletes) {
            layout_.deleteRecordOffsets.push_back(RecordHere());
            String(record.name, "file name", records_);
            CheckValueField(record.checkValue);
        }
    }

    uint32_t RecordHere() const { return static_cast<uint32_t>(records_->Size()); }

    void PlaceData(const Bytes& data, std::vector<uint32_t>* offsets) {
        const uint32_t start = Here();
        offsets->push_back(start);
        StoreU32(&out_.bytes()[dataOffsetFields_[placed_++]], start);
        out_.Raw(data);
    }

    void WriteDataAreas() {
        if (Compressed()) return WriteDataBlock();
        for (const UpdateRecordModel& record : model_.updates) {
            PlaceData(record.data, &layout_.updateDataOffsets);
        }
        for (const AddRecordModel& record : model_.adds) {
            PlaceData(record.data, &layout_.addDataOffsets);
        }
    }

    // The updates' streams, then the adds' content, solid across records.
    void WriteDataBlock() {
        layout_.dataBlockOffset = Here();
        if (!error_.empty()) return;
        CompactStreams streams;
        for (const UpdateRecordModel& record : model_.updates) {
            // Every record's instructions end with OPC_END: none at all would
            // leave the next record reading this one's.
            if (record.compact.instructions.empty()) return Fail("an update without instructions");
            streams.Append(record.compact);
        }
        for (const AddRecordModel& record : model_.adds) {
            streams.literals.insert(streams.literals.end(), record.data.begin(), record.data.end());
        }
        streams.records = std::move(recordStream_.bytes());
        out_.Raw(BuildDataBlock(streams));
    }

    void WriteDigest() {
        if (out_.Size() + kDigestSize > kLargestPackage) Fail("package of 4 GiB or more");
        layout_.digestOffset = Here();
        if (!error_.empty()) return;
        const CheckValue digest = Md5CheckValue(out_.bytes());
        out_.Raw(digest.bytes, sizeof(digest.bytes));
    }

    const PackageModel& model_;
    PackageLayout& layout_;
    ByteWriter out_;
    ByteWriter recordStream_;
    ByteWriter* records_ = &out_;
    std::vector<size_t> dataOffsetFields_;
    size_t placed_ = 0;
    std::string error_;
};

uint32_t AlignUp(uint64_t value, uint32_t alignment, bool* fits) {
    const uint64_t step = alignment == 0 ? 1 : alignment;
    const uint64_t aligned = (value + step - 1) / step * step;
    if (aligned > kLargestPackage) *fits = false;
    return static_cast<uint32_t>(aligned);
}

}  // namespace

void ByteWriter::U8(uint8_t value) { bytes_.push_back(value); }

void ByteWriter::U16(uint16_t value) {
    bytes_.push_back(static_cast<uint8_t>(value));
    bytes_.push_back(static_cast<uint8_t>(value >> 8));
}

void ByteWriter::U32(uint32_t value) {
    uint8_t field[4];
    StoreU32(field, value);
    Raw(field, sizeof(field));
}

void ByteWriter::Raw(const void* data, size_t size) {
    const uint8_t* begin = static_cast<const uint8_t*>(data);
    bytes_.insert(bytes_.end(), begin, begin + size);
}

bool ByteWriter::ShortString(const std::string& text) {
    if (text.size() > 0xFF) return false;
    U8(static_cast<uint8_t>(text.size()));
    Raw(text.data(), text.size());
    return true;
}

void ByteWriter::LongText(const std::string& text) {
    U32(static_cast<uint32_t>(text.size()));
    Raw(text.data(), text.size());
}

void ByteWriter::Zeros(size_t count) { bytes_.resize(bytes_.size() + count, 0); }

void SetCompactData(const Bytes& oldData, const Bytes& newData, UpdateRecordModel* record,
                    const DeltaEncoderOptions& options) {
    record->newSize = static_cast<uint32_t>(newData.size());
    record->compact = CompactStreams();
    EncodeCompactDelta(oldData, newData, &record->compact, options);
}

void SetPassword(PackageModel& model, const std::string& password) {
    model.passwordFlag = 1;
    const CheckValue digest = Md5CheckValue(password.data(), password.size());
    std::memcpy(model.passwordDigest, digest.bytes, sizeof(model.passwordDigest));
}

bool BuildPackage(const PackageModel& model, Bytes* package, PackageLayout* layout,
                  std::string* error) {
    PackageLayout unused;
    PackageSerializer serializer(model, layout != nullptr ? layout : &unused);
    if (!serializer.Run()) {
        SetError(error, serializer.error());
        return false;
    }
    *package = std::move(serializer.bytes());
    return true;
}

bool BuildContainer(const std::vector<Bytes>& packages, Bytes* payload,
                    const ContainerOptions& options, std::string* error) {
    if (packages.size() > 0xFFFF) {
        SetError(error, "a container holds at most 65535 packages");
        return false;
    }
    ByteWriter index;
    index.U32(kContainerMagic);
    index.U16(static_cast<uint16_t>(packages.size()));
    const uint64_t indexEnd = options.payloadOffset + 6 + 8 * uint64_t{packages.size()};

    // Place the packages first: the index needs their absolute offsets.
    bool fits = true;
    std::vector<uint32_t> starts;
    uint64_t next = indexEnd;
    for (const Bytes& package : packages) {
        starts.push_back(AlignUp(next, options.alignment, &fits));
        next = uint64_t{starts.back()} + package.size();
    }
    if (!fits || next > kLargestPackage) {
        SetError(error, "the container would reach beyond 4 GiB");
        return false;
    }
    for (size_t i = 0; i < packages.size(); ++i) {
        index.U32(starts[i]);
        index.U32(static_cast<uint32_t>(packages[i].size()));
    }
    for (size_t i = 0; i < packages.size(); ++i) {
        index.Zeros(starts[i] - options.payloadOffset - index.Size());
        index.Raw(packages[i]);
    }
    *payload = std::move(index.bytes());
    return true;
}

bool BuildSelfExtracting(const Bytes& stub, const Bytes& payload, Bytes* file, std::string* error) {
    if (stub.size() > kPayloadOffset) {
        SetError(error, "the program image reaches beyond the payload offset");
        return false;
    }
    Bytes result(stub);
    result.resize(kPayloadOffset, 0);
    result.insert(result.end(), payload.begin(), payload.end());
    *file = std::move(result);
    return true;
}

uint32_t WriteFileBytes(const char* path, const Bytes& bytes) {
    BinaryFile file;
    const uint32_t opened = file.OpenWrite(path, kShareNone, kAttributeNormal);
    if (opened != 0) return opened;
    if (bytes.empty()) return file.Close();
    const uint32_t written = file.Write(bytes.data(), static_cast<uint32_t>(bytes.size()));
    file.Close();
    return written;
}

CheckValue Md5CheckValue(const void* data, size_t size) {
    MD5_CTX context;
    MD5Init(&context);
    MD5Update(&context, data, static_cast<uint32_t>(size));
    CheckValue value;
    MD5Final(value.bytes, &context);
    return value;
}

CheckValue DateSizeCheckValue(const FileTime& writeTime, uint32_t size) {
    CheckValue value;
    StoreU32(value.bytes, writeTime.low);
    StoreU32(value.bytes + 4, writeTime.high);
    StoreU32(value.bytes + 8, size);
    return value;
}

bool PatchBytes(Bytes& bytes, size_t offset, const void* data, size_t size) {
    if (offset > bytes.size() || size > bytes.size() - offset) return false;
    std::memcpy(bytes.data() + offset, data, size);
    return true;
}

bool PatchU8(Bytes& bytes, size_t offset, uint8_t value) {
    return PatchBytes(bytes, offset, &value, 1);
}

bool PatchU16(Bytes& bytes, size_t offset, uint16_t value) {
    const uint8_t field[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
    return PatchBytes(bytes, offset, field, sizeof(field));
}

bool PatchU32(Bytes& bytes, size_t offset, uint32_t value) {
    uint8_t field[4];
    StoreU32(field, value);
    return PatchBytes(bytes, offset, field, sizeof(field));
}

void Truncate(Bytes& bytes, size_t size) {
    if (size < bytes.size()) bytes.resize(size);
}

bool RefreshDigest(Bytes& package) {
    if (package.size() < kDigestSize) return false;
    const size_t hashed = package.size() - kDigestSize;
    const CheckValue digest = Md5CheckValue(package.data(), hashed);
    return PatchBytes(package, hashed, digest.bytes, sizeof(digest.bytes));
}

bool PadPackage(Bytes& package, uint32_t multiple) {
    if (package.size() < kDigestSize || multiple == 0) return false;
    const uint64_t padded = (uint64_t{package.size()} + multiple - 1) / multiple * multiple;
    if (padded > kLargestPackage) return false;
    const size_t zeros = static_cast<size_t>(padded - package.size());
    package.insert(package.end() - kDigestSize, zeros, 0);
    return RefreshDigest(package);
}

}  // namespace pkx::packwriter
