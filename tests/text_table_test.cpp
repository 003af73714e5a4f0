#include "texts/text_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace pkx {
namespace {

// Texts of the Japanese table as the updater holds them: code page 932
// bytes on Windows (from the string table, under code page 932), UTF-8 on
// POSIX.
#ifdef _WIN32
const char kJapanese1008[] = "%s \203A\203b\203v\203f\201[\203^(%s \201\250 %s)";
const char kJapanese1010[] =
    "%s \202\360\203o\201[\203W\203\207\203\223 %s \202\251\202\347\203o\201[\203W\203\207\203\223"
    " %s \202\311\215X\220V\202\265\202\334\202\267\201B\r\n\r\n\202\346\202\353\202\265\202\257"
    "\202\352\202\316\201u\202\315\202\242\201v\202\360\203N\203\212\203b\203N\202\265\202\304"
    "\202\255\202\276\202\263\202\242\201B";
// Its "能" has the trail byte 0x5C, a backslash.
const char kJapanese1057[] =
    "[\203G\203\211\201[] \215\267\225\252\203t\203@\203C\203\213\202\314\220\256\215\207\220\253"
    "\202\252\216\346\202\352\202\304\202\242\202\334\202\271\202\361. \215\267\225\252\203t\203@"
    "\203C\203\213\202\315\211\374\342\202\202\263\202\352\202\304\202\242\202\351\211\302\224\134"
    "\220\253\202\252\202\240\202\350\202\334\202\267.";
const char kJapanese110[] =
    "[\203G\203\211\201[] \215\267\225\252\203t\203@\203C\203\213\202\314\203I\201[\203v\203\223"
    "\202\311\216\270\224s\202\265\202\334\202\265\202\275.";
#else
const char kJapanese1008[] = "%s アップデータ(%s → %s)";
const char kJapanese1010[] =
    "%s をバージョン %s からバージョン %s に更新します。\r\n\r\nよろしければ「はい」をクリックして"
    "ください。";
const char kJapanese1057[] =
    "[エラー] 差分ファイルの整合性が取れていません. 差分ファイルは改竄されている可能性があります.";
const char kJapanese110[] = "[エラー] 差分ファイルのオープンに失敗しました.";
#endif

// Windows hands resource strings to LoadStringA callers in the ANSI code
// page, so the Japanese texts arrive as their own bytes only under 932.
bool JapaneseResourcesReadable() {
#ifdef _WIN32
    return NativePlatform().AnsiCodePage() == 932;
#else
    return true;
#endif
}

std::string Expand(const char* templ, const char* v1 = nullptr, const char* v2 = nullptr,
                   const char* v3 = nullptr, uint32_t codePage = 932, size_t size = 512) {
    std::vector<char> destination(size + 1, '#');
    ExpandTemplate(destination.data(), size, templ, v1, v2, v3, codePage);
    EXPECT_EQ(destination[size], '#') << "wrote past the destination";
    return std::string(destination.data());
}

std::string Converted(std::string text) {
    ConvertLineBreaks(&text[0]);
    return text;
}

TEST(ConvertLineBreaks, TurnsOnlyBackslashNIntoCrLfBytewise) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"a\\nb", "a\r\nb"},
        {"\\n\\n", "\r\n\r\n"},
        {"\\nx\\n", "\r\nx\r\n"},
        // A converted pair is not looked at again; a doubled backslash is no escape.
        {"\\\\n", "\\\r\n"},
        {"", ""},
        {"end\\", "end\\"},
        {"n\\t\\N", "n\\t\\N"},
        // 0x94 0x5C is one character in code page 932; its trail byte still pairs with "n".
        {"\x94\x5Cn", "\x94\r\n"}};
    for (const auto& [text, expected] : cases) EXPECT_EQ(Converted(text), expected) << text;
}

