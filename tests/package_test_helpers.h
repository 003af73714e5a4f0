// Shared by the package reader and writer tests: temporary files, a reader
// that walks a whole package the way the worker does, and a rich package.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/apply_context.h"
#include "package/file_entries.h"
#include "package/package_header.h"
#include "package/package_index.h"
#include "package/writer/package_writer.h"
#include "platform/platform.h"
#include "support/binary_file.h"
#include "tests/platforms/fault_injection.h"
#include "tests/test_support.h"

namespace pkx::test {

// The shared temporary folder, with the writer's whole-file helpers.
class PackageTempFolder : public TempFolder {
  public:
    std::string Path(const std::string& name) const { return NativePath(*this / name); }

    // Writes `bytes` to `name` in this folder and returns its path.
    std::string Write(const std::string& name, const packwriter::Bytes& bytes) const {
        const std::string path = Path(name);
        EXPECT_EQ(packwriter::WriteFileBytes(path.c_str(), bytes), 0u) << path;
        return path;
    }

    // A program file: a small image padded to the payload offset, then `payload`.
    std::string WriteProgram(const std::string& name, const packwriter::Bytes& payload) const {
        const packwriter::Bytes stub = {'M', 'Z', 0x90, 0x00};
        packwriter::Bytes file;
        EXPECT_TRUE(packwriter::BuildSelfExtracting(stub, payload, &file));
        return Write(name, file);
    }
};

inline packwriter::Bytes Build(const packwriter::PackageModel& model,
                               packwriter::PackageLayout* layout = nullptr) {
    packwriter::Bytes bytes;
    std::string error;
    EXPECT_TRUE(packwriter::BuildPackage(model, &bytes, layout, &error)) << error;
    return bytes;
}

inline std::string Text(const NoticeText& text) {
    return text ? std::string(text.get()) : "<none>";
}

inline std::string Hex(const CheckValue& value) { return Hex(value.bytes, sizeof(value.bytes)); }

inline CheckValue Filled(uint8_t first) {
    CheckValue value;
    for (int i = 0; i < 16; ++i) value.bytes[i] = static_cast<uint8_t>(first + i);
    return value;
}

// The stage of the worker's reading that returned a code.
enum class Stage {
    kNone,
    kIndex,
    kHeaderStart,
    kFolderSources,
    kRunningCheck,
    kDocumentName,
    kNotices,
    kOptions,
    kRecords
};

// Everything the readers deliver for one package.
struct PackageReading {
    std::unique_ptr<ApplyContext> context = std::make_unique<ApplyContext>();
    HeaderStart start;
    std::vector<FolderSource> sources;
    RunningCheck check;
    NoticeText before;
    NoticeText after;
    RecordCounts counts;
    FileEntryLists lists;
    uint32_t positionAfterRecords = 0;
    ResultCode code = 0;
    Stage stage = Stage::kNone;

    bool Fail(ResultCode result, Stage where) {
        code = result;
        stage = where;
        return result != 0;
    }
};

// Bytes of `file` read as the worker reads a package: through one cursor.
struct PackageOnFile {
    PackageOnFile(BinaryFile& file, const PackageRef& package)
        : source(file), in(source, package) {}
    PackageOnFile(BinaryFile& file, uint64_t begin, uint64_t end)
        : source(file), in(source, begin, end) {}

    FilePackageSource source;
    PackageCursor in;
};

// Reads one package from `file` at `package`, in the worker's order, without
// prompts: every folder source is read.
inline void ReadPackageBody(BinaryFile& file, PackageRef& package, PackageReading& out) {
    ApplyContext& context = *out.context;
    PackageOnFile bytes(file, package);
    PackageCursor& in = bytes.in;
    if (out.Fail(ReadHeaderStart(in, package, context, &out.start), Stage::kHeaderStart)) return;
    const uint16_t version = out.start.version;
    FolderSourceList list(in, version);
    if (out.Fail(list.ReadCount(), Stage::kFolderSources)) return;
    for (uint32_t i = 0; i < list.count(); ++i) {
        FolderSource source;
        if (out.Fail(list.ReadNext(&source), Stage::kFolderSources)) return;
        out.sources.push_back(source);
    }
    if (version >= gate::kRunningCheck) {
        if (out.Fail(ReadRunningCheck(in, &out.check), Stage::kRunningCheck)) return;
        if (out.Fail(ReadDocumentName(in, context), Stage::kDocumentName)) return;
        if (out.Fail(ReadNoticeTexts(in, version, &out.before, &out.after), Stage::kNotices)) {
            return;
        }
    }
    if (out.Fail(ReadOptionsAndCounts(in, version, context, &out.counts), Stage::kOptions)) {
        return;
    }
    if (out.Fail(ReadFileEntries(in, out.counts, context, &out.lists), Stage::kRecords)) return;
    out.positionAfterRecords = file.Seek(0, kFileCurrent);
}

// Opens a program file, reads its index and its first package.
inline void ReadProgramFile(const std::string& path, PackageReading& out) {
    BinaryFile file;
    ASSERT_EQ(file.OpenRead(path.c_str(), kShareRead, kAttributeNormal), 0u) << path;
    if (out.Fail(ReadPackageIndex(file, *out.context), Stage::kIndex)) return;
    ASSERT_FALSE(out.context->packages.empty());
    ReadPackageBody(file, out.context->packages[0], out);
}

// Reads a file that holds one package at offset 0.
inline void ReadBarePackage(const std::string& path, PackageReading& out) {
    BinaryFile file;
    ASSERT_EQ(file.OpenRead(path.c_str(), kShareRead, kAttributeNormal), 0u) << path;
    PackageRef package;
    package.offset = 0;
    package.size = file.Size();
    ReadPackageBody(file, package, out);
}

// 74 texts "<prefix>1000" ... "<prefix>1073".
inline std::vector<std::string> NumberedTexts(const std::string& prefix) {
    std::vector<std::string> texts;
    for (uint32_t id = 1000; id < 1074; ++id) texts.push_back(prefix + std::to_string(id));
    return texts;
}

// Passes every call to the native platform; after each read, `afterRead`
// sees the count asked for and the file position. Files can be made to end
// early: reads and sizes stop at `sizeLimit`, as if the file were cut there.
class ObservingPlatform final : public FaultInjector {
  public:
    ObservingPlatform() : FaultInjector(NativePlatform()) {}

