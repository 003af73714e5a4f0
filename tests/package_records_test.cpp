// The update, add and delete records after the header.
#include "package_test_helpers.h"
#include "recording_ui.h"
#include "worker_fixtures.h"

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

// Only a flag of 1 means new check values, 16 bytes in each update and add record.
TEST(FileEntriesTest, RecordsWithoutNewCheckValuesAre16BytesShorter) {
    PackageTempFolder folder;
    for (const uint8_t flag : {0, 1, 2}) {
        SCOPED_TRACE(int{flag});
        PackageLayout layout;
        const Bytes package = Build(RecordModel(150, flag), &layout);
        EXPECT_EQ(layout.updateRecordOffsets[1] - layout.updateRecordOffsets[0],
                  flag == 1 ? 1 + 5 + 48u : 1 + 5 + 32u);
        PackageReading reading;
        ReadBarePackage(folder.Write("records.pkx", package), reading);
        ASSERT_EQ(reading.code, 0u);
        ASSERT_EQ(reading.lists.updates.size(), 2u);
        ASSERT_EQ(reading.lists.adds.size(), 2u);
        ASSERT_EQ(reading.lists.deletes.size(), 1u);
        EXPECT_STREQ(reading.lists.updates[1].name, "b.dll");
        EXPECT_EQ(Hex(reading.lists.updates[1].oldCheckValue), Hex(Filled(2)));
        EXPECT_EQ(Hex(reading.lists.updates[1].newCheckValue),
                  Hex(flag == 1 ? Filled(102) : CheckValue()));
        EXPECT_EQ(reading.lists.updates[1].dataOffset, layout.updateDataOffsets[1]);
        EXPECT_STREQ(reading.lists.adds[1].name, "empty.txt");
        EXPECT_EQ(reading.lists.adds[1].dataSize, 0u);
        EXPECT_EQ(Hex(reading.lists.deletes[0].oldCheckValue), Hex(Filled(5)));
    }
}

// Cancel is looked at before each record: pressed at the k-th look, the
// records before it are all that is read.
TEST(FileEntriesTest, CancelIsSeenBeforeEachRecord) {
    PackageTempFolder folder;
    const std::string path = folder.Write("cancel.pkx", Build(RecordModel(150, 1)));
    for (uint64_t at = 1; at <= 5; ++at) {
        SCOPED_TRACE(at);
        CancelAtPoll cancel{at};
        const CancelHookScope hook(&cancel);
        PackageReading reading;
        ReadBarePackage(path, reading);
        EXPECT_EQ(reading.code, result::kCancelled);
        EXPECT_EQ(reading.stage, Stage::kRecords);
        const FileEntryLists& lists = reading.lists;
        EXPECT_EQ(lists.updates.size() + lists.adds.size() + lists.deletes.size(), at - 1);
    }
}

// The record counts are bounded by the package's end: records of the smallest
// size that exactly fill it are read, one byte less is refused.
TEST(FileEntriesTest, MinimalRecordsExactlyFillingTheSpaceAreRead) {
    PackageModel model = BareModel();
    model.hasNewCheckValues = 1;
    model.updates.assign(2, {"", Filled(1), Filled(2), {1, 2}, Bytes()});
    model.adds.assign(1, {"", Filled(3), {3, 4}, Bytes()});
    model.deletes.assign(3, {"", Filled(4)});
    PackageLayout layout;
    Bytes package = Build(model, &layout);
    ASSERT_EQ(layout.digestOffset - layout.recordsOffset, 2 * 49u + 33u + 3 * 17u);
    PackageTempFolder folder;
    for (const bool fits : {true, false}) {
        packwriter::Truncate(package, layout.digestOffset - (fits ? 0 : 1));
        PackageReading reading;
        ReadBarePackage(folder.Write("minimal.pkx", package), reading);
        EXPECT_EQ(reading.code, fits ? result::kSuccess : result::kReadProgramFile);
        EXPECT_EQ(reading.stage, Stage::kRecords);
        EXPECT_EQ(reading.lists.deletes.size(), fits ? 3u : 0u);
        EXPECT_EQ(reading.lists.updates.size(), fits ? 2u : 0u) << "refused before any record";
    }
}

}  // namespace
}  // namespace pkx::test
