// The build manifest: every field reaches the package header in the code
// page it belongs to, and bad manifests are refused with their place.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "package/package_header.h"
#include "platform/posix/builtin_texts.h"
#include "tests/pkxbuild_fixtures.h"
#include "tools/pkxbuild/builder_listing.h"

namespace pkx::test {
namespace {

using builder::Manifest;

std::string ParseError(const std::string& text) {
    Manifest manifest;
    std::string error;
    EXPECT_FALSE(builder::ParseManifest(text, "test.toml", &manifest, &error)) << text;
    return error;
}

std::string Repeat(const std::string& piece, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) text += piece;
    return text;
}

TEST(PkxBuildManifest, BadManifestsAreRefusedWithTheirPlace) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"titel = \"x\"", "test.toml:1:1: unknown key 'titel' in the manifest"},
        {"title = \"x\"\ntitle = 5", "test.toml:2:"},  // TOML's own error, with its line
        {"title = 5", "'title' must be a string"},
        {"title = \"unterminated", "test.toml:1:"},
        {"[options]\nskip_missing = true",
         "test.toml:2:1: unknown key 'skip_missing' in [options]"},
        {"[options]\nskip_missing_deletes = 1", "'skip_missing_deletes' must be true or false"},
        {"delete_backups = \"yes\"", "'delete_backups' must be true or false"},
        {"check_mode = \"sha1\"", "'check_mode' must be one of \"md5\", \"date-size\""},
        {"code_page = 12345", "code page 12345 is not known to iconv"},
        {"code_page = \"932\"", "'code_page' must be an integer"},
        {"code_page = 1252\ntitle = \"\xE3\x81\x82\"", "cannot hold"},
        {"title = \"\xFF\"", "test.toml:1:9: Encountered invalid utf-8"},
        // Without a code page Windows would show the UTF-8 bytes garbled.
        {"title = \"Caf\xC3\xA9\"", "test.toml:1:9: 'title' holds non-ASCII characters"},
        {"[[notice]]\nafter = \"\xE6\x97\xA5\"", "'after' holds non-ASCII characters"},
        {"[[language]]\ncode_page = 932\ntexts = \"fr\"", "'texts' must be one of \"en\", \"ja\""},
        {"[[language]]\ncode_page = 932\ntexts = 5", "'texts' must be a table of texts by ID"},
        {"password = \"\"", "'password' is empty"},
        {"old_version = []", "'old_version' must be a string or an array of strings"},
        {"[[language]]\nfont_face = \"x\"", "'code_page' is missing in [[language]]"},
        {"[[language]]\ncode_page = 932\nfont_face = \"" + Repeat("f", 32) + "\"",
         "'font_face' is 32 bytes long; at most 31 fit"},
        {"[[language]]\ncode_page = 932\ntexts = { 999 = \"x\" }", "unknown text ID '999'"},
        {"[[language]]\ncode_page = 932\ntexts = { 1074 = \"x\" }", "unknown text ID '1074'"},
        {"[[language]]\ncode_page = 932\ncolour = 1", "unknown key 'colour' in [[language]]"},
        {"[[language]]\ncode_page = 99999", "code page 99999 is not known to iconv"},
        // U+8868 is 0x95 0x5C in code page 932: with "n" after it, a line break to the updater.
        {"[[language]]\ncode_page = 932\ntexts = { 1001 = \"\xE8\xA1\xA8no\" }",
         "text 1001: the updater would read \"\xE8\xA1\xA8n\" as a line break"},
        {"[[notice]]\ncode_page = 1252\nbefore = \"\xE6\x97\xA5\"",
         "'before': text has characters"},
        {"[[folder_source]]\nkind = \"ask\"\n[[folder_source]]\nkind = \"path\"\npath = 'x'",
         "test.toml:1:1: the \"ask\" folder source must be the last one"},
        {"[[folder_source]]\nkind = \"path\"\npath = 'x'\nvalue = 'y'",
         "unknown key 'value' in a path folder source"},
        {"[[folder_source]]\nkind = \"file\"", "'kind' must be one of \"ask\", \"registry\""},
        {"[[folder_source]]\nkind = \"registry\"\nroot = \"HKXX\"\nkey = 'k'",
         "'root' must be one of \"HKCR\""},
        {"[[folder_source]]\nkind = \"registry\"\nroot = \"HKLM\"", "'key' is missing"},
        {"[[folder_source]]\nkind = \"ini\"\nfolder = \"temp\"\nfile = 'a'\nsection = 's'\nkey = "
         "'k'",
         "'folder' must be one of \"windows\""},
        {"[[folder_source]]\nkind = \"lookup\"\n[[folder_source.step]]\nkind = \"registry\"\n"
         "root = \"HKLM\"\nkey = 'k'\nslot = 1",
         "writes slot 0"},
        {"[[folder_source]]\nkind = \"lookup\"\n[[folder_source.step]]\nkind = \"registry\"\n"
         "root = \"HKLM\"\nkey = 'k'\nslot = 10",
         "'slot' must be 0 to 9"},
        {"[running_check]\nkind = \"window\"", "needs a 'title' or a 'class'"},
        {"[running_check]\nkind = \"process\"\nprocess = \"a.exe\"\nwait = 1",
         "'wait' must be true or false"},
        {"running_check = 3", "'running_check' must be a table"},
        {"notice = 3", "'notice' must be an array of tables"},
    };
    for (const auto& [text, expected] : cases) {
        const std::string error = ParseError(text);
        EXPECT_NE(error.find(expected), std::string::npos) << text << "\n -> " << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}

