// What the console program writes and how it ends: the device lines, the JSON array, the log
// file's time stamps, which listed devices an installation targets, and the exit codes. No
// Windows call, so it is built and tested natively.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "arguments.h"
#include "usbdrv/usbdrv.h"

namespace cli {

// Exit codes a script can rely on. The Windows ones are the system's own numbers, which the
// system's driver tools report too.
enum exit_code : int {
    kExitSuccess = 0,
    kExitInstallFailed = 1,
    kExitBadArguments = 2,
    kExitNoDevice = 3,
    kExitBusy = 4,
    kExitPrepareFailed = 5,
    kExitCancelled = 1223,       // ERROR_CANCELLED
    kExitRebootRequired = 3010,  // ERROR_SUCCESS_REBOOT_REQUIRED
};

// The configuration manager's DN_NEED_RESTART status bit of a device node.
constexpr uint32_t kDevNodeNeedsRestart = 0x00000100;

// A listing that failed: busy while another listing runs, otherwise failed.
int exit_for_listing(usbdrv_result result);
int exit_for_preparation(usbdrv_result result);
// node_status is the device node's status after the installation (0 when it could not be read).
int exit_for_installation(usbdrv_result result, uint32_t node_status);
// Of two outcomes of one run, the one the run ends with: the worse.
int worse_exit(int a, int b);

// One listed device, as the program shows it.
struct device_view {
    uint16_t vid = 0;
    uint16_t pid = 0;
    bool is_interface = false;
    uint8_t interface_number = 0;
    std::string instance_id;
    std::string description;
    std::string driver;   // the bound driver's service; empty when none
    std::string version;  // "a.b.c.d"; empty when none
    std::string port;     // "COMn"; empty when not known
};

device_view view_of(const usbdrv_device_entry& entry);
// "a.b.c.d" of a packed driver version (four 16-bit parts, the first in the top bits); empty
// for 0.
std::string version_text(uint64_t version);

// The CDC serial interfaces of composite devices, by the first compatible ID (any case).
bool is_cdc_interface(const usbdrv_device_entry& entry);
// Whether an installation asked for by `req` targets the device.
bool targets(const request& req, const device_view& device);
// The serial driver's service, whose devices have a COM port.
bool is_serial_driver(const std::string& service);

// The line `list` writes for a device: VID PID interface driver version port instance
// description, "-" for what is missing, ending in a line feed.
std::string device_line(const device_view& device);
// The column heads of those lines.
const char* device_heads();
// The JSON array `list --json` writes, ending in a line feed.
std::string devices_json(const std::vector<device_view>& devices);
// `text` as a JSON string, quotes included. Bytes that are not UTF-8 become U+FFFD, so the
// output is always valid JSON.
std::string json_string(const std::string& text);

struct clock_time {
    int year, month, day, hour, minute, second, millisecond;
};
// A log line as the log file keeps it: "2026-12-10 07:30:01.123 <line>\n".
std::string stamped_line(const clock_time& when, const std::string& line);

}  // namespace cli
