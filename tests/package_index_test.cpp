// The payload at 0x1F000: one package or a "LUMP" index of several.
#include "package_test_helpers.h"
#include "tests/test_support.h"

namespace pkx::test {
namespace {

using packwriter::Bytes;
using packwriter::PackageModel;

Bytes SmallPackage(const std::string& oldLabel, size_t dataSize) {
    PackageModel model = BareModel();
    model.oldVersionLabel = oldLabel;
    model.adds.push_back({"file.bin", CheckValue(), FileTime(), Bytes(dataSize, 0xAB)});
    return Build(model);
}

struct IndexReading {
    std::unique_ptr<ApplyContext> context = std::make_unique<ApplyContext>();
    ResultCode code = 0;
};

IndexReading ReadIndex(const std::string& path) {
    IndexReading reading;
    // Left-overs of an earlier run must not survive.
    reading.context->packages.resize(3);
    reading.context->multiPackage = 1;
    BinaryFile file;
    EXPECT_EQ(file.OpenRead(path.c_str(), kShareRead, kAttributeNormal), 0u);
    reading.code = ReadPackageIndex(file, *reading.context);
    return reading;
}

TEST(PackageIndexTest, ContainerListsAbsoluteOffsetsInOrder) {
    const std::vector<Bytes> packages = {SmallPackage("1.0", 100), SmallPackage("2.0", 70000),
                                         SmallPackage("3.0", 5)};
    packwriter::ContainerOptions options;
    options.alignment = 0x10000;
    Bytes payload;
    ASSERT_TRUE(packwriter::BuildContainer(packages, &payload, options));
    PackageTempFolder folder;
    const IndexReading reading = ReadIndex(folder.WriteProgram("lump.exe", payload));
    ASSERT_EQ(reading.code, 0u);
    EXPECT_EQ(reading.context->multiPackage, 1u);
    EXPECT_EQ(reading.context->packageCount, 3);
    ASSERT_EQ(reading.context->packages.size(), 3u);
    const std::vector<uint32_t> offsets = {0x20000, 0x30000, 0x50000};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(reading.context->packages[i].offset, offsets[i]) << i;
        EXPECT_EQ(reading.context->packages[i].size, packages[i].size()) << i;
    }

    // Each package's header is found at its own offset.
    PackageReading second;
    BinaryFile file;
    ASSERT_EQ(file.OpenRead(folder.Path("lump.exe").c_str(), kShareRead, kAttributeNormal), 0u);
    PackageRef ref = reading.context->packages[1];
    ReadPackageBody(file, ref, *second.context, second);
    ASSERT_EQ(second.code, 0u);
    EXPECT_STREQ(ref.oldVersionLabel, "2.0");
}

// Payloads that list one package, none or stop part-way: the code, the
// multi-package flag and the packages listed before the end (-1: neither
// looked at; -2: the flag alone not looked at). A lone package runs to the
// end of the file.
TEST(PackageIndexTest, PayloadsThatListLittleOrNothing) {
    const Bytes single = SmallPackage("1.0", 10000);
    const uint32_t singleSize = static_cast<uint32_t>(single.size());
    Bytes empty;
    ASSERT_TRUE(packwriter::BuildContainer({}, &empty));
    EXPECT_EQ(empty, (Bytes{'L', 'U', 'M', 'P', 0, 0}));
    using Listed = std::vector<std::pair<uint32_t, uint32_t>>;
    const struct {
        const char* what;
        Bytes payload;
        bool bare;  // the file is the payload alone, without a program image
        ResultCode code;
        int multi;
        Listed listed;
    } cases[] = {
        {"one package", single, false, 0, 0, {{kPayloadOffset, singleSize}}},
        {"empty container", empty, false, 0, 1, {}},
        // Two entries listed; the second size is cut after two bytes.
        {"entry cut short",
         {'L', 'U', 'M', 'P', 2, 0, 0, 0, 2, 0, 0xD2, 4, 0, 0, 0, 0, 3, 0, 0, 0},
         false,
         result::kReadProgramFile,
         -2,
         {{0x20000, 1234}}},
        {"no count", {'L', 'U', 'M', 'P', 1}, false, result::kReadProgramFile, -2, {}},
        {"PKX NUL", {'P', 'K', 'X', 0}, false, result::kNotAPackage, 0, {}},
        {"PKXX", {'P', 'K', 'X', 'X'}, false, result::kNotAPackage, 0, {}},
        {"lower case", {'p', 'k', 'x', ' '}, false, result::kNotAPackage, 0, {}},
        {"LUMp", {'L', 'U', 'M', 'p'}, false, result::kNotAPackage, 0, {}},
        {"zeros", {0, 0, 0, 0}, false, result::kNotAPackage, 0, {}},
        {"reversed", {' ', 'X', 'K', 'P'}, false, result::kNotAPackage, 0, {}},
        {"no payload", {}, false, result::kReadProgramFile, -1, {}},
        {"one byte", {'P'}, false, result::kReadProgramFile, -1, {}},
        {"three bytes", {'P', 'P', 'P'}, false, result::kReadProgramFile, -1, {}},
        {"an image shorter than the payload offset",
         {'M', 'Z'},
         true,
         result::kReadProgramFile,
         -1,
         {}},
    };
    PackageTempFolder folder;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes payload = c.payload;
        if (c.code == result::kNotAPackage) payload.resize(64, 0);
        const IndexReading reading = ReadIndex(c.bare ? folder.Write("index.exe", payload)
                                                      : folder.WriteProgram("index.exe", payload));
        EXPECT_EQ(reading.code, c.code);
        if (c.multi == -1) continue;
        if (c.multi >= 0) {
            EXPECT_EQ(reading.context->multiPackage, uint32_t(c.multi));
        }
        Listed listed;
        for (const PackageRef& ref : reading.context->packages) {
            listed.emplace_back(ref.offset, ref.size);
        }
        EXPECT_EQ(listed, c.listed);
        if (c.code == 0) {
            EXPECT_EQ(reading.context->packageCount, c.listed.size());
        }
    }
}

