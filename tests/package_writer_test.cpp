// The package writer: layout, gates, containers and self-extracting files.
#include "package_test_helpers.h"

namespace pkx::test {
namespace {

using packwriter::Bytes;
using packwriter::FolderSourceModel;
using packwriter::PackageLayout;
using packwriter::PackageModel;

uint32_t U32At(const Bytes& bytes, size_t offset) {
    return bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 |
           static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

PackageModel EmptyModel(uint16_t version) {
    PackageModel model;
    model.version = version;
    model.folderSources.resize(1);
    return model;
}

TEST(PackageWriterTest, WorkedExampleLayout) {
    PackageModel model;
    model.title = std::string(33, 'T');
    model.oldVersionLabel = "1.00";
    model.newVersionLabel = "1.10 rev";
    model.rightsText = std::string(36, 'R');
    model.deleteBackupsDefault = 0;
    model.folderSources.resize(1);
    model.noticeBlocks.push_back({0, std::string(142, 'b'), std::string(179, 'a')});
    model.hasNewCheckValues = 1;
    model.updates.push_back({"program.exe", Filled(1), Filled(2), {3, 4}, Bytes(10234, 0x5A)});
    PackageLayout layout;
    const Bytes package = Build(model, &layout);

    ASSERT_EQ(package.size(), 10761u);
    EXPECT_EQ(Bytes(package.begin(), package.begin() + 6), (Bytes{'P', 'K', 'X', ' ', 150, 0}));
    EXPECT_EQ(layout.recordsOffset, 0x1C3u);
    ASSERT_EQ(layout.updateRecordOffsets.size(), 1u);
    EXPECT_EQ(layout.updateRecordOffsets[0], 0x1C3u);
    EXPECT_EQ(package[0x1C3], 11);
    // Name, two check values and the write time precede the data offset.
    EXPECT_EQ(U32At(package, 0x1C3 + 12 + 32 + 8), 0x1FFu);
    EXPECT_EQ(U32At(package, 0x1C3 + 12 + 32 + 12), 10234u);
    EXPECT_EQ(layout.updateDataOffsets[0], 0x1FFu);
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

TEST(PackageWriterTest, FieldsBelowTheirGateAreNotWritten) {
    // Sizes of a package with empty strings, one kind-0 folder source and no
    // records: 11 bytes up to the password flag, then the gated fields.
    const std::vector<std::pair<uint16_t, size_t>> sizes = {
        {0, 41}, {109, 41}, {110, 51}, {119, 51}, {120, 57}, {139, 57}, {140, 53}, {150, 53}};
    for (const auto& [version, size] : sizes) {
        EXPECT_EQ(Build(EmptyModel(version)).size(), size) << version;
    }
    // Language blocks carry 69 texts before version 130 and 74 from it on.
    PackageModel older = EmptyModel(129);
    older.languageBlocks.push_back({1252, "", 0, {}});
    PackageModel newer = older;
    newer.version = 130;
    EXPECT_EQ(Build(older).size(), 57u + 4 + 1 + 1 + 69);
    EXPECT_EQ(Build(newer).size(), 57u + 4 + 1 + 1 + 74);
}

TEST(PackageWriterTest, ModelsThatCannotBeWrittenAreRefused) {
    std::vector<std::pair<std::string, PackageModel>> cases;
    cases.emplace_back("version", EmptyModel(151));
    PackageModel longName = EmptyModel(150);
    longName.deletes.push_back({std::string(256, 'n'), CheckValue()});
    cases.emplace_back("name", longName);
    PackageModel twoSources = EmptyModel(139);
    twoSources.folderSources.resize(2);
    cases.emplace_back("two sources", twoSources);
    PackageModel noSource = EmptyModel(100);
    noSource.folderSources.clear();
    cases.emplace_back("no source", noSource);
    PackageModel manySources = EmptyModel(150);
    manySources.folderSources.resize(256);
    cases.emplace_back("256 sources", manySources);
    PackageModel longText = EmptyModel(150);
    longText.languageBlocks.push_back({932, "", 0, {std::string(300, 'x')}});
    cases.emplace_back("text", longText);
    for (const auto& [what, model] : cases) {
        Bytes bytes = {1, 2, 3};
        std::string error;
        EXPECT_FALSE(packwriter::BuildPackage(model, &bytes, nullptr, &error)) << what;
        EXPECT_FALSE(error.empty()) << what;
        EXPECT_EQ(bytes, (Bytes{1, 2, 3})) << what;
    }
    // A long text at a version without language blocks is not written at all.
    longText.version = 119;
    EXPECT_EQ(Build(longText).size(), 51u);
}

TEST(PackageWriterTest, ContainerIndexHoldsAbsoluteOffsets) {
    const std::vector<Bytes> packages = {Bytes(10, 1), Bytes(3, 2), Bytes(0), Bytes(7, 4)};
    packwriter::ContainerOptions options;
    options.payloadOffset = 0x1000;
    Bytes payload;
    ASSERT_TRUE(packwriter::BuildContainer(packages, &payload, options));
    EXPECT_EQ(Bytes(payload.begin(), payload.begin() + 6), (Bytes{'L', 'U', 'M', 'P', 4, 0}));
    uint32_t expected = 0x1000 + 6 + 4 * 8;
    for (size_t i = 0; i < packages.size(); ++i) {
        EXPECT_EQ(U32At(payload, 6 + 8 * i), expected) << i;
        EXPECT_EQ(U32At(payload, 10 + 8 * i), packages[i].size()) << i;
        const size_t start = expected - options.payloadOffset;
        EXPECT_EQ(Bytes(payload.begin() + start, payload.begin() + start + packages[i].size()),
                  packages[i]);
        expected += static_cast<uint32_t>(packages[i].size());
    }
    EXPECT_EQ(payload.size(), expected - options.payloadOffset);

    options.alignment = 16;
    ASSERT_TRUE(packwriter::BuildContainer(packages, &payload, options));
    EXPECT_EQ(U32At(payload, 6), 0x1030u);
    EXPECT_EQ(U32At(payload, 14), 0x1040u);
    EXPECT_EQ(U32At(payload, 22), 0x1050u);
    EXPECT_EQ(U32At(payload, 30), 0x1050u);
    EXPECT_EQ(payload[0x1030 - 0x1000 - 1], 0);
}

TEST(PackageWriterTest, PatchesStayInsideTheBytes) {
    Bytes bytes(8, 0);
    EXPECT_TRUE(packwriter::PatchU32(bytes, 4, 0x11223344));
    EXPECT_EQ(bytes, (Bytes{0, 0, 0, 0, 0x44, 0x33, 0x22, 0x11}));
    EXPECT_FALSE(packwriter::PatchU32(bytes, 5, 0));
    EXPECT_FALSE(packwriter::PatchU16(bytes, 7, 0));
    EXPECT_FALSE(packwriter::PatchU8(bytes, 8, 0));
    EXPECT_FALSE(packwriter::PatchU8(bytes, SIZE_MAX, 0));
    EXPECT_EQ(bytes[7], 0x11);
    packwriter::Truncate(bytes, 100);
    EXPECT_EQ(bytes.size(), 8u);
    packwriter::Truncate(bytes, 3);
    EXPECT_EQ(bytes.size(), 3u);
    EXPECT_FALSE(packwriter::RefreshDigest(bytes));

    Bytes package = Build(EmptyModel(150));
    const Bytes original = package;
    ASSERT_TRUE(packwriter::PatchU8(package, 6, 'X'));
    ASSERT_TRUE(packwriter::RefreshDigest(package));
    const size_t hashed = package.size() - 16;
    EXPECT_EQ(Hex(package.data() + hashed, 16),
              Hex(packwriter::Md5CheckValue(package.data(), hashed)));
    EXPECT_NE(Hex(package.data() + hashed, 16), Hex(original.data() + hashed, 16));
}

}  // namespace
}  // namespace pkx::test