TEST(ExpandTemplate, PlaceholdersPercentsAndCodePages) {
    struct Case {
        const char *templ, *v1, *v2, *v3;
        uint32_t codePage;
        size_t size;
        std::string expected;
    };
    const Case cases[] = {
        {"%2 and %1 and %s", "A", "B", nullptr, 932, 512, "B and A and A"},
        {"%s %s %s %s", "A", "B", "C", 932, 512, "A B C C"},
        {"%3%2%1", "A", "B", "C", 932, 512, "CBA"},
        {"%s%1%s", "A", "B", nullptr, 932, 512, "AAB"},  // %1 does not move the counter
        {"[%s]", "%2", "B", nullptr, 932, 512, "[%2]"},  // values are not scanned again
        {"100%%", nullptr, nullptr, nullptr, 932, 512, "100%"},
        {"%4%0%S", nullptr, nullptr, nullptr, 932, 512, "40S"},
        // The trail byte after '%' is itself a lead byte and must not swallow the placeholder.
        {"%\x82\x9F%s", "A", nullptr, nullptr, 932, 512,
         "\x82\x9F"
         "A"},
        {"%s-%s-%s", "A", nullptr, nullptr, 932, 512, "A--"},
        {"%3|%2|%1", "A", nullptr, nullptr, 932, 512, "||A"},
        // 0x82 0x25 is one character in code page 932: its 0x25 is no '%'.
        {"\x82%s", "A", nullptr, nullptr, 932, 512, "\x82%s"},
        {"\x82%s", "A", nullptr, nullptr, 1252, 512,
         "\x82"
         "A"},
        {"\x82%%", nullptr, nullptr, nullptr, 932, 512, "\x82%"},
        // Cut to the destination, never inside a double-byte character.
        {"abcdefghij", nullptr, nullptr, nullptr, 932, 8, "abcdefg"},
        {"[%s]!", "abcdefghij", nullptr, nullptr, 932, 6, "[abcd"},
        {"abc", nullptr, nullptr, nullptr, 932, 1, ""},
        {"abc", nullptr, nullptr, nullptr, 932, 4, "abc"},
        {"abcdef\x82\xA0", nullptr, nullptr, nullptr, 932, 8, "abcdef"},
        {"x%s", "\x82\xA0\x82\xA2", nullptr, nullptr, 932, 4, "x\x82\xA0"},
        {"abcdef\x82\xA0", nullptr, nullptr, nullptr, 1252, 8, "abcdef\x82"},
        // UTF-8 is cut between characters too; its bytes hold no '%'.
        {"abcde\u3042", nullptr, nullptr, nullptr, 65001, 8, "abcde"},
        {"\u3041%s", "\u3042", nullptr, nullptr, 65001, 512, "\u3041\u3042"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Expand(c.templ, c.v1, c.v2, c.v3, c.codePage, c.size), c.expected) << c.templ;
    }
    char untouched[2] = {'#', '#'};
    ExpandTemplate(untouched, 0, "abc", nullptr, nullptr, nullptr, 932);
    EXPECT_EQ(untouched[0], '#');
    const std::string path(259, 'p');
    const std::string line = Expand("[%s] %s %s", path.c_str(), path.c_str(), path.c_str());
    EXPECT_EQ(line.size(), 511u);
    EXPECT_EQ(line.compare(0, 262, "[" + path + "] "), 0);
}

TEST(ExpandTemplate, TemplateEndingEarlyIsNotReadPast) {
    // Each template in a heap block of exactly its size, for the address sanitizer.
    for (const auto& [templ, expected] : std::vector<std::pair<std::string, std::string>>{
             {"50%", "50"}, {"ab\x82", "ab\x82"}, {"%\x82", "\x82"}, {"", ""}}) {
        std::unique_ptr<char[]> copy(new char[templ.size() + 1]);
        std::memcpy(copy.get(), templ.c_str(), templ.size() + 1);
        EXPECT_EQ(Expand(copy.get()), expected);
    }
}

TEST(CopyFaceName, CutsToThirtyOneBytesOnACharacterBoundary) {
    char face[kFaceNameSize + 1];
    face[kFaceNameSize] = '#';

    const std::string ascii(40, 'F');
    CopyFaceName(face, ascii.c_str(), 1252);
    EXPECT_EQ(std::string(face), ascii.substr(0, 31));

    const std::string thirtyAndWide = std::string(30, 'F') + "\x82\xA0" + "G";
    CopyFaceName(face, thirtyAndWide.c_str(), 932);
    EXPECT_EQ(std::string(face), std::string(30, 'F'));
    CopyFaceName(face, thirtyAndWide.c_str(), 1252);
    EXPECT_EQ(std::string(face), std::string(30, 'F') + "\x82");

    CopyFaceName(face, nullptr, 932);
    EXPECT_STREQ(face, "");
    EXPECT_EQ(face[kFaceNameSize], '#');
}

class TextTableTest : public ::testing::Test {
  protected:
    void SetUp() override {
        savedCodePage_ = systemCodePage;
        for (auto& slot : context_->texts.slots) std::memset(slot, 'x', kTextBufferSize - 1);
    }
    void TearDown() override { systemCodePage = savedCodePage_; }

    std::unique_ptr<ApplyContext> context_ = std::make_unique<ApplyContext>();
    uint32_t savedCodePage_ = 0;
};

