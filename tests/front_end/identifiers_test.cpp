// The identifiers both programs read: VID and PID, the interface number, and their text.
#include "identifiers.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ParseHex4, TakesFourHexDigitsOnly) {
    const struct {
        const char* text;
        bool accepted;
    } rows[] = {
        {"AB12", true},  {"ab12", true},  {"0000", true},   {"fFfF", true},  {"09aF", true},
        {"", false},     {"123", false},  {"12345", false}, {" 123", false}, {"123 ", false},
        {"+123", false}, {"-123", false}, {"0x12", false},  {"12G4", false}, {"12:4", false},
        {"12@4", false}, {"12`4", false}, {"12g4", false},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(parse_hex4(r.text).has_value(), r.accepted) << '"' << r.text << '"';
    }
    // A NUL inside counts as a character that is no digit.
    EXPECT_FALSE(
        parse_hex4(std::string("12\0"
                               "4",
                               4)));
    EXPECT_EQ(parse_hex4("ab12"), parse_hex4("AB12"));
    EXPECT_EQ(parse_hex4("ab12"), 0xAB12);
    EXPECT_EQ(parse_hex4("0C01"), 0x0C01);
    EXPECT_EQ(parse_hex4("FFFF"), 0xFFFF);
}

TEST(ParseInterfaceNumber, TakesOneOrTwoHexDigits) {
    const struct {
        const char* text;
        int value;  // -1: refused
    } rows[] = {
        {"0", 0},  {"2", 2},   {"02", 2},  {"0a", 10}, {"FF", 255}, {"", -1},   {"100", -1},
        {"x", -1}, {" 2", -1}, {"+2", -1}, {"-1", -1}, {"0x2", -1}, {"2h", -1},
    };
    for (const auto& r : rows) {
        std::optional<uint8_t> number = parse_interface_number(r.text);
        EXPECT_EQ(number ? *number : -1, r.value) << '"' << r.text << '"';
    }
}

TEST(Hex4Text, IsWhatParseHex4ReadsBack) {
    EXPECT_EQ(hex4_text(0x0C01), "0C01");
    EXPECT_EQ(hex4_text(0xab12), "AB12");
    EXPECT_EQ(hex4_text(0), "0000");
    for (unsigned value : {0u, 0x1u, 0xC04Au, 0xFFFFu})
        EXPECT_EQ(parse_hex4(hex4_text(static_cast<uint16_t>(value))), value);
}

}  // namespace
