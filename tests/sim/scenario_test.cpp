#include "scenario.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

TEST(Scenario, ReadsEveryKeyOfADevice) {
    const sim::parse_result result = sim::parse_scenario(
        "# a comment\n"
        "\n"
        "[machine]\n"
        "enumeration_delay_ms = 250\n"
        "pending_installations_ms = 40\n"
        "[device]\n"
        "  instance =  USB\\VID_C04A&PID_0C02&MI_00\\7&2F1C3A5&0&0000  \n"
        "present = no\n"
        "service = usbser\n"
        "driver = {4d36e978-e325-11ce-bfc1-08002be10318}\\0003\n"
        "driver_version = 10.0.19041.1\n"
        "inf = oem12.inf\n"
        "hardware_id = USB\\VID_C04A&PID_0C02&REV_0100&MI_00\n"
        "hardware_id = USB\\VID_C04A&PID_0C02&MI_00\n"
        "compatible_id = USB\\Class_02\n"
        "upper_filter = serenum\n"
        "upper_filter = other\n"
        "bus_description = \"  Port  \"\n"
        "description = USB Serial Device\r\n"
        "parent = USB\\VID_C04A&PID_0C02\\CRV00001\n"
        "unreadable = driver_version, bus_description,instance\n");
    ASSERT_TRUE(result.ok()) << result.error->text();
    const sim::machine& m = result.value;
    EXPECT_EQ(m.enumeration_delay_ms, 250u);
    EXPECT_EQ(m.pending_installations_ms, 40u);
    ASSERT_EQ(m.devices.size(), 1u);
    const sim::device& d = m.devices[0];
    EXPECT_EQ(d.line, 6);
    EXPECT_EQ(d.instance, "USB\\VID_C04A&PID_0C02&MI_00\\7&2F1C3A5&0&0000");
    EXPECT_FALSE(d.present);
    EXPECT_EQ(d.service, "usbser");
    EXPECT_EQ(d.driver, "{4d36e978-e325-11ce-bfc1-08002be10318}\\0003");
    EXPECT_EQ(d.driver_version, "10.0.19041.1");
    EXPECT_EQ(d.inf_name, "oem12.inf");
    EXPECT_EQ(d.hardware_ids, (std::vector<std::string>{"USB\\VID_C04A&PID_0C02&REV_0100&MI_00",
                                                        "USB\\VID_C04A&PID_0C02&MI_00"}));
    EXPECT_EQ(d.compatible_ids, std::vector<std::string>{"USB\\Class_02"});
    EXPECT_EQ(d.upper_filters, (std::vector<std::string>{"serenum", "other"}));
    EXPECT_EQ(d.bus_description, "  Port  ");
    EXPECT_EQ(d.description, "USB Serial Device");
    EXPECT_EQ(d.parent, "USB\\VID_C04A&PID_0C02\\CRV00001");
    EXPECT_EQ(d.unreadable,
              (std::set<std::string>{"bus_description", "driver_version", "instance"}));
}

TEST(Scenario, KeysNotGivenAreMissingNotEmpty) {
    const sim::parse_result result = sim::parse_scenario(
        "[device]\ninstance = USB\\A\\1\ndescription =\n[device]\ninstance = USB\\B\\2\n");
    ASSERT_TRUE(result.ok()) << result.error->text();
    ASSERT_EQ(result.value.devices.size(), 2u);
    const sim::device& given_empty = result.value.devices[0];
    EXPECT_EQ(given_empty.description, "");
    const sim::device& bare = result.value.devices[1];
    EXPECT_EQ(bare.line, 4);
    EXPECT_TRUE(bare.present);
    EXPECT_FALSE(bare.description);
    EXPECT_FALSE(bare.service);
    EXPECT_FALSE(bare.driver);
    EXPECT_FALSE(bare.driver_version);
    EXPECT_FALSE(bare.bus_description);
    EXPECT_FALSE(bare.parent);
    EXPECT_TRUE(bare.hardware_ids.empty());
    EXPECT_TRUE(bare.unreadable.empty());
    EXPECT_EQ(result.value.enumeration_delay_ms, 0u);
    EXPECT_EQ(result.value.pending_installations_ms, 0u);
}

