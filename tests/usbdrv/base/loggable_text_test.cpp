// Text from another process made fit for one log line: what passes, what is escaped, what is
// replaced.
#include <gtest/gtest.h>

#include <string>

#include "base/loggable_text.h"

namespace {

const std::string kFFFD = "\xEF\xBF\xBD";

std::string loggable(const std::string& text) {
    return loggable_text(text.data(), text.size());
}

TEST(LoggableText, OrdinaryTextPassesByteForByte) {
    const std::string rows[] = {
        "",
        "got device_id: 'USB\\VID_C04A&PID_0C02&MI_00\\7&2F1C3A5&0&0000'",
        "     ndv: INF path: C:\\users\\me\\usb_driver\\Corvane.inf",
        " !\"#$%&'()*+,-./0123456789:;<=>?@AZ[\\]^_`az{|}~",
        "\xE8\x99\x9A\xE6\x8B\x9F\xE4\xB8\xB2\xE5\x8F\xA3",  // 虚拟串口: three-byte forms
        "\xC2\xA0\xC3\xA9\xDF\xBF",                          // U+00A0, U+00E9, U+07FF
        "\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF",  // U+0800, U+D7FF, U+E000, U+FFFF
        "\xF0\x9F\x94\x8C \xF4\x8F\xBF\xBF",                 // U+1F50C, U+10FFFF
    };
    for (const std::string& text : rows)
        EXPECT_EQ(loggable(text), text);
}

TEST(LoggableText, ControlCharactersAreEscapedVisibly) {
    const struct {
        std::string text;
        std::string logged;
    } rows[] = {
        {"a\nb", "a\\nb"},
        {"a\r\nb", "a\\r\\nb"},
        {"\tindented", "\\tindented"},
        {"\x1B[2J\x1B[31mred", "\\x1B[2J\\x1B[31mred"},
        {std::string("a\0b", 3), "a\\x00b"},
        {"\x01\x07\x08\x0B\x0C\x1F\x7F", "\\x01\\x07\\x08\\x0B\\x0C\\x1F\\x7F"},
        // C1 controls: U+009B is a terminal's CSI as ESC [ is, U+0085 a line break.
        {std::string("\xC2\x9B") + "31m", "\\u009B31m"},
        {std::string("a\xC2\x85") + "b", "a\\u0085b"},
        {"\xC2\x80\xC2\x9F\xC2\xA0", "\\u0080\\u009F\xC2\xA0"},
        {std::string("a\xE2\x80\xA8") + "b\xE2\x80\xA9", "a\\u2028b\\u2029"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(loggable(r.text), r.logged) << r.logged;
}

// One U+FFFD for each maximal ill-formed part; the byte that broke a sequence is read anew.
TEST(LoggableText, IllFormedUtf8IsReplaced) {
    const struct {
        const char* name;
        std::string text;
        std::string logged;
    } rows[] = {
        {"a stray continuation byte", "a\x80z", "a" + kFFFD + "z"},
        {"bytes that lead nothing", "\xC0\xC1\xF5\xFF", kFFFD + kFFFD + kFFFD + kFFFD},
        {"an overlong slash", "\xC0\xAF", kFFFD + kFFFD},
        {"an overlong three-byte form", "\xE0\x80\xAF", kFFFD + kFFFD + kFFFD},
        {"a surrogate", "\xED\xA0\x80", kFFFD + kFFFD + kFFFD},
        {"above U+10FFFF", "\xF4\x90\x80\x80", kFFFD + kFFFD + kFFFD + kFFFD},
        {"cut short at the end", "ok\xE2\x82", "ok" + kFFFD},
        {"cut short by ASCII", "\xE2\x82z", kFFFD + "z"},
        {"cut short by a line feed", "\xF0\x9F\x94\nx", kFFFD + "\\nx"},
        {"cut short by a new lead", "\xE2\xE2\x82\xAC", kFFFD + "\xE2\x82\xAC"},
        {"a code-page byte", "caf\xE9!", "caf" + kFFFD + "!"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(loggable(r.text), r.logged) << r.name;
}

}  // namespace
