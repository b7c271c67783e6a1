// What an installation the library reported as a success did, read from the device's state
// afterwards: a device counts as installed only when it is connected and bound to the serial
// driver now.
#include "installation_outcome.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

const char* const kInstance = "USB\\VID_C04A&PID_0C02&MI_00\\7&2F1C3A5&0&0000";

usbdrv_device_state state(int32_t present, const char* service, const char* port,
                          int32_t needs_restart = 0) {
    usbdrv_device_state s = {};
    s.present = present;
    s.needs_restart = needs_restart;
    strncpy(s.service, service, sizeof s.service - 1);
    strncpy(s.port_name, port, sizeof s.port_name - 1);
    return s;
}

TEST(InstallationOutcome, InstalledOnlyWhenTheConnectedDeviceIsBoundToTheSerialDriver) {
    using kind = installation_outcome::kind_type;
    const struct {
        const char* what;
        const char* instance;
        usbdrv_device_state state;
        kind expected;
        std::string port;
        bool restart;
    } rows[] = {
        {"bound, with its port", kInstance, state(1, "usbser", "COM3"), kind::installed, "COM3",
         false},
        {"the service in another case", kInstance, state(1, "USBSER", "COM7"), kind::installed,
         "COM7", false},
        {"bound, waiting for a restart", kInstance, state(1, "usbser", "COM3", 1), kind::installed,
         "COM3", true},
        {"bound, its port not readable", kInstance, state(1, "usbser", ""), kind::installed, "",
         false},
        // The update answered "no such device": the INF went to the driver store.
        {"unplugged before its update", kInstance, state(0, "", ""), kind::stored, "", false},
        // An earlier installation's binding stays in the registry while the board is away.
        {"unplugged, bound by an earlier installation", kInstance, state(0, "usbser", "COM3"),
         kind::stored, "", false},
        {"connected, still without a driver", kInstance, state(1, "", ""), kind::stored, "", false},
        {"connected, bound to another driver", kInstance, state(1, "usbccgp", ""), kind::stored, "",
         false},
        // "Install driver" with no board: the package is for the typed identifiers.
        {"no device at all", nullptr, state(1, "usbser", "COM3"), kind::stored, "", false},
        {"an empty instance ID", "", state(1, "usbser", "COM3"), kind::stored, "", false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        installation_outcome outcome = outcome_of_installation(r.instance, r.state);
        EXPECT_EQ(outcome.kind, r.expected);
        EXPECT_EQ(outcome.port, r.port);
        EXPECT_EQ(outcome.needs_restart, r.restart);
    }
}

// The record's texts are read within their fields, terminated or not.
TEST(InstallationOutcome, FieldsAreReadWithinTheirSize) {
    usbdrv_device_state s = {};
    s.present = 1;
    memcpy(s.service, "usbser", 7);
    memset(s.port_name, 'P', sizeof s.port_name);
    installation_outcome outcome = outcome_of_installation(kInstance, s);
    EXPECT_EQ(outcome.port, std::string(sizeof s.port_name, 'P'));

    memset(s.service, 'u', sizeof s.service);
    EXPECT_EQ(outcome_of_installation(kInstance, s).kind, installation_outcome::stored);
}

}  // namespace
