// The execution level in the Windows updater's manifest: found through the
// resource directory, written by the builder, shown by the inspector.
#ifndef _WIN32

#include "builder/execution_level.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "builder/listing.h"
#include "builder/manifest.h"
#include "tests/test_support.h"
#include "tests/worker_fixtures.h"

namespace pkx::test {
namespace {

using builder::ExecutionLevel;
using builder::LevelField;

constexpr char kManifest[] =
    "<assembly><trustInfo><requestedPrivileges>\n"
    "<requestedExecutionLevel level=\"asInvoker\"            uiAccess=\"false\"/>\n"
    "</requestedPrivileges></trustInfo></assembly>\n";

void Put(std::string& image, size_t at, uint32_t value, int bytes = 4) {
    for (int i = 0; i < bytes; ++i) image[at + i] = static_cast<char>(value >> (8 * i));
}

// How the resources of a test image are laid out: one section at file
// offset 512, RVA 0x1000, holding the three directory levels, the data
// entry and the data.
struct Layout {
    bool wide = false;
    uint32_t type = 24;
    uint32_t id = 1;
    uint32_t dataRva = 0x1000 + 88;  // where the data entry points
    uint16_t rootEntries = 1;
    uint32_t checksum = 0x1234;
};

std::string ImageWith(const std::string& manifest, const Layout& layout = {}) {
    std::string image = PeImage(0, 0, layout.wide);
    constexpr size_t kPe = 64, kOptional = kPe + 24;
    const size_t sections = kOptional + (layout.wide ? 240 : 224);
    const size_t directories = kOptional + (layout.wide ? 112 : 96);
    const uint32_t size = 88 + static_cast<uint32_t>(manifest.size());
    Put(image, kPe + 6, 1, 2);
    Put(image, kOptional + 64, layout.checksum);
    Put(image, directories + 16, 0x1000);  // the resource directory
    Put(image, directories + 20, size);
    image.replace(sections, 5, ".rsrc");
    Put(image, sections + 8, size);
    Put(image, sections + 12, 0x1000);
    Put(image, sections + 16, size);
    Put(image, sections + 20, 512);
    std::string resources(88, '\0');
    Put(resources, 14, layout.rootEntries, 2);  // types
    Put(resources, 16, layout.type);
    Put(resources, 20, 0x80000000u | 24);
    Put(resources, 24 + 14, 1, 2);  // names
    Put(resources, 24 + 16, layout.id);
    Put(resources, 24 + 20, 0x80000000u | 48);
    Put(resources, 48 + 14, 1, 2);  // languages
    Put(resources, 48 + 16, 1033);
    Put(resources, 48 + 20, 72);
    Put(resources, 72, layout.dataRva);
    Put(resources, 76, static_cast<uint32_t>(manifest.size()));
    return image + resources + manifest;
}

// Each level goes into the field; only the field and the checksum change.
TEST(ExecutionLevel, EachLevelIsWrittenIntoTheFieldAndReadBack) {
    for (const bool wide : {false, true}) {
        for (const ExecutionLevel level :
             {ExecutionLevel::kRequireAdministrator, ExecutionLevel::kHighestAvailable,
              ExecutionLevel::kAsInvoker}) {
            const std::string name = builder::ExecutionLevelName(level);
            SCOPED_TRACE(name + (wide ? " PE32+" : " PE32"));
            std::string expected = ImageWith(kManifest, {wide});
            Bytes image = ToBytes(expected);
            std::string error;
            LevelField field;
            ASSERT_TRUE(builder::SetExecutionLevel(&image, level, &error)) << error;
            ASSERT_TRUE(builder::FindLevelField(image, &field, &error)) << error;
            EXPECT_EQ(field.level, level);
            const std::string value = "level=\"" + name + "\"" + std::string(28, ' ');
            expected.replace(expected.find("level="), 28, value.substr(0, 28));
            const size_t checksum = 64 + 24 + 64;
            EXPECT_NE(image[checksum], 0x34);
            std::copy_n(image.begin() + checksum, 4, expected.begin() + checksum);
            EXPECT_EQ(image, ToBytes(expected));
        }
    }
}

TEST(ExecutionLevel, ImagesWithoutAFieldAreRefusedUntouched) {
    std::string unpadded = kManifest;
    unpadded.erase(unpadded.find("            uiAccess"), 11);
    std::string longer = kManifest;
    longer.replace(longer.find("asInvoker"), 9, "asInvokerAndMore");
    const char* kNoManifest = "no application manifest";
    const struct {
        std::string image;
        const char* reason;
    } kCases[] = {
        {"MZ but nothing else", "not a Windows program"},
        {PeImage(), kNoManifest},
        {ImageWith(kManifest, {false, 16}), kNoManifest},  // a version resource
        {ImageWith(kManifest, {false, 24, 2}), kNoManifest},
        {ImageWith(kManifest, {false, 24, 1, 0x1000 + 200}), kNoManifest},     // beyond its section
        {ImageWith(kManifest, {false, 24, 1, 0x1000 + 88, 40}), kNoManifest},  // too many entries
        {ImageWith(unpadded), "no level field of 28 bytes"},
        {ImageWith(longer), "no level field of 28 bytes"},
    };
    for (const auto& c : kCases) {
        LevelField field;
        std::string error;
        Bytes image = ToBytes(c.image);
        EXPECT_FALSE(builder::FindLevelField(image, &field, &error));
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        EXPECT_FALSE(builder::SetExecutionLevel(&image, ExecutionLevel::kAsInvoker, &error));
        EXPECT_EQ(image, ToBytes(c.image));
    }
}

TEST(ExecutionLevel, AProgramWithoutAFieldIsKeptOnlyWhenNoLevelIsChosen) {
    Bytes linux = ToBytes(
        "\x7F"
        "ELF a Linux updater");
    const Bytes before = linux;
    std::string error;
    EXPECT_TRUE(builder::PutExecutionLevel(std::nullopt, "pkxupdate", &linux, &error));
    EXPECT_FALSE(
        builder::PutExecutionLevel(ExecutionLevel::kAsInvoker, "pkxupdate", &linux, &error));
    EXPECT_EQ(linux, before);
    EXPECT_NE(error.find("pkxupdate: it is not a Windows program"), std::string::npos) << error;
}

TEST(ExecutionLevel, TheManifestKeyChoosesTheLevelTheInspectorShows) {
    builder::Manifest manifest;
    std::string error;
    ASSERT_TRUE(builder::ParseManifest("execution_level = \"requireAdministrator\"", "m.toml",
                                       &manifest, &error))
        << error;
    builder::Manifest refused;
    EXPECT_FALSE(builder::ParseManifest("execution_level = \"admin\"", "m.toml", &refused, &error));
    Bytes stub = ToBytes(ImageWith(kManifest));
    ASSERT_TRUE(builder::PutExecutionLevel(manifest.executionLevel, "stub.exe", &stub, &error));
    for (const auto& [program, line] :
         {std::pair<Bytes, const char*>{stub,
                                        "execution level requireAdministrator "
                                        "(application manifest)\n"},
          {ToBytes(PeImage()),
           "no execution level: it has no "
           "application manifest"}}) {
        Bytes file;
        ASSERT_TRUE(packwriter::BuildSelfExtracting(
            program, BuildOrFail(FixedFolderModel("C:\\App", "1.0", "2.0")), &file, &error));
        builder::MemorySource source(file);
        const std::string text =
            builder::FormatReport(builder::Inspect(source), "update.exe", std::nullopt);
        EXPECT_NE(text.find(line), std::string::npos) << text;
    }
}

}  // namespace
}  // namespace pkx::test

#endif  // _WIN32