    std::function<void(uint32_t requested, uint32_t position)> afterRead;
    uint32_t sizeLimit = 0xFFFFFFFFu;

    uint32_t Read(FileHandle file, void* buffer, uint32_t count, uint32_t* done) override {
        uint32_t position = 0;
        uint32_t allowed = count;
        if (inner().Seek(file, 0, kFileCurrent, &position) == 0 &&
            position + uint64_t{count} > sizeLimit) {
            allowed = position < sizeLimit ? sizeLimit - position : 0;
        }
        const uint32_t code = FaultInjector::Read(file, buffer, allowed, done);
        if (afterRead && inner().Seek(file, 0, kFileCurrent, &position) == 0) {
            afterRead(count, position);
        }
        return code;
    }
    uint32_t Size(FileHandle file, uint32_t* size) override {
        const uint32_t code = FaultInjector::Size(file, size);
        if (code == 0 && *size > sizeLimit) *size = sizeLimit;
        return code;
    }
};

// A package that uses every field its version has, with distinct values.
// Language blocks for code pages 932 and 1252; notice blocks for 0, 932 and
// 1252 (from 140); folder sources of every kind (one below 140: a composite
// lookup from 120, a fixed path before).
inline packwriter::PackageModel RichModel(uint16_t version) {
    packwriter::PackageModel model;
    model.version = version;
    model.title = "Rich Product";
    model.oldVersionLabel = "1.0";
    model.newVersionLabel = "2.0";
    model.rightsText = "(c) Rich Makers";
    packwriter::SetPassword(model, "secret");
    model.deleteBackupsDefault = 0;
    model.languageBlocks.push_back({932, "Face932", 10, NumberedTexts("ja")});
    model.languageBlocks.push_back({1252, "Face1252", 14, NumberedTexts("en")});
    model.languageBlocks[1].texts[5] = "line\\none";

    packwriter::FolderSourceModel registry{1, 2, "Software\\Rich", "InstallDir", "", {}};
    packwriter::FolderSourceModel ini{2, 0, "rich.ini", "Paths", "Home", {}};
    packwriter::FolderSourceModel fixed{3, 2, "Rich\\App", "", "", {}};
    packwriter::FolderSourceModel lookup{4, 0, "", "", "", {}};
    lookup.lookups.push_back({1, 1, "Software\\Rich", "Key", "", 1});
    lookup.lookups.push_back({2, 6, "%1.ini", "Main", "Dir", 0});
    packwriter::FolderSourceModel other{9, 0, "", "", "", {}};
    packwriter::FolderSourceModel prompt{0, 0, "", "", "", {}};
    if (version >= 140) {
        model.folderSources = {registry, ini, fixed, lookup, other, prompt};
    } else if (version >= 120) {
        model.folderSources = {lookup};
    } else {
        model.folderSources = {fixed};
    }

    if (version >= 140) {
        model.runningCheck = {2, "", "", "rich.exe", 1};
    } else {
        model.runningCheck = {1, "Rich Window", "RichClass", "", 1};
    }
    model.documentName = "readme.txt";
    model.noticeBefore = "before\r\ntext";
    model.noticeAfter = "after";
    model.noticeBlocks.push_back({0, "before-any", "after-any"});
    model.noticeBlocks.push_back({932, "before-932", "after-932"});
    model.noticeBlocks.push_back({1252, "before-1252", ""});
    model.hasNewCheckValues = 1;
    model.skipMissingSources = 1;
    model.overwriteExistingAdds = 1;
    model.skipMissingDeletes = 1;
    model.checkMode = 1;

    model.updates.push_back(
        {"app.exe", Filled(0x10), Filled(0x20), {0x11111111, 0x01D00000}, {1, 2, 3, 4, 5}});
    model.updates.push_back({"sub\\lib.dll", Filled(0x30), Filled(0x40), {7, 8}, {9, 9}});
    model.adds.push_back({"new.txt", Filled(0x50), {0x22222222, 0x01D11111}, {'n', 'e', 'w'}});
    model.deletes.push_back({"old.txt", Filled(0x60)});
    model.deletes.push_back({"older.txt", Filled(0x70)});
    return model;
}

}  // namespace pkx::test
