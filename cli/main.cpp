// corvane-cli: lists the connected CDC serial interfaces, installs the driver on them and writes
// the driver package, from a command line, for factory lines and application installers. It does
// what the dialog's commands do, through the same library, and ends with an exit code a script
// can rely on (report.h).
#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>
#include <shellapi.h>

#include <fcntl.h>
#include <io.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "arguments.h"
#include "busy_marker.h"
#include "handles.h"
#include "report.h"
#include "runtime_imports.h"
#include "usbdrv/usbdrv.h"
#include "utf8.h"

namespace {

const char* const kInfName = "Corvane.inf";
const char* const kPlaceholderName = "Virtual COM Port";
const uint16_t kPlaceholderVid = 0xC04A;
const uint16_t kPlaceholderPid = 0x0C01;

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
    unique_file file;
};
log_target logs;

cli::clock_time now() {
    SYSTEMTIME t;
    GetLocalTime(&t);
    return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}

void log_line(int32_t level, const char* line, void*) {
    std::lock_guard<std::mutex> hold(logs.lock);
    if (level >= logs.stderr_from) {
        fprintf(stderr, "%s\n", line);
        fflush(stderr);
    }
    if (logs.file) {
        std::string stamped = cli::stamped_line(now(), line);
        fwrite(stamped.data(), 1, stamped.size(), logs.file.get());
        fflush(logs.file.get());  // a line is in the file even if the program is ended next
    }
}

// The program's own words: errors on standard error (and in the log file), progress on
// standard output.
void say_error(const std::string& message) {
    log_line(USBDRV_LOG_ERROR, ("corvane-cli: " + message).c_str(), nullptr);
}

std::string from_wide(const wchar_t* text) {
    unique_malloc<char> utf8(utf16_to_utf8(text));
    return utf8 ? utf8.get() : "";
}

std::wstring to_wide(const std::string& text) {
    unique_malloc<wchar_t> wide(utf8_to_utf16(text.c_str()));
    return wide ? wide.get() : L"";
}

std::string environment(const wchar_t* name) {
    wchar_t value[1024];
    DWORD length = GetEnvironmentVariableW(name, value, ARRAYSIZE(value));
    if (length == 0 || length >= ARRAYSIZE(value))
        return "";
    return from_wide(value);
}

bool open_log(const std::string& path) {
    FILE* file = _wfopen(to_wide(path).c_str(), L"ab");
    if (!file)
        return false;
    logs.file.reset(file);
    return true;
}

// Log levels: the library drops a line below its threshold before anyone sees it, so the
// threshold is the lowest level a destination wants.
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
    usbdrv_set_log_threshold(logs.file ? USBDRV_LOG_DEBUG : logs.stderr_from);
    usbdrv_set_log_sink(log_line, nullptr);
}

// --- the machine ------------------------------------------------------------------------------

// One present device as the system's setup services see it: what the library's list does not
// carry.
class system_device {
public:
    explicit system_device(const std::string& instance_id)
        : set_(SetupDiCreateDeviceInfoList(nullptr, nullptr)) {
        device_.cbSize = sizeof device_;
        open_ = set_ && SetupDiOpenDeviceInfoW(set_.get(), to_wide(instance_id).c_str(), nullptr, 0,
                                               &device_);
    }

    // The COM port the serial driver gave it ("PortName" of its device key); empty when none.
    std::string port() {
        if (!open_)
            return "";
        unique_hkey key(
            SetupDiOpenDevRegKey(set_.get(), &device_, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ));
        wchar_t port[64] = {};
        DWORD size = sizeof port - sizeof(wchar_t);  // room for the NUL a stored text may lack
        DWORD type = 0;
        if (!key ||
            RegQueryValueExW(key.get(), L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(port),
                             &size) != ERROR_SUCCESS ||
            type != REG_SZ)
            return "";
        return from_wide(port);
    }

    // The service the device is bound to now; empty when none or it cannot be read.
    std::string service() {
        wchar_t name[256] = {};
        if (!open_ || !SetupDiGetDeviceRegistryPropertyW(set_.get(), &device_, SPDRP_SERVICE,
                                                         nullptr, reinterpret_cast<BYTE*>(name),
                                                         sizeof name - sizeof(wchar_t), nullptr))
            return "";
        return from_wide(name);
    }

