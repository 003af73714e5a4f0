// Damaged and hostile packages: the header is read before the digest is
// checked, so every length and count is refused unless the file can hold it.
#include <algorithm>

#include "package_test_helpers.h"
#include "recording_ui.h"

namespace pkx::test {
namespace {

using packwriter::Bytes;
using packwriter::FolderSourceModel;
using packwriter::PackageLayout;
using packwriter::PackageModel;

// The reader that must meet the end of a package cut after `cut` bytes.
Stage StageHolding(uint32_t cut, const PackageLayout& layout) {
    if (cut < layout.folderSourcesOffset) return Stage::kHeaderStart;
    if (cut < layout.runningCheckOffset) return Stage::kFolderSources;
    if (cut < layout.documentNameOffset) return Stage::kRunningCheck;
    if (cut < layout.noticeOffset) return Stage::kDocumentName;
    if (cut < layout.optionsOffset) return Stage::kNotices;
    if (cut < layout.recordsOffset) return Stage::kOptions;
    return Stage::kRecords;
}

class TruncatedPackage : public ::testing::TestWithParam<uint16_t> {};

TEST_P(TruncatedPackage, EveryCutIsAReadFailureOfTheReaderThatMeetsIt) {
    CodePageScope codePage(1252);
    PackageLayout layout;
    const Bytes package = Build(RichModel(GetParam()), &layout);
    PackageTempFolder folder;
    const std::string path = folder.Write("whole.pkx", package);
    // The readers stop at the records; the data areas are read later.
    const uint32_t recordsEnd = layout.updateDataOffsets[0];
    ObservingPlatform cutter;
    PlatformScope scope(cutter);
    for (uint32_t cut = 0; cut <= recordsEnd; ++cut) {
        cutter.sizeLimit = cut;
        PackageReading reading;
        ReadBarePackage(path, reading);
        if (cut == recordsEnd) {
            EXPECT_EQ(reading.code, 0u);
            break;
        }
        ASSERT_EQ(reading.code, result::kReadProgramFile) << "cut " << cut;
        ASSERT_EQ(reading.stage, StageHolding(cut, layout)) << "cut " << cut;
    }
}

TEST(TruncatedFileTest, RealFilesCutInsideEachSection) {
    PackageLayout layout;
    const Bytes package = Build(RichModel(150), &layout);
    PackageTempFolder folder;
    for (uint32_t cut :
         {layout.folderSourcesOffset - 1, layout.runningCheckOffset - 1,
          layout.documentNameOffset - 1, layout.noticeOffset - 1, layout.optionsOffset - 1,
          layout.recordsOffset - 1, layout.updateDataOffsets[0] - 1}) {
        const Bytes part(package.begin(), package.begin() + cut);
        PackageReading reading;
        ReadBarePackage(folder.Write("cut" + std::to_string(cut) + ".pkx", part), reading);
        EXPECT_EQ(reading.code, result::kReadProgramFile) << "cut " << cut;
        EXPECT_EQ(reading.stage, StageHolding(cut, layout)) << "cut " << cut;
    }
}

INSTANTIATE_TEST_SUITE_P(Versions, TruncatedPackage, ::testing::Values(0, 105, 125, 135, 150));

// Failing platform calls, whatever their code, are read failures of the package.
TEST(FailingFileTest, EveryFailedReadSeekOrSizeIsAReadFailure) {
    CodePageScope codePage(1252);
    PackageLayout layout;
    PackageTempFolder folder;
    const std::string path = folder.WriteProgram("rich.exe", Build(RichModel(150), &layout));
    ObservingPlatform counter;
    {
        PlatformScope scope(counter);
        PackageReading reading;
        ReadProgramFile(path, reading);
        ASSERT_EQ(reading.code, 0u);
    }
    for (Operation kind : {Operation::kRead, Operation::kSeek, Operation::kSize}) {
        // The last seek is the harness asking where the records ended.
        const uint64_t calls = counter.Count(kind) - (kind == Operation::kSeek ? 1 : 0);
        ASSERT_GT(calls, 0u);
        for (uint64_t k = 1; k <= calls; ++k) {
            ObservingPlatform failing;
            failing.FailAt(k, win32err::kReadFault, kind);
            PlatformScope scope(failing);
            PackageReading reading;
            ReadProgramFile(path, reading);
            ASSERT_EQ(reading.code, result::kReadProgramFile)
                << "call " << k << " of kind " << static_cast<int>(kind);
        }
    }
}

PackageModel NoticeModel(uint16_t version) {
    PackageModel model;
    model.version = version;
    model.folderSources.resize(1);
    model.noticeBefore = "abc";
    model.noticeAfter = "def";
    model.noticeBlocks.push_back({1250, "skip", "me"});
    model.noticeBlocks.push_back({0, "abc", "def"});
    return model;
}

// Reads `package` as a bare package on a 1252 system. No read may ask for
// more bytes than the file holds: a length is checked before its buffer is
// allocated and filled.
PackageReading ReadBytes(const Bytes& package) {
    CodePageScope codePage(1252);
    PackageTempFolder folder;
    const std::string path = folder.Write("hostile.pkx", package);
    uint32_t largestRead = 0;
    ObservingPlatform observer;
    observer.afterRead = [&](uint32_t requested, uint32_t) {
        largestRead = std::max(largestRead, requested);
    };
    PlatformScope scope(observer);
    PackageReading reading;
    ReadBarePackage(path, reading);
    EXPECT_LE(largestRead, package.size());
    return reading;
}

TEST(HostilePackageTest, NoticeLengthsBeyondTheFileAreRefused) {
    PackageLayout layout;
    const Bytes pair = Build(NoticeModel(130), &layout);
    for (uint32_t length : {0xFFFFFFFFu, 0x80000000u, 0x7FFFFFFFu}) {
        Bytes before = pair;
        ASSERT_TRUE(packwriter::PatchU32(before, layout.noticeOffset, length));
        const PackageReading reading = ReadBytes(before);
        EXPECT_EQ(reading.code, result::kReadProgramFile) << length;
        EXPECT_EQ(reading.stage, Stage::kNotices);
    }
    // The after-text may reach the very end of the file, but not one byte beyond.
    Bytes exact = pair;
    packwriter::Truncate(exact, layout.optionsOffset);
    EXPECT_EQ(ReadBytes(exact).stage, Stage::kOptions);
    packwriter::Truncate(exact, layout.optionsOffset - 1);
    EXPECT_EQ(ReadBytes(exact).stage, Stage::kNotices);
}

TEST(HostilePackageTest, SkippedNoticeLengthsNeverMoveBackwardsOrBeyondTheEnd) {
    PackageLayout layout;
    const Bytes blocks = Build(NoticeModel(150), &layout);
    // Block count (2 bytes), then the non-matching block's code page and L1.
    const uint32_t skippedLength = layout.noticeOffset + 2 + 4;
    // 0xFFFFFFFC as a seek distance would step back onto the length itself.
    for (uint32_t length : {0xFFFFFFFCu, 0xFFFFFFFFu, 0x7FFFFFFFu}) {
        Bytes hostile = blocks;
        ASSERT_TRUE(packwriter::PatchU32(hostile, skippedLength, length));
        const PackageReading reading = ReadBytes(hostile);
        EXPECT_EQ(reading.code, result::kReadProgramFile) << length;
        EXPECT_EQ(reading.stage, Stage::kNotices) << length;
    }
    const PackageReading intact = ReadBytes(blocks);
    ASSERT_EQ(intact.code, 0u);
    EXPECT_EQ(Text(intact.before), "abc");
    EXPECT_EQ(Text(intact.after), "def");
}

TEST(HostilePackageTest, LookupCountsBeyondTheFileAreRefused) {
    PackageModel model;
    FolderSourceModel lookup;
    lookup.kind = 4;
    lookup.lookups.push_back({1, 2, "k", "v", "", 0});
    model.folderSources = {lookup};
    PackageLayout layout;
    const Bytes package = Build(model, &layout);
    // Source count, kind, then the lookup count.
    const uint32_t countField = layout.folderSourcesOffset + 2;
    const uint32_t remaining = static_cast<uint32_t>(package.size()) - (countField + 4);
    for (uint32_t count : {0xFFFFFFFFu, 0x10000000u, remaining / 6 + 1}) {
        Bytes hostile = package;
        ASSERT_TRUE(packwriter::PatchU32(hostile, countField, count));
        const PackageReading reading = ReadBytes(hostile);
        EXPECT_EQ(reading.code, result::kReadProgramFile) << count;
        EXPECT_EQ(reading.stage, Stage::kFolderSources) << count;
    }
    // A count the file could hold but whose records are not there.
    Bytes garbage = package;
    ASSERT_TRUE(packwriter::PatchU32(garbage, countField, remaining / 6));
    EXPECT_NE(ReadBytes(garbage).code, 0u);
}

TEST(HostilePackageTest, RecordCountsBeyondTheFileAreRefused) {
    PackageModel model;
    model.folderSources.resize(1);
    model.hasNewCheckValues = 1;
    for (int i = 0; i < 20; ++i) model.deletes.push_back({"delete" + std::to_string(i), Filled(1)});
    PackageLayout layout;
    const Bytes package = Build(model, &layout);
    const uint32_t remaining = static_cast<uint32_t>(package.size()) - layout.recordsOffset;
    struct Counts {
        uint32_t updates, adds, deletes;
    };
    // Each of the last three fits alone (49, 33 and 17 bytes at least a
    // record), but not together with the others.
    const std::vector<Counts> hostile = {{0xFFFFFFFF, 0, 0},
                                         {0, 0xFFFFFFFF, 0},
                                         {0, 0, 0xFFFFFFFF},
                                         {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF},
                                         {remaining / 49, remaining / 33, 0},
                                         {0, remaining / 33, remaining / 17},
                                         {remaining / 49, 0, remaining / 17}};
    for (const Counts& counts : hostile) {
        Bytes bytes = package;
        ASSERT_TRUE(packwriter::PatchU32(bytes, layout.countsOffset, counts.updates));
        ASSERT_TRUE(packwriter::PatchU32(bytes, layout.countsOffset + 4, counts.adds));
        ASSERT_TRUE(packwriter::PatchU32(bytes, layout.countsOffset + 8, counts.deletes));
        const PackageReading reading = ReadBytes(bytes);
        EXPECT_EQ(reading.code, result::kReadProgramFile)
            << counts.updates << "/" << counts.adds << "/" << counts.deletes;
        EXPECT_EQ(reading.stage, Stage::kRecords);
        EXPECT_TRUE(reading.lists.updates.empty());
    }
}

TEST(HostilePackageTest, CountsAreBoundedByThePackageNotByTheFile) {
    // The first package of a container claims more delete records than it
    // holds; the bytes of the second package would hold them.
    PackageModel first;
    first.folderSources.resize(1);
    first.deletes.push_back({"a.txt", Filled(1)});
    PackageLayout layout;
    Bytes lying = Build(first, &layout);
    const uint32_t held = static_cast<uint32_t>(lying.size()) - layout.recordsOffset;
    ASSERT_TRUE(packwriter::PatchU32(lying, layout.countsOffset + 8, held / kDeleteRecordSize + 1));
    PackageModel second;
    second.folderSources.resize(1);
    second.adds.push_back({"big.bin", CheckValue(), FileTime(), Bytes(4096, 'x')});
    Bytes payload;
    ASSERT_TRUE(packwriter::BuildContainer({lying, Build(second)}, &payload));

    PackageTempFolder folder;
    const std::string path = folder.WriteProgram("lump.exe", payload);
    PackageReading reading;
    ReadProgramFile(path, reading);
    EXPECT_EQ(reading.code, result::kReadProgramFile);
    EXPECT_EQ(reading.stage, Stage::kRecords);
    EXPECT_TRUE(reading.lists.deletes.empty());
}

TEST(HostilePackageTest, LanguageBlockCountLargerThanTheBlocksEnds) {
    PackageModel model;
    model.folderSources.resize(1);
    model.languageBlocks.push_back({1252, "Arial", 9, NumberedTexts("t")});
    PackageLayout layout;
    Bytes package = Build(model, &layout);
    ASSERT_TRUE(packwriter::PatchU16(package, layout.languageBlocksOffset + 1, 0xFFFF));
    const PackageReading reading = ReadBytes(package);
    EXPECT_EQ(reading.code, result::kReadProgramFile);
    EXPECT_EQ(reading.stage, Stage::kHeaderStart);
}

TEST(HostilePackageTest, PackageOffsetsOutsideTheFileFailInTheHeader) {
    PackageModel model;
    model.folderSources.resize(1);
    const Bytes package = Build(model);
    PackageTempFolder folder;
    const std::string path = folder.Write("small.pkx", package);
    BinaryFile file;
    ASSERT_EQ(file.OpenRead(path.c_str(), kShareRead, kAttributeNormal), 0u);
    for (uint32_t offset :
         {static_cast<uint32_t>(package.size()), 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFF0u}) {
        PackageRef ref;
        ref.offset = offset;
        ref.size = static_cast<uint32_t>(package.size());
        auto context = std::make_unique<ApplyContext>();
        HeaderStart start;
        PackageOnFile bytes(file, ref);
        EXPECT_EQ(ReadHeaderStart(bytes.in, ref, *context, &start), result::kReadProgramFile)
            << offset;
    }
}

}  // namespace
}  // namespace pkx::test
