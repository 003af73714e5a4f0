#include "texts/text_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace pkx {
namespace {

// Code page 932 bytes of texts of the built-in table.
const char kText1008[] = "%s \203A\203b\203v\203f\201[\203^(%s \201\250 %s)";
const char kText1010Converted[] =
    "%s \202\360\203o\201[\203W\203\207\203\223 %s \202\251\202\347\203o\201[\203W\203\207\203\223"
    " %s \202\311\215X\220V\202\265\202\334\202\267\201B\r\n\r\n\202\346\202\353\202\265\202\257"
    "\202\352\202\316\201u\202\315\202\242\201v\202\360\203N\203\212\203b\203N\202\265\202\304"
    "\202\255\202\276\202\263\202\242\201B";
// Its "能" has the trail byte 0x5C, a backslash.
const char kText1057[] =
    "[\203G\203\211\201[] \215\267\225\252\203t\203@\203C\203\213\202\314\220\256\215\207\220\253"
    "\202\252\216\346\202\352\202\304\202\242\202\334\202\271\202\361. \215\267\225\252\203t\203@"
    "\203C\203\213\202\315\211\374\342\202\202\263\202\352\202\304\202\242\202\351\211\302\224\134"
    "\220\253\202\252\202\240\202\350\202\334\202\267.";
const char kText110[] =
    "[\203G\203\211\201[] \215\267\225\252\203t\203@\203C\203\213\202\314\203I\201[\203v\203\223"
    "\202\311\216\270\224s\202\265\202\334\202\265\202\275.";
const char kText111[] =
    "[\203G\203\211\201[] \215\267\225\252\203t\203@\203C\203\213\202\314\223\307\215\236\202\335"
    "\202\311\216\270\224s\202\265\202\334\202\265\202\275.";

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

// A template in a heap block of exactly its size, so that a read past the
// terminator is caught by the address sanitizer.
std::unique_ptr<char[]> ExactCopy(const std::string& text) {
    std::unique_ptr<char[]> copy(new char[text.size() + 1]);
    std::memcpy(copy.get(), text.c_str(), text.size() + 1);
    return copy;
}

TEST(ConvertLineBreaks, TurnsBackslashNIntoCrLf) {
    EXPECT_EQ(Converted("a\\nb"), "a\r\nb");
    EXPECT_EQ(Converted("\\n\\n"), "\r\n\r\n");
    EXPECT_EQ(Converted("\\nx\\n"), "\r\nx\r\n");
    // A converted pair is not looked at again; a doubled backslash is no escape.
    EXPECT_EQ(Converted("\\\\n"), "\\\r\n");
}

TEST(ConvertLineBreaks, LeavesEverythingElse) {
    EXPECT_EQ(Converted(""), "");
    EXPECT_EQ(Converted("end\\"), "end\\");
    EXPECT_EQ(Converted("\\"), "\\");
    EXPECT_EQ(Converted("n\\t\\N"), "n\\t\\N");
}

TEST(ConvertLineBreaks, IsByteWiseEvenInsideDoubleByteCharacters) {
    // 0x94 0x5C is one character in code page 932; its trail byte still pairs with "n".
    EXPECT_EQ(Converted("\x94\x5Cn"), "\x94\r\n");
}

TEST(ExpandTemplate, PlaceholdersChooseTheirValues) {
    EXPECT_EQ(Expand("%2 and %1 and %s", "A", "B"), "B and A and A");
    EXPECT_EQ(Expand("%s %s %s %s", "A", "B", "C"), "A B C C");
    EXPECT_EQ(Expand("%3%2%1", "A", "B", "C"), "CBA");
    EXPECT_EQ(Expand("%s%1%s", "A", "B"), "AAB");  // %1 does not move the counter
    // Values are inserted as they are, not scanned again.
    EXPECT_EQ(Expand("[%s]", "%2", "B"), "[%2]");
}

TEST(ExpandTemplate, PercentBeforeAnythingElseGivesThatCharacter) {
    EXPECT_EQ(Expand("100%%"), "100%");
    EXPECT_EQ(Expand("%x"), "x");
    EXPECT_EQ(Expand("%4%0%S"), "40S");
    // A double-byte character after '%' is kept whole; here its trail byte
    // is itself a lead byte and must not swallow the placeholder after it.
    EXPECT_EQ(Expand("%\x82\x9F%s", "A"),
              "\x82\x9F"
              "A");
}

TEST(ExpandTemplate, AbsentValuesInsertNothing) {
    EXPECT_EQ(Expand("[%s]"), "[]");
    EXPECT_EQ(Expand("%s-%s-%s", "A"), "A--");
    EXPECT_EQ(Expand("%3|%2|%1", "A"), "||A");
}

TEST(ExpandTemplate, DoubleByteCharactersFollowTheCodePage) {
    // 0x82 0x25 is one character in code page 932: its 0x25 is no '%'.
    EXPECT_EQ(Expand("\x82%s", "A", nullptr, nullptr, 932), "\x82%s");
    EXPECT_EQ(Expand("\x82%s", "A", nullptr, nullptr, 1252),
              "\x82"
              "A");
    // The pair takes the first '%'; the second, now last, is dropped.
    EXPECT_EQ(Expand("\x82%%", nullptr, nullptr, nullptr, 932), "\x82%");
}

TEST(ExpandTemplate, TemplateEndingEarlyIsNotReadPast) {
    const auto lonePercent = ExactCopy("50%");
    EXPECT_EQ(Expand(lonePercent.get()), "50");
    const auto loneLeadByte = ExactCopy("ab\x82");
    EXPECT_EQ(Expand(loneLeadByte.get()), "ab\x82");
    const auto percentLeadByte = ExactCopy("%\x82");
    EXPECT_EQ(Expand(percentLeadByte.get()), "\x82");
    EXPECT_EQ(Expand(""), "");
}

TEST(ExpandTemplate, OutputIsCutToTheDestination) {
    EXPECT_EQ(Expand("abcdefghij", nullptr, nullptr, nullptr, 932, 8), "abcdefg");
    EXPECT_EQ(Expand("[%s]!", "abcdefghij", nullptr, nullptr, 932, 6), "[abcd");
    EXPECT_EQ(Expand("abc", nullptr, nullptr, nullptr, 932, 1), "");
    EXPECT_EQ(Expand("abc", nullptr, nullptr, nullptr, 932, 4), "abc");

    char untouched[2] = {'#', '#'};
    ExpandTemplate(untouched, 0, "abc", nullptr, nullptr, nullptr, 932);
    EXPECT_EQ(untouched[0], '#');
}

TEST(ExpandTemplate, CutNeverSplitsADoubleByteCharacter) {
    EXPECT_EQ(Expand("abcdef\x82\xA0", nullptr, nullptr, nullptr, 932, 8), "abcdef");
    EXPECT_EQ(Expand("x%s", "\x82\xA0\x82\xA2", nullptr, nullptr, 932, 4), "x\x82\xA0");
    // In a single-byte code page the same bytes are two characters.
    EXPECT_EQ(Expand("abcdef\x82\xA0", nullptr, nullptr, nullptr, 1252, 8), "abcdef\x82");
}

TEST(ExpandTemplate, LongExpansionsFitTheDialogBuffers) {
    const std::string path(259, 'p');
    const std::string line =
        Expand("[%s] %s %s", path.c_str(), path.c_str(), path.c_str(), 932, 512);
    EXPECT_EQ(line.size(), 511u);
    EXPECT_EQ(line.compare(0, 262, "[" + path + "] "), 0);
}

TEST(CopyFaceName, CutsToThirtyOneBytesOnACharacterBoundary) {
    char face[kFaceNameSize + 1];
    face[kFaceNameSize] = '#';

    CopyFaceName(face, "Arial", 1252);
    EXPECT_STREQ(face, "Arial");

    const std::string ascii(40, 'F');
    CopyFaceName(face, ascii.c_str(), 1252);
    EXPECT_EQ(std::string(face), ascii.substr(0, 31));

    const std::string thirtyAndWide = std::string(30, 'F') + "\x82\xA0" + "G";
    CopyFaceName(face, thirtyAndWide.c_str(), 932);
    EXPECT_EQ(std::string(face), std::string(30, 'F'));
    CopyFaceName(face, thirtyAndWide.c_str(), 1252);
    EXPECT_EQ(std::string(face), std::string(30, 'F') + "\x82");

    CopyFaceName(face, kDefaultFontFace, 932);
    EXPECT_STREQ(face, kDefaultFontFace);
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
    EXPECT_EQ(context_->textCodePage, 932u);
    EXPECT_EQ(context_->fontHeight, 12);
    EXPECT_EQ(std::memcmp(context_->fontFace,
                          "\x82\x6C\x82\x72\x20\x82\x6F\x83\x53\x83\x56\x83\x62\x83\x4E", 16),
              0);
}

TEST_F(TextTableTest, DefaultsAreTheJapaneseBytes) {
    if (!JapaneseResourcesReadable()) GTEST_SKIP() << "ANSI code page is not 932";
    LoadDefaultTexts(*context_);
    EXPECT_STREQ(context_->texts[1008], kText1008);
    EXPECT_STREQ(context_->texts[1010], kText1010Converted);
    EXPECT_STREQ(context_->texts[1057], kText1057);

    char title[kTextBufferSize];
    ExpandTemplate(title, sizeof title, context_->texts[1008], "T", "1.0", "2.0",
                   context_->textCodePage);
    EXPECT_STREQ(title, "T \203A\203b\203v\203f\201[\203^(1.0 \201\250 2.0)");
}

TEST_F(TextTableTest, EnglishReplacementsForOlderPackages) {
    char text[kTextBufferSize];
    EXPECT_EQ(LoadResourceText(2069, text, sizeof text), 93u);
    EXPECT_STREQ(text,
                 "The contents of a file of the old version differ. Application of the following "
                 "data is tried.");
    LoadResourceText(2070, text, sizeof text);
    EXPECT_STREQ(text, "%s -> %s ... Skip.");
    LoadResourceText(2071, text, sizeof text);
    EXPECT_STREQ(text, "%s -> %s ... Apply.");
    LoadResourceText(209, text, sizeof text);
    EXPECT_STREQ(text, "[Error] Create thread.");
}

TEST_F(TextTableTest, ResourceTextsAreBoundedAndTerminated) {
    char text[16];
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(LoadResourceText(4000, text, sizeof text), 0u);
    EXPECT_STREQ(text, "");

    char shortBuffer[11];
    std::memset(shortBuffer, 'x', sizeof shortBuffer);
    const uint32_t length = LoadResourceText(2069, shortBuffer, sizeof shortBuffer);
    EXPECT_EQ(length, 10u);
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
    EXPECT_STREQ(context_->texts[1041], kText110);
    EXPECT_STREQ(context_->texts[1042], kText111);
}

}  // namespace
}  // namespace pkx