TEST(Scenario, QuotesKeepTheirInsideExactly) {
    struct {
        const char* value;
        const char* expected;
    } cases[] = {
        {"\"  Port  \"", "  Port  "},
        {"\"\"", ""},
        {"\"a \"quoted\" word\"", "a \"quoted\" word"},  // no escapes: the outer pair only
        {"\"", "\""},                                    // one quote is just a character
        {"say \"hi\" now", "say \"hi\" now"},
        {"  = value  ", "= value"},  // the first '=' separates
    };
    for (const auto& c : cases) {
        const std::string text =
            std::string("[device]\ninstance = X\\Y\\Z\ndescription = ") + c.value + "\n";
        const sim::parse_result result = sim::parse_scenario(text);
        ASSERT_TRUE(result.ok()) << c.value << ": " << result.error->text();
        EXPECT_EQ(result.value.devices[0].description, c.expected) << c.value;
    }
}

TEST(Scenario, AnEmptyFileIsAMachineWithoutDevices) {
    for (const char* text :
         {"", "\n\n", "# nothing\n", "\xEF\xBB\xBF# with a byte order mark\n", "[machine]\n"}) {
        const sim::parse_result result = sim::parse_scenario(text);
        ASSERT_TRUE(result.ok()) << result.error->text();
        EXPECT_TRUE(result.value.devices.empty());
    }
}