TEST_F(TextTableTest, DefaultsFillEverySlotAndSelectTheBuiltInFont) {
    struct Case {
        uint32_t systemCodePage, textCodePage;
        const char* face;
    };
    for (const Case& c :
         {Case{932, 932, kDefaultFontFace}, Case{1252, 1252, "Arial"}, Case{1251, 1252, "Arial"}}) {
        SCOPED_TRACE(c.systemCodePage);
        systemCodePage = c.systemCodePage;
        LoadDefaultTexts(*context_);
        for (uint32_t id = 1000; id <= 1073; ++id) {
            const size_t length = std::strlen(context_->texts[id]);
            EXPECT_GT(length, 0u) << "text " << id;
            EXPECT_LT(length, kTextBufferSize) << "text " << id;
            EXPECT_EQ(std::strstr(context_->texts[id], "\\n"), nullptr) << "text " << id;
        }
        EXPECT_STREQ(context_->texts[1000], "&OK");
        EXPECT_STREQ(context_->texts[1033], " ");
        EXPECT_STREQ(context_->texts[1039], "----------");
        EXPECT_EQ(context_->textCodePage, c.textCodePage);
        EXPECT_EQ(context_->fontHeight, 12);
        EXPECT_STREQ(context_->fontFace, c.face);
    }
    EXPECT_EQ(std::memcmp(kDefaultFontFace,
                          "\x82\x6C\x82\x72\x20\x82\x6F\x83\x53\x83\x56\x83\x62\x83\x4E", 16),
              0);
}

// Japanese on systems of code page 932, English on all others: no text of
// the table in use shows as question marks on a Western system.
TEST_F(TextTableTest, DefaultsAreTheTableOfTheSystemCodePage) {
    struct Case {
        uint32_t systemCodePage, id;
        const char* text;
    };
    const Case cases[] = {
        {932, 1008, kJapanese1008},
        {932, 1010, kJapanese1010},
        {932, 1057, kJapanese1057},
        {1252, 1008, "%s Updater (%s -> %s)"},
        {1252, 1010,
         "This will update %s from version %s to version %s.\r\n\r\nClick Yes to continue."},
        {1250, 1057,
         "[Error] The update package failed its integrity check. It may have been tampered "
         "with."},
    };
    for (const Case& c : cases) {
        if (c.systemCodePage == 932 && !JapaneseResourcesReadable()) continue;
        systemCodePage = c.systemCodePage;
        LoadDefaultTexts(*context_);
        EXPECT_STREQ(context_->texts[c.id], c.text) << c.systemCodePage << " " << c.id;
    }
    systemCodePage = 1252;
    LoadDefaultTexts(*context_);
    for (const auto& slot : context_->texts.slots) {
        for (const char* at = slot; *at != '\0'; ++at) {
            EXPECT_GT(*at, 0) << "not ASCII: " << slot;
            if (*at <= 0) break;
        }
    }
}

TEST_F(TextTableTest, EnglishResourceTextsAreBoundedAndTerminated) {
    char text[kTextBufferSize];
    EXPECT_EQ(LoadResourceText(2069, text, sizeof text), 93u);
    EXPECT_STREQ(text,
                 "The contents of a file of the old version differ. Application of the following "
                 "data is tried.");
    for (const auto& [id, expected] :
         std::vector<std::pair<uint32_t, const char*>>{{2070, "%s -> %s ... Skip."},
                                                       {2071, "%s -> %s ... Apply."},
                                                       {209, "[Error] Create thread."},
                                                       {4000, ""}}) {
        std::memset(text, 'x', sizeof text);
        LoadResourceText(id, text, sizeof text);
        EXPECT_STREQ(text, expected) << id;
    }
    char shortBuffer[11];
    EXPECT_EQ(LoadResourceText(2069, shortBuffer, sizeof shortBuffer), 10u);
    EXPECT_STREQ(shortBuffer, "The conten");
}

TEST_F(TextTableTest, StartupTextsFollowTheSystemCodePage) {
    std::strcpy(context_->texts[1040], "kept");
    std::strcpy(context_->texts[1043], "kept");

    systemCodePage = 1252;
    LoadStartupTexts(*context_);
    EXPECT_STREQ(context_->texts[1041], "[Error] Unable to open pkx file.");
    EXPECT_STREQ(context_->texts[1042], "[Error] Unable to read pkx file.");
    EXPECT_STREQ(context_->texts[1040], "kept");
    EXPECT_STREQ(context_->texts[1043], "kept");

    if (!JapaneseResourcesReadable()) GTEST_SKIP() << "ANSI code page is not 932";
    systemCodePage = 932;
    LoadStartupTexts(*context_);
    EXPECT_STREQ(context_->texts[1041], kJapanese110);
    EXPECT_NE(std::string(context_->texts[1042]), context_->texts[1041]);
}

}  // namespace
}  // namespace pkx
