// usbdrv_create_list and usbdrv_destroy_list on the simulated machine.
#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "base/log.h"
#include "devices/enumeration.h"
#include "simulated_machine.h"
#include "usbdrv/usbdrv.h"
#include "win/busy_marker.h"
#include "win/handles.h"
#include "win/runtime_imports.h"
#include "win/windows_version.h"

namespace {

using test::scenario_of;
using test::sim_device;

// A listed entry as plain values.
struct device {
    uint16_t vid = 0, pid = 0;
    bool is_interface = false;
    int interface_number = 0;
    std::optional<std::string> description, driver_name, device_id, hardware_id, compatible_id,
        upper_filter;
    uint64_t driver_version = 0;
};

std::optional<std::string> text(const char* s) {
    return s ? std::optional<std::string>(s) : std::nullopt;
}

struct listing {
    usbdrv_result result = USBDRV_OK;
    std::vector<device> devices;
    std::string log;

    const device* find(const std::string& instance) const {
        for (const device& d : devices) {
            if (d.device_id == instance)
                return &d;
        }
        return nullptr;
    }
    std::vector<std::string> ids() const {
        std::vector<std::string> result;
        for (const device& d : devices)
            result.push_back(d.device_id.value_or("(null)"));
        return result;
    }
};

// One listing with every log line down to debug.
listing list(const usbdrv_list_options* options) {
    listing l;
    int saved = usbdrv_log_threshold;
    usbdrv_set_log_threshold(USBDRV_LOG_DEBUG);
    usbdrv_device_entry* head = nullptr;
    {
        test::log_capture log;
        l.result = usbdrv_create_list(&head, options);
        l.log = log.text();
    }
    usbdrv_set_log_threshold(saved);
    for (usbdrv_device_entry* e = head; e; e = e->next) {
        device d;
        d.vid = e->vid;
        d.pid = e->pid;
        d.is_interface = e->is_interface != 0;
        d.interface_number = e->interface_number;
        d.description = text(e->description);
        d.driver_name = text(e->driver_name);
        d.device_id = text(e->device_id);
        d.hardware_id = text(e->hardware_id);
        d.compatible_id = text(e->compatible_id);
        d.upper_filter = text(e->upper_filter);
        d.driver_version = e->driver_version;
        l.devices.push_back(d);
    }
    EXPECT_EQ(usbdrv_destroy_list(head), USBDRV_OK);
    return l;
}

const usbdrv_list_options kAll = {1, 1, 1};

const char* const kParent = "USB\\VID_C04A&PID_0C02\\CRV00001";
const char* const kSerialA = "USB\\VID_C04A&PID_0C02&MI_00\\7&2F1C3A5&0&0000";
const char* const kDataA = "USB\\VID_C04A&PID_0C02&MI_01\\7&2F1C3A5&0&0001";
const char* const kSerialB = "USB\\VID_C04A&PID_0C02&MI_02\\7&2F1C3A5&0&0002";
const char* const kDataB = "USB\\VID_C04A&PID_0C02&MI_03\\7&2F1C3A5&0&0003";

class Enumeration : public testing::Test {
protected:
    void use(const char* shipped) {
        SetEnvironmentVariableA("CORVANE_SCENARIO", test::shipped_scenario(shipped).c_str());
    }
    void TearDown() override { SetEnvironmentVariableA("CORVANE_SCENARIO", nullptr); }
};

TEST_F(Enumeration, ACompositeBoardWithEveryOption) {
    use("one-board.scn");
    listing l = list(&kAll);
    ASSERT_EQ(l.result, USBDRV_OK) << l.log;
    using v = std::vector<std::string>;
    EXPECT_EQ(l.ids(), (v{kParent, kSerialA, kDataA, kSerialB, kDataB}));  // system order

    const device& parent = l.devices[0];
    EXPECT_EQ(parent.vid, 0xC04A);
    EXPECT_EQ(parent.pid, 0x0C02);
    EXPECT_FALSE(parent.is_interface);
    EXPECT_EQ(parent.interface_number, 0);
    EXPECT_EQ(parent.description, "Corvane Dual Serial (Composite Parent)");
    EXPECT_EQ(parent.driver_name, "usbccgp");
    EXPECT_EQ(parent.hardware_id, "USB\\VID_C04A&PID_0C02&REV_0100");
    EXPECT_EQ(parent.compatible_id, "USB\\DevClass_00&SubClass_00&Prot_00");
    EXPECT_EQ(parent.upper_filter, std::nullopt);
    EXPECT_EQ(parent.driver_version, (10ull << 48) | (19041ull << 16) | 1);

    const device& b = l.devices[3];
    EXPECT_EQ(b.vid, 0xC04A);
    EXPECT_EQ(b.pid, 0x0C02);
    EXPECT_TRUE(b.is_interface);
    EXPECT_EQ(b.interface_number, 2);
    EXPECT_EQ(b.description, "Corvane Serial B (Interface 2)");
    EXPECT_EQ(b.driver_name, std::nullopt);
    EXPECT_EQ(b.hardware_id, "USB\\VID_C04A&PID_0C02&REV_0100&MI_02");
    EXPECT_EQ(b.compatible_id, "USB\\Class_02&SubClass_02&Prot_01");
    EXPECT_EQ(b.driver_version, 0u);
    EXPECT_EQ(l.devices[2].description, "Corvane Serial A Data (Interface 1)");

    EXPECT_NE(l.log.find("usbdrv:debug [usbdrv_create_list] Hardware ID: "
                         "USB\\VID_C04A&PID_0C02&REV_0100&MI_02\n"),
              std::string::npos);
    EXPECT_NE(l.log.find("usbdrv:debug [usbdrv_create_list] Driverless USB device (3): " +
                         std::string(kSerialB) + "\n"),
              std::string::npos);
    EXPECT_NE(l.log.find("usbdrv:debug [usbdrv_create_list] usbccgp USB device (0): " +
                         std::string(kParent) + "\n"),
              std::string::npos);
    EXPECT_NE(l.log.find("Device description: 'Corvane Serial B (Interface 2)'"),
              std::string::npos);
}

TEST_F(Enumeration, OptionsDecideWhatIsListed) {
    const char* const kRootHub20 = "USB\\ROOT_HUB20\\4&1B2C3D4E&0";
    const char* const kHub = "USB\\VID_05E3&PID_0610\\5&3A4B5C6D&0&1";
    const char* const kSingle = "USB\\VID_C04A&PID_0C03\\CRV00002";
    using v = std::vector<std::string>;
    const usbdrv_list_options with_driver = {1, 0, 0}, hubs = {0, 1, 0};
    const struct {
        const char* scenario;
        const usbdrv_list_options* options;
        v listed;
    } rows[] = {
        // Without options only driverless devices that are no hubs.
        {"one-board.scn", nullptr, {kSerialA, kDataA, kSerialB, kDataB}},
        {"one-board.scn", &with_driver, {kSerialA, kDataA, kSerialB, kDataB}},
        // The parent has a driver: without include_with_driver it goes before the hub rule.
        {"one-board.scn", &hubs, {kSerialA, kDataA, kSerialB, kDataB}},
        {"one-board.scn", &kAll, {kParent, kSerialA, kDataA, kSerialB, kDataB}},
        {"usbser-board.scn", nullptr, {kDataA, kDataB}},
        {"usbser-board.scn", &with_driver, {kSerialA, kDataA, kSerialB, kDataB}},
        // Root hubs have no VID: never listed. The hub with a VID needs both options.
        {"hubs.scn", &kAll, {kHub, kSingle}},
        {"hubs.scn", &with_driver, {kSingle}},
        {"hubs.scn", nullptr, {kSingle}},
    };
    for (const auto& r : rows) {
        use(r.scenario);
        listing l = list(r.options);
        EXPECT_EQ(l.ids(), r.listed) << r.scenario;
        EXPECT_EQ(l.find(kRootHub20), nullptr);
    }
}

TEST_F(Enumeration, AnEmptyListIsNoDevice) {
    use("no-device.scn");
    usbdrv_device_entry* head = reinterpret_cast<usbdrv_device_entry*>(0x1);
    EXPECT_EQ(usbdrv_create_list(&head, &kAll), USBDRV_ERR_NO_DEVICE);
    EXPECT_EQ(head, nullptr);
    head = reinterpret_cast<usbdrv_device_entry*>(0x1);
    const usbdrv_list_options hubs_with_driver = {1, 1, 0};
    test::simulated_machine only_hubs(scenario_of({
        {"USB\\ROOT_HUB30\\4&2C3D4E5F&0&0", "service = USBHUB3\n"},
        {"USB\\VID_05E3&PID_0610\\5&1",
         "service = usbhub\ndriver = {36fc9e60-c465-11cf-8056-444553540000}\\0003\n"},
    }));
    EXPECT_EQ(usbdrv_create_list(&head, nullptr), USBDRV_ERR_NO_DEVICE);
    EXPECT_EQ(head, nullptr);
    EXPECT_EQ(usbdrv_create_list(&head, &hubs_with_driver), USBDRV_OK);
    EXPECT_EQ(usbdrv_destroy_list(head), USBDRV_OK);

    EXPECT_EQ(usbdrv_create_list(nullptr, &kAll), USBDRV_ERR_INVALID_PARAM);
    EXPECT_EQ(usbdrv_destroy_list(nullptr), USBDRV_OK);
}

TEST_F(Enumeration, OddDevices) {
    use("odd-devices.scn");
    listing l = list(&kAll);
    ASSERT_EQ(l.result, USBDRV_OK) << l.log;

    // A VID piece that is not hexadecimal: vid 0, logged, still listed as an interface.
    const device* not_hex = l.find("USB\\VID_XYZ1&PID_0001&MI_00\\8&11111111&0&0000");
    ASSERT_NE(not_hex, nullptr);
    EXPECT_EQ(not_hex->vid, 0);
    EXPECT_EQ(not_hex->pid, 1);
    EXPECT_TRUE(not_hex->is_interface);
    EXPECT_NE(l.log.find("usbdrv:error [usbdrv_create_list] could not convert VID string\n"),
              std::string::npos);

    // No description of any kind: a generated name, counted from 1 in every call.
    const device* nameless = l.find("USB\\VID_C04A&PID_0C04&MI_00\\8&22222222&0&0000");
    ASSERT_NE(nameless, nullptr);
    EXPECT_EQ(nameless->description, "Unknown Device #1 (Interface 0)");
    EXPECT_NE(l.log.find("usbdrv:debug [usbdrv_create_list] could not read device description "
                         "for 1: "),
              std::string::npos);

    // 250 units + 17 is not below 256: no suffix.
    const device* long_one = l.find("USB\\VID_C04A&PID_0C05&MI_00\\8&33333333&0&0000");
    ASSERT_NE(long_one, nullptr);
    ASSERT_TRUE(long_one->description);
    EXPECT_EQ(long_one->description->size(), 250u);

    // Trailing white space goes, leading stays (after the suffix was appended).
    const device* spaces = l.find("USB\\VID_C04A&PID_0C06&MI_02\\8&44444444&0&0002");
    ASSERT_NE(spaces, nullptr);
    EXPECT_EQ(spaces->description, "  Port   (Interface 2)");

    // An unreadable instance ID leaves the device out; so do absent devices and other
    // enumerators.
    EXPECT_NE(l.log.find("usbdrv:error [usbdrv_create_list] could not retrieve simple path for "
                         "device 4: CR error 19\n"),
              std::string::npos);
    EXPECT_EQ(l.devices.size(), 6u);

    // A device whose descriptor could not be read is listed under what the hub made up for it.
    const device* failed = l.find("USB\\VID_0000&PID_0002\\5&2B3C4D5E&0&4");
    ASSERT_NE(failed, nullptr);
    EXPECT_EQ(failed->hardware_id, "USB\\DEVICE_DESCRIPTOR_FAILURE");
    EXPECT_EQ(failed->driver_name, std::nullopt);

    // The longest driver version there is, and a hardware-ID list longer than the 256 bytes read
    // of it: the system refuses to cut it, so the whole list is read and its first ID kept.
    const device* long_lists = l.find("USB\\VID_C04A&PID_0C0D&MI_00\\8&88888888&0&0000");
    ASSERT_NE(long_lists, nullptr);
    EXPECT_EQ(long_lists->driver_version, 0xFFFFFFFFFFFFFFFFull);
    EXPECT_EQ(long_lists->hardware_id, "USB\\VID_C04A&PID_0C0D&REV_0100&MI_00");
}

TEST_F(Enumeration, TrimmingOnlyWhenAskedFor) {
    test::simulated_machine machine(scenario_of({
        {"USB\\VID_C04A&PID_0C06\\1", "bus_description = \"  Port  \"\n"},
    }));
    const usbdrv_list_options keep = {1, 1, 0};
    EXPECT_EQ(list(&keep).devices.at(0).description, "  Port  ");
    EXPECT_EQ(list(&kAll).devices.at(0).description, "  Port");
}

TEST_F(Enumeration, GeneratedNamesCountWithinOneCall) {
    test::simulated_machine machine(scenario_of({
        {"USB\\VID_C04A&PID_0001\\1", ""},
        {"USB\\VID_C04A&PID_0002\\2", "description = From The INF\n"},
        {"USB\\VID_C04A&PID_0003\\3", "unreadable = bus_description, description\n"},
    }));
    for (int call = 0; call < 2; call++) {
        listing l = list(&kAll);
        ASSERT_EQ(l.devices.size(), 3u);
        EXPECT_EQ(l.devices[0].description, "Unknown Device #1");
        EXPECT_EQ(l.devices[1].description,
                  "From The INF");  // the INF's text when the bus has none
        EXPECT_EQ(l.devices[2].description, "Unknown Device #2");
    }
}

TEST_F(Enumeration, BeforeWindows7TheBusDescriptionIsNotAsked) {
    test::simulated_machine machine(scenario_of({
        {"USB\\VID_C04A&PID_0001\\1", "bus_description = Bus\ndescription = Inf\n"},
        {"USB\\VID_C04A&PID_0002\\2", "bus_description = Bus Only\n"},
    }));
    windows_version = 0x51;  // detection only runs while the code is unknown
    listing l = list(&kAll);
    windows_version = -1;
    ASSERT_EQ(l.devices.size(), 2u);
    EXPECT_EQ(l.devices[0].description, "Inf");
    EXPECT_EQ(l.devices[1].description, "Unknown Device #1");
    EXPECT_NE(l.log.find("usbdrv:warning [usbdrv_create_list] could not read device description "
                         "for 1: "),
              std::string::npos);
}

TEST_F(Enumeration, DriverVersionsAndUnreadableProperties) {
    test::simulated_machine machine(scenario_of({
        {"USB\\VID_C04A&PID_0001&MI_00\\1",
         "service = usbser\ndriver = {4d36e978-e325-11ce-bfc1-08002be10318}\\0101\n"
         "driver_version = 6.1.7600.16385\nupper_filter = serenum\nupper_filter = other\n"},
        {"USB\\VID_C04A&PID_0002\\2",
         "service = usbser\ndriver = {4d36e978-e325-11ce-bfc1-08002be10318}\\0102\n"},
        {"USB\\VID_C04A&PID_0003\\3",
         "hardware_id = USB\\VID_C04A&PID_0003\nunreadable = hardware_id\n"},
        {"USB\\VID_C04A&PID_0004\\4",
         "service = usbser\ndriver = {4d36e978-e325-11ce-bfc1-08002be10318}\\0104\n"
         "driver_version = 1.2.3.4\nunreadable = driver\n"},
    }));
    listing l = list(&kAll);
    ASSERT_EQ(l.devices.size(), 4u) << l.log;
    EXPECT_EQ(l.devices[0].driver_version, (6ull << 48) | (1ull << 32) | (7600ull << 16) | 16385);
    EXPECT_EQ(l.devices[0].upper_filter, "serenum");
    EXPECT_EQ(l.devices[0].driver_name, "usbser");
    EXPECT_NE(l.log.find("usbdrv:debug [usbdrv_create_list] Driver version: 6.1.7600.16385\n"),
              std::string::npos);
    EXPECT_NE(l.log.find("usbdrv:debug [usbdrv_create_list] Upper filter: serenum\n"),
              std::string::npos);
    // No DriverVersion value, and a driver key that cannot be opened: 0 and a warning each.
    EXPECT_EQ(l.devices[1].driver_version, 0u);
    EXPECT_EQ(l.devices[3].driver_version, 0u);
    size_t warnings = 0;
    for (size_t at = 0; (at = l.log.find("usbdrv:warning [usbdrv_create_list] could not read "
                                         "driver version\n",
                                         at)) != std::string::npos;
         at++) {
        warnings++;
    }
    EXPECT_EQ(warnings, 2u);
    // An unreadable hardware ID: an empty text, logged, and the device is kept.
    EXPECT_EQ(l.devices[2].hardware_id, "");
    EXPECT_EQ(l.devices[2].compatible_id, "");
    EXPECT_NE(l.log.find("usbdrv:error [usbdrv_create_list] could not get hardware ID\n"),
              std::string::npos);
}

// The buffers hold 256 bytes of a property, 24 of a driver version and 256 units of a
// description, terminators included: a value that fills one exactly is read whole; one byte
// more does not fit (the system refuses it, as Windows does), except in a list of IDs, which is
// then read whole for its first ID.
TEST_F(Enumeration, ValuesThatFillTheirBuffersExactlyAreRead) {
    const std::string service255(255, 's'), service256(256, 't');
    const std::string hardware254 = "USB\\VID_C04A&PID_0001&" + std::string(254 - 22, 'h');
    const std::string description255(255, 'd');
    ASSERT_EQ(hardware254.size(), 254u);  // with its terminator and the list's: 256 bytes
    test::simulated_machine machine(scenario_of({
        {"USB\\VID_C04A&PID_0001\\1",
         "service = " + service255 + "\ndriver = {4d36e978-e325-11ce-bfc1-08002be10318}\\0201\n" +
             "driver_version = 65535.65535.65535.65534\nhardware_id = " + hardware254 + "\n" +
             // An INF's description: what a device reports itself is at most 126 units.
             "description = " + description255 + "\n"},
        {"USB\\VID_C04A&PID_0002\\2",
         "service = " + service256 + "\ndriver = {4d36e978-e325-11ce-bfc1-08002be10318}\\0202\n" +
             "driver_version = 65535.65535.65535.655341\nhardware_id = " + hardware254 + "x\n"},
    }));
    listing l = list(&kAll);
    ASSERT_EQ(l.devices.size(), 2u) << l.log;

    const device& fits = l.devices[0];
    EXPECT_EQ(fits.driver_name, service255);
    EXPECT_EQ(fits.driver_version, 0xFFFFFFFFFFFFFFFEull);  // 23 characters
    EXPECT_EQ(fits.hardware_id, hardware254);
    EXPECT_EQ(fits.description, description255);

    const device& beyond = l.devices[1];
    EXPECT_EQ(beyond.driver_name, std::nullopt);
    EXPECT_EQ(beyond.driver_version, 0u);
    // A list is read whole when it does not fit; its one ID of 255 bytes still fits the buffer.
    EXPECT_EQ(beyond.hardware_id, hardware254 + "x");
}

// While a listing or a release runs anywhere, a second one of the same kind fails at once.
TEST_F(Enumeration, BusyWhileAnotherCallHoldsItsMarker) {
    use("one-board.scn");
    usbdrv_device_entry* list_head = nullptr;
    ASSERT_EQ(usbdrv_create_list(&list_head, &kAll), USBDRV_OK);

    unique_mutex marker(CreateMutexA(nullptr, TRUE, busy_marker_name(kListDestructionMarker).text));
    ASSERT_TRUE(marker);
    EXPECT_EQ(usbdrv_destroy_list(list_head), USBDRV_ERR_BUSY);
    EXPECT_STREQ(list_head->device_id, kParent);  // nothing was released
    usbdrv_device_entry* untouched = reinterpret_cast<usbdrv_device_entry*>(0x1234);
    EXPECT_EQ(usbdrv_create_list(&untouched, &kAll), USBDRV_OK);  // the other name is free
    marker.reset();
    EXPECT_EQ(usbdrv_destroy_list(untouched), USBDRV_OK);
    EXPECT_EQ(usbdrv_destroy_list(list_head), USBDRV_OK);
}

TEST_F(Enumeration, ASecondListingFromAnotherProcessIsRefused) {
    // The other process lists a machine that takes two seconds to answer.
    test::simulated_machine machine("[machine]\nenumeration_delay_ms = 2000\n" +
                                    scenario_of({{"USB\\VID_C04A&PID_0001&MI_00\\1", ""}}));
    child_process_guard child;
    ASSERT_TRUE(test::start_program(test::beside_me("list_devices.exe"), L"", nullptr, child));
    ASSERT_TRUE(test::wait_for_mutex(busy_marker_name(kListingMarker).text, 2000))
        << "the other process never started listing";

    usbdrv_device_entry* head = reinterpret_cast<usbdrv_device_entry*>(0x1234);
    EXPECT_EQ(usbdrv_create_list(&head, &kAll), USBDRV_ERR_BUSY);
    EXPECT_EQ(head, reinterpret_cast<usbdrv_device_entry*>(0x1234));  // untouched

    ASSERT_TRUE(child.wait(20000));
    EXPECT_EQ(child.exit_code(99), 0u) << "the other process's listing failed";

    machine.set(scenario_of({{"USB\\VID_C04A&PID_0001&MI_00\\1", ""}}));
    EXPECT_EQ(usbdrv_create_list(&head, &kAll), USBDRV_OK);  // free again
    usbdrv_destroy_list(head);
}

TEST(InitDlls, FindsAllFiveEntryPoints) {
    EXPECT_TRUE(init_dlls());
}

TEST(FreeDeviceEntry, ReleasesTheTextsThatAreThere) {
    auto* entry = static_cast<usbdrv_device_entry*>(calloc(1, sizeof(usbdrv_device_entry)));
    entry->description = strdup("d");
    entry->upper_filter = strdup("u");
    free_device_entry(entry);  // the other four are null
    free_device_entry(nullptr);
}

}  // namespace
