// The inspector: what it lists of updaters and bare payloads, and how it
// reports damaged and hostile packages without trusting their lengths.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "package/writer/delta_writer.h"
#include "tests/pkxbuild_fixtures.h"
#include "tools/pkxbuild/builder_listing.h"

namespace pkx::test {
namespace {

using builder::InspectReport;
using builder::MemorySource;
using builder::RecordInfo;
using packwriter::PackageLayout;
using packwriter::PackageModel;

InspectReport InspectBytes(const Bytes& bytes) {
    MemorySource source(bytes);
    return builder::Inspect(source);
}

Bytes SelfExtracting(const Bytes& payload) {
    Bytes file;
    std::string error;
    EXPECT_TRUE(packwriter::BuildSelfExtracting(ToBytes("MZ stub"), payload, &file, &error))
        << error;
    return file;
}

PackageModel SmallModel() {
    PackageModel model = FixedFolderModel("C:\\App", "1", "2");
    model.updates.push_back(UpdateRecord("app.exe", Pattern(3000, 1), Pattern(3100, 2)));
    model.adds.push_back(AddRecord("new.txt", "new"));
    model.deletes.push_back(DeleteRecord("old.txt", "old"));
    return model;
}

std::string Problems(const builder::PackageInfo& info) {
    std::string text;
    for (const std::string& problem : info.problems) text += problem + "; ";
    return text;
}

TEST(PkxBuildInspect, ATamperedPackageIsReportedBad) {
    const Bytes package = BuildOrFail(SmallModel());
    Bytes file = SelfExtracting(package);
    InspectReport report = InspectBytes(file);
    EXPECT_TRUE(report.selfExtracting);
    EXPECT_FALSE(report.container);
    ASSERT_TRUE(report.AllGood()) << Problems(report.packages.at(0));
    EXPECT_EQ(report.packages[0].fileOffset, kPayloadOffset);
    EXPECT_EQ(report.packages[0].size, package.size());

    // The program image is not covered by any digest.
    file[10] ^= 0xFF;
    EXPECT_TRUE(InspectBytes(file).AllGood());
    // Any byte of the package is, including the digest itself.
    for (const size_t at : {size_t{0x30}, package.size() / 2, package.size() - 1}) {
        Bytes damaged = file;
        damaged[kPayloadOffset + at] ^= 0x01;
        report = InspectBytes(damaged);
        ASSERT_EQ(report.packages.size(), 1u);
        EXPECT_FALSE(report.packages[0].digestOk) << at;
        EXPECT_FALSE(report.AllGood());
        const std::string text = builder::FormatReport(report, "update.exe", std::nullopt);
        EXPECT_NE(text.find("digest            BAD"), std::string::npos) << text;
        EXPECT_NE(text.find("1 of 1 package BAD"), std::string::npos);
    }
}

TEST(PkxBuildInspect, OnlyTheTamperedPackageOfAContainerIsBad) {
    const Bytes first = BuildOrFail(SmallModel());
    PackageModel secondModel = SmallModel();
    secondModel.oldVersionLabel = "1.5";
    const Bytes second = BuildOrFail(secondModel);
    Bytes payload = ContainerOf({first, second});
    payload[payload.size() - 40] ^= 0x80;

    for (const Bytes& bytes : {payload, SelfExtracting(payload)}) {
        const InspectReport report = InspectBytes(bytes);
        EXPECT_TRUE(report.container);
        ASSERT_EQ(report.packages.size(), 2u);
        EXPECT_TRUE(report.packages[0].digestOk);
        EXPECT_EQ(report.packages[0].oldVersionLabel, "1");
        EXPECT_FALSE(report.packages[1].digestOk);
        EXPECT_EQ(report.packages[1].oldVersionLabel, "1.5");
        EXPECT_EQ(report.packages[1].fileOffset + report.packages[1].size, bytes.size());
    }
}

TEST(PkxBuildInspect, StreamStatisticsAddUpToTheNewFiles) {
    TempFolder oldFolder, newFolder;
    const Files newFiles = {{"big.bin", Edited(Pattern(200000, 3), 1000, 3000, 4) + "tail"},
                            {"small.txt", "changed text"}};
    Install(oldFolder.path(), {{"big.bin", Pattern(200000, 3)}, {"small.txt", "text"}});
    Install(newFolder.path(), newFiles);
    const Bytes payload =
        BuildFolders(FolderRequest({&oldFolder}, newFolder, builder::Manifest())).payload;
    const InspectReport report = InspectBytes(payload);
    ASSERT_TRUE(report.AllGood());
    const std::vector<RecordInfo>& records = report.packages.at(0).records;
    ASSERT_EQ(records.size(), 2u);
    for (const RecordInfo& record : records) {
        SCOPED_TRACE(record.name);
        EXPECT_EQ(record.kind, RecordInfo::kUpdate);
        EXPECT_EQ(record.stream.opcodes[0], 1u);  // one OP_END
        EXPECT_EQ(record.stream.copiedBytes + record.stream.literalBytes,
                  newFiles.at(record.name).size());
    }
    // The large file is mostly copied from the old one.
    EXPECT_GT(records[0].stream.copiedBytes, 190000u);
    EXPECT_LT(records[0].dataSize, 10000u);
}

// Builds `model`, changes one field, and puts the digest right again, so that
// only the field can give the damage away.
Bytes Patched(const PackageModel& model,
              const std::function<void(Bytes&, const PackageLayout&)>& patch) {
    PackageLayout layout;
    Bytes bytes = BuildOrFail(model, &layout);
    patch(bytes, layout);
    EXPECT_TRUE(packwriter::RefreshDigest(bytes));
    return bytes;
}

TEST(PkxBuildInspect, DamagedStructureIsReportedNotTrusted) {
    const PackageModel model = SmallModel();
    struct Case {
        const char* what;
        Bytes bytes;
        const char* problem;
    };
    PackageModel noEnd = model;
    noEnd.updates[0].data =
        packwriter::DeltaStreamWriter(64).LiteralBytes(ToBytes("abc").data(), 3).Take();
    PackageModel longPiece = model;
    longPiece.updates[0].data = packwriter::DeltaStreamWriter(2)
                                    .Opcode(OP_LITERAL_BYTES)
                                    .RawU32(3)
                                    .Raw("abc", 3)
                                    .End()
                                    .Take();
    PackageModel askFirst = model;
    askFirst.folderSources.insert(askFirst.folderSources.begin(), packwriter::FolderSourceModel{});
    const std::vector<Case> cases = {
        {"huge counts",
         Patched(model,
                 [](Bytes& b, const PackageLayout& l) {
                     packwriter::PatchU32(b, l.countsOffset, 0xFFFFFFF0u);
                 }),
         "the record counts exceed the package"},
        {"data outside",
         Patched(model,
                 [](Bytes& b, const PackageLayout& l) {
                     // The data offset of the add record: after its name, new value and time.
                     packwriter::PatchU32(b, l.addRecordOffsets[0] + 1 + 7 + 16 + 8, 0xFFFFFF00u);
                 }),
         "the data of new.txt lies outside the package"},
        {"version 151",
         Patched(model, [](Bytes& b, const PackageLayout&) { packwriter::PatchU16(b, 4, 151); }),
         "format version 151 is newer"},
        {"cut header",
         Patched(model,
                 [](Bytes& b, const PackageLayout& l) {
                     packwriter::Truncate(b, l.folderSourcesOffset + 16);
                 }),
         "the package ends inside its header"},
        {"no OP_END", BuildOrFail(noEnd), "the stream ends without OP_END"},
        {"piece over the block size", BuildOrFail(longPiece), "exceeds the block size"},
        {"ask before another source", BuildOrFail(askFirst), "folder sources follow"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const InspectReport report = InspectBytes(c.bytes);
        ASSERT_EQ(report.packages.size(), 1u);
        EXPECT_TRUE(report.packages[0].digestOk);
        EXPECT_FALSE(report.AllGood());
        EXPECT_NE(Problems(report.packages[0]).find(c.problem), std::string::npos)
            << Problems(report.packages[0]);
    }
}

TEST(PkxBuildInspect, DamagedContainersAndStrangersAreReported) {
    const Bytes package = BuildOrFail(SmallModel());
    {
        // Two entries announced, the second cut short.
        Bytes payload = ContainerOf({package, package});
        packwriter::Truncate(payload, 6 + 8 + 4);
        const InspectReport report = InspectBytes(payload);
        EXPECT_NE(report.problem.find("index ends after 1 of 2 entries"), std::string::npos)
            << report.problem;
        EXPECT_FALSE(report.AllGood());
    }
    {
        // An entry before the payload, then one past the end of the file.
        Bytes payload = ContainerOf({package, package});
        packwriter::PatchU32(payload, 6 + 8, 0x100);
        const InspectReport report = InspectBytes(payload);
        ASSERT_EQ(report.packages.size(), 2u);
        EXPECT_NE(Problems(report.packages[1]).find("lies before the payload"), std::string::npos);
        EXPECT_FALSE(report.AllGood());
        packwriter::PatchU32(payload, 6 + 8,
                             kPayloadOffset + static_cast<uint32_t>(payload.size()));
        EXPECT_NE(Problems(InspectBytes(payload).packages[1]).find("beyond the end of the file"),
                  std::string::npos);
    }
    {
        const InspectReport empty = InspectBytes(ContainerOf({}));
        EXPECT_TRUE(empty.container);
        EXPECT_TRUE(empty.packages.empty());
        EXPECT_TRUE(empty.AllGood());
    }
    for (const Bytes& stranger :
         {ToBytes("MZ just a program"), Bytes(kPayloadOffset + 64, 0x41), ToBytes("PKX")}) {
        const InspectReport report = InspectBytes(stranger);
        EXPECT_NE(report.problem.find("neither an updater nor a package"), std::string::npos);
        EXPECT_FALSE(report.AllGood());
    }
    {
        // A "PKX " package of fewer bytes than a header and a digest.
        const InspectReport report = InspectBytes(ToBytes("PKX \x96"));
        ASSERT_EQ(report.packages.size(), 1u);
        EXPECT_NE(Problems(report.packages[0]).find("shorter than a header"), std::string::npos);
    }
}

TEST(PkxBuildInspect, TheReportListsTheRecordsLikeAnArchiveListing) {
    Bytes file = SelfExtracting(BuildOrFail(SmallModel()));
    const std::string path = "update.exe";
    const std::string text = builder::FormatReport(InspectBytes(file), path, std::nullopt);
    for (const char* expected :
         {"update.exe: self-extracting updater", "single package", "format version    150",
          "labels            \"1\" -> \"2\"", "folder sources    1", "path no folder \"C:\\App\"",
          "records           1 update, 1 add, 1 delete", "\"app.exe\"", "stream v100, block 64:",
          "add     ", "\"new.txt\"", "delete           -           -  \"old.txt\"",
          "digest            OK", "1 package, all OK"}) {
        EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
    }
}

}  // namespace
}  // namespace pkx::test

#endif  // _WIN32
