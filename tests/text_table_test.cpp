#include "texts/text_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/recording_ui.h"

namespace pkx {
namespace {

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
    const std::string path(259, 'p');
    const Case cases[] = {
        {"%2 and %1 and %s", "A", "B", nullptr, 932, 512, "B and A and A"},
        {"%s %s %s %s", "A", "B", "C", 932, 512, "A B C C"},
        {"%3%2%1", "A", "B", "C", 932, 512, "CBA"},
        {"%s%1%s", "A", "B", nullptr, 932, 512, "AAB"},  // %1 does not move the counter
        {"[%s]", "%2", "B", nullptr, 932, 512, "[%2]"},  // values are not scanned again
        {"100%%", nullptr, nullptr, nullptr, 932, 512, "100%"},
        {"%4%0%S", nullptr, nullptr, nullptr, 932, 512, "40S"},
        // The trail byte after '%' is itself a lead byte and must not swallow the placeholder.
        {"%\202\237%s", "A", nullptr, nullptr, 932, 512, "\202\237A"},
        {"%s-%s-%s", "A", nullptr, nullptr, 932, 512, "A--"},
        {"%3|%2|%1", "A", nullptr, nullptr, 932, 512, "||A"},
        // 0x82 0x25 is one character in code page 932: its 0x25 is no '%'.
        {"\x82%s", "A", nullptr, nullptr, 932, 512, "\x82%s"},
        {"\x82%s", "A", nullptr, nullptr, 1252, 512, "\202A"},
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
        {"[%s] %s %s", path.c_str(), path.c_str(), path.c_str(), 932, 512,
         ("[" + path + "] " + path + " " + path).substr(0, 511)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Expand(c.templ, c.v1, c.v2, c.v3, c.codePage, c.size), c.expected) << c.templ;
    }
    char untouched[2] = {'#', '#'};
    ExpandTemplate(untouched, 0, "abc", nullptr, nullptr, nullptr, 932);
    EXPECT_EQ(untouched[0], '#');
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
        for (auto& slot : context_->texts.slots) std::memset(slot, 'x', kTextBufferSize - 1);
    }

    test::CodePageScope codePage_{systemCodePage};  // restored after the test
    std::unique_ptr<ApplyContext> context_ = std::make_unique<ApplyContext>();
};

TEST_F(TextTableTest, DefaultsFillEverySlotAndSelectTheBuiltInFont) {
    struct Case {
        uint32_t systemCodePage, textCodePage;
        const char* face;
    };
    // Every system code page but 932 takes the English table, double-byte ones included.
    for (const Case& c :
         {Case{932, 932, kDefaultFontFace}, Case{1252, 1252, "Arial"}, Case{1250, 1252, "Arial"},
          Case{1251, 1252, "Arial"}, Case{936, 1252, "Arial"}, Case{949, 1252, "Arial"}}) {
        SCOPED_TRACE(c.systemCodePage);
        systemCodePage = c.systemCodePage;
        LoadDefaultTexts(*context_);
        for (uint32_t id = 1000; id <= 1073; ++id) {
            const size_t length = std::strlen(context_->texts[id]);
            EXPECT_GT(length, 0u) << "text " << id;
            EXPECT_LT(length, kTextBufferSize) << "text " << id;
            EXPECT_EQ(std::strstr(context_->texts[id], "\\n"), nullptr) << "text " << id;
        }
        EXPECT_EQ(context_->textCodePage, c.textCodePage);
        EXPECT_EQ(context_->fontHeight, 12);
        EXPECT_STREQ(context_->fontFace, c.face);
    }
}

TEST_F(TextTableTest, ResourceTextsAreBoundedAndTerminated) {
    char text[kTextBufferSize];
    const uint32_t length = LoadResourceText(2069, text, sizeof text);
    EXPECT_EQ(length, std::strlen(text));
    EXPECT_GT(length, 10u);
    char shortBuffer[11];
    EXPECT_EQ(LoadResourceText(2069, shortBuffer, sizeof shortBuffer), 10u);
    EXPECT_EQ(std::string(text, 10), shortBuffer);
    std::memset(text, 'x', sizeof text);
    LoadResourceText(4000, text, sizeof text);
    EXPECT_STREQ(text, "") << "an unknown text is empty";
}

// Only the texts for failures to open and read the program file are loaded:
// English (ASCII) unless the system code page is Japanese.
TEST_F(TextTableTest, StartupTextsFollowTheSystemCodePage) {
    for (const uint32_t codePage : {1252u, 932u, 1250u, 1251u, 936u, 949u}) {
        SCOPED_TRACE(codePage);
#ifdef _WIN32
        // LoadStringA hands Japanese texts over as their own bytes only under 932.
        if (codePage == 932 && NativePlatform().AnsiCodePage() != 932) continue;
#endif
        systemCodePage = codePage;
        LoadStartupTexts(*context_);
        for (const uint32_t id : {1041, 1042}) {
            const std::string text = context_->texts[id];
            EXPECT_GT(text.size(), 10u) << id;
            EXPECT_EQ(std::all_of(text.begin(), text.end(), [](char c) { return c > 0; }),
                      codePage != 932)
                << id;
        }
        EXPECT_NE(std::string(context_->texts[1041]), context_->texts[1042]);
        for (const uint32_t id : {1040, 1043}) {
            EXPECT_EQ(std::string(context_->texts[id]), std::string(kTextBufferSize - 1, 'x'));
        }
    }
}

}  // namespace
}  // namespace pkx