TEST(Scenario, InvalidFilesNameTheLineAndTheFault) {
    struct {
        const char* text;
        int line;
        const char* message;
    } cases[] = {
        {"[device]\ninstance = A\\B\\C\ncolour = red\n", 3, "unknown key 'colour' in [device]"},
        {"[machine]\nspeed = 3\n", 2, "unknown key 'speed' in [machine]"},
        {"[devices]\n", 1, "unknown section '[devices]'"},
        {"[catalog]\nopen = 5\nopen = ok\n", 3, "repeated key 'open' in [catalog]"},
        {"[catalog]\nclose = 5\n", 2, "unknown key 'close' in [catalog]"},
        {"[signing]\nopen = 5\n", 2, "unknown key 'open' in [signing]"},
        {"[catalog]\npersist = 0\n", 2, "bad outcome '0' for 'persist'"},
        {"[catalog]\npersist = fail\n", 2, "bad outcome 'fail'"},
        {"[catalog]\npersist = 0x\n", 2, "bad outcome '0x'"},
        {"[catalog]\npersist = 0x100000000\n", 2, "bad outcome '0x100000000'"},
        {"[catalog]\npersist = -5\n", 2, "bad outcome '-5'"},
        {"[Catalog]\n", 1, "unknown section '[Catalog]'"},
        {"[Device]\n", 1, "unknown section '[Device]'"},
        {"instance = A\\B\\C\n", 1, "before the first [device]"},
        {"[device]\ninstance = A\\B\\C\njust words\n", 3, "expected 'key = value'"},
        {"[device]\ninstance = A\\B\\C\n = value\n", 3, "a setting without a key"},
        {"[device]\ninstance = A\\B\\C\nservice = a\nservice = b\n", 4,
         "repeated key 'service' (first given on line 3"},
        {"[device]\ninstance = A\\B\\C\ninstance = A\\B\\D\n", 3, "repeated key 'instance'"},
        {"[device]\ninstance = A\\B\\C\nunreadable = driver\nunreadable = service\n", 4,
         "repeated key 'unreadable'"},
        {"[machine]\nenumeration_delay_ms = 1\n[machine]\nenumeration_delay_ms = 2\n", 4,
         "repeated key 'enumeration_delay_ms' in [machine] (first given on line 2)"},
        {"# first\n[device]\nservice = usbser\n[device]\ninstance = A\\B\\C\n", 2,
         "device without instance"},
        {"[device]\ninstance = A\\B\\C\n[device]\n", 3, "device without instance"},
        {"[device]\ninstance =\n", 2, "empty value for 'instance'"},
        {"[device]\ninstance = A\\B\\C\nhardware_id = \"\"\n", 3, "empty value for 'hardware_id'"},
        {"[device]\ninstance = A\\B\\C\npresent = maybe\n", 3, "bad present value 'maybe'"},
        {"[device]\ninstance = A\\B\\C\npresent = Yes\n", 3, "bad present value 'Yes'"},
        {"[device]\ninstance = A\\B\\C\npresent =\n", 3, "bad present value ''"},
        {"[machine]\nenumeration_delay_ms = -5\n", 2, "bad number '-5'"},
        {"[machine]\nenumeration_delay_ms = 12ms\n", 2, "bad number '12ms'"},
        {"[machine]\nenumeration_delay_ms =\n", 2, "bad number ''"},
        {"[machine]\nenumeration_delay_ms = 600001\n", 2, "bad number '600001'"},
        {"[machine]\nenumeration_delay_ms = 99999999999999999999999\n", 2, "bad number"},
        {"[machine]\nplug_and_play = on\n", 2, "plug_and_play is yes or no, not 'on'"},
        {"[device]\ninstance = A\\B\\C\nunreadable = colour\n", 3, "unknown name 'colour'"},
        {"[device]\ninstance = A\\B\\C\nunreadable = driver,,service\n", 3, "unknown name ''"},
        {"[device]\ninstance = A\\B\\C\nunreadable = unreadable\n", 3, "unknown name 'unreadable'"},
        {"[device]\ninstance = A\\B\\C\n[device]\ninstance = a\\b\\c\n", 3,
         "instance 'a\\b\\c' is also the device of line 1"},
        {"[device]\ninstance = A\\1\\1\nparent = a\\1\\1\n", 1, "form a loop"},
        {"[device]\ninstance = A\\1\\1\nparent = B\\2\\2\n[device]\ninstance = B\\2\\2\n"
         "parent = A\\1\\1\n",
         1, "form a loop"},
        // What the system cannot have.
        {"[device]\ninstance = USB\\A B\\1\n", 2, "not printable ASCII or is a space"},
        {"[device]\ninstance = USB\\\xC3\xA9\\1\n", 2, "not printable ASCII"},
        {"[device]\ninstance = A\\B\\C\nparent = P\\\t\\1\n", 3, "the parent"},
        {"[device]\ninstance = HTREE\\ROOT\\0\n", 1, "the root device"},
        {"[device]\ninstance = A\\1\\1\npresent = no\n[device]\ninstance = B\\2\\2\n"
         "parent = A\\1\\1\n",
         4, "hangs below the absent device of line 1"},
        {"[device]\ninstance = A\\B\\C\nproblem = 0\n", 3, "bad problem '0'"},
        {"[device]\ninstance = A\\B\\C\nproblem = 256\n", 3, "bad problem '256'"},
        {"[device]\ninstance = A\\B\\C\nproblem = 4x\n", 3, "bad problem '4x'"},
        {"[install]\nupdate = maybe\n", 2, "bad outcome 'maybe' for 'update'"},
        {"[install]\nduration_ms = ok\n", 2, "bad number 'ok' for 'duration_ms'"},
        {"[install]\nduration_ms = 5\nduration_ms = 6\n", 3, "repeated key 'duration_ms'"},
        {"[signing]\nwait_ms = 600001\n", 2, "bad number '600001' for 'wait_ms'"},
        {"[install]\nsave = 5\n", 2, "unknown key 'save' in [install]"},
        {"[uninstall]\nupdate = 5\n", 2, "unknown key 'update' in [uninstall]"},
        // InfPath is a value of the driver key.
        {"[device]\ninstance = A\\B\\C\nservice = x\ninf = oem1.inf\n[machine]\n", 4,
         "inf without driver"},
        {"[device]\ninstance = A\\B\\C\ndriver = {x}\\1\ninf =\n", 4, "empty value for 'inf'"},
        {"[group_policy]\ncreate = 0x80004005\ncreate = ok\n", 3, "repeated key 'create'"},
    };
    for (const auto& c : cases) {
        const sim::parse_result result = sim::parse_scenario(c.text);
        ASSERT_FALSE(result.ok()) << c.text;
        EXPECT_EQ(result.error->line, c.line) << c.text;
        EXPECT_NE(result.error->message.find(c.message), std::string::npos)
            << c.text << "\ngot: " << result.error->message;
        EXPECT_TRUE(result.value.devices.empty());
    }
}

TEST(Scenario, ServiceSectionsGiveEachCallItsOutcome) {
    sim::parse_result result = sim::parse_scenario(
        "[catalog]\nopen = ok\npersist = 0x80070005\n[signing]\nsign = 2148085768\n"
        "[device]\ninstance = A\\B\\C\n[catalog]\nput_member = 5\n");
    ASSERT_TRUE(result.ok()) << result.error->text();
    const sim::machine& machine = result.value;
    EXPECT_EQ(machine.failure("catalog", "open"), std::nullopt);
    EXPECT_EQ(machine.failure("catalog", "persist"), 0x80070005u);
    EXPECT_EQ(machine.failure("catalog", "put_member"), 5u);
    EXPECT_EQ(machine.failure("catalog", "put_catalog_attribute"), std::nullopt);  // not given
    EXPECT_EQ(machine.failure("signing", "sign"), 0x80093008u);
    EXPECT_EQ(machine.devices.size(), 1u);
}

