// corvane-cli: lists the connected CDC serial interfaces, installs the driver on them and writes
// the driver package, from a command line, for factory lines and application installers. It does
// what the dialog's commands do, through the same library and the same front-end core, and ends
// with an exit code a script can rely on (report.h).
#include <windows.h>
#include <shellapi.h>

#include <fcntl.h>
#include <io.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "arguments.h"
#include "corvane_version.h"
#include "device_rules.h"
#include "failure_text.h"
#include "full_path.h"
#include "installation_outcome.h"
#include "log_file.h"
#include "log_line.h"
#include "package_folder.h"
#include "report.h"
#include "usbdrv/kit.h"
#include "usbdrv/usbdrv.h"

namespace {

// --- output ---------------------------------------------------------------------------------

void write_out(const std::string& text) {
    fwrite(text.data(), 1, text.size(), stdout);
    fflush(stdout);
}

// Where log lines go: standard error from a level on, and the log file, if any, all of them.
// The library logs from the installation host's thread too, hence the lock.
struct log_target {
    std::mutex lock;
    int stderr_from = USBDRV_LOG_INFO;
    std::string path;
    cli::log_file file;
    // A line could not be written: the run goes on without the file and ends with
    // kExitLogFailed unless its work failed worse.
    bool failed = false;
};
log_target logs;
// The Windows error behind a failure, from the library's lines of the command.
failure_watch failure;

log_time now() {
    SYSTEMTIME t;
    GetLocalTime(&t);
    return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}

// Appends a line to the log file, if there is one; the caller holds logs.lock.
void write_to_file(const char* line) {
    if (!logs.file.is_open())
        return;
    // Written through to the system at once: a line is in the file even if the program is
    // ended next, and a disk that is full is noticed at this line.
    DWORD error = logs.file.write(log_line(now(), line));
    if (error) {
        logs.file.close();
        logs.failed = true;
        fprintf(stderr, "%s%s%s\n", cli::kErrorPrefix,
                cli::log_failure(logs.path, false, error).c_str(), cli::kLogGoesOnWithout);
        fflush(stderr);
    }
}

void log_to_destinations(int32_t level, const char* line, void*) {
    failure.take(level, line);
    std::lock_guard<std::mutex> hold(logs.lock);
    if (level >= logs.stderr_from) {
        fprintf(stderr, "%s\n", line);
        fflush(stderr);
    }
    write_to_file(line);
}

// A line of the run's outcome: on standard output, and in the log file, which is the record of
// a board.
void report(const std::string& line) {
    write_out(line);
    std::lock_guard<std::mutex> hold(logs.lock);
    write_to_file(cli::result_log_line(line).c_str());
}

// The program's own words: errors on standard error (and in the log file), progress on
// standard output.
void say_error(const std::string& message) {
    log_to_destinations(USBDRV_LOG_ERROR, (cli::kErrorPrefix + message).c_str(), nullptr);
}

// Opens the log file and writes its first line, before anything else is done: a log that
// cannot be kept ends the run here, with nothing listed, prepared or installed. Returns the
// exit code to end with, or success to go on.
int start_log(const std::string& path, const std::vector<std::string>& args) {
    logs.path = path;
    DWORD error = logs.file.open(path);
    if (error) {
        fprintf(stderr, "%s%s\n", cli::kErrorPrefix, cli::log_failure(path, true, error).c_str());
        return cli::kExitLogFailed;
    }
    error = logs.file.write(log_line(now(), cli::start_line(args)));
    if (error) {
        logs.file.discard();
        fprintf(stderr, "%s%s\n", cli::kErrorPrefix, cli::log_failure(path, false, error).c_str());
        return cli::kExitLogFailed;
    }
    return cli::kExitSuccess;
}

// Log levels: the library drops a line below its threshold before anyone sees it, so the
// threshold is the lowest level a destination wants. The commands that prepare and install take
// every line, so that a failure's Windows error can be found in the installer helper's relayed
// (debug) lines.
void set_up_logging(const cli::request& req) {
    switch (req.level) {
        case cli::verbosity::quiet:
            logs.stderr_from = USBDRV_LOG_ERROR;
            break;
        case cli::verbosity::verbose:
            logs.stderr_from = USBDRV_LOG_DEBUG;
            break;
        case cli::verbosity::normal:
            logs.stderr_from = USBDRV_LOG_INFO;
            break;
    }
    bool every_line = logs.file.is_open() || req.what != cli::command::list;
    usbdrv_set_log_threshold(every_line ? USBDRV_LOG_DEBUG : logs.stderr_from);
    usbdrv_set_log_sink(log_to_destinations, nullptr);
}

// --- the machine ------------------------------------------------------------------------------

// The library's list of present devices, owned.
struct device_list {
    usbdrv_device_entry* head = nullptr;
    ~device_list() { usbdrv_destroy_list(head); }
};

// Lists every USB device. Another listing somewhere on the machine holds the library busy for
// moments only, so a busy answer is asked again for a while.
usbdrv_result list_devices(device_list& list) {
    usbdrv_list_options options = {1, 1, 1};
    usbdrv_result result = USBDRV_ERR_BUSY;
    failure.reset();
    for (int attempt = 0; attempt < 40 && result == USBDRV_ERR_BUSY; attempt++) {
        if (attempt)
            Sleep(50);
        result = usbdrv_create_list(&list.head, &options);
    }
    return result == USBDRV_ERR_NO_DEVICE ? USBDRV_OK : result;
}

// What the system knows of a device now. A state read only in part keeps what could be read;
// the library has logged the rest.
usbdrv_device_state device_state(const std::string& instance) {
    usbdrv_device_state state;
    usbdrv_get_device_state(instance.c_str(), &state);
    return state;
}

// Where a user finds the whole story of a failure.
std::string detail_hint() {
    // The same words at every log level: the outcome lines do not depend on it.
    if (logs.file.is_open())
        return "The log file " + logs.file.path() + " has the detail.";
    return "Run it with --log FILE to keep the detail.";
}

// The system's setup log, where Windows says why it refused a driver.
std::string setup_log() {
    std::optional<std::u16string> windows = environment_utf16(L"WINDIR");
    return setup_log_in(windows ? narrow(reinterpret_cast<const wchar_t*>(windows->c_str())) : "");
}

// What a user reads of a failed preparation or installation: the library's text with its codes
// and what to do next.
std::string failure_of(failure_step step, usbdrv_result result, const std::string& folder) {
    failure_facts facts;
    facts.step = step;
    facts.result = result;
    facts.library_text = usbdrv_strerror(result);
    facts.windows_error = failure.windows_error();
    facts.installation_running = result == USBDRV_ERR_BUSY && usbdrv_installation_running();
    facts.folder = folder;
    facts.setup_log = setup_log();
    facts.detail = detail_hint();
    return failure_text(facts);
}

int listing_failed(usbdrv_result result) {
    say_error("cannot list the devices: " + failure_of(failure_step::installation, result, ""));
    return cli::exit_for_listing(result);
}

// --- list -----------------------------------------------------------------------------------

int run_list(const cli::request& req) {
    device_list list;
    usbdrv_result result = list_devices(list);
    if (result != USBDRV_OK)
        return listing_failed(result);
    std::vector<cli::device_view> shown;
    for (const usbdrv_device_entry* e = list.head; e; e = e->next) {
        if (!req.all && !is_cdc_interface(*e))
            continue;
        cli::device_view view = cli::view_of(*e);
        if (is_serial_driver(e->driver_name))
            view.port = device_state(view.instance_id).port_name;
        shown.push_back(view);
    }
    if (req.json) {
        write_out(cli::devices_json(shown));
        return cli::kExitSuccess;
    }
    std::string text = cli::device_heads();
    for (const cli::device_view& view : shown)
        text += cli::device_line(view);
    write_out(text);
    return cli::kExitSuccess;
}

// --- install and extract ----------------------------------------------------------------------

// The record a package is prepared for, as the dialog builds it.
struct package_device {
    uint16_t vid = 0;
    uint16_t pid = 0;
    uint8_t interface_number = 0;
    std::string description;
    usbdrv_device_entry entry = {};