TEST(PkxBuildManifest, ShortStringsAreMeasuredAfterConversion) {
    // 127 characters of three UTF-8 bytes are 254 bytes in code page 932.
    const std::string hiragana = "\xE3\x81\x82";
    Manifest manifest = ParseOrFail("code_page = 932\ntitle = \"" + Repeat(hiragana, 127) + "\"");
    ASSERT_TRUE(manifest.title.has_value());
    EXPECT_EQ(manifest.title->size(), 254u);
    EXPECT_NE(ParseError("code_page = 932\ntitle = \"" + Repeat(hiragana, 128) + "\"")
                  .find("'title' is 256 bytes long; at most 255 fit"),
              std::string::npos);
}

std::string FillHeaderError(const std::string& text, uint16_t version) {
    packwriter::PackageModel model;
    std::string error;
    EXPECT_FALSE(builder::FillHeader(ParseOrFail(text), version, &model, &error)) << text;
    return error;
}

TEST(PkxBuildManifest, WhatTheFormatVersionCannotCarryIsRefused) {
    const std::string twoSources =
        "[[folder_source]]\nkind = \"path\"\npath = 'a'\n[[folder_source]]\nkind = \"ask\"\n";
    const std::vector<std::tuple<std::string, uint16_t, std::string>> cases = {
        {"[[language]]\ncode_page = 932", 110, "needs format version 120"},
        {twoSources, 139, "needs format version 140"},
        {"[[language]]\ncode_page = 932\ntexts = { 1070 = \"x\" }", 125,
         "text 1070 needs format version 130"},
        {"[options]\nskip_missing_deletes = true", 110, "120"},
        {"delete_backups = false", 110, "120"},
        {"[[notice]]\nbefore = \"a\"\n[[notice]]\nbefore = \"b\"", 130, "140"},
        {"[running_check]\nkind = \"process\"\nprocess = \"a.exe\"", 100, "110"},
    };
    for (const auto& [text, version, expected] : cases) {
        EXPECT_NE(FillHeaderError(text, version).find(expected), std::string::npos) << text;
    }
    // What absent fields mean anyway is accepted.
    packwriter::PackageModel model;
    std::string error;
    // Texts a block of another code page than 932 does not give are the
    // built-in English ones.
    ASSERT_TRUE(builder::FillHeader(
        ParseOrFail("[[language]]\ncode_page = 1252\ntexts = { 1000 = \"a\", 1002 = \"b\" }"), 150,
        &model, &error))
        << error;
    EXPECT_EQ(model.languageBlocks[0].texts[0], "a");
    EXPECT_EQ(model.languageBlocks[0].texts[1], "&Cancel");
    EXPECT_EQ(model.languageBlocks[0].texts[73], "[%s] The file to add is already up to date.");
    EXPECT_TRUE(builder::FillHeader(
        ParseOrFail("delete_backups = true\n[options]\nskip_missing_sources = false"), 100, &model,
        &error))
        << error;
    EXPECT_TRUE(builder::FillHeader(ParseOrFail(twoSources), 140, &model, &error)) << error;
}