// A signed updater: a PE image whose security directory names the
// certificate table appended behind the payload.
Bytes SignedProgram(const Bytes& payload, uint32_t tableSize) {
    const uint32_t table = kPayloadOffset + static_cast<uint32_t>(payload.size());
    const std::string image = PeImage(table, tableSize);
    Bytes file;
    EXPECT_TRUE(packwriter::BuildSelfExtracting(Bytes(image.begin(), image.end()), payload, &file));
    file.resize(file.size() + tableSize, 0x30);
    return file;
}

TEST(PackageIndexTest, SigningLeavesAContainersNamedSizesAlone) {
    const std::vector<Bytes> packages = {SmallPackage("1.0", 100), SmallPackage("2.0", 300)};
    Bytes payload;
    ASSERT_TRUE(packwriter::BuildContainer(packages, &payload));
    PackageTempFolder folder;
    const IndexReading reading =
        ReadIndex(folder.Write("signed-lump.exe", SignedProgram(payload, 1000)));
    ASSERT_EQ(reading.code, 0u);
    ASSERT_EQ(reading.context->packages.size(), 2u);
    EXPECT_EQ(reading.context->packages[1].size, packages[1].size());
}

TEST(PackageIndexTest, AFailedReadOfTheProgramImageIsAReadFailure) {
    PackageTempFolder folder;
    const Bytes package = SmallPackage("1.0", 10);
    const std::string path = folder.Write("signed.exe", SignedProgram(package, 800));
    // Read 1 is the payload magic, 2 and 3 the PE headers; seek 4 goes back
    // to the magic, after the package was listed (as in an unsigned file).
    struct Fault {
        uint64_t call;
        Operation kind;
        size_t listed;
    };
    const Fault faults[] = {{0, Operation::kRead, 1},
                            {2, Operation::kRead, 0},
                            {3, Operation::kRead, 0},
                            {4, Operation::kSeek, 1}};
    for (const Fault& fault : faults) {
        FaultInjector injector(NativePlatform());
        if (fault.call != 0) injector.FailAt(fault.call, win32err::kReadFault, fault.kind);
        PlatformScope scope(injector);
        const IndexReading reading = ReadIndex(path);
        EXPECT_EQ(reading.code, fault.call == 0 ? 0u : result::kReadProgramFile) << fault.call;
        EXPECT_EQ(reading.context->packages.size(), fault.listed) << fault.call;
    }
}

}  // namespace
}  // namespace pkx::test