    // The device node's status bits (0 when they cannot be read). CM_Get_DevNode_Status comes
    // from the library's table of run-time imports, so that the program does not import
    // Cfgmgr32.dll.
    uint32_t node_status() {
        auto get_status = open_ ? imports.CM_Get_DevNode_Status.get("corvane-cli") : nullptr;
        ULONG status = 0;
        ULONG problem = 0;
        if (!get_status || get_status(&status, &problem, device_.DevInst, 0) != CR_SUCCESS)
            return 0;
        return status;
    }

private:
    unique_device_info_set set_;
    SP_DEVINFO_DATA device_ = {};
    bool open_ = false;
};

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
    for (int attempt = 0; attempt < 40 && result == USBDRV_ERR_BUSY; attempt++) {
        if (attempt)
            Sleep(50);
        result = usbdrv_create_list(&list.head, &options);
    }
    return result == USBDRV_ERR_NO_DEVICE ? USBDRV_OK : result;
}

int listing_failed(usbdrv_result result) {
    say_error(std::string("cannot list the devices: ") + usbdrv_strerror(result));
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
        if (!req.all && !cli::is_cdc_interface(*e))
            continue;
        cli::device_view view = cli::view_of(*e);
        if (cli::is_serial_driver(view.driver))
            view.port = system_device(view.instance_id).port();
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
    usbdrv_device_entry entry = {};
    std::string description;

    const usbdrv_device_entry* get() {
        entry.description = &description[0];
        return &entry;
    }
};

package_device package_for(const cli::request& req, const usbdrv_device_entry* listed) {
    package_device d;
    d.entry.is_interface = 1;
    if (listed) {
        d.entry.vid = listed->vid;
        d.entry.pid = listed->pid;
        d.entry.interface_number = listed->interface_number;
    } else {
        d.entry.vid = req.has_ids ? req.vid : kPlaceholderVid;
        d.entry.pid = req.has_ids ? req.pid : kPlaceholderPid;
        d.entry.interface_number = req.interface_number;
    }
    d.description = req.description;
    if (d.description.empty() && listed && listed->description && *listed->description)
        d.description = listed->description;
    if (d.description.empty())
        d.description = kPlaceholderName;
    return d;
}

usbdrv_prepare_options cdc_options() {
    usbdrv_prepare_options options = {};
    options.driver_type = USBDRV_DRIVER_CDC;
    return options;
}

int run_extract(const cli::request& req) {
    package_device device = package_for(req, nullptr);
    usbdrv_prepare_options options = cdc_options();
    usbdrv_result result =
        usbdrv_prepare_driver(device.get(), req.folder.c_str(), kInfName, &options);
    if (result != USBDRV_OK) {
        say_error("preparation failed: " + std::string(usbdrv_strerror(result)));
        return cli::exit_for_preparation(result);
    }
    write_out("The driver was extracted to " + req.folder + "\n");
    return cli::kExitSuccess;
}

