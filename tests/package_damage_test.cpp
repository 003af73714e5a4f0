// Damaged and hostile packages: the header is read before the digest is
// checked, so every length and count is refused unless the file can hold it.
#include <algorithm>

#include "package_test_helpers.h"
#include "recording_ui.h"

namespace pkx::test {
namespace {

using packwriter::Bytes;
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
        const uint64_t calls = counter.Count(kind);
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

// Reads `package` as a bare package on a 1252 system. No read may ask for
// more bytes than the file holds: a length is checked before its buffer is
// allocated and filled.
PackageReading ReadBytes(const Bytes& package) {
    CodePageScope codePage(1252);
    PackageTempFolder folder;
    const std::string path = folder.Write("hostile.pkx", package);
    uint32_t largestRead = 0;
    ObservingPlatform observer;
    observer.afterRead = [&](uint32_t requested) {
        largestRead = std::max(largestRead, requested);
    };
    PlatformScope scope(observer);
    PackageReading reading;
    ReadBarePackage(path, reading);
    EXPECT_LE(largestRead, package.size());
    return reading;
}

struct Patch {
    uint32_t at;
    uint32_t value;
    int width = 4;
};

Bytes Patched(Bytes bytes, const std::vector<Patch>& patches) {
    for (const Patch& patch : patches) {
        EXPECT_TRUE(patch.width == 2 ? packwriter::PatchU16(bytes, patch.at, patch.value)
                                     : packwriter::PatchU32(bytes, patch.at, patch.value));
    }
    return bytes;
}

// Lengths and counts the package cannot hold are refused by the reader of
// their field, before any buffer is filled.
TEST(HostilePackageTest, LengthsAndCountsBeyondTheFileAreRefused) {
    PackageModel notices = BareModel(130);
    notices.noticeBefore = "abc";
    notices.noticeAfter = "def";
    notices.noticeBlocks = {{1250, "skip", "me"}, {0, "abc", "def"}};
    PackageLayout pair, blocks, lookup, records, language;
    const Bytes pairBytes = Build(notices, &pair);
    notices.version = 150;
    const Bytes blockBytes = Build(notices, &blocks);
    PackageModel lookups = BareModel();
    lookups.folderSources[0].kind = 4;
    lookups.folderSources[0].lookups.push_back({1, 2, "k", "v", "", 0});
    const Bytes lookupBytes = Build(lookups, &lookup);
    PackageModel deletes = BareModel();
    deletes.hasNewCheckValues = 1;
    for (int i = 0; i < 20; ++i) deletes.deletes.push_back({"d" + std::to_string(i), Filled(1)});
    const Bytes recordBytes = Build(deletes, &records);
    PackageModel block = BareModel();
    block.languageBlocks.push_back({1252, "Arial", 9, NumberedTexts("t")});
    const Bytes languageBytes = Build(block, &language);

    // The skipped block's L1 follows the block count and its code page; as a
    // seek distance 0xFFFFFFFC would step back onto the length itself.
    const uint32_t skipped = blocks.noticeOffset + 2 + 4;
    const uint32_t lookupCount = lookup.folderSourcesOffset + 2;  // after the source count, kind
    const uint32_t lookupsLeft = static_cast<uint32_t>(lookupBytes.size()) - (lookupCount + 4);
    const uint32_t left = static_cast<uint32_t>(recordBytes.size()) - records.recordsOffset;
    const uint32_t counts = records.countsOffset;
    const uint32_t all = 0xFFFFFFFFu;
    const struct {
        const Bytes* package;
        std::vector<Patch> patches;
        Stage stage;
    } cases[] = {
        // clang-format off
        {&pairBytes, {{pair.noticeOffset, all}}, Stage::kNotices},
        {&pairBytes, {{pair.noticeOffset, 0x80000000u}}, Stage::kNotices},
        {&pairBytes, {{pair.noticeOffset, 0x7FFFFFFFu}}, Stage::kNotices},
        {&blockBytes, {{skipped, 0xFFFFFFFCu}}, Stage::kNotices},
        {&blockBytes, {{skipped, all}}, Stage::kNotices},
        {&blockBytes, {{skipped, 0x7FFFFFFFu}}, Stage::kNotices},
        {&lookupBytes, {{lookupCount, all}}, Stage::kFolderSources},
        {&lookupBytes, {{lookupCount, 0x10000000u}}, Stage::kFolderSources},
        {&lookupBytes, {{lookupCount, lookupsLeft / 6 + 1}}, Stage::kFolderSources},
        {&recordBytes, {{counts, all}, {counts + 4, 0}, {counts + 8, 0}}, Stage::kRecords},
        {&recordBytes, {{counts, 0}, {counts + 4, all}, {counts + 8, 0}}, Stage::kRecords},
        {&recordBytes, {{counts, 0}, {counts + 4, 0}, {counts + 8, all}}, Stage::kRecords},
        {&recordBytes, {{counts, all}, {counts + 4, all}, {counts + 8, all}}, Stage::kRecords},
        // Each count fits alone (a record takes at least 49, 33 or 17 bytes),
        // but not together with the other.
        {&recordBytes, {{counts, left / 49}, {counts + 4, left / 33}, {counts + 8, 0}}, Stage::kRecords},
        {&recordBytes, {{counts, 0}, {counts + 4, left / 33}, {counts + 8, left / 17}}, Stage::kRecords},
        {&recordBytes, {{counts, left / 49}, {counts + 4, 0}, {counts + 8, left / 17}}, Stage::kRecords},
        {&languageBytes, {{language.languageBlocksOffset + 1, 0xFFFF, 2}}, Stage::kHeaderStart},
        // clang-format on
    };
    for (const auto& c : cases) {
        const PackageReading reading = ReadBytes(Patched(*c.package, c.patches));
        SCOPED_TRACE(testing::Message() << c.patches[0].at << ": " << c.patches[0].value);
        EXPECT_EQ(reading.code, result::kReadProgramFile);
        EXPECT_EQ(reading.stage, c.stage);
        EXPECT_TRUE(reading.lists.updates.empty());
    }
    // The after-text may reach the very end of the file, but not one byte beyond.
    Bytes exact = pairBytes;
    packwriter::Truncate(exact, pair.optionsOffset);
    EXPECT_EQ(ReadBytes(exact).stage, Stage::kOptions);
    packwriter::Truncate(exact, pair.optionsOffset - 1);
    EXPECT_EQ(ReadBytes(exact).stage, Stage::kNotices);
    // The skipped block is passed over whole.
    const PackageReading intact = ReadBytes(blockBytes);
    ASSERT_EQ(intact.code, 0u);
    EXPECT_EQ(Text(intact.before), "abc");
    EXPECT_EQ(Text(intact.after), "def");
    // A lookup count the file could hold but whose records are not there.
    EXPECT_NE(ReadBytes(Patched(lookupBytes, {{lookupCount, lookupsLeft / 6}})).code, 0u);
}

TEST(HostilePackageTest, CountsAreBoundedByThePackageNotByTheFile) {
    // The first package of a container claims more delete records than it
    // holds; the bytes of the second package would hold them.
    PackageModel first = BareModel();
    first.deletes.push_back({"a.txt", Filled(1)});
    PackageLayout layout;
    Bytes lying = Build(first, &layout);
    const uint32_t held = static_cast<uint32_t>(lying.size()) - layout.recordsOffset;
    ASSERT_TRUE(packwriter::PatchU32(lying, layout.countsOffset + 8, held / kDeleteRecordSize + 1));
    PackageModel second = BareModel();
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

TEST(HostilePackageTest, PackageOffsetsOutsideTheFileFailInTheHeader) {
    const Bytes package = Build(BareModel());
    PackageTempFolder folder;
    const std::string path = folder.Write("small.pkx", package);
    BinaryFile file;
    ASSERT_EQ(file.OpenRead(path.c_str(), kShareRead, kAttributeNormal), 0u);
    // The refused seeks come first, while the file is still at its start.
    for (uint32_t offset :
         {0x80000000u, 0xFFFFFFF0u, static_cast<uint32_t>(package.size()), 0x7FFFFFFFu}) {
        PackageRef ref;
        ref.offset = offset;
        ref.size = static_cast<uint32_t>(package.size());
        auto context = std::make_unique<ApplyContext>();
        HeaderStart start;
        PackageOnFile bytes(file, ref);
        EXPECT_EQ(TakeHeaderStart(bytes.in, ref, *context, &start), result::kReadProgramFile)
            << offset;
    }
}

}  // namespace
}  // namespace pkx::test
