#include "install_parts.h"

#include <gtest/gtest.h>

namespace {

TEST(DeviceState, SurvivesItsTextForm) {
    sim::device_state full;
    full.service = "usbser";
    full.driver = "{4d36e978-e325-11ce-bfc1-08002be10318}\\2345";
    full.driver_version = "65535.65535.65535.65535";
    full.port_name = "COM3";
    full.inf_name = "oem4.inf";
    full.provider_name = "Corvane, Ltd.";
    full.config_flags = 0x20;
    full.need_restart = true;
    sim::device_state removed;
    removed.removed = true;
    removed.removed_inf = "oem4.inf";
    const sim::device_state only_flags = [] {
        sim::device_state s;
        s.config_flags = 0;
        return s;
    }();
    for (const sim::device_state& state : {full, only_flags, removed, sim::device_state{}})
        EXPECT_TRUE(sim::decode_state(sim::encode_state(state)) == state);

    // What another version of the simulation may have written is skipped, not misread.
    const sim::device_state odd = sim::decode_state(
        {"colour=red", "no equals", "config_flags=4294967296", "config_flags=x1", "service=a=b"});
    EXPECT_FALSE(odd.config_flags);
    EXPECT_EQ(odd.service, "a=b");
}

TEST(DeviceState, IsLaidOverTheFilesDevices) {
    sim::parse_result parsed = sim::parse_scenario(
        "[device]\ninstance = USB\\VID_0000&PID_0002\\5&1\nproblem = 43\n"
        "service = old\nunreadable = service, driver_version\n"
        "[device]\ninstance = USB\\B\\1\ndriver = {x}\\1\n");
    ASSERT_TRUE(parsed.ok()) << parsed.error->text();
    sim::device_states states;
    states["USB\\VID_0000&PID_0002\\5&1"].service = "usbser";
    states["USB\\VID_0000&PID_0002\\5&1"].driver_version = "2.0.0.0";
    states["USB\\B\\1"].config_flags = 0x20;
    sim::apply_states(parsed.value, states);
    const sim::device& bound = parsed.value.devices[0];
    EXPECT_EQ(bound.service, "usbser");
    EXPECT_EQ(bound.driver_version, "2.0.0.0");
    EXPECT_FALSE(bound.problem);
    EXPECT_TRUE(bound.unreadable.empty());
    const sim::device& flagged = parsed.value.devices[1];
    EXPECT_EQ(flagged.config_flags, 0x20u);
    EXPECT_EQ(flagged.driver, "{x}\\1");
    EXPECT_FALSE(flagged.service);
}

// An uninstalled device is not on the machine; a bound one names its package.
TEST(DeviceState, ARemovedDeviceIsGoneAndABoundOneNamesItsPackage) {
    sim::parse_result parsed = sim::parse_scenario(
        "[device]\ninstance = USB\\A\\1\ndriver = {x}\\1\ninf = oem9.inf\n"
        "[device]\ninstance = USB\\B\\1\n[device]\ninstance = USB\\C\\1\n");
    ASSERT_TRUE(parsed.ok()) << parsed.error->text();
    sim::device_states states;
    states["USB\\A\\1"].removed = true;
    states["USB\\B\\1"].inf_name = "oem2.inf";
    states["USB\\B\\1"].provider_name = "Corvane";
    sim::apply_states(parsed.value, states);
    ASSERT_EQ(parsed.value.devices.size(), 2u);
    EXPECT_EQ(parsed.value.devices[0].instance, "USB\\B\\1");
    EXPECT_EQ(parsed.value.devices[0].inf_name, "oem2.inf");
    EXPECT_EQ(parsed.value.devices[0].provider_name, "Corvane");
    EXPECT_FALSE(parsed.value.devices[1].inf_name);
}

TEST(DeviceState, PortNamesAreTheLowestFreeFromCom3) {
    sim::device_states states;
    EXPECT_EQ(sim::next_port_name(states), "COM3");
    states["A"].port_name = "COM3";
    states["B"].port_name = "com5";
    states["C"].service = "usbser";
    EXPECT_EQ(sim::next_port_name(states), "COM4");
    states["D"].port_name = "COM4";
    EXPECT_EQ(sim::next_port_name(states), "COM6");
}

TEST(InfFacts, DriverVersionServiceAndProviderAreRead) {
    struct {
        const char* text;
        const char* version;
        const char* service;
        const char* provider;
    } cases[] = {
        {"[Version]\r\nSignature = \"$Windows NT$\"\r\nDriverVer = 06/21/2006,10.0.19041.1\r\n"
         "Provider = \"usbdrv\"\r\n"
         "[Serial.NT.Services]\r\nAddService = usbser, 0x00000002, Service_Inst\r\n",
         "10.0.19041.1", "usbser", "usbdrv"},
        {"[version] ; lower case\ndrivervER=\"01/01/2020\" , \"1.2.3.4\" ; comment\n"
         "provider=%MAKER%\n[S]\naddservice=\"other\",2,x\nAddService = second,2,x\n"
         "[Strings]\nMaker = \"Corvane, Ltd.\"\n",
         "1.2.3.4", "other", "Corvane, Ltd."},
        // A %key% that [Strings] does not have stays as it is, as the system shows it.
        {"[Version]\nProvider=%Nobody%\n", nullptr, nullptr, "%Nobody%"},
        // DriverVer and Provider outside [Version] are not the package's; no AddService, no
        // service.
        {"[Strings]\nDriverVer = 1/1/2020,9.9.9.9\nProvider = x\n", nullptr, nullptr, nullptr},
        {"[Version]\nDriverVer = 01/01/2020\n", nullptr, nullptr, nullptr},
        {"", nullptr, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        const sim::inf_facts facts = sim::read_inf_facts(c.text);
        EXPECT_EQ(facts.driver_version,
                  c.version ? std::optional<std::string>(c.version) : std::nullopt)
            << c.text;
        EXPECT_EQ(facts.service, c.service ? std::optional<std::string>(c.service) : std::nullopt)
            << c.text;
        EXPECT_EQ(facts.provider,
                  c.provider ? std::optional<std::string>(c.provider) : std::nullopt)
            << c.text;
    }
}

// What Plug and Play ranks a package by: the first of the device's IDs its model lines name.
TEST(InfFacts, ModelLinesNameDeviceIdsWithTheirStrings) {
    const sim::inf_facts facts = sim::read_inf_facts(
        "; Corvane.inf\r\n[Strings]\r\nDeviceID = \"VID_C04A&PID_0C02&MI_00\"\r\n"
        "[DeviceList.NTamd64]\r\n%DeviceName% = UsbSer_Install, USB\\%DeviceID%\r\n"
        "[Other.NTamd64]\r\nx = Install, usb\\class_02, USB\\VID_C04A&PID_0C02&MI_02\r\n"
        "[SourceDisksNames]\r\n1 = %SourceName%, , 2\r\n");
    EXPECT_EQ(facts.device_ids,
              (std::vector<std::string>{"USB\\VID_C04A&PID_0C02&MI_00", "usb\\class_02",
                                        "USB\\VID_C04A&PID_0C02&MI_02"}));
    sim::device d;
    d.hardware_ids = {"USB\\VID_C04A&PID_0C02&REV_0100&MI_00", "USB\\VID_C04A&PID_0C02&MI_00"};
    d.compatible_ids = {"USB\\Class_02&SubClass_02", "USB\\Class_02"};
    EXPECT_EQ(sim::match_rank(d, facts), std::optional<std::size_t>(1));
    d.hardware_ids = {"USB\\VID_C04A&PID_0C02&MI_04"};
    EXPECT_EQ(sim::match_rank(d, facts), std::optional<std::size_t>(2)) << "by its class only";
    d.compatible_ids.clear();
    EXPECT_EQ(sim::match_rank(d, facts), std::nullopt);
}

TEST(HardwareIds, MatchAnyHardwareOrCompatibleIdWithoutCase) {
    sim::device d;
    d.hardware_ids = {"USB\\VID_C04A&PID_0C02&REV_0100&MI_00", "USB\\VID_C04A&PID_0C02&MI_00"};
    d.compatible_ids = {"USB\\Class_02"};
    EXPECT_TRUE(sim::matches_hardware_id(d, "usb\\vid_c04a&pid_0c02&mi_00"));
    EXPECT_TRUE(sim::matches_hardware_id(d, "USB\\CLASS_02"));
    EXPECT_FALSE(sim::matches_hardware_id(d, "USB\\VID_C04A&PID_0C02"));
}

// The names derived from it must not change between runs or processes: FNV-1a's own vectors.
TEST(StableHash, IsFnv1a) {
    EXPECT_EQ(sim::hash_text(sim::stable_hash("")), "CBF29CE484222325");
    EXPECT_EQ(sim::hash_text(sim::stable_hash("a")), "AF63DC4C8601EC8C");
}

TEST(SetupLog, SectionsReadAsTheSystemWritesThem) {
    const std::string time = sim::setup_log_time(2026, 12, 10, 6, 5, 4, 3);
    EXPECT_EQ(time, "2026/12/10 06:05:04.003");
    EXPECT_EQ(sim::setup_log_section_start("USB\\VID_C04A&PID_0C02&MI_00", time),
              ">>>  [Device Install (UpdateDriverForPlugAndPlayDevices) - "
              "USB\\VID_C04A&PID_0C02&MI_00]\r\n>>>  Section start 2026/12/10 06:05:04.003\r\n");
    EXPECT_EQ(sim::setup_log_section_end(time, 0),
              "<<<  Section end 2026/12/10 06:05:04.003\r\n<<<  [Exit status: SUCCESS]\r\n");
    EXPECT_EQ(sim::setup_log_section_end(time, 0xE000020B),
              "<<<  Section end 2026/12/10 06:05:04.003\r\n"
              "<<<  [Exit status: FAILURE(0xE000020B)]\r\n");
}

}  // namespace
