#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "win/handles.h"
#include "win/utf8.h"

namespace {

std::string to8(const wchar_t* text) {
    unique_malloc<char> out(utf16_to_utf8(text));
    return out ? std::string(out.get()) : std::string("(null)");
}

std::wstring to16(const char* text) {
    unique_malloc<wchar_t> out(utf8_to_utf16(text));
    return out ? std::wstring(out.get()) : std::wstring(L"(null)");
}

TEST(Utf8, ConvertsBothWays) {
    const struct {
        const char* utf8;
        const wchar_t* utf16;
    } rows[] = {
        {"a", L"a"},
        {"Port (Interface 2)", L"Port (Interface 2)"},
        {"\xC3\xA9", L"\u00E9"},                // two bytes
        {"\xE2\x82\xAC", L"\u20AC"},            // three bytes
        {"\xF0\x9F\x98\x80", L"\xD83D\xDE00"},  // four bytes, a surrogate pair
        {"\xE4\xB8\xAD\xE6\x96\x87", L"\u4E2D\u6587"},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(to8(r.utf16), r.utf8);
        EXPECT_EQ(to16(r.utf8), r.utf16);
    }
}

TEST(Utf8, EmptyAndNullGiveNull) {
    EXPECT_EQ(utf16_to_utf8(L""), nullptr);
    EXPECT_EQ(utf8_to_utf16(""), nullptr);
    EXPECT_EQ(utf16_to_utf8(nullptr), nullptr);
    EXPECT_EQ(utf8_to_utf16(nullptr), nullptr);
}

TEST(Utf8, InvalidInputIsReplacedNotRejected) {
    // A stray continuation byte, a cut sequence and a byte that never occurs in UTF-8.
    for (const char* bad : {"a\x80z", "a\xE2\x82", "\xFF"}) {
        std::wstring wide = to16(bad);
        EXPECT_NE(wide, L"(null)") << bad;
        EXPECT_NE(wide.find(L'\uFFFD'), std::wstring::npos) << bad;
    }
    // A lone surrogate becomes the replacement character.
    EXPECT_EQ(to8(L"a\xD800z"), "a\xEF\xBF\xBDz");
}

TEST(Utf8, LongTextsConvertWhole) {
    std::wstring long_text(100000, L'\u20AC');
    std::string converted = to8(long_text.c_str());
    EXPECT_EQ(converted.size(), 300000u);
    EXPECT_EQ(to16(converted.c_str()), long_text);
}

}  // namespace
