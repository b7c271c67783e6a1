// Text from the system in UTF-16, converted strictly: a lone surrogate is refused with where it
// stands, never replaced.
#include "utf16_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Utf16Text, ValidTextBecomesItsUtf8) {
    const struct {
        std::u16string text;
        std::string utf8;
    } rows[] = {
        {u"", ""},
        {u"C:\\users\\root", "C:\\users\\root"},
        // The bounds of each UTF-8 length.
        {u"\u007F\u0080", "\x7F\xC2\x80"},
        {u"\u07FF\u0800", "\xDF\xBF\xE0\xA0\x80"},
        {u"\uFFFF", "\xEF\xBF\xBF"},
        {u"C:\\用户\\张三", "C:\\\xE7\x94\xA8\xE6\x88\xB7\\\xE5\xBC\xA0\xE4\xB8\x89"},
        // A pair is one character of four bytes: the first and the last there are.
        {u"\xD800\xDC00", "\xF0\x90\x80\x80"},
        {u"a\xDBFF\xDFFFz", "a\xF4\x8F\xBF\xBFz"},
        {u"\xD83D\xDE00\xD83D\xDE00", "\xF0\x9F\x98\x80\xF0\x9F\x98\x80"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.utf8);
        utf16_conversion c = utf8_from_utf16(r.text);
        EXPECT_TRUE(c.valid());
        EXPECT_EQ(c.utf8, r.utf8);
    }
}

TEST(Utf16Text, ALoneSurrogateIsRefusedWhereItStands) {
    const struct {
        std::u16string text;
        size_t at;
        char16_t unit;
    } rows[] = {
        {u"\xD800", 0, 0xD800},               // a high one alone
        {u"\xDFFF", 0, 0xDFFF},               // a low one alone
        {u"out\xDC00put", 3, 0xDC00},         // inside a text
        {u"folder\xDBFF", 6, 0xDBFF},         // a high one at the end, its low one missing
        {u"\xDC00\xD800", 0, 0xDC00},         // a pair the wrong way round
        {u"\xD800\xD800\xDC00", 0, 0xD800},   // a high one before a whole pair
        {u"\xD83D\xDE00x\xDE00", 3, 0xDE00},  // after a whole pair
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << "at " << r.at);
        utf16_conversion c = utf8_from_utf16(r.text);
        EXPECT_FALSE(c.valid());
        EXPECT_EQ(c.bad_at, r.at);
        EXPECT_EQ(c.bad_unit, r.unit);
        EXPECT_EQ(c.utf8, "") << "nothing of the text is handed on";
    }
    EXPECT_EQ(code_unit_text(0xD800), "U+D800");
    EXPECT_EQ(code_unit_text(0xDC0F), "U+DC0F");
}

}  // namespace
