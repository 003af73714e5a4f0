#include "engine/target_folder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/special_folders.h"
#include "package/writer/package_writer.h"
#include "support/binary_file.h"
#include "tests/package_test_helpers.h"
#include "tests/recording_ui.h"
#include "tests/test_support.h"

namespace pkx {
namespace {

using packwriter::Bytes;
using packwriter::FolderSourceModel;
using packwriter::LookupRecordModel;
using test::CodePageScope;
using test::PackageOnFile;
using test::PlatformScope;
using test::ScriptedPlatform;
using test::ScriptedPrompter;
using test::WindowsCodePages;

constexpr uint8_t kClassesRoot = 0;
constexpr uint8_t kLocalMachine = 2;
constexpr uint8_t kNoFolder = 6;

FolderSourceModel Prompt() { return {0, 0, "", "", "", {}}; }
FolderSourceModel Registry(uint8_t root, const std::string& key, const std::string& name) {
    return {1, root, key, name, "", {}};
}
FolderSourceModel Ini(uint8_t folder, const std::string& file, const std::string& section,
                      const std::string& key) {
    return {2, folder, file, section, key, {}};
}
FolderSourceModel Fixed(uint8_t folder, const std::string& path) {
    return {3, folder, path, "", "", {}};
}
FolderSourceModel Composite(const std::vector<LookupRecordModel>& steps) {
    return {4, 0, "", "", "", steps};
}
FolderSourceModel OfKind(uint8_t kind) { return {kind, 0, "", "", "", {}}; }

LookupRecordModel RegistryStep(uint8_t root, const std::string& key, const std::string& name,
                               uint8_t slot) {
    return {1, root, key, name, "unused", slot};
}
LookupRecordModel IniStep(uint8_t folder, const std::string& file, const std::string& section,
                          const std::string& key, uint8_t slot) {
    return {2, folder, file, section, key, slot};
}

class TargetFolderTest : public ::testing::Test {
  protected:
    struct Outcome {
        ResultCode result = 0xDEADu;
        uint32_t position = 0;  // where reading stopped, from the package start
        uint32_t listEnd = 0;   // where the list ends: the running check
    };

    TargetFolderTest() {
        context_->events = &events_;
        context_->prompts = &prompter_;
        const char* paths[kSpecialFolderCount] = {"C:\\WINDOWS",           "C:\\WINDOWS\\system32",
                                                  "C:\\Program Files",     "C:\\",
                                                  "C:\\Users\\u\\Desktop", ""};
        for (uint32_t i = 0; i < kSpecialFolderCount; ++i) {
            std::strcpy(folders_.paths[i], paths[i]);
        }
    }

    Bytes Build(const std::vector<FolderSourceModel>& sources, uint16_t version,
                packwriter::PackageLayout* layout) {
        packwriter::PackageModel model;
        model.version = version;
        model.title = "Sample";
        model.folderSources = sources;
        Bytes bytes;
        std::string error;
        EXPECT_TRUE(packwriter::BuildPackage(model, &bytes, layout, &error)) << error;
        return bytes;
    }

    // Writes `bytes`, reads the list from `listOffset` and notes where reading stopped.
    Outcome ResolveBytes(const Bytes& bytes, uint32_t listOffset, uint16_t version) {
        Outcome outcome;
        EXPECT_EQ(0u, packwriter::WriteFileBytes(path_.c_str(), bytes));
        BinaryFile file;
        EXPECT_EQ(0u, file.OpenRead(path_.c_str(), kShareRead, kAttributeNormal));
        EXPECT_EQ(listOffset, file.Seek(static_cast<int32_t>(listOffset), kFileBegin));
        PackageOnFile cursor(file, listOffset, bytes.size());
        FolderSourceList list(cursor.in, version);
        outcome.result = ResolveTargetFolder(list, *context_, folders_);
        outcome.position = file.Seek(0, kFileCurrent);
        return outcome;
    }

