// Telling Corvane's packages in the driver store apart from other makers', and whether a device
// is served by the package an installation would give it.
#include <gtest/gtest.h>

#include <string>

#include "stored_inf.h"

namespace {

// The head of an INF as Corvane's preparation writes it (converted from its UTF-16).
std::string corvane_inf(const std::string& first_line = "; Corvane.inf",
                        const std::string& provider = "\"usbdrv\"",
                        const std::string& name = "\"Corvane Serial A (Interface 0)\"") {
    return first_line + "\r\n\r\n[Strings]\r\nDeviceName = " + name +
           "\r\nVendorName = \"Corvane\"\r\nDeviceID   = \"VID_C04A&PID_0C02&MI_00\"\r\n"
           "DeviceGUID = \"{5A1B2C3D-0000-4000-8000-000000000001}\"\r\n\r\n[Version]\r\n"
           "Signature   = \"$Windows NT$\"\r\nClass       = Ports\r\nProvider    = " +
           provider + "\r\nCatalogFile = Corvane.cat\r\nDriverVer   = 12/10/2026, 1.0.0.0\r\n";
}

TEST(StoredInf, CorvanesOwnAreKnownByTheirNameLineAndProvider) {
    const struct {
        const char* what;
        std::string text;
        bool corvane;
        const char* name;
    } rows[] = {
        {"Corvane's", corvane_inf(), true, "Corvane Serial A (Interface 0)"},
        {"with a UTF-8 byte-order mark", "\xEF\xBB\xBF" + corvane_inf(), true,
         "Corvane Serial A (Interface 0)"},
        {"a doubled quote in the name is one",
         corvane_inf("; Corvane.inf", "\"usbdrv\"", "\"Board \"\"A\"\" ; 1\""), true,
         "Board \"A\" ; 1"},
        {"another tool's INF of the same library", corvane_inf("; vendor.inf"), false, ""},
        {"another maker's provider", corvane_inf("; Corvane.inf", "\"Acme\""), false, ""},
        {"the name line not first", "\r\n" + corvane_inf(), false, ""},
        {"empty", "", false, ""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        cli::inf_facts facts = cli::read_inf_facts(r.text);
        EXPECT_EQ(facts.corvane, r.corvane);
        EXPECT_EQ(facts.device_name, r.name);
        EXPECT_EQ(facts.hardware_id, r.corvane ? "VID_C04A&PID_0C02&MI_00" : "");
    }
}

TEST(StoredInf, HardwareIdsOfACommand) {
    EXPECT_EQ(cli::inf_hardware_id(0xC04A, 0x0C02, true, 0), "VID_C04A&PID_0C02&MI_00");
    EXPECT_EQ(cli::inf_hardware_id(0xC04A, 0x0C02, false, 0), "VID_C04A&PID_0C02");
    const struct {
        const char* id;
        bool has_interface;
        bool matches;
    } rows[] = {
        {"VID_C04A&PID_0C02&MI_00", true, true},  {"vid_c04a&pid_0c02&mi_00", true, true},
        {"VID_C04A&PID_0C02&MI_02", true, false}, {"VID_C04A&PID_0C02", true, false},
        {"VID_C04A&PID_0C02&MI_02", false, true},  // every interface without --mi
        {"VID_C04A&PID_0C02", false, true},       {"VID_C04A&PID_0C021", false, false},
        {"VID_C04A&PID_0C02&MI_0", false, false}, {"VID_C04A&PID_0C03&MI_00", false, false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.id);
        EXPECT_EQ(cli::hardware_id_matches(r.id, 0xC04A, 0x0C02, r.has_interface, 0), r.matches);
    }
}

TEST(StoredInf, AnotherMakersInfNamesTheHardwareIdAsAWhole) {
    EXPECT_TRUE(cli::inf_mentions("x = Install, usb\\vid_c04a&pid_0c02&mi_00\r\n",
                                  "VID_C04A&PID_0C02&MI_00"));
    EXPECT_TRUE(cli::inf_mentions("USB\\VID_C04A&PID_0C02&MI_00", "VID_C04A&PID_0C02"));
    EXPECT_FALSE(cli::inf_mentions("USB\\VID_C04A&PID_0C021", "VID_C04A&PID_0C02"));
    EXPECT_FALSE(cli::inf_mentions("VID_C04A&PID_0C02", "VID_C04A&PID_0C02"));
}

TEST(StoredInf, ServedBySamePackage) {
    const cli::inf_facts bound = cli::read_inf_facts(corvane_inf());
    const cli::inf_facts other = cli::read_inf_facts(corvane_inf("; Corvane.inf", "\"Acme\""));
    const std::string id = "VID_C04A&PID_0C02&MI_00";
    const std::string name = "Corvane Serial A (Interface 0)";
    EXPECT_TRUE(cli::served_by_same_package(true, bound, id, name));
    EXPECT_TRUE(cli::served_by_same_package(true, bound, "vid_c04a&pid_0c02&mi_00", name));
    EXPECT_FALSE(cli::served_by_same_package(false, bound, id, name)) << "not the serial driver";
    EXPECT_FALSE(cli::served_by_same_package(true, other, id, name)) << "another maker's";
    EXPECT_FALSE(cli::served_by_same_package(true, bound, "VID_C04A&PID_0C02&MI_02", name));
    EXPECT_FALSE(cli::served_by_same_package(true, bound, id, "Modem")) << "another name";
    EXPECT_TRUE(cli::served_by_same_package(true, bound, id, "")) << "no name asked for";
    EXPECT_FALSE(cli::served_by_same_package(true, other, id, ""));
    // The INF writes a control character as a blank.
    const cli::inf_facts blank =
        cli::read_inf_facts(corvane_inf("; Corvane.inf", "\"usbdrv\"", "\"Serial A\""));
    EXPECT_TRUE(cli::served_by_same_package(true, blank, id, "Serial\tA"));
}

}  // namespace
