// Which listed devices both programs offer (CDC serial interfaces) and call installed (bound to
// the serial driver), compared byte by byte in ASCII.
#include "device_rules.h"

#include <gtest/gtest.h>

#include <string>

namespace {

usbdrv_device_entry entry(const char* compatible, int32_t is_interface) {
    usbdrv_device_entry e = {};
    e.vid = 0xC04A;
    e.pid = 0x0C02;
    e.is_interface = is_interface;
    e.compatible_id = const_cast<char*>(compatible);
    return e;
}

TEST(DeviceRules, ACdcInterfaceByItsFirstCompatibleIdInAnyCase) {
    const struct {
        const char* compatible;
        int32_t is_interface;
        bool cdc;
    } rows[] = {
        {"USB\\Class_02&SubClass_02&Prot_01", 1, true},
        {"USB\\Class_02", 1, true},
        {"usb\\class_02&subclass_02", 1, true},
        {"USB\\CLASS_02", 1, true},
        {"USB\\Class_0A", 1, false},
        {"USB\\Class_020", 1,
         true},  // the class is the prefix's: what follows is the rest of the ID
        {"USB\\Class_0", 1, false},  // too short
        {"", 1, false},
        {nullptr, 1, false},
        {"USB\\Class_02", 0, false},  // the device itself, not an interface of it
        {"XUSB\\Class_02", 1, false},
        // Bytes that differ from the prefix's by the case bit (0x20) but are no letters, and a
        // byte above 0x7F, which a code page may take for part of a character.
        {"USB\\Class\x7F"
         "02",
         1, false},                  // '_' + 0x20
        {"USB|Class_02", 1, false},  // '\\' + 0x20
        {"USB\\Cl\xC1ss_02", 1, false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.compatible ? r.compatible : "(null)");
        EXPECT_EQ(is_cdc_interface(entry(r.compatible, r.is_interface)), r.cdc);
    }
}

// The reason a program gives for a device that is no CDC serial interface; the rule is the same
// one (is_cdc_interface).
TEST(DeviceRules, WhyADeviceIsNoCdcSerialInterface) {
    const struct {
        const char* compatible;
        int32_t is_interface;
        cdc_check check;
    } rows[] = {
        {"USB\\Class_02&SubClass_02&Prot_01", 1, cdc_check::cdc},
        {"usb\\class_02", 1, cdc_check::cdc},
        {"USB\\COMPOSITE", 0, cdc_check::not_an_interface},  // a composite device's parent
        {"USB\\Class_02", 0, cdc_check::not_an_interface},   // a single-function CDC device
        {nullptr, 0, cdc_check::not_an_interface},
        {"USB\\Class_0A&SubClass_00&Prot_00", 1, cdc_check::data_interface},
        {"usb\\class_0a", 1, cdc_check::data_interface},
        {"USB\\Class_08&SubClass_06&Prot_50", 1, cdc_check::other_class},
        {"USB\\Class_0", 1, cdc_check::other_class},
        {"", 1, cdc_check::other_class},
        {nullptr, 1, cdc_check::other_class},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.compatible ? r.compatible : "(null)");
        usbdrv_device_entry e = entry(r.compatible, r.is_interface);
        EXPECT_EQ(check_cdc_interface(e), r.check);
        EXPECT_EQ(is_cdc_interface(e), r.check == cdc_check::cdc);
    }
}

TEST(DeviceRules, TheSerialDriverInAnyCase) {
    const struct {
        const char* service;
        bool serial;
    } rows[] = {
        {"usbser", true},     {"USBSER", true}, {"UsbSer", true}, {"usbser2", false},
        {"usbse", false},     {"", false},      {nullptr, false}, {"usbccgp", false},
        {"usbs\xC5r", false},  // a byte above 0x7F in the place of a letter
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.service ? r.service : "(null)");
        EXPECT_EQ(is_serial_driver(r.service), r.serial);
    }
}

// Only the 26 ASCII letters have a case: a comparison that folds by setting bit 0x20 would take
// '@' for '`', '[' for '{' and bytes above 0x7F for others.
TEST(DeviceRules, OnlyAsciiLettersHaveACase) {
    EXPECT_TRUE(same_ignoring_ascii_case("USB\\VID_C04A&PID_0C02", "usb\\vid_c04a&pid_0c02"));
    EXPECT_TRUE(same_ignoring_ascii_case("", ""));
    EXPECT_FALSE(same_ignoring_ascii_case("a", "ab"));
    for (auto [a, b] : {std::pair<const char*, const char*>{"@", "`"},
                        {"[", "{"},
                        {"]", "}"},
                        {"^", "~"},
                        {"\xC1", "\xE1"},
                        {"\\", "|"}}) {
        EXPECT_FALSE(same_ignoring_ascii_case(a, b)) << a << " " << b;
    }
    EXPECT_FALSE(same_ignoring_ascii_case(std::string("a\0b", 3), std::string("a\0c", 3)));
    EXPECT_TRUE(same_ignoring_ascii_case(std::string("a\0b", 3), std::string("A\0B", 3)));
}

// What the INF holds of a description: its UTF-8 bytes, each double quote twice, up to the
// library's USBDRV_DESCRIPTION_MAX.
TEST(DeviceRules, ADescriptionFitsTheInfByItsBytesThere) {
    const size_t max = USBDRV_DESCRIPTION_MAX;
    const std::string chinese = "\xE4\xB8\xAD";  // 中, three bytes
    std::string thirds;
    for (size_t i = 0; i < max / 3; i++)
        thirds += chinese;
    const struct {
        const char* what;
        std::string text;
        size_t bytes;
    } rows[] = {
        {"a short name", "Virtual COM Port", 16},
        {"quotes count twice", "say \"hi\"", 10},
        {"as long as it may be", std::string(max, 'x'), max},
        {"a byte too long", std::string(max + 1, 'x'), max + 1},
        {"a quote makes it too long", std::string(max - 1, 'x') + "\"", max + 1},
        {"a quote that still fits", std::string(max - 2, 'x') + "\"", max},
        {"characters of three bytes, to the limit", thirds, max},
        {"one character more", thirds + chinese, max + 3},
        {"30,000 characters", std::string(30000, 'y'), 30000},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(inf_description_bytes(r.text), r.bytes);
        EXPECT_EQ(description_fits_inf(r.text), r.bytes <= max);
    }
}

}  // namespace
