// The update, add and delete records after the header.
#include "package_test_helpers.h"
#include "recording_ui.h"

namespace pkx::test {
namespace {

using packwriter::Bytes;
using packwriter::PackageLayout;
using packwriter::PackageModel;

PackageModel RecordModel(uint16_t version, uint8_t newCheckValues) {
    PackageModel model = BareModel(version);
    model.hasNewCheckValues = newCheckValues;
    model.updates.push_back({"a.exe", Filled(1), Filled(101), {1, 2}, Bytes(30, 1)});
    model.updates.push_back({"b.dll", Filled(2), Filled(102), {3, 4}, Bytes(20, 2)});
    model.adds.push_back({"c.txt", Filled(3), {5, 6}, Bytes(10, 3)});
    model.adds.push_back({"empty.txt", Filled(4), {7, 8}, Bytes()});
    model.deletes.push_back({"d.txt", Filled(5)});
    return model;
}

TEST(FileEntriesTest, RecordsWithoutNewCheckValuesAre16BytesShorter) {
    PackageLayout withLayout;
    PackageLayout withoutLayout;
    const Bytes with = Build(RecordModel(150, 1), &withLayout);
    const Bytes without = Build(RecordModel(130, 0), &withoutLayout);
    EXPECT_EQ(withLayout.updateRecordOffsets[1] - withLayout.updateRecordOffsets[0], 1 + 5 + 48u);
    EXPECT_EQ(withoutLayout.updateRecordOffsets[1] - withoutLayout.updateRecordOffsets[0],
              1 + 5 + 32u);

    PackageTempFolder folder;
    PackageReading reading;
    ReadBarePackage(folder.Write("v130.pkx", without), reading);
    ASSERT_EQ(reading.code, 0u);
    ASSERT_EQ(reading.lists.updates.size(), 2u);
    ASSERT_EQ(reading.lists.adds.size(), 2u);
    ASSERT_EQ(reading.lists.deletes.size(), 1u);
    EXPECT_EQ(Hex(reading.lists.updates[1].oldCheckValue), Hex(Filled(2)));
    EXPECT_EQ(Hex(reading.lists.updates[1].newCheckValue), Hex(CheckValue()));
    EXPECT_EQ(reading.lists.updates[1].writeTime.high, 4u);
    EXPECT_EQ(reading.lists.updates[1].dataOffset, withoutLayout.updateDataOffsets[1]);
    EXPECT_EQ(Hex(reading.lists.adds[0].newCheckValue), Hex(CheckValue()));
    EXPECT_STREQ(reading.lists.adds[1].name, "empty.txt");
    EXPECT_EQ(reading.lists.adds[1].dataSize, 0u);
    EXPECT_EQ(Hex(reading.lists.deletes[0].oldCheckValue), Hex(Filled(5)));
    EXPECT_EQ(reading.lists.deletes[0].dataOffset, 0u);

    // A flag other than 1 means no new check values.
    PackageModel two = RecordModel(150, 2);
    PackageReading other;
    ReadBarePackage(folder.Write("flag2.pkx", Build(two)), other);
    ASSERT_EQ(other.code, 0u);
    EXPECT_EQ(Hex(other.lists.updates[0].newCheckValue), Hex(CheckValue()));
    EXPECT_STREQ(other.lists.updates[1].name, "b.dll");
}

struct RecordsOnly {
    std::unique_ptr<ApplyContext> context = std::make_unique<ApplyContext>();
    RecordCounts counts;
    FileEntryLists lists;
};

// Opens a bare package and positions it at its first record.
void OpenAtRecords(const std::string& path, uint32_t recordsOffset, uint32_t countsOffset,
                   BinaryFile& file, RecordsOnly& out) {
    ASSERT_EQ(file.OpenRead(path.c_str(), kShareRead, kAttributeNormal), 0u);
    ASSERT_EQ(file.Seek(static_cast<int32_t>(countsOffset), kFileBegin), countsOffset);
    ASSERT_EQ(file.ReadU32(&out.counts.updates), 0u);
    ASSERT_EQ(file.ReadU32(&out.counts.adds), 0u);
    ASSERT_EQ(file.ReadU32(&out.counts.deletes), 0u);
    ASSERT_EQ(file.Seek(0, kFileCurrent), recordsOffset);
    out.context->hasNewCheckValues = 1;
}

// The record counts are bounded by the bytes before the digest: records of
// the smallest size that exactly fill them are read, one byte less is refused.
TEST(FileEntriesTest, MinimalRecordsExactlyFillingTheSpaceAreRead) {
    PackageModel model = BareModel();
    model.hasNewCheckValues = 1;
    model.updates.assign(2, {"", Filled(1), Filled(2), {1, 2}, Bytes()});
    model.adds.assign(1, {"", Filled(3), {3, 4}, Bytes()});
    model.deletes.assign(3, {"", Filled(4)});
    PackageLayout layout;
    const Bytes package = Build(model, &layout);
    ASSERT_EQ(layout.digestOffset - layout.recordsOffset, 2 * 49u + 33u + 3 * 17u);
    PackageTempFolder folder;
    const std::string path = folder.Write("minimal.pkx", package);
    for (const uint32_t end : {layout.digestOffset, layout.digestOffset - 1}) {
        RecordsOnly records;
        BinaryFile file;
        OpenAtRecords(path, layout.recordsOffset, layout.countsOffset, file, records);
        PackageOnFile bytes(file, layout.recordsOffset, end);
        const bool fits = end == layout.digestOffset;
        EXPECT_EQ(ReadFileEntries(bytes.in, records.counts, *records.context, &records.lists),
                  fits ? result::kSuccess : result::kReadProgramFile);
        EXPECT_EQ(records.lists.deletes.size(), fits ? 3u : 0u);
        EXPECT_EQ(records.lists.updates.size(), fits ? 2u : 0u) << "refused before any record";
    }
}

}  // namespace
}  // namespace pkx::test