// The folder the dialog installs from: "usb_driver" in the user's profile (or, without one, in
// the temporary folder).
std::string package_folder() {
    std::string base = environment(L"USERPROFILE");
    if (base.empty())
        base = environment(L"TEMP");
    return base.empty() ? "" : base + "\\usb_driver";
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
            // By instance ID any USB device may be named; by identifiers, what `list` shows.
            bool candidate = !req.instance_id.empty() || cli::is_cdc_interface(*e);
            if (candidate && cli::targets(req, cli::view_of(*e)))
                found.push_back(e);
        }
        if (!found.empty()) {
            std::swap(list.head, fresh.head);
            return cli::kExitSuccess;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            break;
        if (!said_waiting) {
            write_out("Waiting up to " + std::to_string(req.wait_seconds) +
                      " s for a matching device...\n");
            said_waiting = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    say_error("no matching device");
    return cli::kExitNoDevice;
}

// Whether an installation runs anywhere on the machine: the library's installation holds its
// busy marker while it runs.
bool installation_running() {
    return busy_marker::held(kInstallationMarker);
}

// Installs on one device; prepares its package first unless the last one prepared serves.
int install_one(const cli::request& req, const usbdrv_device_entry& listed,
                const std::string& folder, std::string& prepared_for) {
    package_device device = package_for(req, &listed);
    std::string instance = listed.device_id ? listed.device_id : "";
    std::string key = std::to_string(device.entry.vid) + "/" + std::to_string(device.entry.pid) +
                      "/" + std::to_string(device.entry.interface_number) + "/" +
                      device.description;
    if (key != prepared_for) {
        // A preparation would rewrite the package folder that a running installation may be
        // installing from: the machine is busy.
        if (installation_running()) {
            write_out(instance + ": installation failed: " + usbdrv_strerror(USBDRV_ERR_BUSY) +
                      "\n");
            return cli::kExitBusy;
        }
        usbdrv_prepare_options options = cdc_options();
        usbdrv_result result =
            usbdrv_prepare_driver(device.get(), folder.c_str(), kInfName, &options);
        if (result != USBDRV_OK) {
            write_out(instance + ": preparation failed: " + usbdrv_strerror(result) + "\n");
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
    usbdrv_result result = usbdrv_install_driver(&target, folder.c_str(), kInfName, &options);
    if (result != USBDRV_OK) {
        int code = cli::exit_for_installation(result, 0);
        write_out(instance + ": installation failed: " + usbdrv_strerror(result) + "\n");
        return code;
    }
    // The device is now bound to the serial driver: its port, and whether it needs a restart.
    // The helper also reports success when the device was gone by the time of its update and it
    // only stored the package for the device's next plugging in: say so rather than "installed".
    system_device installed(instance);
    if (!cli::is_serial_driver(installed.service())) {
        write_out(instance + ": not connected - driver stored for when it is plugged in\n");
        return cli::kExitSuccess;
    }
    int code = cli::exit_for_installation(result, installed.node_status());
    std::string port = installed.port();
    std::string line = instance + ": installed";
    if (!port.empty())
        line += " (" + port + ")";
    if (code == cli::kExitRebootRequired)
        line += ", a reboot is required";
    write_out(line + "\n");
    return code;
}

int run_install(const cli::request& req) {
    device_list list;
    std::vector<const usbdrv_device_entry*> found;
    int code = find_targets(req, list, found);
    if (code != cli::kExitSuccess)
        return code;

    std::string folder = package_folder();
    if (folder.empty()) {
        say_error("neither USERPROFILE nor TEMP names a folder for the driver package");
        return cli::kExitPrepareFailed;
    }
    std::string prepared_for;
    for (const usbdrv_device_entry* device : found) {
        code = cli::worse_exit(code, install_one(req, *device, folder, prepared_for));
        if (code == cli::kExitCancelled)
            break;  // the user said no; asking again for the next board would be nagging
    }
    return code;
}

// --- start ------------------------------------------------------------------------------------

std::vector<std::string> arguments() {
    std::vector<std::string> args;
    int count = 0;
    unique_local<wchar_t*> argv(CommandLineToArgvW(GetCommandLineW(), &count));
    for (int i = 1; argv && i < count; i++)
        args.push_back(from_wide(argv.get()[i]));
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
    // Bytes as written: UTF-8 and one line feed per line, the same on a console, in a pipe and
    // in the log file.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    cli::parse_result parsed = cli::parse_arguments(arguments());
    if (parsed.req.help) {
        write_out(cli::usage_text());
        return cli::kExitSuccess;
    }
    if (!parsed.error.empty()) {
        fprintf(stderr, "corvane-cli: %s\n%s", parsed.error.c_str(), cli::usage_text());
        return cli::kExitBadArguments;
    }
    if (!parsed.req.log_file.empty() && !open_log(parsed.req.log_file)) {
        fprintf(stderr, "corvane-cli: cannot open the log file '%s'\n",
                parsed.req.log_file.c_str());
        return cli::kExitBadArguments;
    }
    set_up_logging(parsed.req);
    int code = run(parsed.req);
    usbdrv_set_log_sink(nullptr, nullptr);
    return code;
}
