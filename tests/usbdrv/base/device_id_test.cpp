#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device_id.h"

namespace {

std::vector<std::string> pieces(const char* id, size_t size = 256) {
    std::vector<std::string> result;
    std::vector<char> piece(size);
    const char* cursor = id;
    while (next_id_piece(cursor, piece.data(), size))
        result.push_back(piece.data());
    return result;
}

TEST(DeviceIdPieces, SplitAtBackslashHashAndAmpersand) {
    using v = std::vector<std::string>;
    EXPECT_EQ(pieces("USB\\VID_1234&PID_ABCD&MI_01\\6&2A3B&0&0001"),
              (v{"USB", "VID_1234", "PID_ABCD", "MI_01", "6", "2A3B", "0", "0001"}));
    EXPECT_EQ(pieces("\\\\##&&VID_1&&\\#PID_2&"), (v{"VID_1", "PID_2"}));
    EXPECT_EQ(pieces(""), v{});
    EXPECT_EQ(pieces("&&&"), v{});
    EXPECT_EQ(pieces("USB\\ROOT_HUB30\\4&1B2C&0&0"),
              (v{"USB", "ROOT_HUB30", "4", "1B2C", "0", "0"}));
    // A piece longer than the buffer is cut, and the next piece still starts after it.
    EXPECT_EQ(pieces("ABCDEFGH&IJ", 4), (v{"ABC", "IJ"}));
    const char* none = nullptr;
    char piece[8];
    EXPECT_FALSE(next_id_piece(none, piece, sizeof piece));
}

TEST(DriverVersion, FourSixteenBitNumbersFirstInTheHighestBits) {
    const struct {
        const char* text;
        uint64_t value;
    } rows[] = {
        {"10.0.19041.1", (10ull << 48) | (0ull << 32) | (19041ull << 16) | 1},
        {"6.1.7600.16385", (6ull << 48) | (1ull << 32) | (7600ull << 16) | 16385},
        {"", 0},
        {"...", 0},
        {"1..2", (1ull << 16) | 2},  // empty pieces are dropped
        {"3", 3},
        {"1.2.3.4.5", (2ull << 48) | (3ull << 32) | (4ull << 16) | 5},  // the first one shifts out
        {"-1", 0xFFFFFFFFFFFFFFFFull},                                  // widened with its sign
        {"1.-1", (1ull << 16) + 0xFFFFFFFFFFFFFFFFull},
        {"4294967297", 1},  // read as 32 bits
        {"x.7", 7},         // not a number: 0
    };
    for (const auto& r : rows)
        EXPECT_EQ(parse_driver_version(r.text), r.value) << r.text;
    EXPECT_EQ(parse_driver_version(nullptr), 0u);
}

TEST(ServiceNames, HubsAndCompositeParentsInAnyCase) {
    for (const char* hub : {"usbhub", "usbhub3", "usb3hub", "nusb3hub", "rusb3hub", "flxhcih",
                            "tihub3", "etronhub3", "viahub3", "asmthub3", "iusb3hub", "vusb3hub",
                            "amdhub30", "vhhub", "USBHUB3", "UsbHub"}) {
        EXPECT_TRUE(is_hub_service(hub)) << hub;
        EXPECT_FALSE(is_composite_parent_service(hub)) << hub;
    }
    for (const char* other : {"usbccgp", "usbser", "", "usbhub4", "usbhu", "hub"}) {
        EXPECT_FALSE(is_hub_service(other)) << other;
    }
    EXPECT_TRUE(is_composite_parent_service("usbccgp"));
    EXPECT_TRUE(is_composite_parent_service("USBCCGP"));
    EXPECT_FALSE(is_composite_parent_service("usbccgp2"));
    EXPECT_FALSE(is_hub_service(nullptr));
    EXPECT_FALSE(is_composite_parent_service(nullptr));
}

TEST(TrimTrailingSpace, OnlyTheEndAndEveryKindOfWhiteSpace) {
    const struct {
        const char* in;
        const char* out;
    } rows[] = {
        {"Port  ", "Port"}, {"  Port  ", "  Port"}, {"Port \t\n\v\f\r", "Port"}, {"   ", ""},
        {"", ""},           {"P o r t", "P o r t"},
    };
    for (const auto& r : rows) {
        std::string text = r.in;
        trim_trailing_space(&text[0]);
        EXPECT_STREQ(text.c_str(), r.out) << '"' << r.in << '"';
    }
    trim_trailing_space(nullptr);
}

}  // namespace
