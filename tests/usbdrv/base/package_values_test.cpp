// The values a driver package is made of: hardware IDs, names, the interface GUID and vendor
// rules, the driver date and version texts, the catalog's list of files and the signer's subject.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/android_ids.h"
#include "base/package_values.h"
#include "base/vendor_names.h"

namespace {

TEST(DriverKindFiles, EachKindHasItsTemplatesAndCompatibleId) {
    const struct {
        int32_t kind;
        const char *inf, *list, *compatible;
    } rows[] = {
        {0, "winusb.inf.in", "winusb.cat.in", "MS_COMP_WINUSB"},
        {1, "libusb0.inf.in", "libusb0.cat.in", "MS_COMP_LIBUSB0"},
        {2, "libusbk.inf.in", "libusbk.cat.in", "MS_COMP_LIBUSBK"},
        {3, "usbser.inf.in", "usbser.cat.in", "MS_COMP_USBSER"},
    };
    for (const auto& r : rows) {
        const driver_kind_files* files = driver_kind_files_of(r.kind);
        ASSERT_NE(files, nullptr) << r.kind;
        EXPECT_STREQ(files->inf_template, r.inf);
        EXPECT_STREQ(files->catalog_list, r.list);
        EXPECT_STREQ(files->compatible_id, r.compatible);
    }
    for (int32_t kind : {4, 5, -1})
        EXPECT_EQ(driver_kind_files_of(kind), nullptr) << kind;
}

TEST(InfNames, TheExtensionAndTheCatalogName) {
    const struct {
        const char* name;
        bool accepted;
        const char* catalog;
    } rows[] = {
        {"Corvane.inf", true, "Corvane.cat"},
        {".inf", true, ".cat"},
        {"a.b.inf", true, "a.b.cat"},
        {"Corvane.INF", false, nullptr},  // the letters as written
        {"Corvane.Inf", false, nullptr},
        {"Corvane.inf ", false, nullptr},
        {"Corvane.infx", false, nullptr},
        {"inf", false, nullptr},
        {"", false, nullptr},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(has_inf_extension(r.name), r.accepted) << r.name;
        if (r.catalog) {
            char catalog[32];
            catalog_name_of(r.name, catalog, sizeof catalog);
            EXPECT_STREQ(catalog, r.catalog);
        }
    }
    EXPECT_FALSE(has_inf_extension(nullptr));
    char cut[8];
    catalog_name_of("abcdefghij.inf", cut, sizeof cut);
    EXPECT_STREQ(cut, "abcdefg");  // cut at the buffer, never past it
}

TEST(InfNames, OnlyABareFileNameStaysInThePackageFolder) {
    const struct {
        const char* name;
        bool bare;
    } rows[] = {
        {"Corvane.inf", true},
        {"my driver (v2).inf", true},
        {"..inf", true},  // dots alone name no other folder
        {"..\\x.inf", false},
        {"sub\\x.inf", false},
        {"\\x.inf", false},
        {"C:\\x.inf", false},
        {"C:x.inf", false},  // relative to drive C's current folder
        {"a:b.inf", false},  // the stream b.inf of the file a
        {"a/b.inf", false},
        {"\\\\server\\share\\x.inf", false},
        {"", true},  // refused by the extension check, not here
    };
    for (const auto& r : rows)
        EXPECT_EQ(is_bare_file_name(r.name), r.bare) << r.name;
    EXPECT_FALSE(is_bare_file_name(nullptr));
}

TEST(DeviceHardwareId, InterfacesAndWholeDevices) {
    const struct {
        uint16_t vid, pid;
        bool is_interface;
        uint8_t number;
        const char* expected;
    } rows[] = {
        {0x1234, 0xABCD, true, 2, "VID_1234&PID_ABCD&MI_02"},
        {0x1234, 0xABCD, false, 2, "VID_1234&PID_ABCD"},
        {0x0001, 0x000f, true, 0xfe, "VID_0001&PID_000F&MI_FE"},
        {0xFFFF, 0, false, 0, "VID_FFFF&PID_0000"},
    };
    for (const auto& r : rows) {
        char text[32];
        device_hardware_id(r.vid, r.pid, r.is_interface, r.number, text, sizeof text);
        EXPECT_STREQ(text, r.expected);
    }
}

TEST(InterfaceGuidSource, FirstRuleThatApplies) {
    const usb_id_pair android = android_device_ids[30];
    const struct {
        bool match_compatible_id;
        const char* given;
        uint16_t vid, pid;
        interface_guid_source expected;
    } rows[] = {
        {true, "{given}", android.vid, android.pid, interface_guid_source::unused},
        {false, "{given}", android.vid, android.pid, interface_guid_source::given},
        {false, nullptr, android.vid, android.pid, interface_guid_source::android},
        {false, "", android.vid, android.pid, interface_guid_source::android},  // empty: none
        {false, nullptr, 0x18D1, 0x4EE7, interface_guid_source::android},
        {false, nullptr, 0x18D1, 0x4EE8, interface_guid_source::generated},
        {false, nullptr, 0x1234, 0xABCD, interface_guid_source::generated},
        {false, "", 0x1234, 0xABCD, interface_guid_source::generated},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(interface_guid_source_of(r.match_compatible_id, r.given, r.vid, r.pid),
                  r.expected)
            << std::hex << r.vid << ":" << r.pid << " " << (r.given ? r.given : "(null)");
    }
}

TEST(ManufacturerName, GivenThenListedThenUndefined) {
    const usb_vendor_name& listed = usb_vendor_names[usb_vendor_name_count / 2];
    EXPECT_STREQ(manufacturer_name_of("Maker", listed.vid), "Maker");
    EXPECT_STREQ(manufacturer_name_of(nullptr, listed.vid), listed.name);
    EXPECT_STREQ(manufacturer_name_of("", listed.vid), listed.name);  // empty: none
    ASSERT_EQ(usb_vendor_name_of(0xC04A), nullptr);
    EXPECT_STREQ(manufacturer_name_of(nullptr, 0xC04A), "(Undefined Vendor)");
    EXPECT_STREQ(manufacturer_name_of("", 0xC04A), "(Undefined Vendor)");
}

TEST(InfStringText, QuotesDoubledAndControlCharactersAsSpaces) {
    const struct {
        const char* value;
        size_t size;
        const char* expected;
    } rows[] = {
        {"Serial Port", 32, "Serial Port"},
        {"Board \"Rev 2\"", 32, "Board \"\"Rev 2\"\""},
        {"\"", 32, "\"\""},
        {"one\r\ntwo\tthree", 32, "one  two three"},
        {"\x01\x1A\x1F\x7F|", 32, "    |"},
        {"50% duty %DeviceID%", 32, "50% duty %DeviceID%"},  // a string is not read again
        {"Ger\xC3\xA4t \xE4\xB8\xB2 \xF0\x9F\x94\x8C", 32,
         "Ger\xC3\xA4t \xE4\xB8\xB2 \xF0\x9F\x94\x8C"},
        {"", 32, ""},
        // Cut at the bound: never half a doubled quote or half a character.
        {"abc\"", 6, "abc\"\""},
        {"abcd\"", 6, "abcd"},
        {"abc\xC3\xA4", 6, "abc\xC3\xA4"},
        {"abcd\xC3\xA4", 6, "abcd"},
        {"abcdefgh", 6, "abcde"},
        {"abc", 1, ""},
    };
    for (const auto& r : rows) {
        char text[64];
        memset(text, '*', sizeof text);
        inf_string_text(r.value, text, r.size);
        EXPECT_STREQ(text, r.expected) << r.value << ", " << r.size << " bytes";
        EXPECT_EQ(text[r.size], '*') << "written past the bound";
    }
    char text[4] = "xyz";
    inf_string_text(nullptr, text, sizeof text);
    EXPECT_STREQ(text, "");
}

// The length that the preparation holds a description to is the one the INF gets.
TEST(InfStringText, ItsLengthIsTheTextItWritesWhenNothingIsCut) {
    for (const char* value :
         {"Serial Port", "\"\"\"", "Board \"Rev 2\"", "one\r\ntwo\t\x7F",
          "Ger\xC3\xA4t \xF0\x9F\x94\x8C", "\xC3", "\xE4\xB8 x", "\xFF\x80\x80\x80\x80 \"", ""}) {
        char text[128];
        inf_string_text(value, text, sizeof text);
        EXPECT_EQ(inf_string_length(value), strlen(text)) << value;
    }
    EXPECT_EQ(inf_string_length(nullptr), 0u);
}

// A converter that knows one file time, as the system would answer for it, and records whether
// it was asked.
uint64_t g_known_time = 0;
int g_asked = 0;
bool fake_local_date(uint64_t file_time, calendar_date* date) {
    g_asked++;
    if (file_time != g_known_time)
        return false;
    *date = {2020, 12, 2};
    return true;
}

TEST(DriverDate, TheFilesLocalDateElseToday) {
    const calendar_date today = {2026, 3, 7};
    g_known_time = (1606897730ULL + 11644473600ULL) * 10000000ULL;
    const struct {
        uint64_t file_time;
        int asked;
        const char* expected;
    } rows[] = {
        {g_known_time, 1, "12/02/2020"},
        {g_known_time + 1, 1, "03/07/2026"},  // does not convert
        {0, 0, "03/07/2026"},                 // no date: not converted at all
    };
    for (const auto& r : rows) {
        g_asked = 0;
        char text[16];
        driver_date_text(r.file_time, fake_local_date, today, text, sizeof text);
        EXPECT_STREQ(text, r.expected);
        EXPECT_EQ(g_asked, r.asked);
    }
    char text[16];
    driver_date_text(g_known_time, nullptr, {999, 1, 31}, text, sizeof text);
    EXPECT_STREQ(text, "01/31/0999");
}

TEST(DriverVersion, FourSixteenBitParts) {
    const struct {
        uint32_t ms, ls;
        const char* expected;
    } rows[] = {
        {0, 0, "0.0.0.0"},  // the CDC kind, which carries no driver file
        {0x00010002, 0x00030004, "1.2.3.4"},
        {0x00060001, 0x1DB04001, "6.1.7600.16385"},
        {0xFFFFFFFF, 0xFFFFFFFF, "65535.65535.65535.65535"},
    };
    for (const auto& r : rows) {
        char text[32];
        driver_version_text(r.ms, r.ls, text, sizeof text);
        EXPECT_STREQ(text, r.expected);
    }
}

std::vector<std::string> names_of(const catalog_list& list) {
    return std::vector<std::string>(list.names, list.names + list.count);
}

TEST(CatalogList, NamesBetweenCommentsAndBlanksThenTheInf) {
    using v = std::vector<std::string>;
    const struct {
        std::string text;
        v names;
    } rows[] = {
        {"# The USB CDC Serial driver doesn't need extra binaries\r\n", {}},
        {"# a\r\n# b\r\n\r\nlibusb0.sys\r\nlibusb0.dll", {"libusb0.sys", "libusb0.dll"}},
        {"  padded.dll \t\r\n\tx.sys\v\f", {"padded.dll", "x.sys"}},
        {"lf\nonly\n\n\ncr\ronly\r", {"lf", "only", "cr", "only"}},
        {"  # indented comment\r\n#LK_DLL#\r\nname with blanks.dll",
         {"name with blanks.dll"}},  // an unreplaced token reads as a comment
        {"", {}},
        {"\r\n \r\n\t", {}},
    };
    for (const auto& r : rows) {
        std::string text = r.text;
        catalog_list list = parse_catalog_list(&text[0], "Corvane.inf");
        v expected = r.names;
        expected.push_back("Corvane.inf");
        EXPECT_EQ(names_of(list), expected) << r.text;
        EXPECT_FALSE(list.cut);
    }
    catalog_list none = parse_catalog_list(nullptr, "a.inf");
    EXPECT_EQ(names_of(none), (v{"a.inf"}));
}

TEST(CatalogList, SixteenNamesAtMostAndTheInfAlways) {
    for (int given : {15, 16, 17, 40}) {
        std::string text = "# list\r\n";
        for (int i = 0; i < given; i++)
            text += "file" + std::to_string(i) + ".dll\r\n# between\r\n";
        catalog_list list = parse_catalog_list(&text[0], "Corvane.inf");
        size_t taken = given < 16 ? given : 16;
        ASSERT_EQ(list.count, taken + 1) << given;
        EXPECT_STREQ(list.names[taken - 1], ("file" + std::to_string(taken - 1) + ".dll").c_str());
        EXPECT_STREQ(list.names[taken], "Corvane.inf");
        EXPECT_EQ(list.cut, given > 16) << given;
    }
}

TEST(CatalogSigner, HardwareIdAndGeneratedSubject) {
    char hardware_id[64], subject[96];
    catalog_hardware_id("VID_1234&PID_ABCD&MI_02", hardware_id, sizeof hardware_id);
    EXPECT_STREQ(hardware_id, "USB\\VID_1234&PID_ABCD&MI_02");
    generated_signer_subject(hardware_id, subject, sizeof subject);
    EXPECT_STREQ(subject, "CN=USB\\VID_1234&PID_ABCD&MI_02 (usbdrv autogenerated)");

    catalog_hardware_id(driver_kind_files_of(3)->compatible_id, hardware_id, sizeof hardware_id);
    EXPECT_STREQ(hardware_id, "USB\\MS_COMP_USBSER");
    generated_signer_subject(hardware_id, subject, sizeof subject);
    EXPECT_STREQ(subject, "CN=USB\\MS_COMP_USBSER (usbdrv autogenerated)");
}

// Only the form generated_signer_subject makes is the library's own: a certificate of another
// maker whose name merely resembles it must never be listed or removed as one.
TEST(CatalogSigner, WhichSubjectsAreGenerated) {
    const struct {
        const char* subject;
        bool generated;
    } rows[] = {
        {"CN=USB\\VID_C04A&PID_0C02&MI_00 (usbdrv autogenerated)", true},
        {"CN=usb\\vid_c04a&pid_0c02&mi_00 (usbdrv autogenerated)", true},
        {"CN=x (usbdrv autogenerated)", true},
        // Quoted as the system quotes a value with a separator in it: still one common name.
        {"CN=\"USB\\VID_C04A, PID_0C02 (usbdrv autogenerated)\"", true},
        {"CN=\"a \"\"b\"\" (usbdrv autogenerated)\"", true},
        // Nothing before the suffix, or the suffix in another form or place.
        {"CN= (usbdrv autogenerated)", false},
        {"CN=(usbdrv autogenerated)", false},
        {"CN=x(usbdrv autogenerated)", false},
        {"CN=x (usbdrv autogenerated) ", false},
        {"CN=x (usbdrv autogenerated).", false},
        {"CN=x (Usbdrv autogenerated)", false},
        {"CN=x usbdrv autogenerated", false},
        {"CN=x [usbdrv autogenerated]", false},
        {"CN=x (usbdrv autogenerated) copy", false},
        {"CN=usbdrv autogenerated", false},
        // Another attribute beside the common name, or none.
        {"O=x (usbdrv autogenerated)", false},
        {"OU=a, CN=x (usbdrv autogenerated)", false},
        {"CN=a; CN=x (usbdrv autogenerated)", false},
        {"CN=a + CN=x (usbdrv autogenerated)", false},
        {"CN=x (usbdrv autogenerated), O=Other Maker", false},
        {"cn=x (usbdrv autogenerated)", false},
        {" CN=x (usbdrv autogenerated)", false},
        {"E=a@b.example, CN=x (usbdrv autogenerated)", false},
        // Quotes that do not close at the end, or a lone quote inside.
        {"CN=\"x (usbdrv autogenerated)", false},
        {"CN=\"x (usbdrv autogenerated)\", O=y", false},
        {"CN=\"a\" (usbdrv autogenerated)\"", false},
        {"CN=x \"(usbdrv autogenerated)", false},
        {"CN=", false},
        {"", false},
    };
    for (const auto& r : rows)
        EXPECT_EQ(is_generated_signer_subject(r.subject), r.generated) << r.subject;
    EXPECT_FALSE(is_generated_signer_subject(nullptr));

    // What the library generates passes its own rule, whatever the hardware ID.
    char subject[96];
    generated_signer_subject("USB\\MS_COMP_USBSER", subject, sizeof subject);
    EXPECT_TRUE(is_generated_signer_subject(subject)) << subject;
    // A value longer than any generated one is not read on past its buffer.
    const std::string long_value = "CN=" + std::string(600, 'a') + " (usbdrv autogenerated)";
    EXPECT_FALSE(is_generated_signer_subject(long_value.c_str()));
    EXPECT_FALSE(is_generated_signer_subject(("CN=\"" + long_value.substr(3) + "\"").c_str()));
}

TEST(CatalogSigner, TrustStoreNamesAndThumbprints) {
    EXPECT_TRUE(is_trust_store_name("Root"));
    EXPECT_TRUE(is_trust_store_name("TrustedPublisher"));
    for (const char* other : {"root", "ROOT", "My", "CA", "Disallowed", "", "Root "})
        EXPECT_FALSE(is_trust_store_name(other)) << other;
    EXPECT_FALSE(is_trust_store_name(nullptr));

    uint8_t hash[kThumbprintBytes] = {};
    ASSERT_TRUE(parse_thumbprint("00112233445566778899AABBCCDDEEFF0a1B2c3D", hash));
    const uint8_t expected[kThumbprintBytes] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66,
                                                0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD,
                                                0xEE, 0xFF, 0x0A, 0x1B, 0x2C, 0x3D};
    EXPECT_EQ(memcmp(hash, expected, sizeof hash), 0);
    const std::string forty(40, 'F');
    for (const std::string& bad : {
             std::string(),
             forty.substr(1),            // 39 digits
             forty + "F",                // 41
             forty + " ",                // something after them
             " " + forty.substr(1),      // something before them
             "G" + forty.substr(1),      // not a hexadecimal digit
             forty.substr(0, 39) + "g",  //
             "0x" + forty.substr(2),     // a prefix
             forty.substr(0, 20) + ":" + forty.substr(21),
         }) {
        EXPECT_FALSE(parse_thumbprint(bad.c_str(), hash)) << "'" << bad << "'";
    }
    EXPECT_FALSE(parse_thumbprint(nullptr, hash));
}

