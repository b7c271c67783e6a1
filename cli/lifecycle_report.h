// What the console program writes for the driver's life on a machine beyond `list` and
// `extract`: the outcome of `install` per device as a line and as a JSON object, and the lines
// of `stage`, `status`, `uninstall` and `certificates`. No Windows call, so it is built and tested
// natively.
#pragma once

#include <string>

#include "report.h"
#include "usbdrv/usbdrv.h"

namespace cli {

// One device's outcome of `install`.
struct install_result {
    enum kind_type {
        installed,          // bound to the serial driver now
        already_installed,  // served by the same package already: left alone
        stored,             // not connected for its update: the package waits in the store
        installation_failed,
        preparation_failed,
    } kind = installation_failed;
    device_view device;
    std::string port;               // "COMn" of a served device; empty when not known
    bool restart_required = false;  // Windows must be restarted to finish
    usbdrv_result result = USBDRV_OK;
    std::string text;  // a failure's text (failure_text), for the line; the JSON has the code's

    // Whether the run changed the machine for the device: what configuration management
    // reports as "changed". A failure changed nothing a script can build on.
    bool changed() const { return kind == installed || kind == stored; }
};

// The line for people ("<instance ID>: installed (COM3)", ": already installed (COM3)", ...),
// ending in a line feed.
std::string install_line(const install_result& r);
// The JSON object for scripts, on one line, ending in a line feed: instance_id, vid, pid,
// interface (a number; absent for a whole device), outcome, changed, port (absent when not
// known), restart_required, result (the library's code) and result_text (its text).
std::string install_json(const install_result& r);

// `status` of one connected matching device.
struct device_status {
    device_view device;
    bool served = false;  // bound to the serial driver
    bool restart_required = false;
    std::string package;  // the driver store's name of the INF its driver came from ("oem3.inf")
    bool corvane_package = false;  // that INF is Corvane's
};
std::string status_line(const device_status& s);
std::string status_json(const device_status& s);

// `stage`: the package for the hardware ID ("USB\VID_C04A&PID_0C02&MI_00") is in the driver
// store as `published_name` (empty when the store's name for it could not be found).
std::string staged_line(const std::string& hardware_id, const std::string& published_name);

// `uninstall`, per device and per package of the driver store.
std::string driver_removed_line(const std::string& instance, bool restart_required);
std::string driver_removal_failed_line(const std::string& instance, const std::string& text);
std::string not_corvane_driver_line(const std::string& instance, const std::string& service,
                                    const std::string& package);
std::string package_deleted_line(const std::string& published_name);
std::string package_in_use_line(const std::string& published_name);
std::string package_deletion_failed_line(const std::string& published_name,
                                         const std::string& text);
std::string other_maker_package_line(const std::string& published_name,
                                     const std::string& hardware_id);
constexpr char kNothingToUninstall[] =
    "no matching device with Corvane's driver and no Corvane package for it in the driver store";

// `certificates`: one line per certificate, and the outcome of its removal.
std::string certificate_line(const usbdrv_certificate_entry& c);
std::string certificate_removed_line(const usbdrv_certificate_entry& c);
std::string certificate_removal_failed_line(const usbdrv_certificate_entry& c,
                                            const std::string& text);
constexpr char kNoCertificates[] =
    "no certificates of Corvane's in the machine's Root and TrustedPublisher stores\n";

// A command that changes the machine for every user, run without administrator rights: it
// changes nothing and says so.
std::string elevation_required(const char* command);

}  // namespace cli