// The longest IDs and descriptions the system has are fine; one more is refused with its line.
TEST(Scenario, IdsAndDescriptionsAreHeldToTheSystemsLimits) {
    const std::string longest_id = "USB\\VID_C04A&PID_0C02\\" + std::string(199 - 22, '7');
    ASSERT_EQ(longest_id.size(), 199u);
    // 124 letters and one character outside the basic plane: 126 UTF-16 units.
    const std::string longest_description = std::string(124, 'd') + "\xF0\x9F\x94\x8C";
    const std::string fine = "[device]\ninstance = " + longest_id +
                             "\nbus_description = " + longest_description +
                             "\n[device]\ninstance = X\\Y\\1\nparent = " + longest_id + "\n";
    const sim::parse_result result = sim::parse_scenario(fine);
    ASSERT_TRUE(result.ok()) << result.error->text();
    EXPECT_EQ(result.value.devices[1].parent, longest_id);

    struct {
        std::string text;
        const char* message;
    } too_long[] = {
        {"[device]\ninstance = " + longest_id + "7\n", "is 200 characters long (at most 199)"},
        {"[device]\ninstance = X\\Y\\1\nparent = " + longest_id + "7\n", "is 200 characters long"},
        {"[device]\ninstance = X\\Y\\1\nbus_description = " + longest_description + "d\n",
         "bus_description is 127 UTF-16 units long (a device reports at most 126)"},
    };
    for (const auto& c : too_long) {
        const sim::parse_result refused = sim::parse_scenario(c.text);
        ASSERT_FALSE(refused.ok());
        EXPECT_EQ(
            refused.error->text().substr(0, 7),
            c.text.find("parent") == std::string::npos && c.text.find("bus_") == std::string::npos
                ? "line 2:"
                : "line 3:");
        EXPECT_NE(refused.error->message.find(c.message), std::string::npos)
            << refused.error->message;
    }
}

TEST(Scenario, InstallAndGroupPolicySectionsAnswerPerCall) {
    const sim::parse_result result = sim::parse_scenario(
        "[install]\nupdate = 3010\ncopy = ok\nstatus = 13\nduration_ms = 40\n"
        "[uninstall]\ndevice = 3010\npackage = 0xE000023D\n"
        "[group_policy]\nsave = 0x80070005\n"
        "[device]\ninstance = A\\B\\C\nproblem = 43\n");
    ASSERT_TRUE(result.ok()) << result.error->text();
    const sim::machine& m = result.value;
    EXPECT_EQ(m.failure("install", "update"), 3010u);
    EXPECT_EQ(m.failure("install", "copy"), std::nullopt);
    EXPECT_EQ(m.failure("install", "status"), 13u);
    EXPECT_EQ(m.failure("install", "reenumerate"), std::nullopt);
    EXPECT_EQ(m.failure("uninstall", "device"), 3010u);
    EXPECT_EQ(m.failure("uninstall", "package"), 0xE000023Du);
    EXPECT_EQ(m.failure("group_policy", "save"), 0x80070005u);
    EXPECT_EQ(m.install_duration_ms, 40u);
    EXPECT_EQ(m.devices[0].problem, 43u);
    EXPECT_EQ(sim::parse_scenario("").value.install_duration_ms, 300u);
}

// The signer's wait is a number of its own: it leaves the update's duration alone.
TEST(Scenario, TheSignerWaitsAsLongAsItsSectionSays) {
    const sim::parse_result result =
        sim::parse_scenario("[signing]\nwait_ms = 2500\nsign = 0x80070005\n");
    ASSERT_TRUE(result.ok()) << result.error->text();
    EXPECT_EQ(result.value.signing_wait_ms, 2500u);
    EXPECT_EQ(result.value.install_duration_ms, 300u);
    EXPECT_EQ(result.value.failure("signing", "sign"), 0x80070005u);
    EXPECT_EQ(sim::parse_scenario("[install]\nduration_ms = 40\n").value.signing_wait_ms, 0u);
}

