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

namespace pkx::test {
namespace {

using packwriter::FolderSourceModel;
using packwriter::LookupRecordModel;
using Sources = std::vector<FolderSourceModel>;

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

// The composite every format from 120 on understands: a registry value names
// the INI file that holds the folder.
const FolderSourceModel kIniByRegistry =
    Composite({RegistryStep(1, "Software\\Vendor", "Ini", 4), {2, 0, "%4.ini", "Setup", "Dir", 0}});

// A scripted machine: registry values, INI files and special folders that
// every row below sees.
class TargetFolderTest : public ::testing::Test {
  protected:
    struct Outcome {
        ResultCode result = 0xDEADu;
        uint32_t position = 0;  // where reading stopped
        uint32_t listEnd = 0;   // where the list ends
    };

    TargetFolderTest() {
        context->events = &events;
        context->prompts = &prompter;
        const char* paths[kSpecialFolderCount] = {"C:\\WINDOWS",           "C:\\WINDOWS\\system32",
                                                  "C:\\Program Files",     "C:\\",
                                                  "C:\\Users\\u\\Desktop", ""};
        for (uint32_t i = 0; i < kSpecialFolderCount; ++i) std::strcpy(folders.paths[i], paths[i]);
        const auto user = RegistryRoot::kCurrentUser;
        const auto machine = RegistryRoot::kLocalMachine;
        platform.SetRegistryValue(machine, "Software\\Vendor\\App", "Dir", "C:\\App");
        platform.SetRegistryValue(user, "Software\\A", "Dir", "");
        platform.SetRegistryValue(RegistryRoot::kClassesRoot, "App", "Dir",
                                  std::string("D:\\Stored\0", 10));
        platform.SetRegistryValue(user, "Software\\Vendor", "Ini", "app");
        platform.SetRegistryValue(machine, "Software\\Vendor", "Current", "App 2.0");
        platform.SetRegistryValue(machine, "Software\\Vendor\\App 2.0", "Path", "C:\\Apps\\Two");
        platform.SetRegistryValue(user, "K", "V", "C:\\Somewhere");
        platform.SetRegistryValue(user, "K", "259", std::string(259, 'a'));
        platform.SetRegistryValue(user, "K", "258", std::string(258, 'b'));
        platform.SetRegistryValue(user, "K", "slash", std::string(258, 'c') + "\\");
        // Stored without a terminator and filling the whole limit.
        platform.SetRegistryValue(user, "K", "260", std::string(260, 'd'));
        platform.SetRegistryValue(user, "K", "200", std::string(200, 'g'));
        platform.SetIniValue("C:\\WINDOWS\\app.ini", "Paths", "Dir", "C:\\FromWindowsIni");
        platform.SetIniValue("app.ini", "Paths", "Dir", "C:\\FromPlainIni\\");
        platform.SetIniValue("C:\\WINDOWS\\app.ini", "Setup", "Dir", "C:\\IniApp");
        // Cut short by the reader, ending with a backslash at the cut.
        platform.SetIniValue("long.ini", "S", "K", std::string(258, 'e') + "\\more");
    }

    // With `runTable`, the special folders are the run's (FillSpecialFolders).
    Outcome ResolveBytes(const packwriter::Bytes& bytes, uint32_t listOffset, uint16_t version,
                         bool runTable = false) {
        Outcome outcome;
        EXPECT_EQ(packwriter::WriteFileBytes(path.c_str(), bytes), 0u);
        BinaryFile file;
        EXPECT_EQ(file.OpenRead(path.c_str(), kShareRead, kAttributeNormal), 0u);
        EXPECT_EQ(file.Seek(static_cast<int32_t>(listOffset), kFileBegin), listOffset);
        PackageOnFile cursor(file, listOffset, bytes.size());
        FolderSourceList list(cursor.in, version);
        outcome.result = runTable ? ResolveTargetFolder(list, *context)
                                  : ResolveTargetFolder(list, *context, folders);
        outcome.position = file.Seek(0, kFileCurrent);
        return outcome;
    }

    Outcome Resolve(const Sources& sources, uint16_t version = 150, bool runTable = false) {
        packwriter::PackageModel model;
        model.version = version;
        model.folderSources = sources;
        packwriter::PackageLayout layout;
        const packwriter::Bytes bytes = Build(model, &layout);
        Outcome outcome = ResolveBytes(bytes, layout.folderSourcesOffset, version, runTable);
        outcome.listEnd = layout.runningCheckOffset;
        return outcome;
    }

