// Shared by the package tests, the package fuzzer and its seeds: a package
// that uses every field of its version, and a reader that walks a package the
// way the worker does, keeping what each reader delivered.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/apply_context.h"
#include "engine/header_choice.h"
#include "engine/notice_texts.h"
#include "package/file_entries.h"
#include "package/package_header.h"
#include "package/package_index.h"
#include "package/writer/package_writer.h"
#include "support/binary_file.h"

namespace pkx::test {

inline CheckValue Filled(uint8_t first) {
    CheckValue value;
    for (int i = 0; i < 16; ++i) value.bytes[i] = static_cast<uint8_t>(first + i);
    return value;
}

// 74 texts "<prefix>1000" ... "<prefix>1073".
inline std::vector<std::string> NumberedTexts(const std::string& prefix) {
    std::vector<std::string> texts;
    for (uint32_t id = 1000; id < 1074; ++id) texts.push_back(prefix + std::to_string(id));
    return texts;
}

// A package that uses every field its version has, with distinct values.
// Language blocks for code pages 0 (none), 932 and 1252; notice blocks for 0,
// 932 and 1252 (from 140); folder sources of every kind (one below 140: a
// composite lookup from 120, a fixed path before).
inline packwriter::PackageModel RichModel(uint16_t version) {
    packwriter::PackageModel model;
    model.version = version;
    model.title = "Rich Product";
    model.oldVersionLabel = "1.0";
    model.newVersionLabel = "2.0";
    model.rightsText = "(c) Rich Makers";
    packwriter::SetPassword(model, "secret");
    model.deleteBackupsDefault = 0;
    model.languageBlocks.push_back({0, "Zero", 9, NumberedTexts("z")});
    model.languageBlocks.push_back({932, "Face932", 10, NumberedTexts("ja")});
    model.languageBlocks.push_back({1252, "Face1252", 14, NumberedTexts("en")});
    model.languageBlocks[2].texts[5] = "one\\ntwo\\n";
    model.languageBlocks[2].texts[6] = "tail\\";

    packwriter::FolderSourceModel lookup{4, 0, "", "", "", {}};
    lookup.lookups.push_back({1, 1, "Software\\Rich", "Key", "", 1});
    lookup.lookups.push_back({2, 6, "%1.ini", "Main", "Dir", 0});
    if (version >= 140) {
        model.folderSources = {{1, 2, "Software\\Rich", "InstallDir", "", {}},
                               {2, 0, "rich.ini", "Paths", "Home", {}},
                               {3, 2, "Rich\\App", "", "", {}},
                               lookup,
                               {9, 0, "", "", "", {}},
                               {0, 0, "", "", "", {}}};
        model.runningCheck = {2, "", "", "rich.exe", 1};
    } else {
        model.folderSources = {
            version >= 120 ? lookup : packwriter::FolderSourceModel{3, 2, "Rich\\App", "", "", {}}};
        model.runningCheck = {1, "Rich Window", "RichClass", "", 1};
    }
    model.documentName = "readme.txt";
    model.noticeBefore = "before\r\ntext";
    model.noticeAfter = "after";
    model.noticeBlocks = {{0, "before-any", "after-any"},
                          {932, "before-932", "after-932"},
                          {1252, "before-1252", ""}};
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
    uint64_t position = 0;  // the cursor's, where the reading ended
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

inline void ReadPackageParts(PackageSource& source, PackageCursor& in, PackageRef& package,
                             ApplyContext& context, PackageReading& out) {
    if (out.Fail(TakeHeaderStart(in, package, context, &out.start), Stage::kHeaderStart)) return;
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
        if (out.Fail(ReadDocumentName(in, context.openAfterName), Stage::kDocumentName)) return;
        if (out.Fail(TakeNoticeTexts(in, version, &out.before, &out.after), Stage::kNotices)) {
            return;
        }
    }
    PackageOptions options;
    const ResultCode optionsRead = ReadOptionsAndCounts(in, version, &options, &out.counts);
    context.hasNewCheckValues = options.hasNewCheckValues;
    context.skipMissingSources = options.skipMissingSources;
    context.overwriteExistingAdds = options.overwriteExistingAdds;
    context.skipMissingDeletes = options.skipMissingDeletes;
    if (out.Fail(optionsRead, Stage::kOptions)) return;
    const bool newCheckValues = options.hasNewCheckValues == 1;
    if (version < gate::kCompressedData) {
        out.Fail(ReadFileEntries(in, out.counts, newCheckValues, context, &out.lists),
                 Stage::kRecords);
        return;
    }
    // The records of a compressed package, in its data block up to the digest.
    const uint64_t blockSize = in.Remaining() > kDigestSize ? in.Remaining() - kDigestSize : 0;
    PackageCursor block(source, in.position(), in.position() + blockSize);
    DataBlock header;
    out.Fail(
        ReadBlockEntries(source, block, out.counts, newCheckValues, context, &header, &out.lists),
        Stage::kRecords);
}

// Reads one package from `file` at `package`, in the worker's order, without
// prompts: every folder source is read.
inline void ReadPackageBody(BinaryFile& file, PackageRef& package, ApplyContext& context,
                            PackageReading& out) {
    PackageOnFile bytes(file, package);
    ReadPackageParts(bytes.source, bytes.in, package, context, out);
    out.position = bytes.in.position();
}

}  // namespace pkx::test
