// The package writer: layout, gates, containers and self-extracting files.
#include "fuzz/fuzz_files.h"
#include "package_test_helpers.h"

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

TEST(PackageWriterTest, ModelsThatCannotBeWrittenAreRefused) {
    const auto model = [](uint16_t version, size_t sources, std::string name, std::string text) {
        PackageModel made = BareModel(version);
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

}  // namespace
}  // namespace pkx::test