// The values a preparation made anew, read back from its INF: each hole takes the run of date and
// GUID characters there, the same wherever it stands; anything else must be as the pattern has it.
TEST(HoleValues, TheRunInEachHoleAndNothingElseChanged) {
    const std::string date = std::string(1, kValueHole) + "0";
    const std::string guid = std::string(1, kValueHole) + "1";
    const std::string pattern =
        "DriverVer = " + date + ", 1.0\r\nGUID = \"" + guid + "\"\r\nName = \"x " + date + "\"\r\n";
    const char* const kGuid = "{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}";
    const auto text = [&](const char* d1, const char* g, const char* d2) {
        return std::string("DriverVer = ") + d1 + ", 1.0\r\nGUID = \"" + g + "\"\r\nName = \"x " +
               d2 + "\"\r\n";
    };
    const struct {
        const char* what;
        std::string text;
        bool taken;
    } rows[] = {
        {"as written", text("05/17/2026", kGuid, "05/17/2026"), true},
        {"another date in the second place", text("05/17/2026", kGuid, "05/18/2026"), false},
        {"a literal changed", text("05/17/2026", kGuid, "05/17/2026").replace(0, 1, "d"), false},
        {"an empty hole", text("", kGuid, ""), false},
        {"a value with a space", text("05/17 2026", kGuid, "05/17 2026"), false},
        {"a longer text", text("05/17/2026", kGuid, "05/17/2026") + "x", false},
        {"a shorter text", text("05/17/2026", kGuid, "05/17/2026").substr(0, 40), false},
        {"a value too long",
         text(std::string(64, '1').c_str(), kGuid, std::string(64, '1').c_str()), false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        hole_values values;
        EXPECT_EQ(take_hole_values(pattern.c_str(), r.text.c_str(), values), r.taken);
        if (r.taken) {
            EXPECT_STREQ(values.text[0], "05/17/2026");
            EXPECT_STREQ(values.text[1], kGuid);
        }
    }
    // A pattern without a hole is the text itself; the hole it lacks stays empty.
    hole_values values;
    EXPECT_TRUE(take_hole_values(("a=" + date).c_str(), "a=1", values));
    EXPECT_STREQ(values.text[0], "1");
    EXPECT_STREQ(values.text[1], "");
    EXPECT_TRUE(take_hole_values("plain", "plain", values));
    EXPECT_FALSE(take_hole_values("plain", "plainer", values));
    EXPECT_FALSE(take_hole_values(nullptr, "plain", values));
    EXPECT_FALSE(take_hole_values("plain", nullptr, values));
}

}  // namespace