    const usbdrv_device_entry* get() {
        entry = package_entry(vid, pid, interface_number, &description[0]);
        return &entry;
    }
};

package_device package_for(const cli::request& req, const usbdrv_device_entry* listed) {
    package_device d;
    if (listed) {
        d.vid = listed->vid;
        d.pid = listed->pid;
        d.interface_number = listed->interface_number;
    } else {
        d.vid = req.has_ids ? req.vid : kPlaceholderVid;
        d.pid = req.has_ids ? req.pid : kPlaceholderPid;
        d.interface_number = req.has_interface ? req.interface_number : kPlaceholderInterface;
    }
    d.description = req.description;
    if (d.description.empty() && listed && listed->description && *listed->description)
        d.description = listed->description;
    if (d.description.empty())
        d.description = kPlaceholderName;
    return d;
}

int run_extract(const cli::request& req) {
    // The library gets the system's form of the folder: "sub/dir" and "..\\x" are the user's.
    std::wstring full;
    if (DWORD error = cli::full_path(widen(req.folder), full)) {
        say_error("preparation failed: the folder " + req.folder +
                  " names no path (Windows error " + std::to_string(error) + ")");
        return cli::kExitPrepareFailed;
    }
    // "a/c/" is the folder "a\\c", whose name the lines give without the separator.
    while (full.size() > 3 && full.back() == L'\\')
        full.pop_back();
    std::string folder = narrow(full.c_str());
    if (folder.size() >= kLibraryPathMax) {
        say_error(cli::extract_folder_too_long(req.folder, folder.size()));
        return cli::kExitPrepareFailed;
    }
    package_device device = package_for(req, nullptr);
    usbdrv_prepare_options options = package_options();
    failure.reset();
    usbdrv_result result = usbdrv_prepare_driver(device.get(), folder.c_str(), kInfName, &options);
    if (result != USBDRV_OK) {
        say_error("preparation failed: " + failure_of(failure_step::preparation, result, folder));
        return cli::exit_for_preparation(result);
    }
    report(cli::extracted_line(folder));
    return cli::kExitSuccess;
}

// The folder the dialog installs from, "usb_driver" in the user's profile; without a profile,
// in the temporary folder, since a factory line's or a service's account may have none.
package_folder installation_folder() {
    std::optional<std::u16string> profile = environment_utf16(L"USERPROFILE");
    std::u16string temp = environment_utf16(L"TEMP").value_or(u"");
    return install_folder(profile ? profile->c_str() : nullptr, temp.c_str());
}

// The listed devices the installation targets; with --wait, waits for the first to appear.
// Returns an exit code other than success when there is nothing to install.
int find_targets(const cli::request& req, device_list& list,
                 std::vector<const usbdrv_device_entry*>& found) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(req.wait_seconds);
    bool said_waiting = false;
    for (;;) {
        device_list fresh;
        usbdrv_result result = list_devices(fresh);
        if (result != USBDRV_OK)
            return listing_failed(result);
        for (const usbdrv_device_entry* e = fresh.head; e; e = e->next) {
            // By identifiers, what `list` shows; by instance ID, the device named, which must be
            // one of those too unless --any-device widens it to any USB device.
            bool by_instance = !req.instance_id.empty();
            if (!(by_instance || is_cdc_interface(*e)) || !cli::targets(req, cli::view_of(*e)))
                continue;
            cdc_check check = check_cdc_interface(*e);
            if (by_instance && !req.any_device && check != cdc_check::cdc) {
                say_error(cli::not_cdc_refusal(req.instance_id, check, e->compatible_id));
                return cli::kExitNoDevice;
            }
            found.push_back(e);
        }
        if (!found.empty()) {
            std::swap(list.head, fresh.head);
            return cli::kExitSuccess;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            break;
        if (!said_waiting) {
            report(cli::waiting_line(req.wait_seconds));
            said_waiting = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    say_error(cli::kNoMatchingDevice);
    return cli::kExitNoDevice;
}

// Installs on one device; prepares its package first unless the last one prepared serves.
int install_one(const cli::request& req, const usbdrv_device_entry& listed,
                const std::string& folder, std::string& prepared_for) {
    package_device device = package_for(req, &listed);
    std::string instance = listed.device_id ? listed.device_id : "";
    std::string key = std::to_string(device.vid) + "/" + std::to_string(device.pid) + "/" +
                      std::to_string(device.interface_number) + "/" + device.description;
    if (key != prepared_for) {
        // A preparation would rewrite the package folder that a running installation may be
        // installing from: the machine is busy.
        failure.reset();
        if (usbdrv_installation_running()) {
            report(cli::installation_failed_line(
                instance, failure_of(failure_step::installation, USBDRV_ERR_BUSY, folder).c_str()));
            return cli::kExitBusy;
        }
        usbdrv_prepare_options options = package_options();
        usbdrv_result result =
            usbdrv_prepare_driver(device.get(), folder.c_str(), kInfName, &options);
        if (result != USBDRV_OK) {
            report(cli::preparation_failed_line(
                instance, failure_of(failure_step::preparation, result, folder).c_str()));
            prepared_for.clear();
            return cli::exit_for_preparation(result);
        }
        prepared_for = key;
    }

    // The listed entry carries the instance, hardware and compatible IDs the helper needs; the
    // description is the package's.
    usbdrv_device_entry target = listed;
    target.next = nullptr;
    target.description = &device.description[0];
    usbdrv_install_options options = {};
    failure.reset();
    usbdrv_result result = usbdrv_install_driver(&target, folder.c_str(), kInfName, &options);
    if (result != USBDRV_OK) {
        int code = cli::exit_for_installation(result, false);
        report(cli::installation_failed_line(
            instance, failure_of(failure_step::installation, result, folder).c_str()));
        return code;
    }
    // The helper also reports success when the device was gone by the time of its update and it
    // only stored the package for the device's next plugging in: that is no installed board.
    installation_outcome outcome =
        outcome_of_installation(instance.c_str(), device_state(instance));
    if (outcome.kind == installation_outcome::stored) {
        report(cli::stored_line(instance));
        return cli::kExitNoDevice;
    }
    int code = cli::exit_for_installation(result, outcome.needs_restart);
    report(cli::installed_line(instance, outcome.port, code == cli::kExitRebootRequired));
    return code;
}

int run_install(const cli::request& req) {
    // Settled before the listing and any --wait: a run that cannot prepare says so at once.
    package_folder folder = installation_folder();
    if (folder.outcome != package_folder::ok) {
        say_error(cli::folder_error(folder));
        return cli::kExitPrepareFailed;
    }
    device_list list;
    std::vector<const usbdrv_device_entry*> found;
    int code = find_targets(req, list, found);
    if (code != cli::kExitSuccess)
        return code;
    std::string prepared_for;
    for (const usbdrv_device_entry* device : found) {
        code = cli::worse_exit(code, install_one(req, *device, folder.path, prepared_for));
        if (code == cli::kExitCancelled)
            break;  // the user said no; asking again for the next board would be nagging
    }
    return code;
}

// --- start ------------------------------------------------------------------------------------

// The arguments after the program's name, as the system hands them over.
std::vector<std::u16string> arguments() {
    std::vector<std::u16string> args;
    int count = 0;
    unique_local<wchar_t*> argv(CommandLineToArgvW(GetCommandLineW(), &count));
    for (int i = 1; argv && i < count; i++) {
        const wchar_t* arg = argv.get()[i];
        args.emplace_back(arg, arg + wcslen(arg));
    }
    return args;
}

int run(const cli::request& req) {
    switch (req.what) {
        case cli::command::list:
            return run_list(req);
        case cli::command::install:
            return run_install(req);
        case cli::command::extract:
            return run_extract(req);
        case cli::command::none:
            break;
    }
    return cli::kExitBadArguments;
}

}  // namespace

int main() {
    SetConsoleOutputCP(CP_UTF8);
    // Bytes as written: UTF-8 and one line feed per line, the same on a console and in a pipe.
    // The log file's lines are the dialog's log's (log_line), CR LF.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    std::vector<std::u16string> args = arguments();
    cli::parse_result parsed = cli::parse_utf16_arguments(args);
    if (parsed.req.help) {
        write_out(cli::usage_text());
        return cli::kExitSuccess;
    }
    if (parsed.req.version) {
        write_out("corvane-cli " CORVANE_VERSION_TEXT "\n");
        return cli::kExitSuccess;
    }
    if (!parsed.error.empty()) {
        fprintf(stderr, "%s%s\n%s", cli::kErrorPrefix, parsed.error.c_str(), cli::usage_text());
        return cli::kExitBadArguments;
    }
    if (!parsed.req.log_file.empty()) {
        int code = start_log(parsed.req.log_file, parsed.args);
        if (code != cli::kExitSuccess)
            return code;
    }
    set_up_logging(parsed.req);
    int code = run(parsed.req);
    usbdrv_set_log_sink(nullptr, nullptr);
    // The sink is gone: no library line is logged any more. The log's last line is the run's
    // exit code; a log that failed before has no such line, and the run ends with its code.
    {
        std::lock_guard<std::mutex> hold(logs.lock);
        if (!logs.failed)
            write_to_file(cli::exit_log_line(code).c_str());
    }
    if (logs.failed)
        code = cli::worse_exit(code, cli::kExitLogFailed);
    return code;
}