// A manifest with every field, for a version 150 package.
std::string FullManifest() {
    std::string latin;
    for (uint32_t id = 1000; id <= 1073; ++id)
        latin += std::to_string(id) + " = \"text " + std::to_string(id) + "\"\n";
    return "code_page = 932\n"
           "title = \"\xE8\xA3\xBD\xE5\x93\x81\"\n"  // 製品
           "old_version = \"1.0\"\n"
           "new_version = \"2.0\"\n"
           "rights = \"(c) \xE4\xBC\x9A\xE7\xA4\xBE\"\n"  // 会社
           "password = \"secret\"\n"
           "delete_backups = false\n"
           "document = \"docs/readme.txt\"\n"
           "check_mode = \"date-size\"\n"
           "[options]\nskip_missing_sources = true\noverwrite_existing_adds = true\n"
           "skip_missing_deletes = true\n"
           "[[language]]\ncode_page = 1252\nfont_face = \"Tahoma\"\nfont_height = 9\n"
           "[language.texts]\n" +
           latin +
           "[[language]]\ncode_page = 932\n[language.texts]\n"
           "1008 = \"%s "
           "\xE3\x81\xAE\xE6\x9B\xB4\xE6\x96\xB0\\n\xE4\xBA\x8C\xE8\xA1\x8C\xE7\x9B\xAE\"\n"
           "[[folder_source]]\nkind = \"registry\"\nroot = \"HKLM\"\nkey = 'Software\\Vendor'\n"
           "value = \"Path\"\n"
           "[[folder_source]]\nkind = \"ini\"\nfolder = \"windows\"\nfile = \"app.ini\"\n"
           "section = \"Setup\"\nkey = \"Dir\"\n"
           "[[folder_source]]\nkind = \"lookup\"\n"
           "[[folder_source.step]]\nkind = \"ini\"\nfile = \"a.ini\"\nsection = \"s\"\nkey = "
           "\"k\"\n"
           "slot = 1\n"
           "[[folder_source.step]]\nkind = \"registry\"\nroot = \"HKCU\"\nkey = 'Software\\%1'\n"
           "slot = 0\n"
           "[[folder_source]]\nkind = \"path\"\nfolder = \"program-files\"\npath = \"Vendor/App\"\n"
           "[[folder_source]]\nkind = \"ask\"\n"
           "[running_check]\nkind = \"process\"\nprocess = \"app.exe\"\nwait = true\n"
           "[[notice]]\nbefore = \"line 1\\nline 2\"\n"
           "[[notice]]\ncode_page = 932\nafter = \"\xE7\xB5\x82\xE3\x82\x8F\xE3\x82\x8A\"\n";  // 終わり
}

Bytes BuildWithManifest(const std::string& manifestText) {
    TempFolder oldFolder, newFolder;
    Install(oldFolder.path(), {{"a.txt", "old"}});
    Install(newFolder.path(), {{"a.txt", "new"}});
    return BuildFolders(FolderRequest({&oldFolder}, newFolder, ParseOrFail(manifestText))).payload;
}