TEST(Scenario, PlugAndPlayIsOnlyWhereTheMachineAsksForIt) {
    EXPECT_FALSE(sim::parse_scenario("").value.plug_and_play);
    EXPECT_TRUE(sim::parse_scenario("[machine]\nplug_and_play = yes\n").value.plug_and_play);
    EXPECT_FALSE(sim::parse_scenario("[machine]\nplug_and_play = no\n").value.plug_and_play);
}

TEST(Scenario, ErrorTextStartsWithTheLine) {
    const sim::parse_result result = sim::parse_scenario("\n\n[nonsense]\n");
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error->text().rfind("line 3: unknown section", 0), 0u) << result.error->text();
}

// Whatever bytes arrive (a half-written file, a binary file), the parser answers.
TEST(Scenario, ArbitraryBytesNeverCrash) {
    const std::string base =
        "[device]\ninstance = \"USB\\A\\1\"\nunreadable = driver, parent\nparent = X\\Y\\Z\n"
        "[machine]\nenumeration_delay_ms = 12\n";
    for (std::size_t cut = 0; cut <= base.size(); ++cut) {
        sim::parse_scenario(base.substr(0, cut));
        std::string damaged = base;
        damaged[cut % base.size()] = static_cast<char>(cut * 37);
        sim::parse_scenario(damaged);
    }
    sim::parse_scenario(std::string("[device]\0instance = A\n", 22));
    sim::parse_scenario(std::string(100000, '['));
    sim::parse_scenario(std::string(100000, '\n'));
}

TEST(Scenario, IdsCompareWithoutCaseAndTheEnumeratorIsTheFirstElement) {
    EXPECT_TRUE(sim::same_id("USB\\VID_C04A&PID_0C02\\crv1", "usb\\vid_c04a&pid_0c02\\CRV1"));
    EXPECT_FALSE(sim::same_id("USB\\A\\1", "USB\\A\\10"));
    EXPECT_FALSE(sim::same_id("USB\\A\\1", "USB\\A\\2"));
    EXPECT_EQ(sim::enumerator_of("USB\\VID_1234&PID_0001\\5&1"), "USB");
    EXPECT_EQ(sim::enumerator_of("HTREE"), "HTREE");
    EXPECT_EQ(sim::enumerator_of("\\odd"), "");
}

std::string read_shipped(const char* name) {
    std::ifstream file(std::string(CORVANE_SIM_SCENARIOS) + "/" + name, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

TEST(ShippedScenarios, AllParse) {
    struct {
        const char* name;
        std::size_t devices;
    } cases[] = {
        {"hubs.scn", 4},      {"no-device.scn", 0},    {"odd-devices.scn", 9},
        {"one-board.scn", 5}, {"usbser-board.scn", 5}, {"two-cdc-board.scn", 5},
    };
    for (const auto& c : cases) {
        const std::string text = read_shipped(c.name);
        ASSERT_FALSE(text.empty()) << c.name << " not found in " << CORVANE_SIM_SCENARIOS;
        const sim::parse_result result = sim::parse_scenario(text);
        ASSERT_TRUE(result.ok()) << c.name << ": " << result.error->text();
        EXPECT_EQ(result.value.devices.size(), c.devices) << c.name;
    }
}

// The odd devices are the ones whose oddity the tests of the product depend on.
TEST(ShippedScenarios, OddDevicesKeepTheirOddities) {
    const sim::parse_result result = sim::parse_scenario(read_shipped("odd-devices.scn"));
    ASSERT_TRUE(result.ok()) << result.error->text();
    const auto& devices = result.value.devices;
    ASSERT_EQ(devices.size(), 9u);
    EXPECT_FALSE(devices[1].bus_description);
    EXPECT_EQ(devices[2].description->size(), 250u);
    EXPECT_EQ(devices[3].bus_description, "  Port  ");
    EXPECT_EQ(devices[4].unreadable, std::set<std::string>{"instance"});
    EXPECT_FALSE(devices[5].present);
    EXPECT_EQ(sim::enumerator_of(devices[6].instance), "HID");
    EXPECT_EQ(devices[7].hardware_ids, std::vector<std::string>{"USB\\DEVICE_DESCRIPTOR_FAILURE"});
    EXPECT_EQ(devices[7].problem, 43u);
    std::size_t list_bytes = 1;
    for (const std::string& id : devices[8].hardware_ids)
        list_bytes += id.size() + 1;
    EXPECT_GT(list_bytes, 254u);
    EXPECT_EQ(devices[8].driver_version->size(), 23u);
}

}  // namespace
