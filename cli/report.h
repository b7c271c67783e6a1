// What the console program writes and how it ends: the device lines, the JSON array, the lines
// of an installation, which listed devices an installation targets, and the exit codes. No
// Windows call, so it is built and tested natively. Which devices are CDC serial interfaces, the
// serial driver and the log file's line are the front-end core's, shared with the dialog.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "arguments.h"
#include "device_rules.h"
#include "package_folder.h"
#include "usbdrv/usbdrv.h"

namespace cli {

// Exit codes a script can rely on. The Windows ones are the system's own numbers, which the
// system's driver tools report too.
enum exit_code : int {
    kExitSuccess = 0,
    kExitInstallFailed = 1,
    kExitBadArguments = 2,
    kExitNoDevice = 3,
    kExitPrepareFailed = 5,
    kExitLogFailed = 6,            // the --log file cannot be opened or written
    kExitNotServed = 7,            // status: a matching connected device has no serial driver
    kExitElevationRequired = 740,  // ERROR_ELEVATION_REQUIRED
    kExitCancelled = 1223,         // ERROR_CANCELLED
    kExitBusy = 1618,              // ERROR_INSTALL_ALREADY_RUNNING: deployment tools retry later
    kExitRebootRequired = 3010,    // ERROR_SUCCESS_REBOOT_REQUIRED
};

// A listing that failed: busy while another listing runs, otherwise failed.
int exit_for_listing(usbdrv_result result);
int exit_for_preparation(usbdrv_result result);
// needs_restart: the device's node waits for a restart after the installation.
int exit_for_installation(usbdrv_result result, bool needs_restart);
// Of two outcomes of one run, the one the run ends with: the worse. A log that failed during
// the run ranks below every failure of the work itself and above its successes: the work's
// own failure is what a script must act on, and a success with an incomplete log is no success.
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

// Whether an installation asked for by `req` targets the device.
bool targets(const request& req, const device_view& device);

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

// What `install` writes on standard output, a line per device, each ending in a line feed:
// "<instance ID>: <outcome>". A script reads the COM port between the parentheses of
// "<instance ID>: installed (COMn)", which a reboot-required installation follows with
// ", a reboot is required".
std::string installed_line(const std::string& instance, const std::string& port,
                           bool reboot_required);
// Nothing was bound: the board was gone by the time of its update, and the package waits in the
// driver store. The run ends with kExitNoDevice then: a board without a driver is no success.
std::string stored_line(const std::string& instance);
std::string installation_failed_line(const std::string& instance, const char* text);
std::string preparation_failed_line(const std::string& instance, const char* text);
// Before a --wait for a matching device.
std::string waiting_line(unsigned seconds);
// After `extract`, with the folder's full path.
std::string extracted_line(const std::string& folder);
// An `extract` folder whose full path does not fit the library's paths (`bytes` of UTF-8).
std::string extract_folder_too_long(const std::string& folder, size_t bytes);

// Why `install --instance` refuses the device it names: it is not a CDC serial interface (`why`,
// from the front-end core's rule; `compatible_id` its first compatible ID, if any), and
// --any-device was not given. The run ends with kExitNoDevice: the device is there, but it is not
// one `install` installs on, so no device matches. What decides is the machine's device, not the
// form of the arguments (kExitBadArguments, with the usage).
std::string not_cdc_refusal(const std::string& instance, cdc_check why, const char* compatible_id);

// The lines a --log file records of the run besides the library's: each device's line (as on
// standard output, without its line end) and, last, the exit code.
std::string result_log_line(const std::string& line);
std::string exit_log_line(int code);

// Why an installation has no package folder (install_folder with TEMP as the fallback), as a
// message for standard error; empty for a folder that is there.
std::string folder_error(const package_folder& folder);

// The first line of a --log file, written (and its failure noticed) before anything else is
// done: the arguments, each in double quotes when it holds a blank or a quote or is empty. A
// control character is written as \xNN, so that an argument can neither start a line of its
// own in the log nor drive a terminal that shows it.
std::string start_line(const std::vector<std::string>& args);

// Why the --log file cannot be opened (`opening`) or written, for standard error: the system's
// error code as words for the common causes, and its number.
std::string log_failure(const std::string& path, bool opening, unsigned long error);
// Beside a write that failed during the run, which goes on without its log.
constexpr char kLogGoesOnWithout[] = "; the run goes on without the log";

// The program's errors on standard error: kErrorPrefix and the message.
constexpr char kErrorPrefix[] = "corvane-cli: ";
constexpr char kNoMatchingDevice[] = "no matching device";

}  // namespace cli