TEST(PkxBuildManifest, EveryFieldReachesThePackageHeader) {
    const Bytes payload = BuildWithManifest(FullManifest());
    builder::MemorySource source(payload);
    const builder::InspectReport report = builder::Inspect(source);
    ASSERT_TRUE(report.AllGood());
    ASSERT_EQ(report.packages.size(), 1u);
    const builder::PackageInfo& info = report.packages[0];
    EXPECT_EQ(info.title, "\x90\xBB\x95\x69");
    EXPECT_EQ(info.oldVersionLabel, "1.0");
    EXPECT_EQ(info.newVersionLabel, "2.0");
    EXPECT_EQ(info.rightsText, "(c) \x89\xEF\x8E\xD0");
    EXPECT_EQ(info.passwordFlag, 1);
    EXPECT_EQ(info.deleteBackupsDefault, std::optional<uint8_t>(0));
    ASSERT_EQ(info.languageBlocks.size(), 2u);
    EXPECT_EQ(info.languageBlocks[0].codePage, 1252u);
    EXPECT_EQ(info.languageBlocks[0].fontFace, "Tahoma");
    EXPECT_EQ(info.languageBlocks[0].fontHeight, 9);
    EXPECT_EQ(info.languageBlocks[1].fontFace, "MS UI Gothic");
    ASSERT_EQ(info.folderSources.size(), 5u);
    EXPECT_EQ(info.folderSources[0].kind, 1);
    EXPECT_EQ(info.folderSources[0].index, 2);
    EXPECT_EQ(info.folderSources[0].text1, "Software\\Vendor");
    EXPECT_EQ(info.folderSources[1].kind, 2);
    EXPECT_EQ(info.folderSources[1].text3, "Dir");
    ASSERT_EQ(info.folderSources[2].lookups.size(), 2u);
    EXPECT_EQ(info.folderSources[2].lookups[0].index, 0xFF);
    EXPECT_EQ(info.folderSources[2].lookups[1].text1, "Software\\%1");
    EXPECT_EQ(info.folderSources[3].text1, "Vendor\\App");
    EXPECT_EQ(info.folderSources[4].kind, 0);
    ASSERT_TRUE(info.runningCheck.has_value());
    EXPECT_EQ(info.runningCheck->kind, 2);
    EXPECT_EQ(info.runningCheck->processName, "app.exe");
    EXPECT_EQ(info.runningCheck->waitFlag, 1);
    EXPECT_EQ(info.documentName, "docs\\readme.txt");
    ASSERT_TRUE(info.notices.has_value());
    ASSERT_EQ(info.notices->size(), 2u);
    EXPECT_EQ((*info.notices)[0].beforeLength, 14u);  // "line 1\r\nline 2"
    EXPECT_EQ((*info.notices)[1].codePage, 932u);
    EXPECT_EQ((*info.notices)[1].afterLength, 6u);
    EXPECT_EQ(info.hasNewCheckValues, std::optional<uint8_t>(1));
    EXPECT_EQ(info.skipMissingSources, std::optional<uint8_t>(1));
    EXPECT_EQ(info.overwriteExistingAdds, std::optional<uint8_t>(1));
    EXPECT_EQ(info.skipMissingDeletes, std::optional<uint8_t>(1));
    EXPECT_EQ(info.checkMode, 1);
}

// Reads the header start as the updater does, on a system of `codePage`.
void ReadAsUpdater(const Bytes& payload, uint32_t codePage, ApplyContext* context) {
    TempFolder folder;
    Bytes file;
    std::string error;
    ASSERT_TRUE(packwriter::BuildSelfExtracting(ToBytes("MZ"), payload, &file, &error)) << error;
    ASSERT_TRUE(WriteFile(folder / "update.exe", std::string(file.begin(), file.end())));
    CodePageScope scope(codePage);
    BinaryFile program;
    ASSERT_EQ(program.OpenRead((folder / "update.exe").c_str(), kShareRead, kAttributeNormal), 0u);
    PackageRef package;
    package.offset = kPayloadOffset;
    package.size = static_cast<uint32_t>(payload.size());
    HeaderStart start;
    FilePackageSource source(program);
    PackageCursor in(source, package);
    ASSERT_EQ(ReadHeaderStart(in, package, *context, &start), 0u);
}

