// The scenario of the simulated machine (tests/sim/README.md) as a plain record, and the parser
// from its text. Portable: the simulation DLLs use it, and it is also built natively for the
// sanitizers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// One [device]. A std::nullopt or an empty list is a key the file did not give: the property is
// missing. Texts are UTF-8 as they stand in the file.
struct device {
    int line = 0;  // of its [device] line, for messages
    std::string instance;
    bool present = true;
    std::optional<std::string> service;
    std::optional<std::string> driver;
    std::optional<std::string> driver_version;
    // The driver key's InfPath: the driver store's name of the INF its driver came from
    // ("oem3.inf"). Only a device with a driver key has one.
    std::optional<std::string> inf_name;
    // The driver key's ProviderName, the INF's Provider; written by an installation, not the file.
    std::optional<std::string> provider_name;
    std::vector<std::string> hardware_ids;
    std::vector<std::string> compatible_ids;
    std::vector<std::string> upper_filters;
    std::optional<std::string> bus_description;
    std::optional<std::string> description;
    std::optional<std::string> parent;
    // The configuration manager's problem code (CM_PROB_*) of a device that did not start.
    std::optional<unsigned> problem;
    // SPDRP_CONFIGFLAGS; written by the installation's calls, not by the file.
    uint32_t config_flags = 0;
    // Port name of the device's hardware key, once a serial driver bound it ("COM3").
    std::optional<std::string> port_name;
    // Bound by an update that needs a restart to finish; written by the installation, not the file.
    bool need_restart = false;
    // Names of the keys above whose reading fails.
    std::set<std::string> unreadable;

    bool is_unreadable(const char* key) const { return unreadable.count(key) != 0; }
};

// What a simulated call answers, from a key of a service section ([catalog], [signing], ...):
// "ok", or the error code it fails with (decimal or 0x hexadecimal: a Windows error, an HRESULT).
struct outcome {
    bool ok = true;
    uint32_t error = 0;  // when not ok; never 0
};

struct machine {
    unsigned enumeration_delay_ms = 0;
    // How long other installations stay pending for CMP_WaitNoPendingInstallEvents (default 0).
    unsigned pending_installations_ms = 0;
    // How long a driver update takes ([install] duration_ms), so that its setup log grows while
    // somebody follows it.
    unsigned install_duration_ms = 300;
    // How long the signer waits before it signs ([signing] wait_ms, default 0), so that a test
    // can end a program in the middle of its signing.
    unsigned signing_wait_ms = 0;
    // A device plugged in (present at a reading of the file where it was not at the reading
    // before) gets the driver store's package for it, as Plug and Play installs one ([machine]
    // plug_and_play = yes; default no, so that a scenario's boards arrive as the file gives
    // them whatever earlier runs left in the prefix's driver store).
    bool plug_and_play = false;
    std::vector<device> devices;  // in the order of the file
    // By "section.key", for the keys the file gives; a key not given answers ok.
    std::map<std::string, outcome> outcomes;

    // The error `section`'s `key` fails with, or nullopt when the call succeeds.
    std::optional<uint32_t> failure(std::string_view section, std::string_view key) const;
};

struct parse_error {
    int line = 0;  // 1-based
    std::string message;

    // "line 12: unknown key 'colour' in [device]"
    std::string text() const;
};

struct parse_result {
    machine value;
    std::optional<parse_error> error;  // set when the file is invalid; value is then empty

    bool ok() const { return !error; }
};

parse_result parse_scenario(std::string_view text);

// The longest instance ID the system has (MAX_DEVICE_ID_LEN without the terminator), and the
// longest description a USB device can report (a string descriptor of 254 bytes).
constexpr std::size_t kMaxInstanceIdLength = 199;
constexpr std::size_t kMaxBusDescriptionUnits = 126;
// The root of the device tree: the parent of every device the file gives no parent.
constexpr std::string_view kRootInstance = "HTREE\\ROOT\\0";

// Instance IDs and enumerators compare without regard to ASCII case, as the system does.
bool same_id(std::string_view a, std::string_view b);
// The key under which to file an ID for lookups: its ASCII upper case, one for all same_id IDs.
std::string id_key(std::string_view id);
// "USB" for "USB\VID_1234&PID_0001\5&1". The whole ID when it has no backslash.
std::string_view enumerator_of(std::string_view instance);

}  // namespace sim
