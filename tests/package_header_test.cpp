// The package header: field by field, at every version gate, and the rules by
// which language and notice blocks are chosen.
#include <cstring>
#include <tuple>

#include "package_test_helpers.h"
#include "recording_ui.h"
#include "texts/text_table.h"

namespace pkx::test {
namespace {

using packwriter::Bytes;
using packwriter::FolderSourceModel;
using packwriter::LanguageBlockModel;
using packwriter::NoticeBlockModel;
using packwriter::PackageLayout;
using packwriter::PackageModel;

// Resource text `id` of the table a system of `codePage` uses.
std::string Resource(uint32_t id, uint32_t codePage) {
    CodePageScope scope(codePage);
    char buffer[kTextBufferSize] = {};
    LoadResourceText(id, buffer, sizeof(buffer));
    return buffer;
}

// Every slot holds "old<id>" before a package is read, to show what it replaced.
void MarkTexts(ApplyContext& context) {
    for (uint32_t id = 1000; id < 1074; ++id) {
        std::strcpy(context.texts[id], ("old" + std::to_string(id)).c_str());
    }
}

// The built-in texts and font of the table a system of `codePage` uses.
void ExpectDefaults(const ApplyContext& context, uint32_t codePage = 1252) {
    const bool japanese = codePage == 932;
    EXPECT_EQ(context.textCodePage, japanese ? 932u : 1252u);
    EXPECT_STREQ(context.fontFace, japanese ? kDefaultFontFace : "Arial");
    EXPECT_EQ(context.fontHeight, 12);
    EXPECT_STREQ(context.texts[1000], "&OK");
    for (uint32_t id = 1000; id < 1074; ++id) {
        std::string text = Resource(id, codePage);
        ConvertLineBreaks(&text[0]);
        EXPECT_EQ(context.texts[id], text) << id;
    }
}

// Reads `package` (bare) over marked texts on a system of `codePage`.
std::unique_ptr<PackageReading> ReadMarked(const Bytes& package, uint32_t codePage) {
    CodePageScope scope(codePage);
    PackageTempFolder folder;
    auto reading = std::make_unique<PackageReading>();
    MarkTexts(*reading->context);
    ReadBarePackage(folder.Write("package.pkx", package), *reading);
    return reading;
}

class GateRoundTrip : public ::testing::TestWithParam<uint16_t> {};

void ExpectSameSource(const FolderSource& read, const FolderSourceModel& written,
                      uint16_t version) {
    EXPECT_EQ(read.kind, written.kind);
    if (written.kind >= 1 && written.kind <= 3) {
        EXPECT_EQ(read.index, written.index);
        EXPECT_EQ(read.text1, written.text1);
        EXPECT_EQ(read.text2, written.kind != 3 ? written.text2 : "");
        EXPECT_EQ(read.text3, written.kind == 2 ? written.text3 : "");
    }
    const size_t lookups = written.kind == 4 && version >= 120 ? written.lookups.size() : 0;
    ASSERT_EQ(read.lookups.size(), lookups);
    const auto fields = [](const auto& step) {
        return std::make_tuple(int{step.stepKind}, int{step.index}, std::string(step.text1),
                               std::string(step.text2), std::string(step.text3),
                               int{step.resultSlot});
    };
    for (size_t i = 0; i < lookups; ++i) {
        EXPECT_EQ(fields(read.lookups[i]), fields(written.lookups[i]));
    }
}

void ExpectTexts(const ApplyContext& context, uint16_t version) {
    if (version < 120) {
        ExpectDefaults(context);
        return;
    }
    // The 1252 block is chosen on a 1252 system.
    EXPECT_EQ(context.textCodePage, 1252u);
    EXPECT_STREQ(context.fontFace, "Face1252");
    EXPECT_EQ(context.fontHeight, 14);
    // Line breaks written as \n become CR LF; a lone backslash stays.
    EXPECT_STREQ(context.texts[1005], "one\r\ntwo\r\n");
    EXPECT_STREQ(context.texts[1006], "tail\\");
    const uint32_t blockEnd = version >= 130 ? 1074 : 1069;
    for (uint32_t id = 1000; id < blockEnd; ++id) {
        if (id != 1005 && id != 1006) {
            EXPECT_EQ(context.texts[id], "en" + std::to_string(id));
        }
    }
    if (version >= 130) return;
    // A block after the first borrows the English forms of the table.
    for (uint32_t id = 1069; id <= 1071; ++id) {
        EXPECT_EQ(context.texts[id], Resource(id + 1000, 1252)) << id;
    }
    EXPECT_STREQ(context.texts[1072], "old1072");
    EXPECT_STREQ(context.texts[1073], "old1073");
}

void ExpectSameEntry(const FileEntry& read, const std::string& name, const CheckValue& oldValue,
                     const CheckValue& newValue, const FileTime& time, size_t dataSize = 0) {
    EXPECT_EQ(
        std::make_tuple(std::string(read.name), Hex(read.oldCheckValue), Hex(read.newCheckValue),
                        read.writeTime.low, read.writeTime.high, read.alreadyUpdated,
                        size_t{read.dataSize}),
        std::make_tuple(name, Hex(oldValue), Hex(newValue), time.low, time.high, 0u, dataSize));
}

TEST_P(GateRoundTrip, ReadersSeeEveryFieldTheWriterWrote) {
    const uint16_t version = GetParam();
    CodePageScope codePage(1252);
    const PackageModel model = RichModel(version);
    PackageLayout layout;
    const Bytes package = Build(model, &layout);
    PackageTempFolder folder;
    const std::string path = folder.WriteProgram("rich.exe", package);

    PackageReading reading;
    MarkTexts(*reading.context);
    ReadProgramFile(path, reading);
    ASSERT_EQ(reading.code, 0u) << static_cast<int>(reading.stage);
    const ApplyContext& context = *reading.context;
    const PackageRef& ref = context.packages[0];

    EXPECT_EQ(reading.start.version, version);
    const std::vector<std::string> labels = {context.title,       context.oldVersionLabel,
                                             ref.oldVersionLabel, context.newVersionLabel,
                                             ref.newVersionLabel, context.rightsText};
    EXPECT_EQ(labels, (std::vector<std::string>{"Rich Product", "1.0", "1.0", "2.0", "2.0",
                                                "(c) Rich Makers"}));
    EXPECT_EQ(reading.start.passwordFlag, 1);
    EXPECT_EQ(Hex(context.passwordDigest, 16), Hex(packwriter::Md5CheckValue("secret", 6)));
    EXPECT_EQ(context.deleteBackupsDefault, version >= 120 ? 0 : 1);
    ExpectTexts(context, version);

    ASSERT_EQ(reading.sources.size(), model.folderSources.size());
    for (size_t i = 0; i < model.folderSources.size(); ++i) {
        ExpectSameSource(reading.sources[i], model.folderSources[i], version);
    }

    const auto check = [](const auto& c) {
        return std::make_tuple(int{c.kind}, std::string(c.windowTitle), std::string(c.windowClass),
                               std::string(c.processName), int{c.waitFlag});
    };
    const bool checked = version >= 110;
    EXPECT_EQ(check(reading.check), checked ? check(model.runningCheck) : check(RunningCheck()));
    EXPECT_STREQ(context.openAfterName, checked ? "readme.txt" : "");
    // From 140 the 1252 block replaces the before-text; its empty after-text does not.
    const char* const notices[][2] = {
        {"<none>", "<none>"}, {"before\r\ntext", "after"}, {"before-1252", "after-any"}};
    const auto& notice = notices[!checked ? 0 : version < 140 ? 1 : 2];
    EXPECT_EQ(Text(reading.before), notice[0]);
    EXPECT_EQ(Text(reading.after), notice[1]);

    const bool newValues = version >= 140;
    const int options = version >= 120 ? 1 : 0;
    EXPECT_EQ(std::make_tuple(int{context.hasNewCheckValues}, int{context.skipMissingSources},
                              int{context.overwriteExistingAdds}, int{context.skipMissingDeletes},
                              int{reading.counts.checkMode}),
              std::make_tuple(newValues ? 1 : 0, options, options, options, 1));

    const FileEntryLists& lists = reading.lists;
    ASSERT_EQ(lists.updates.size(), 2u);
    ASSERT_EQ(lists.adds.size(), 1u);
    ASSERT_EQ(lists.deletes.size(), 2u);
    const CheckValue none;
    for (size_t i = 0; i < 2; ++i) {
        const auto& update = model.updates[i];
        ExpectSameEntry(lists.updates[i], update.name, update.oldCheckValue,
                        newValues ? update.newCheckValue : none, update.writeTime,
                        update.data.size());
        EXPECT_EQ(lists.updates[i].dataOffset, layout.updateDataOffsets[i]);
        ExpectSameEntry(lists.deletes[i], model.deletes[i].name, model.deletes[i].checkValue, none,
                        FileTime());
    }
    const auto& add = model.adds[0];
    ExpectSameEntry(lists.adds[0], add.name, none, newValues ? add.newCheckValue : none,
                    add.writeTime, add.data.size());
    EXPECT_EQ(lists.adds[0].dataOffset, layout.addDataOffsets[0]);
    // The records end where the first data area begins.
    EXPECT_EQ(reading.position, kPayloadOffset + layout.updateDataOffsets[0]);
}

INSTANTIATE_TEST_SUITE_P(EveryGate, GateRoundTrip,
                         ::testing::Values(0, 109, 110, 119, 120, 129, 130, 139, 140, 149, 150));

TEST(PackageHeaderTest, VersionAbove150IsRefusedAfterTheVersion) {
    PackageModel model = BareModel();
    Bytes package = Build(model);
    ASSERT_TRUE(packwriter::PatchU16(package, 4, 151));
    PackageTempFolder folder;
    PackageReading reading;
    CodePageScope western(1252);
    std::strcpy(reading.context->title, "previous");
    ReadProgramFile(folder.WriteProgram("v151.exe", package), reading);
    EXPECT_EQ(reading.code, result::kUnknownVersion);
    EXPECT_EQ(reading.stage, Stage::kHeaderStart);
    EXPECT_STREQ(reading.context->title, "previous");
    // The error is shown with texts, so the first package still gets the defaults.
    ExpectDefaults(*reading.context);

    // Of the versions beyond the classic ones only 200 is read.
    for (const uint16_t version : {199, 201, 0xFFFF}) {
        ASSERT_TRUE(packwriter::PatchU16(package, 4, version));
        PackageReading beyond;
        ReadProgramFile(folder.WriteProgram("beyond.exe", package), beyond);
        EXPECT_EQ(beyond.code, result::kUnknownVersion) << version;
    }
}

TEST(PackageHeaderTest, EmptyLabelsGetDefaultsInThePackageListOnly) {
    PackageTempFolder folder;
    PackageReading reading;
    ReadProgramFile(folder.WriteProgram("labels.exe", Build(BareModel())), reading);
    ASSERT_EQ(reading.code, 0u);
    EXPECT_STREQ(reading.context->packages[0].oldVersionLabel, "Old Version");
    EXPECT_STREQ(reading.context->packages[0].newVersionLabel, "New Version");
    EXPECT_STREQ(reading.context->oldVersionLabel, "");
    EXPECT_STREQ(reading.context->title, "");
}

// Which language block a system of a code page takes: the last one of its
// code page, else the first; a block of code page 0 counts as none.
struct BlockChoice {
    const char* what;
    std::vector<LanguageBlockModel> blocks;
    uint32_t systemCodePage;
    uint32_t textCodePage;
    std::string face;
    int32_t height;
    std::string text1073;
};

TEST(LanguageBlockTest, ChoiceOfTheBlock) {
    const LanguageBlockModel ja = {932, "Gothic", 12, NumberedTexts("ja")};
    const LanguageBlockModel en = {1252, "Arial", 16, NumberedTexts("en")};
    const std::string face255(255, 'F');
    // clang-format off
    const BlockChoice cases[] = {
        {"western system",          {ja, en}, 1252, 1252, "Arial", 16, "en1073"},
        {"japanese system",         {ja, en}, 932, 932, "Gothic", 12, "ja1073"},
        {"neither: the first",      {ja, en}, 1251, 932, "Gothic", 12, "ja1073"},
        {"last matching wins",      {{1252, "First", 10, NumberedTexts("a")}, {1250, "Other", 11, NumberedTexts("b")}, {1252, "Last", 12, NumberedTexts("c")}}, 1252, 1252, "Last", 12, "c1073"},
        {"code page 0 is none",     {{0, "Zero", 20, NumberedTexts("z")}}, 1252, 1252, "Arial", 12, ""},
        {"the block after it is first", {{0, "Zero", 20, NumberedTexts("z")}, {1250, "Next", 8, NumberedTexts("n")}}, 932, 1250, "Next", 8, "n1073"},
        {"long face name kept whole", {{1252, face255, 9, NumberedTexts("t")}}, 1252, 1252, face255, 9, "t1073"},
    };
    // clang-format on
    for (const BlockChoice& c : cases) {
        SCOPED_TRACE(c.what);
        PackageModel model = BareModel();
        model.languageBlocks = c.blocks;
        const auto reading = ReadMarked(Build(model), c.systemCodePage);
        ASSERT_EQ(reading->code, 0u);
        const ApplyContext& context = *reading->context;
        EXPECT_EQ(context.textCodePage, c.textCodePage);
        EXPECT_EQ(context.fontFace, c.face);
        EXPECT_EQ(context.fontHeight, c.height);
        if (c.text1073.empty()) {
            ExpectDefaults(context);
        } else {
            EXPECT_EQ(context.texts[1073], c.text1073);
            EXPECT_EQ(context.texts[1000], c.text1073.substr(0, c.text1073.size() - 4) + "1000");
        }
    }
}

TEST(LanguageBlockTest, ShortBlocksBorrowTheLateTextsFromTheStringTable) {
    PackageModel one = BareModel(125);
    one.languageBlocks.push_back({1252, "Arial", 9, NumberedTexts("en")});
    const auto first = ReadMarked(Build(one), 1252);
    ASSERT_EQ(first->code, 0u);
    const ApplyContext& context = *first->context;
    EXPECT_STREQ(context.texts[1068], "en1068");
    // The block is the first one: texts 1069 to 1071 of the table in use.
    for (uint32_t id = 1069; id <= 1071; ++id) {
        EXPECT_EQ(context.texts[id], Resource(id, 1252)) << id;
    }
    EXPECT_STREQ(context.texts[1072], "old1072");
    EXPECT_STREQ(context.texts[1073], "old1073");

    // A later block on a 932 system takes the Japanese forms (on a 1252 system
    // the English ones: GateRoundTrip).
    PackageModel two = BareModel(125);
    two.languageBlocks.push_back({932, "Gothic", 9, NumberedTexts("ja")});
    two.languageBlocks.push_back({1252, "Arial", 9, NumberedTexts("en")});
    const auto japanese = ReadMarked(Build(two), 932);
    EXPECT_EQ(japanese->context->textCodePage, 932u);
    for (uint32_t id = 1069; id <= 1071; ++id) {
        EXPECT_EQ(japanese->context->texts[id], Resource(id, 932)) << id;
    }
    EXPECT_NE(Resource(1069, 932), Resource(1069, 1252));
}

TEST(LanguageBlockTest, FailureInsideABlockKeepsWhatWasCopied) {
    PackageModel model = BareModel();
    model.languageBlocks.push_back({1252, "Arial", 9, NumberedTexts("t")});
    PackageLayout layout;
    Bytes package = Build(model, &layout);
    // Cut inside the third text (1002): count, code page, face, height, 2 texts.
    const size_t third = layout.languageBlocksOffset + 3 + 4 + 6 + 1 + 2 * 6;
    packwriter::Truncate(package, third + 3);
    const auto cut = ReadMarked(package, 1252);
    const PackageReading& reading = *cut;
    EXPECT_EQ(reading.code, result::kReadProgramFile);
    EXPECT_EQ(reading.stage, Stage::kHeaderStart);
    // The block had set the code page: no defaults over the partial table.
    EXPECT_EQ(reading.context->textCodePage, 1252u);
    EXPECT_STREQ(reading.context->texts[1001], "t1001");
    EXPECT_STREQ(reading.context->texts[1002], "old1002");
}

// Which notice texts a system of a code page gets: a matching block (code
// page 0 matches any) replaces the texts it holds that are not empty. The
// texts of a block of another code page than 0 enter as the updater holds
// texts: as they are on Windows, in UTF-8 on POSIX.
TEST(NoticeTextTest, MatchingBlocksReplaceNonEmptyTexts) {
#ifdef _WIN32
    const std::string german =
        "gr\xFC\xDF"
        "e";
#else
    const std::string german = "grüße";
#endif
    const std::string latin =
        "gr\xFC\xDF"
        "e";
    const std::vector<NoticeBlockModel> both = {{0, "any-before", "any-after"},
                                                {932, "ja-before", "ja-after"}};
    const struct {
        std::vector<NoticeBlockModel> blocks;
        uint32_t codePage;
        std::string before, after;
    } cases[] = {
        {both, 932, "ja-before", "ja-after"},
        {both, 1252, "any-before", "any-after"},
        // A skipped block of the wrong code page comes before a matching one.
        {{{1250, std::string(5000, 'x'), "y"}, {0, "", "after"}}, 1252, "<none>", "after"},
        {{}, 1252, "<none>", "<none>"},
        {{{1252, latin, ""}, {0, "", ""}}, 1252, german, "<none>"},
        // Code page 0 says nothing: the bytes stay as they are.
        {{{0, latin, ""}}, 1252, latin, "<none>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.before);
        PackageModel model = BareModel();
        model.noticeBlocks = c.blocks;
        const auto reading = ReadMarked(Build(model), c.codePage);
        EXPECT_EQ(reading->code, 0u);
        EXPECT_EQ(Text(reading->before), c.before);
        EXPECT_EQ(Text(reading->after), c.after);
    }
}

}  // namespace
}  // namespace pkx::test