TEST(PkxBuildManifest, DisplayTextsReachTheUpdaterInTheirCodePage) {
    const Bytes payload = BuildWithManifest(FullManifest());
    {
        auto context = std::make_unique<ApplyContext>();
        ReadAsUpdater(payload, 932, context.get());
        EXPECT_EQ(context->textCodePage, 932u);
        EXPECT_STREQ(context->fontFace, "MS UI Gothic");
        // Written in code page 932, held as UTF-8 by the updater.
        EXPECT_STREQ(context->texts[1008], "%s の更新\r\n二行目");
        // Texts the block does not give are the built-in Japanese ones.
        EXPECT_STREQ(context->texts[1001], "キャンセル(&C)");
        const CheckValue digest = Md5Of("secret");
        EXPECT_EQ(std::memcmp(context->passwordDigest, digest.bytes, 16), 0);
    }
    {
        auto context = std::make_unique<ApplyContext>();
        ReadAsUpdater(payload, 1252, context.get());
        EXPECT_EQ(context->textCodePage, 1252u);
        EXPECT_STREQ(context->fontFace, "Tahoma");
        EXPECT_STREQ(context->texts[1008], "text 1008");
        EXPECT_STREQ(context->texts[1073], "text 1073");
    }
}

TEST(PkxBuildManifest, ABlockTakesAWholeBuiltinTableByName) {
    packwriter::PackageModel model;
    std::string error;
    ASSERT_TRUE(builder::FillHeader(ParseOrFail("[[language]]\ncode_page = 932\ntexts = 'en'\n"
                                                "[[language]]\ncode_page = 932\ntexts = 'ja'"),
                                    kNewestFormatVersion, &model, &error))
        << error;
    ASSERT_EQ(model.languageBlocks.size(), 2u);
    for (uint32_t id = kFirstTextId; id <= builder::kLastTextId; ++id) {
        EXPECT_EQ(model.languageBlocks[0].texts.at(id - kFirstTextId),
                  FindBuiltinText(TextLanguage::kEnglish, id));
    }
    EXPECT_EQ(model.languageBlocks[1].texts.at(1001 - kFirstTextId),
              "\x83\x4C\x83\x83\x83\x93\x83\x5A\x83\x8B(&C)");  // キャンセル(&C)
    EXPECT_NE(FillHeaderError("[[language]]\ncode_page = 1252\ntexts = 'ja'", 150)
                  .find("of the Japanese table: text has characters that code page 1252"),
              std::string::npos);
}

TEST(PkxBuildManifest, DefaultsWithoutAManifest) {
    TempFolder oldFolder, newFolder;
    const std::string oldName = std::filesystem::path(NativePath(oldFolder.path())).filename();
    const std::string newName = std::filesystem::path(NativePath(newFolder.path())).filename();
    for (const size_t folders : {1, 2}) {
        SCOPED_TRACE(folders);
        std::vector<const TempFolder*> olds(folders, &oldFolder);
        const Bytes payload = BuildFolders(FolderRequest(olds, newFolder, Manifest())).payload;
        builder::MemorySource source(payload);
        const builder::InspectReport report = builder::Inspect(source);
        ASSERT_EQ(report.packages.size(), folders);
        const builder::PackageInfo& info = report.packages[0];
        EXPECT_EQ(info.title, newName);
        EXPECT_EQ(info.oldVersionLabel, oldName);
        EXPECT_EQ(info.newVersionLabel, newName);
        ASSERT_EQ(info.folderSources.size(), 1u);
        EXPECT_EQ(info.folderSources[0].kind, 0);
        EXPECT_EQ(info.passwordFlag, 0);
        EXPECT_EQ(info.deleteBackupsDefault, std::optional<uint8_t>(1));
        EXPECT_EQ(info.checkMode, 0);
        EXPECT_EQ(info.skipMissingSources, std::optional<uint8_t>(0));
        // In a container a later package meets files an earlier one deleted.
        EXPECT_EQ(info.skipMissingDeletes, std::optional<uint8_t>(folders > 1 ? 1 : 0));
    }
}

}  // namespace
}  // namespace pkx::test

#endif  // _WIN32
