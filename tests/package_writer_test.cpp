// The package writer: layout, gates, containers and self-extracting files.
#include "fuzz/fuzz_files.h"
#include "package_test_helpers.h"
#include "tests/compressed_data_model.h"

namespace pkx::test {
namespace {

using fuzz::U32At;
using packwriter::Bytes;
using packwriter::PackageLayout;
using packwriter::PackageModel;

TEST(PackageWriterTest, WorkedExampleLayout) {
    PackageModel model = BareModel();
    model.title = std::string(33, 'T');
    model.oldVersionLabel = "1.00";
    model.newVersionLabel = "1.10 rev";
    model.rightsText = std::string(36, 'R');
    model.deleteBackupsDefault = 0;
    model.noticeBlocks.push_back({0, std::string(142, 'b'), std::string(179, 'a')});
    model.hasNewCheckValues = 1;
    model.updates.push_back({"program.exe", Filled(1), Filled(2), {3, 4}, Bytes(10234, 0x5A)});
    PackageLayout layout;
    const Bytes package = Build(model, &layout);

    ASSERT_EQ(package.size(), 10761u);
    EXPECT_EQ(Bytes(package.begin(), package.begin() + 6), (Bytes{'P', 'K', 'X', ' ', 150, 0}));
    EXPECT_EQ(layout.recordsOffset, 0x1C3u);
    EXPECT_EQ(package[0x1C3], 11);
    // Name, two check values and the write time precede the data offset.
    EXPECT_EQ(U32At(package, 0x1C3 + 12 + 32 + 8), 0x1FFu);
    EXPECT_EQ(U32At(package, 0x1C3 + 12 + 32 + 12), 10234u);
    EXPECT_EQ(layout.digestOffset, 10745u);
    const CheckValue digest = packwriter::Md5CheckValue(package.data(), 10745);
    EXPECT_EQ(Hex(package.data() + 10745, 16), Hex(digest));

    Bytes file;
    ASSERT_TRUE(packwriter::BuildSelfExtracting({'M', 'Z'}, package, &file));
    EXPECT_EQ(file.size(), 137737u);
    EXPECT_EQ(Bytes(file.begin() + kPayloadOffset, file.end()), package);
    // An image larger than the space before the payload is refused.
    std::string error;
    Bytes untouched = {9};
    EXPECT_FALSE(packwriter::BuildSelfExtracting(Bytes(kPayloadOffset + 1, 0x90), package,
                                                 &untouched, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(untouched, Bytes{9});
}

// Version 200 keeps the header of 150 up to the counts; the records and
// their data follow in the data block.
TEST(PackageWriterTest, CompressedLayout) {
    PackageModel model = BareModel();
    model.title = "Compressed";
    model.updates.push_back({"a.txt", Filled(1), Filled(2), {3, 4}, Bytes(500, 1)});
    model.adds.push_back({"b.txt", Filled(5), {6, 7}, Bytes(300, 'b')});
    PackageLayout classic;
    const Bytes before = Build(model, &classic);
    model.version = gate::kCompressedData;
    packwriter::SetCompactData(Bytes(800, 'o'), Bytes(900, 'n'), &model.updates[0]);
    EXPECT_EQ(model.updates[0].newSize, 900u);
    PackageLayout layout;
    const Bytes package = Build(model, &layout);
    EXPECT_EQ(U32At(package, 4) & 0xFFFF, 200u);
    EXPECT_TRUE(std::equal(before.begin() + 6, before.begin() + classic.recordsOffset,
                           package.begin() + 6));
    EXPECT_EQ(layout.dataBlockOffset, classic.recordsOffset);
    EXPECT_EQ(U32At(package, layout.dataBlockOffset), kDataBlockMagic);
    // Name, check value, write time, offset 0 and the new file's size.
    MemoryPackageSource source(package.data(), layout.digestOffset);
    PackageCursor cursor(source, layout.dataBlockOffset, layout.digestOffset);
    DataBlock block;
    DataBlockReader reader;
    ASSERT_TRUE(cursor.MoveToStart());
    ASSERT_EQ(ReadDataBlock(cursor, &block), result::kSuccess);
    ASSERT_EQ(reader.Open(source, block), result::kSuccess);
    Bytes records;
    ASSERT_EQ(TakeStream(reader.records(), 6 + 16 + 16, &records), result::kSuccess);
    EXPECT_EQ(U32At(records, 6 + 16 + 8), 0u);
    EXPECT_EQ(U32At(records, 6 + 16 + 12), 900u);
    EXPECT_EQ(layout.addRecordOffsets, std::vector<uint32_t>{6 + 16 + 16});
    EXPECT_EQ(layout.digestOffset + kDigestSize, package.size());
    EXPECT_EQ(Hex(package.data() + layout.digestOffset, 16),
              Hex(packwriter::Md5CheckValue(package.data(), layout.digestOffset)));
}

TEST(PackageWriterTest, ModelsThatCannotBeWrittenAreRefused) {
    const auto model = [](uint16_t version, size_t sources, std::string name, std::string text) {
        PackageModel made = BareModel(version);
        made.folderSources.resize(sources);
        if (!name.empty()) made.deletes.push_back({name, CheckValue()});
        if (!text.empty()) made.languageBlocks.push_back({932, "", 0, {text}});
        return made;
    };
    PackageModel uninstructed = model(gate::kCompressedData, 1, "", "");
    uninstructed.updates.push_back({"a.txt", Filled(1), Filled(2), {3, 4}, Bytes(500, 1)});
    const std::pair<const char*, PackageModel> cases[] = {
        {"version", model(151, 1, "", "")},
        {"compressed update without instructions", uninstructed},
        {"version 199", model(199, 1, "", "")},
        {"version 201", model(201, 1, "", "")},
        {"name", model(150, 1, std::string(256, 'n'), "")},
        {"two sources", model(139, 2, "", "")},
        {"no source", model(100, 0, "", "")},
        {"256 sources", model(150, 256, "", "")},
        {"text", model(150, 1, "", std::string(300, 'x'))},
    };
    for (const auto& [what, refused] : cases) {
        Bytes bytes = {1, 2, 3};
        std::string error;
        EXPECT_FALSE(packwriter::BuildPackage(refused, &bytes, nullptr, &error)) << what;
        EXPECT_FALSE(error.empty()) << what;
        EXPECT_EQ(bytes, (Bytes{1, 2, 3})) << what;
    }
    // A long text at a version without language blocks is not written at all.
    EXPECT_EQ(Build(model(119, 1, "", std::string(300, 'x'))).size(), 51u);
}

}  // namespace
}  // namespace pkx::test
