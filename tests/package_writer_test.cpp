// The package writer: layout, gates, containers and self-extracting files.
#include "package_test_helpers.h"

namespace pkx::test {
namespace {

using packwriter::Bytes;
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

TEST(PackageWriterTest, ModelsThatCannotBeWrittenAreRefused) {
    const auto model = [](uint16_t version, size_t sources, std::string name, std::string text) {
        PackageModel made = EmptyModel(version);
        made.folderSources.resize(sources);
        if (!name.empty()) made.deletes.push_back({name, CheckValue()});
        if (!text.empty()) made.languageBlocks.push_back({932, "", 0, {text}});
        return made;
    };
    const std::pair<const char*, PackageModel> cases[] = {
        {"version", model(151, 1, "", "")},
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

}  // namespace
}  // namespace pkx::test
