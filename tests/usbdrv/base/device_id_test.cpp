#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/device_id.h"
#include "base/log.h"

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

// A description buffer as enumeration holds one, in UTF-16 code units.
struct description {
    char16_t units[kDescriptionUnits] = {};

    explicit description(const std::u16string& text) { text.copy(units, kDescriptionUnits - 1); }
    std::u16string text() const { return units; }
};

TEST(DeviceIdFields, VidPidAndInterfaceFromThePiecesInOrder) {
    const struct {
        const char* id;
        uint16_t vid, pid;
        bool has_vid, is_interface;
        uint8_t interface_number;
        const char16_t* suffixes;  // what the description "Port" gets
        const char* log;           // error lines, in order
    } rows[] = {
        {"USB\\VID_1234&PID_ABCD&MI_01\\6&2A3B&0&0001", 0x1234, 0xABCD, true, true, 1,
         u" (Interface 1)", ""},
        {"USB\\VID_C04A&PID_0C02\\CRV00001", 0xC04A, 0x0C02, true, false, 0, u"", ""},
        // The host controllers' root hubs: no VID piece at all.
        {"USB\\ROOT_HUB30\\4&1B2C&0&0", 0, 0, false, false, 0, u"", ""},
        // A VID piece that is not hexadecimal still counts as a VID.
        {"USB\\VID_XYZ1&PID_0001", 0, 1, true, false, 0, u"", "could not convert VID string\n"},
        {"USB\\VID_1234&PID_&MI_", 0x1234, 0, true, false, 0, u"",
         "could not convert PID string\ncould not convert MI string\n"},
        {"VID_&PID_G&MI_Z0", 0, 0, true, false, 0, u"",
         "could not convert VID string\ncould not convert PID string\n"
         "could not convert MI string\n"},
        // The prefixes are compared with regard to case, over their own length.
        {"usb\\vid_1234&pid_abcd&mi_01", 0, 0, false, false, 0, u"", ""},
        {"USB\\VIDEO_12&PIDX&MID_01", 0, 0, false, false, 0, u"", ""},
        // At most four digits for an ID and two for an interface; the rest of the piece is left.
        {"USB\\VID_12345&PID_ABCDE&MI_1FF", 0x1234, 0xABCD, true, true, 0x1F, u" (Interface 31)",
         ""},
        {"USB\\VID_1&PID_2&MI_3", 1, 2, true, true, 3, u" (Interface 3)", ""},
        // Every readable interface piece adds its suffix; the last one's number stays.
        {"USB\\VID_1234&MI_00&MI_02", 0x1234, 0, true, true, 2, u" (Interface 0) (Interface 2)",
         ""},
        {"USB\\VID_1234&VID_5678", 0x5678, 0, true, false, 0, u"", ""},
        {"", 0, 0, false, false, 0, u"", ""},
    };
    for (const auto& r : rows) {
        description d(u"Port");
        testing::internal::CaptureStderr();
        device_id_fields f = read_device_id(r.id, "usbdrv_create_list", d.units);
        std::string log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(f.vid, r.vid) << r.id;
        EXPECT_EQ(f.pid, r.pid) << r.id;
        EXPECT_EQ(f.has_vid, r.has_vid) << r.id;
        EXPECT_EQ(f.is_interface, r.is_interface) << r.id;
        EXPECT_EQ(f.interface_number, r.interface_number) << r.id;
        EXPECT_TRUE(d.text() == u"Port" + std::u16string(r.suffixes)) << r.id;
        std::string expected;
        for (std::string rest = r.log; !rest.empty(); rest.erase(0, rest.find('\n') + 1))
            expected += "usbdrv:error [usbdrv_create_list] " + rest.substr(0, rest.find('\n') + 1);
        EXPECT_EQ(log, expected) << r.id;
    }
}

// A suffix goes on while the description's length plus the suffix's room stays below 256 units.
TEST(DescriptionSuffixes, OnlyWhileThereIsRoom) {
    const struct {
        size_t length;
        description_text suffix;
        bool appended;
    } rows[] = {
        {0, interface_suffix(7), true},         {238, interface_suffix(255), true},
        {239, interface_suffix(0), false},      {250, interface_suffix(1), false},
        {235, composite_parent_suffix(), true}, {236, composite_parent_suffix(), false},
    };
    for (const auto& r : rows) {
        description d(std::u16string(r.length, u'x'));
        append_description_suffix(d.units, r.suffix);
        std::u16string expected(r.length, u'x');
        if (r.appended)
            expected += std::u16string(r.suffix.text, r.suffix.text + strlen(r.suffix.text));
        EXPECT_TRUE(d.text() == expected) << r.length << " + " << r.suffix.text;
    }
    EXPECT_STREQ(interface_suffix(255).text, " (Interface 255)");
    EXPECT_STREQ(composite_parent_suffix().text, " (Composite Parent)");
}

TEST(DescriptionSuffixes, UnknownDevicesAreCountedFromTheCallersCounter) {
    int counter = 1;
    description d(u"old text that goes");
    set_description(d.units, unknown_device_name(counter));
    EXPECT_TRUE(d.text() == u"Unknown Device #1");
    set_description(d.units, unknown_device_name(counter));
    EXPECT_TRUE(d.text() == u"Unknown Device #2");
    EXPECT_EQ(counter, 3);
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
