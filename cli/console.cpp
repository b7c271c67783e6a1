#include "console.h"

#include <windows.h>

#include <cstdio>
#include <mutex>
#include <optional>

#include "log_file.h"
#include "log_line.h"
#include "report.h"
#include "usbdrv/kit.h"

namespace cli {

namespace {

// Where log lines go: standard error from a level on, and the log file, if any, all of them.
// The library logs from the installation host's thread too, hence the lock.
struct log_target {
    std::mutex lock;
    int stderr_from = USBDRV_LOG_INFO;
    std::string path;
    log_file file;
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
        fprintf(stderr, "%s%s%s\n", kErrorPrefix, log_failure(logs.path, false, error).c_str(),
                kLogGoesOnWithout);
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

}  // namespace

void write_out(const std::string& text) {
    fwrite(text.data(), 1, text.size(), stdout);
    fflush(stdout);
}

void report(const std::string& line) {
    write_out(line);
    std::lock_guard<std::mutex> hold(logs.lock);
    write_to_file(result_log_line(line).c_str());
}

void report_json(const std::string& json, const std::string& line) {
    write_out(json);
    std::lock_guard<std::mutex> hold(logs.lock);
    write_to_file(result_log_line(line).c_str());
}

void say_error(const std::string& message) {
    log_to_destinations(USBDRV_LOG_ERROR, (kErrorPrefix + message).c_str(), nullptr);
}

void say_warning(const std::string& message) {
    log_to_destinations(USBDRV_LOG_WARNING, (kErrorPrefix + message).c_str(), nullptr);
}

void say_info(const std::string& message) {
    log_to_destinations(USBDRV_LOG_INFO, (kErrorPrefix + message).c_str(), nullptr);
}

int start_log(const std::string& path, const std::vector<std::string>& args) {
    logs.path = path;
    DWORD error = logs.file.open(path);
    if (error) {
        fprintf(stderr, "%s%s\n", kErrorPrefix, log_failure(path, true, error).c_str());
        return kExitLogFailed;
    }
    error = logs.file.write(log_line(now(), start_line(args)));
    if (error) {
        logs.file.discard();
        fprintf(stderr, "%s%s\n", kErrorPrefix, log_failure(path, false, error).c_str());
        return kExitLogFailed;
    }
    return kExitSuccess;
}

// Log levels: the library drops a line below its threshold before anyone sees it, so the
// threshold is the lowest level a destination wants. The commands that prepare and install take
// every line, so that a failure's Windows error can be found in the installer helper's relayed
// (debug) lines.
void set_up_logging(const request& req) {
    switch (req.level) {
        case verbosity::quiet:
            logs.stderr_from = USBDRV_LOG_ERROR;
            break;
        case verbosity::verbose:
            logs.stderr_from = USBDRV_LOG_DEBUG;
            break;
        case verbosity::normal:
            logs.stderr_from = USBDRV_LOG_INFO;
            break;
    }
    bool every_line = logs.file.is_open() || req.what != command::list;
    usbdrv_set_log_threshold(every_line ? USBDRV_LOG_DEBUG : logs.stderr_from);
    usbdrv_set_log_sink(log_to_destinations, nullptr);
}

int end_logging(int code) {
    usbdrv_set_log_sink(nullptr, nullptr);
    // The sink is gone: no library line is logged any more. The log's last line is the run's
    // exit code; a log that failed before has no such line, and the run ends with its code.
    {
        std::lock_guard<std::mutex> hold(logs.lock);
        if (!logs.failed)
            write_to_file(exit_log_line(code).c_str());
    }
    return logs.failed ? worse_exit(code, kExitLogFailed) : code;
}

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

void start_step() {
    failure.reset();
}

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
    return exit_for_listing(result);
}

}  // namespace cli