    Outcome Resolve(const std::vector<FolderSourceModel>& sources, uint16_t version = 150) {
        packwriter::PackageLayout layout;
        const Bytes bytes = Build(sources, version, &layout);
        Outcome outcome = ResolveBytes(bytes, layout.folderSourcesOffset, version);
        outcome.listEnd = layout.runningCheckOffset;
        return outcome;
    }

    // Resolves `sources`; the list is read to its end whatever the outcome.
    void ExpectResolves(const std::vector<FolderSourceModel>& sources, ResultCode expected,
                        const char* folder = nullptr, uint16_t version = 150) {
        const Outcome outcome = Resolve(sources, version);
        EXPECT_EQ(expected, outcome.result);
        if (folder) {
            EXPECT_EQ(folder, Folder());
        }
        EXPECT_EQ(outcome.listEnd, outcome.position);
    }

    std::string Folder() const { return context_->targetFolder; }
    void SetFolder(const std::string& folder) {
        std::strcpy(context_->targetFolder, folder.c_str());
    }

    ScriptedPlatform platform_;
    PlatformScope scope_{platform_};
    CodePageScope codePage_{1252};
    std::unique_ptr<ApplyContext> context_ = std::make_unique<ApplyContext>();
    test::RecordingEvents events_;
    ScriptedPrompter prompter_;
    SpecialFolders folders_;
    test::TempFolder temp_;
    const std::string path_ = temp_ / "sources.bin";
};

TEST_F(TargetFolderTest, RegistryHitLeavesLaterSourcesUnaskedButRead) {
    platform_.SetRegistryValue(RegistryRoot::kLocalMachine, "Software\\Vendor\\App", "Dir",
                               "C:\\App");
    ExpectResolves({Registry(kLocalMachine, "Software\\Vendor\\App", "Dir"),
                    Ini(0, "app.ini", "Paths", "InstallDir"), Prompt(),
                    Composite({RegistryStep(1, "a", "b", 0)})},
                   result::kSuccess, "C:\\App\\");
    EXPECT_EQ(1u, platform_.registryLookups.size());
    EXPECT_TRUE(platform_.iniLookups.empty());
    EXPECT_TRUE(prompter_.folderPromptInitialTexts.empty());
    EXPECT_EQ(260u, platform_.registrySizes[0]);
}

TEST_F(TargetFolderTest, EmptyOrMissingRegistryValueTriesTheNextSource) {
    platform_.SetRegistryValue(RegistryRoot::kCurrentUser, "Software\\A", "Dir", "");
    platform_.SetRegistryValue(RegistryRoot::kClassesRoot, "App", "Dir",
                               std::string("D:\\Stored\0", 10));
    ExpectResolves({Registry(1, "Software\\A", "Dir"), Registry(2, "Software\\Missing", "Dir"),
                    Registry(kClassesRoot, "App", "Dir")},
                   result::kSuccess, "D:\\Stored\\");
    EXPECT_EQ(3u, platform_.registryLookups.size());
}

TEST_F(TargetFolderTest, LastEvaluatedSourceDecidesTheFailure) {
    // A registry source empties the folder before its query, so the prompt starts empty.
    SetFolder("C:\\Previous\\");
    ExpectResolves({Registry(2, "Software\\Missing", "Dir"), Prompt()}, result::kCancelled);
    ASSERT_EQ(1u, prompter_.folderPromptInitialTexts.size());
    EXPECT_EQ("", prompter_.folderPromptInitialTexts[0]);

    ExpectResolves({Prompt(), Registry(2, "Software\\Missing", "Dir")}, result::kNoTargetFolder);
    // A kind without meaning leaves the cancellation standing.
    ExpectResolves({Prompt(), OfKind(9)}, result::kCancelled);
    ExpectResolves({Prompt(), Fixed(2, "Vendor\\App")}, result::kSuccess,
                   "C:\\Program Files\\Vendor\\App\\");
    EXPECT_EQ(4u, prompter_.folderPromptInitialTexts.size());
}

TEST_F(TargetFolderTest, ConfirmedPromptEndsTheListUnread) {
    prompter_.AcceptFolder("D:\\Games");
    const std::vector<FolderSourceModel> head = {Registry(2, "Software\\Missing", "Dir"), Prompt()};
    std::vector<FolderSourceModel> sources = head;
    sources.push_back(Fixed(3, "Other"));
    sources.push_back(Registry(2, "Software\\Other", "Dir"));

    const Outcome outcome = Resolve(sources);
    EXPECT_EQ(result::kSuccess, outcome.result);
    EXPECT_EQ("D:\\Games\\", Folder());
    EXPECT_EQ(1u, platform_.registryLookups.size());
    // Reading stopped right after the prompt's kind byte.
    packwriter::PackageLayout headLayout;
    Build(head, 150, &headLayout);
    EXPECT_EQ(headLayout.runningCheckOffset, outcome.position);
    EXPECT_LT(outcome.position, outcome.listEnd);
}

TEST_F(TargetFolderTest, IniPathFollowsTheFolderIndex) {
    platform_.SetIniValue("C:\\WINDOWS\\app.ini", "Paths", "Dir", "C:\\FromWindowsIni");
    ExpectResolves({Ini(0, "app.ini", "Paths", "Dir")}, result::kSuccess, "C:\\FromWindowsIni\\");

    platform_.SetIniValue("app.ini", "Paths", "Dir", "C:\\FromPlainIni\\");
    ExpectResolves({Ini(kNoFolder, "app.ini", "Paths", "Dir")}, result::kSuccess,
                   "C:\\FromPlainIni\\");

    // A folder that ends with a backslash gets no second one.
    ExpectResolves({Ini(3, "root.ini", "Paths", "Dir"), Fixed(kNoFolder, "E:\\X")},
                   result::kSuccess, "E:\\X\\");

    ASSERT_EQ(3u, platform_.iniLookups.size());
    EXPECT_EQ("C:\\WINDOWS\\app.ini", platform_.iniLookups[0].file);
    EXPECT_EQ("Paths", platform_.iniLookups[0].section);
    EXPECT_EQ("Dir", platform_.iniLookups[0].key);
    EXPECT_EQ("app.ini", platform_.iniLookups[1].file);
    EXPECT_EQ("C:\\root.ini", platform_.iniLookups[2].file);
}

TEST_F(TargetFolderTest, SourcesResolveOrFindNothing) {
    ExpectResolves({Fixed(2, "Vendor\\App")}, result::kSuccess, "C:\\Program Files\\Vendor\\App\\");
    ExpectResolves({Fixed(kNoFolder, "D:\\Tools\\")}, result::kSuccess, "D:\\Tools\\");
    // An empty path below a known folder is that folder.
    ExpectResolves({Fixed(1, "")}, result::kSuccess, "C:\\WINDOWS\\system32\\");
    ExpectResolves({Fixed(kNoFolder, "")}, result::kNoTargetFolder);
    // Folder 5 could not be determined: "\Docs" would name the root of the current drive.
    ExpectResolves({Fixed(5, "Docs"), Ini(5, "app.ini", "S", "K")}, result::kNoTargetFolder, "");
    EXPECT_TRUE(platform_.iniLookups.empty());

    platform_.SetRegistryValue(RegistryRoot::kCurrentUser, "Software\\Vendor", "Ini", "app");
    platform_.SetIniValue("C:\\WINDOWS\\app.ini", "Setup", "Dir", "C:\\IniApp");
    ExpectResolves({Composite({RegistryStep(1, "Software\\Vendor", "Ini", 4),
                               IniStep(0, "%4.ini", "Setup", "Dir", 0)})},
                   result::kSuccess, "C:\\IniApp\\");
    // A composite that never writes slot 0 finds nothing, so the next source is tried.
    platform_.SetRegistryValue(RegistryRoot::kCurrentUser, "K", "V", "C:\\Somewhere");
    ExpectResolves({Composite({RegistryStep(1, "K", "V", 3)})}, result::kNoTargetFolder);
    ExpectResolves({Composite({})}, result::kNoTargetFolder);
    ExpectResolves({Composite({RegistryStep(1, "K", "V", 3)}), Fixed(3, "Next")}, result::kSuccess,
                   "C:\\Next\\");

    // Below 140 there is no count byte and exactly one source.
    ExpectResolves({Fixed(0, "App")}, result::kSuccess, "C:\\WINDOWS\\App\\", 130);
    // Below 120 kind 4 has no fields and no effect: the previous folder stays.
    SetFolder("C:\\Previous\\");
    ExpectResolves({OfKind(4)}, result::kSuccess, "C:\\Previous\\", 110);
    ExpectResolves({}, result::kSuccess, "C:\\Previous\\");
    // With no folder from before, an empty list must not leave "\" (the drive root).
    SetFolder("");
    ExpectResolves({}, result::kNoTargetFolder);
    ExpectResolves({OfKind(200)}, result::kNoTargetFolder);
}

TEST_F(TargetFolderTest, IndexesOutsideTheTablesAreRefused) {
    platform_.SetRegistryValue(RegistryRoot::kCurrentUser, "K", "V", "C:\\Somewhere");
    ExpectResolves({Registry(4, "K", "V")}, result::kNoTargetFolder);
    ExpectResolves({Composite({RegistryStep(255, "K", "V", 0)})}, result::kNoTargetFolder);
    EXPECT_TRUE(platform_.registryLookups.empty());
    // Slot 10 does not exist: the step fails even though slot 0 holds a folder.
    ExpectResolves({Composite({RegistryStep(1, "K", "V", 0), RegistryStep(1, "K", "V", 10)})},
                   result::kNoTargetFolder);
    EXPECT_EQ(1u, platform_.registryLookups.size());
}

TEST_F(TargetFolderTest, FoldersTooLongForTheBackslashAreRefused) {
    const auto user = RegistryRoot::kCurrentUser;
    const std::string long258 = std::string(258, 'b');
    const std::string withBackslash = std::string(258, 'c') + "\\";
    platform_.SetRegistryValue(user, "K", "259", std::string(259, 'a'));
    platform_.SetRegistryValue(user, "K", "258", long258);
    platform_.SetRegistryValue(user, "K", "slash", withBackslash);
    // Stored without a terminator and filling the whole limit.
    platform_.SetRegistryValue(user, "K", "260", std::string(260, 'd'));
    platform_.SetRegistryValue(user, "K", "200", std::string(200, 'g'));
    // A value the INI reader had to cut short is not taken for a folder, even
    // when the cut happens to end with a backslash.
    platform_.SetIniValue("long.ini", "S", "K", std::string(258, 'e') + "\\more");
    prompter_.AcceptFolder(std::string(259, 'p'));

    ExpectResolves({Registry(1, "K", "259")}, result::kNoTargetFolder);
    ExpectResolves({Registry(1, "K", "260")}, result::kNoTargetFolder, "");
    ExpectResolves({Registry(1, "K", "259"), Registry(1, "K", "258")}, result::kSuccess,
                   (long258 + "\\").c_str());
    ExpectResolves({Registry(1, "K", "slash")}, result::kSuccess, withBackslash.c_str());
    ExpectResolves({Ini(kNoFolder, "long.ini", "S", "K")}, result::kNoTargetFolder);
    ExpectResolves({Prompt()}, result::kNoTargetFolder);
    // Program files (16 bytes), a backslash and 243 bytes make 260.
    ExpectResolves({Fixed(2, std::string(243, 'f'))}, result::kNoTargetFolder);
    // Expanded texts are bounded as well.
    ExpectResolves(
        {Composite({RegistryStep(1, "K", "200", 1), RegistryStep(1, "K\\%1%1", "V", 0)})},
        result::kNoTargetFolder);
    EXPECT_EQ(ScriptedPlatform::RegistryKey(user, "K", "200"), platform_.registryLookups.back());
}

TEST_F(TargetFolderTest, CompositeChainsItsSlots) {
    platform_.SetRegistryValue(RegistryRoot::kLocalMachine, "Software\\Vendor", "Current",
                               "App 2.0");
    platform_.SetRegistryValue(RegistryRoot::kLocalMachine, "Software\\Vendor\\App 2.0", "Path",
                               "C:\\Apps\\Two");
    const std::vector<LookupRecordModel> steps = {
        RegistryStep(kLocalMachine, "Software\\Vendor", "Current", 1),
        {7, 0, "skipped", "", "", 0},
        RegistryStep(kLocalMachine, "Software\\Vendor\\%1", "Path", 0)};
    ExpectResolves({Composite(steps), Fixed(3, "NotUsed")}, result::kSuccess, "C:\\Apps\\Two\\");
    ASSERT_EQ(2u, platform_.registryLookups.size());
    EXPECT_EQ(ScriptedPlatform::RegistryKey(RegistryRoot::kLocalMachine,
                                            "Software\\Vendor\\App 2.0", "Path"),
              platform_.registryLookups[1]);

    platform_.registry.erase(ScriptedPlatform::RegistryKey(RegistryRoot::kLocalMachine,
                                                           "Software\\Vendor\\App 2.0", "Path"));
    ExpectResolves({Composite(steps)}, result::kNoTargetFolder, "");
}

TEST_F(TargetFolderTest, ReadFailuresEndTheListAtOnce) {
    platform_.SetRegistryValue(RegistryRoot::kCurrentUser, "K", "V", "C:\\Found");
    packwriter::PackageLayout layout;
    Bytes bytes =
        Build({Registry(1, "K", "V"), Composite({RegistryStep(1, "Key\\Path", "Value", 0)})}, 150,
              &layout);
    // Cut inside the composite's record, after the registry source found the folder.
    packwriter::Truncate(bytes, layout.runningCheckOffset - 3);
    Outcome outcome = ResolveBytes(bytes, layout.folderSourcesOffset, 150);
    EXPECT_EQ(result::kReadProgramFile, outcome.result);

    // A record count the rest of the file cannot hold.
    bytes = Build({Composite({})}, 150, &layout);
    ASSERT_TRUE(packwriter::PatchU32(bytes, layout.folderSourcesOffset + 2, 0x10000000u));
    outcome = ResolveBytes(bytes, layout.folderSourcesOffset, 150);
    EXPECT_EQ(result::kReadProgramFile, outcome.result);
}

TEST_F(TargetFolderTest, DoubleByteTrailBackslashIsNoSeparator) {
    // 0x95 0x5C is one Shift-JIS character whose second byte looks like a backslash.
    const std::string folder = "C:\\\x95\x5C";
    platform_.SetRegistryValue(RegistryRoot::kCurrentUser, "K", "V", folder);
    std::strcpy(folders_.paths[4], "C:\\Users\\\x95\x5C");
    {
        WindowsCodePages windows(platform_);
        PlatformScope scope(windows);
        CodePageScope japanese(932);
        ExpectResolves({Registry(1, "K", "V")}, result::kSuccess, (folder + "\\").c_str());
        ExpectResolves({Fixed(4, "App")}, result::kSuccess, "C:\\Users\\\x95\x5C\\App\\");
    }
    ExpectResolves({Registry(1, "K", "V")}, result::kSuccess, folder.c_str());
}

TEST(EndsWithBackslashTest, LooksAtTheLastCharacter) {
    EXPECT_TRUE(EndsWithBackslash("C:\\", 932));
    EXPECT_FALSE(EndsWithBackslash("C:\\App", 932));
    EXPECT_FALSE(EndsWithBackslash("", 932));
    EXPECT_FALSE(EndsWithBackslash("\x95\x5C", 932));
    EXPECT_TRUE(EndsWithBackslash("\x95\x5C", 1252));
    EXPECT_TRUE(EndsWithBackslash("\x95\x5C\\", 932));
    // A lead byte with nothing after it is a character of its own.
    EXPECT_FALSE(EndsWithBackslash("a\\\x95", 932));
    EXPECT_TRUE(EndsWithBackslash("\x95\\\\", 932));
}

std::string Expand(const char* templ, const LookupSlots& slots, size_t size = kPathBufferSize) {
    std::vector<char> out(size + 1, '#');
    if (!ExpandSlots(templ, slots, out.data(), size))
        return "<refused:" + std::string(out.data()) + ">";
    return out.data();
}

TEST(ExpandSlotsTest, ReplacesSlotsAndEscapes) {
    LookupSlots slots;
    std::strcpy(slots.text[1], "X");
    std::strcpy(slots.text[9], "nine");
    EXPECT_EQ("aXb", Expand("a%1b", slots));
    EXPECT_EQ("50%", Expand("50%%", slots));
    EXPECT_EQ("x", Expand("%x", slots));
    EXPECT_EQ("end", Expand("end%", slots));
    // Nothing past the terminator is read.
    const char endsInPercent[] = {'e', 'n', 'd', '%', '\0', 'Z', '\0'};
    EXPECT_EQ("end", Expand(endsInPercent, slots));
    EXPECT_EQ("[]nine", Expand("[%2]%9", slots));
    EXPECT_EQ("", Expand("", slots));
    EXPECT_EQ("\x95\x5CX", Expand("\x95\x5C%1", slots));
}

TEST(ExpandSlotsTest, RefusesWhatDoesNotFit) {
    LookupSlots slots;
    std::strcpy(slots.text[1], "12345");
    EXPECT_EQ("a12345", Expand("a%1", slots, 7));
    EXPECT_EQ("<refused:>", Expand("ab%1", slots, 7));
    EXPECT_EQ("<refused:>", Expand("abcdefg", slots, 7));
    std::memset(slots.text[2], 'z', kPathBufferSize - 1);
    EXPECT_EQ("<refused:>", Expand("%2%2", slots));
    EXPECT_EQ(std::string(kPathBufferSize - 1, 'z'), Expand("%2", slots));
}

TEST(SpecialFoldersTest, FillsEachFolderFromThePlatform) {
    ScriptedPlatform platform;
    PlatformScope scope(platform);
    platform.specialFolders = {"C:\\WINDOWS", "C:\\WINDOWS\\system32", "C:\\Program Files",
                               "C:\\",        "C:\\Desktop",           std::nullopt};
    SpecialFolders folders;
    std::strcpy(folders.paths[5], "stale");
    FillSpecialFolders(folders);
    EXPECT_EQ(6u, platform.specialFolderCalls);
    EXPECT_STREQ("C:\\WINDOWS", folders.paths[0]);
    EXPECT_STREQ("C:\\Program Files", folders.paths[2]);
    EXPECT_STREQ("C:\\", folders.paths[3]);
    EXPECT_STREQ("C:\\Desktop", folders.paths[4]);
    EXPECT_STREQ("", folders.paths[5]);
}

TEST_F(TargetFolderTest, RunTableServesTheWorkersResolution) {
    platform_.specialFolders = {"E:\\OS", "", "", "", "", ""};
    FillSpecialFolders(*context_);
    EXPECT_STREQ("E:\\OS", RunSpecialFolders().paths[0]);

    packwriter::PackageLayout layout;
    const Bytes bytes = Build({Fixed(0, "App")}, 150, &layout);
    ASSERT_EQ(0u, packwriter::WriteFileBytes(path_.c_str(), bytes));
    BinaryFile file;
    ASSERT_EQ(0u, file.OpenRead(path_.c_str(), kShareRead, kAttributeNormal));
    ASSERT_EQ(layout.folderSourcesOffset,
              file.Seek(static_cast<int32_t>(layout.folderSourcesOffset), kFileBegin));
    PackageOnFile cursor(file, layout.folderSourcesOffset, bytes.size());
    FolderSourceList list(cursor.in, 150);
    EXPECT_EQ(result::kSuccess, ResolveTargetFolder(list, *context_));
    EXPECT_EQ("E:\\OS\\App\\", Folder());
}

}  // namespace
}  // namespace pkx