    ScriptedPlatform platform;
    PlatformScope scope{platform};
    CodePageScope codePage{1252};
    std::unique_ptr<ApplyContext> context = std::make_unique<ApplyContext>();
    RecordingEvents events;
    ScriptedPrompter prompter;
    SpecialFolders folders;
    TempFolder temp;
    const std::string path = temp / "sources.bin";
};

struct SourceCase {
    const char* what;
    Sources sources;
    ResultCode expected;
    std::string folder;  // the target folder afterwards
    uint16_t version = 150;
    const char* before = "";             // the target folder before
    const char* promptAnswer = nullptr;  // null: the prompt is cancelled
};

const std::string kLongAnswer(259, 'p');

TEST_F(TargetFolderTest, Sources) {
    const std::string b258(258, 'b');
    // clang-format off
    const SourceCase cases[] = {
        {"registry hit", {Registry(2, "Software\\Vendor\\App", "Dir"), Ini(0, "app.ini", "Paths", "Dir"), Prompt()}, result::kSuccess, "C:\\App\\"},
        {"empty and missing values try on", {Registry(1, "Software\\A", "Dir"), Registry(2, "Software\\Missing", "Dir"), Registry(0, "App", "Dir")}, result::kSuccess, "D:\\Stored\\"},
        {"INI below the Windows folder", {Ini(0, "app.ini", "Paths", "Dir")}, result::kSuccess, "C:\\FromWindowsIni\\"},
        {"INI by its own path", {Ini(kNoFolder, "app.ini", "Paths", "Dir")}, result::kSuccess, "C:\\FromPlainIni\\"},
        {"fixed below a folder", {Fixed(2, "Vendor\\App")}, result::kSuccess, "C:\\Program Files\\Vendor\\App\\"},
        {"fixed ending in a backslash", {Fixed(kNoFolder, "D:\\Tools\\")}, result::kSuccess, "D:\\Tools\\"},
        {"empty path is the folder", {Fixed(1, "")}, result::kSuccess, "C:\\WINDOWS\\system32\\"},
        {"empty path alone", {Fixed(kNoFolder, "")}, result::kNoTargetFolder, ""},
        // Folder 5 is unknown: "\Docs" would name the root of the current drive.
        {"unknown special folder", {Fixed(5, "Docs"), Ini(5, "app.ini", "S", "K")}, result::kNoTargetFolder, ""},
        {"registry root out of range", {Registry(4, "K", "V")}, result::kNoTargetFolder, ""},
        // The last source evaluated decides the failure.
        {"missing, then cancelled prompt", {Registry(2, "Software\\Missing", "Dir"), Prompt()}, result::kCancelled, "", 150, "C:\\Previous\\"},
        {"cancelled prompt, then missing", {Prompt(), Registry(2, "Software\\Missing", "Dir")}, result::kNoTargetFolder, ""},
        {"meaningless kind leaves the cancel", {Prompt(), OfKind(9)}, result::kCancelled, ""},
        {"cancelled prompt, then found", {Prompt(), Fixed(2, "Vendor\\App")}, result::kSuccess, "C:\\Program Files\\Vendor\\App\\"},
        {"confirmed prompt", {Registry(2, "Software\\Missing", "Dir"), Prompt(), Fixed(3, "Other")}, result::kSuccess, "D:\\Games\\", 150, "", "D:\\Games"},
        {"empty list keeps the folder", {}, result::kSuccess, "C:\\Previous\\", 150, "C:\\Previous\\"},
        {"empty list without one", {}, result::kNoTargetFolder, ""},
        {"unknown kind without one", {OfKind(200)}, result::kNoTargetFolder, ""},
        // Composite lookups.
        {"composite at 140", {kIniByRegistry}, result::kSuccess, "C:\\IniApp\\", 140},
        {"composite at 130", {kIniByRegistry}, result::kSuccess, "C:\\IniApp\\", 130},
        {"composite at 120", {kIniByRegistry}, result::kSuccess, "C:\\IniApp\\", 120},
        {"composite below 120 means nothing", {OfKind(4)}, result::kSuccess, "C:\\Previous\\", 119, "C:\\Previous\\"},
        {"fixed at 130", {Fixed(0, "App")}, result::kSuccess, "C:\\WINDOWS\\App\\", 130},
        {"composite chaining slots", {Composite({RegistryStep(2, "Software\\Vendor", "Current", 1), {7, 0, "skipped", "", "", 0}, RegistryStep(2, "Software\\Vendor\\%1", "Path", 0)}), Fixed(3, "NotUsed")}, result::kSuccess, "C:\\Apps\\Two\\"},
        {"composite chain broken", {Composite({RegistryStep(2, "Software\\Vendor", "Current", 1), RegistryStep(2, "Software\\Gone\\%1", "Path", 0)})}, result::kNoTargetFolder, ""},
        {"composite never writing slot 0", {Composite({RegistryStep(1, "K", "V", 3)})}, result::kNoTargetFolder, ""},
        {"empty composite", {Composite({})}, result::kNoTargetFolder, ""},
        {"composite failing, then next", {Composite({RegistryStep(1, "K", "V", 3)}), Fixed(3, "Next")}, result::kSuccess, "C:\\Next\\"},
        {"composite root out of range", {Composite({RegistryStep(255, "K", "V", 0)})}, result::kNoTargetFolder, ""},
        // Slot 10 does not exist: the step fails though slot 0 holds a folder.
        {"composite slot 10", {Composite({RegistryStep(1, "K", "V", 0), RegistryStep(1, "K", "V", 10)})}, result::kNoTargetFolder, "C:\\Somewhere"},
        // Lengths: a folder must take the backslash every name is appended to.
        {"259 bytes", {Registry(1, "K", "259")}, result::kNoTargetFolder, ""},
        {"260 bytes unterminated", {Registry(1, "K", "260")}, result::kNoTargetFolder, ""},
        {"258 bytes after 259", {Registry(1, "K", "259"), Registry(1, "K", "258")}, result::kSuccess, b258 + "\\"},
        {"259 bytes ending in a backslash", {Registry(1, "K", "slash")}, result::kSuccess, std::string(258, 'c') + "\\"},
        {"INI value cut short", {Ini(kNoFolder, "long.ini", "S", "K")}, result::kNoTargetFolder, ""},
        {"prompt answer too long", {Prompt()}, result::kNoTargetFolder, kLongAnswer, 150, "", kLongAnswer.c_str()},
        {"fixed path making 260", {Fixed(2, std::string(243, 'f'))}, result::kNoTargetFolder, ""},
        {"expanded key too long", {Composite({RegistryStep(1, "K", "200", 1), RegistryStep(1, "K\\%1%1", "V", 0)})}, result::kNoTargetFolder, ""},
    };
    // clang-format on
    for (const SourceCase& c : cases) {
        SCOPED_TRACE(c.what);
        std::strcpy(context->targetFolder, c.before);
        if (c.promptAnswer != nullptr) prompter.AcceptFolder(c.promptAnswer);
        const Outcome outcome = Resolve(c.sources, c.version);
        EXPECT_EQ(outcome.result, c.expected);
        EXPECT_EQ(std::string(context->targetFolder), c.folder);
        if (c.promptAnswer == nullptr) {
            EXPECT_EQ(outcome.position, outcome.listEnd) << "the list is read to its end";
        }
    }
}

// The registry is asked with a 260-byte buffer, and nothing after a found folder.
TEST_F(TargetFolderTest, LooksUpOnlyUntilAFolderIsFound) {
    Resolve(
        {Registry(2, "Software\\Vendor\\App", "Dir"), Ini(0, "app.ini", "Paths", "Dir"), Prompt()});
    EXPECT_EQ(platform.registryLookups.size(), 1u);
    EXPECT_EQ(platform.registrySizes.at(0), 260u);
    EXPECT_TRUE(platform.iniLookups.empty());
    EXPECT_TRUE(prompter.folderPromptInitialTexts.empty());
}

TEST_F(TargetFolderTest, ConfirmedPromptEndsTheListUnread) {
    prompter.AcceptFolder("D:\\Games");
    const Sources head = {Registry(2, "Software\\Missing", "Dir"), Prompt()};
    Sources sources = head;
    sources.push_back(Registry(2, "Software\\Other", "Dir"));
    const Outcome outcome = Resolve(sources);
    EXPECT_EQ(platform.registryLookups.size(), 1u);
    packwriter::PackageModel model;
    model.folderSources = head;
    packwriter::PackageLayout headLayout;
    Build(model, &headLayout);
    EXPECT_EQ(outcome.position, headLayout.runningCheckOffset);
}

TEST_F(TargetFolderTest, ReadFailuresEndTheListAtOnce) {
    packwriter::PackageModel model;
    model.folderSources = {Registry(1, "K", "V"), Composite({RegistryStep(1, "Key", "Value", 0)})};
    packwriter::PackageLayout layout;
    packwriter::Bytes bytes = Build(model, &layout);
    // Cut inside the composite's record, after the registry source found the folder.
    packwriter::Truncate(bytes, layout.runningCheckOffset - 3);
    EXPECT_EQ(ResolveBytes(bytes, layout.folderSourcesOffset, 150).result,
              result::kReadProgramFile);

    model.folderSources = {Composite({})};
    bytes = Build(model, &layout);
    // A record count the rest of the file cannot hold.
    ASSERT_TRUE(packwriter::PatchU32(bytes, layout.folderSourcesOffset + 2, 0x10000000u));
    EXPECT_EQ(ResolveBytes(bytes, layout.folderSourcesOffset, 150).result,
              result::kReadProgramFile);
    // The file ends where the list begins, before its count.
    packwriter::Truncate(bytes, layout.folderSourcesOffset);
    EXPECT_EQ(ResolveBytes(bytes, layout.folderSourcesOffset, 150).result,
              result::kReadProgramFile);
}

TEST_F(TargetFolderTest, DoubleByteTrailBackslashIsNoSeparator) {
    // 0x95 0x5C is one Shift-JIS character whose second byte looks like a backslash.
    const std::string folder = "C:\\\x95\x5C";
    platform.SetRegistryValue(RegistryRoot::kCurrentUser, "K", "J", folder);
    std::strcpy(folders.paths[4], "C:\\Users\\\x95\x5C");
    {
        WindowsCodePages windows(platform);
        PlatformScope held(windows);
        CodePageScope japanese(932);
        Resolve({Registry(1, "K", "J")});
        EXPECT_EQ(std::string(context->targetFolder), folder + "\\");
        Resolve({Fixed(4, "App")});
        EXPECT_STREQ(context->targetFolder, "C:\\Users\\\x95\x5C\\App\\");
    }
    Resolve({Registry(1, "K", "J")});
    EXPECT_EQ(std::string(context->targetFolder), folder);
}

TEST_F(TargetFolderTest, SpecialFoldersComeFromThePlatform) {
    platform.specialFolders = {"E:\\OS", "", "C:\\Program Files", "", "", std::nullopt};
    SpecialFolders table;
    std::strcpy(table.paths[5], "stale");
    FillSpecialFolders(table);
    EXPECT_EQ(platform.specialFolderCalls, 6u);
    EXPECT_STREQ(table.paths[2], "C:\\Program Files");
    EXPECT_STREQ(table.paths[5], "");

    // The run's table serves the worker's resolution.
    FillSpecialFolders(*context);
    EXPECT_EQ(Resolve({Fixed(0, "App")}, 150, true).result, result::kSuccess);
    EXPECT_STREQ(context->targetFolder, "E:\\OS\\App\\");
}

TEST(ExpandSlotsTest, ReplacesSlotsAndRefusesWhatDoesNotFit) {
    LookupSlots slots;
    std::strcpy(slots.text[1], "12345");
    std::strcpy(slots.text[9], "nine");
    std::memset(slots.text[2], 'z', kPathBufferSize - 1);
    const std::string z259(kPathBufferSize - 1, 'z');
    const struct {
        const char* templ;
        size_t size;
        std::string expected;  // "<refused>" when it does not fit
    } cases[] = {
        {"a%1b", kPathBufferSize, "a12345b"},
        {"50%%", kPathBufferSize, "50%"},
        {"%x", kPathBufferSize, "x"},
        {"end%", kPathBufferSize, "end"},
        {"[%3]%9", kPathBufferSize, "[]nine"},
        {"", kPathBufferSize, ""},
        {"\x95\x5C%1", kPathBufferSize,
         "\x95\x5C"
         "12345"},
        {"a%1", 7, "a12345"},
        {"ab%1", 7, "<refused>"},
        {"abcdefg", 7, "<refused>"},
        {"%2", kPathBufferSize, z259},
        {"%2%2", kPathBufferSize, "<refused>"},
    };
    for (const auto& c : cases) {
        std::vector<char> out(c.size + 1, '#');
        const bool fits = ExpandSlots(c.templ, slots, out.data(), c.size);
        EXPECT_EQ(fits ? std::string(out.data()) : "<refused>", c.expected) << c.templ;
        if (!fits) {
            EXPECT_EQ(out[0], '\0');
        }
    }
    // Nothing past the terminator is read.
    const char endsInPercent[] = {'e', 'n', 'd', '%', '\0', 'Z', '\0'};
    char out[8];
    ASSERT_TRUE(ExpandSlots(endsInPercent, slots, out, sizeof out));
    EXPECT_STREQ(out, "end");
}

}  // namespace
}  // namespace pkx::test
