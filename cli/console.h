// The console program's run-time services that every command shares: where its output and log
// lines go, the record of the run in the --log file, the device listing and the text of a
// failure.
#pragma once

#include <string>
#include <vector>

#include "arguments.h"
#include "failure_text.h"
#include "usbdrv/usbdrv.h"

namespace cli {

// Standard output, as written: UTF-8, a line feed per line.
void write_out(const std::string& text);
// A line of the run's outcome: on standard output, and in the log file, which is the record of
// a board.
void report(const std::string& line);
// The same outcome for scripts: `json` on standard output, and `line`, the words for people, in
// the log file.
void report_json(const std::string& json, const std::string& line);
// The program's own words: errors and warnings on standard error (and in the log file).
void say_error(const std::string& message);
void say_warning(const std::string& message);
// A step the program decided on, at the library's info level: on standard error unless --quiet,
// and in the log file.
void say_info(const std::string& message);

// Opens the log file and writes its first line, before anything else is done: a log that
// cannot be kept ends the run here, with nothing listed, prepared or installed. Returns the
// exit code to end with, or success to go on.
int start_log(const std::string& path, const std::vector<std::string>& args);
// Log levels and the library's sink, for the run of `req`.
void set_up_logging(const request& req);
// After the run: the library's sink is taken back and the log's last line written. Returns the
// exit code to end with: `code`, or worse when the log failed.
int end_logging(int code);

// The library's list of present devices, owned.
struct device_list {
    usbdrv_device_entry* head = nullptr;
    device_list() = default;
    device_list(const device_list&) = delete;
    device_list& operator=(const device_list&) = delete;
    ~device_list() { usbdrv_destroy_list(head); }
};
// Lists every USB device. Another listing somewhere on the machine holds the library busy for
// moments only, so a busy answer is asked again for a while.
usbdrv_result list_devices(device_list& list);
// Says that the devices could not be listed; returns the exit code.
int listing_failed(usbdrv_result result);
// What the system knows of a device now. A state read only in part keeps what could be read;
// the library has logged the rest.
usbdrv_device_state device_state(const std::string& instance);

// From here on, the library's lines belong to a new step: the Windows error of a failure is
// looked for among them.
void start_step();
// What a user reads of a failed step: the library's text with its codes and what to do next.
std::string failure_of(failure_step step, usbdrv_result result, const std::string& folder);

}  // namespace cli
