// The installer helper. The installation host starts it elevated, with the INF name as its only
// argument and the package folder as its working directory. It asks the host for the device's
// identifiers over the installer pipe, installs the driver for the hardware ID (or copies the INF
// into the driver store when the device is absent), and reports every step and its result back.
//
// It runs as administrator in a folder its user can write to: every system DLL it calls is looked
// up in the system folder only (runtime_imports.h), never beside the program.
#include <windows.h>
#include <process.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "base/installer_protocol.h"
#include "base/log.h"
#include "install_steps.h"
#include "pipe_client.h"
#include "restore_policy.h"
#include "setup_log_reader.h"
#include "win/busy_marker.h"
#include "win/handles.h"
#include "win/utf8.h"

namespace {

// The label of the main flow's log lines. The tool sees the lines' messages only.
constexpr char kCaller[] = "installer";
constexpr DWORD kReaderStartMs = 2000;
// Lets the reader relay the last setup-log lines before the helper ends.
constexpr DWORD kEndPauseMs = 1000;
// How long the end waits for the reader to notice that it is to stop: a pass, and a write the
// tool does not take within the request time-out.
constexpr DWORD kReaderEndMs = 10000;
constexpr size_t kPathBytes = 512;
constexpr DWORD kPathChars = 512;

// The command line as UTF-8: from the runtime's wide arguments when it has them, else its narrow
// ones. An argument that is empty or does not convert is null.
class arguments {
public:
    arguments(int argc, char** argv) {
        auto wide_arguments = imports.__wgetmainargs.get_quietly();
        int count = 0;
        wchar_t** wide = nullptr;
        wchar_t** environment = nullptr;
        msvcrt_startupinfo startup = {0};
        if (wide_arguments && wide_arguments(&count, &wide, &environment, 1, &startup) == 0 &&
            wide) {
            for (int i = 0; i < count; i++) {
                converted_.emplace_back(wide[i] && *wide[i] ? utf16_to_utf8(wide[i]) : nullptr);
                list_.push_back(converted_.back().get());
            }
            return;
        }
        usbdrv_log(USBDRV_LOG_WARNING, kCaller, "unable to access UTF-16 args - trying ANSI");
        for (int i = 0; i < argc; i++)
            list_.push_back(argv[i] && *argv[i] ? argv[i] : nullptr);
    }
    size_t count() const { return list_.size(); }
    const char* operator[](size_t i) const { return i < list_.size() ? list_[i] : nullptr; }

private:
    std::vector<unique_malloc<char>> converted_;
    std::vector<const char*> list_;
};

// "<working directory>\<INF name>" into `path`, or the failure's result after its log line. A
// path that does not fit is refused, not cut: a cut path names another file.
usbdrv_result inf_path_of(const char* inf_name, char (&path)[kPathBytes]) {
    wchar_t directory[kPathChars];
    DWORD length = GetFullPathNameW(L".", kPathChars, directory, nullptr);
    unique_malloc<char> utf8(length > 0 && length < kPathChars ? utf16_to_utf8(directory)
                                                               : nullptr);
    if (!utf8 || strlen(utf8.get()) >= kPathBytes) {
        usbdrv_log(USBDRV_LOG_ERROR, kCaller,
                   "could not retrieve absolute path of working directory");
        return USBDRV_ERR_ACCESS;
    }
    int written = snprintf(path, kPathBytes, "%s\\%s", utf8.get(), inf_name);
    if (written < 0 || static_cast<size_t>(written) >= kPathBytes) {
        usbdrv_log(USBDRV_LOG_ERROR, kCaller, "the INF path is longer than %u bytes",
                   static_cast<unsigned>(kPathBytes - 1));
        return USBDRV_ERR_INVALID_PARAM;
    }
    return USBDRV_OK;
}

// The setup-log reader thread and its two events.
class setup_log_relay {
public:
    // Starts the reader and waits until it relays, or until it gave up or could not start.
    void start() {
        started_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        stop_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (started_ && stop_) {
            events_ = {started_.get(), stop_.get()};
            thread_.reset(reinterpret_cast<HANDLE>(
                _beginthreadex(nullptr, 0, &reader_main, &events_, 0, nullptr)));
        }
        if (thread_) {
            HANDLE either[] = {started_.get(), thread_.get()};
            WaitForMultipleObjects(2, either, FALSE, kReaderStartMs);
        }
        if (!thread_ || WaitForSingleObject(started_.get(), 0) != WAIT_OBJECT_0) {
            usbdrv_log(USBDRV_LOG_ERROR, kCaller, "Unable to create syslog reader thread");
            stop();
        }
    }
    void stop() {
        if (stop_)
            SetEvent(stop_.get());
    }
    // True when the reader has ended (or never ran) within timeout_ms: nothing writes to the
    // pipe from it any more.
    bool ended(DWORD timeout_ms) {
        return !thread_ || WaitForSingleObject(thread_.get(), timeout_ms) == WAIT_OBJECT_0;
    }

private:
    static unsigned __stdcall reader_main(void* events) {
        run_setup_log_reader(*static_cast<setup_log_reader_events*>(events),
                             installer_pipe_reader_port());
        return 0;
    }

    unique_event started_;
    unique_event stop_;
    setup_log_reader_events events_ = {};
    unique_thread thread_;
};

struct identifiers {
    std::string device_id;
    std::string hardware_id;
    bool has_device_id = false;
    bool has_hardware_id = false;

    const char* device() const { return has_device_id ? device_id.c_str() : nullptr; }
};

// Asks for one identifier. An empty answer means the tool has none; no answer at all means the
// run cannot know which device it is for: it installs nothing, and asks nothing more (a late
// answer would be read as the next one's).
bool ask(int id, std::string& value, bool& has_value, usbdrv_result& failure) {
    request_outcome outcome = request_outcome::failed;
    if (const char* answer = req_id(id, &outcome)) {
        value = answer;
        has_value = true;
    }
    if (outcome == request_outcome::answered)
        return true;
    usbdrv_log(USBDRV_LOG_ERROR, kCaller,
               "the tool did not answer the request for the %s - nothing is installed",
               identifier_name(id));
    failure = outcome == request_outcome::timed_out ? USBDRV_ERR_TIMEOUT : USBDRV_ERR_IO;
    return false;
}

usbdrv_result request_identifiers(identifiers& ids) {
    usbdrv_result failure = USBDRV_OK;
    std::string sid;
    bool has_sid = false;
    // The user SID is only asked and logged.
    if (!ask(MSG_GET_DEVICE_ID, ids.device_id, ids.has_device_id, failure) ||
        !ask(MSG_GET_HARDWARE_ID, ids.hardware_id, ids.has_hardware_id, failure) ||
        !ask(MSG_GET_USER_SID, sid, has_sid, failure)) {
        return failure;
    }
    return USBDRV_OK;
}

// Before each install call: a tool that stopped listening (it gave the installation up, or it
// ended) gets nothing installed that it would not hear about. A call under way is finished.
bool tool_listens() {
    return installer_pipe_connected();
}

// The driver update for the hardware ID. Its result; 0 also for the errors that are no failure,
// after which `installed` stays false and the INF copy follows.
usbdrv_result update_driver(const identifiers& ids, const char* inf_path, bool& installed) {
    usbdrv_log(USBDRV_LOG_INFO, kCaller, "Installing driver for %s - please wait...",
               ids.hardware_id.c_str());
    DWORD error = ERROR_SUCCESS;
    BOOL updated = FALSE;
    {
        unique_malloc<wchar_t> hardware_id(utf8_to_utf16(ids.hardware_id.c_str()));
        unique_malloc<wchar_t> inf(utf8_to_utf16(inf_path));
        auto update = imports.UpdateDriverForPlugAndPlayDevicesW.get(kCaller);
        if (!update) {
            error = ERROR_PROC_NOT_FOUND;
        } else if (!hardware_id || !inf) {
            error = ERROR_INVALID_PARAMETER;
        } else {
            updated = update(nullptr, hardware_id.get(), inf.get(), INSTALLFLAG_FORCE, nullptr);
            error = updated ? ERROR_SUCCESS : GetLastError();
        }
    }
    send_code(MSG_SET_TIMEOUT_DEFAULT);
    if (updated) {
        usbdrv_log(USBDRV_LOG_INFO, kCaller, "driver update completed");
        reenumerate_device(ids.device());
        installed = true;
        return USBDRV_OK;
    }
    return map_install_error(error, inf_path);
}

// The INF copy into the driver store, for the next time the device is plugged in.
usbdrv_result copy_inf(const identifiers& ids, const char* inf_path) {
    usbdrv_log(USBDRV_LOG_INFO, kCaller,
               "Copying inf file (for the next time device is plugged) - please wait...");
    send_code(MSG_SET_TIMEOUT_INFINITE);
    DWORD error = ERROR_SUCCESS;
    char destination[kPathBytes] = {};
    {
        unique_malloc<wchar_t> inf(utf8_to_utf16(inf_path));
        wchar_t stored[kPathChars] = {};
        auto copy = imports.SetupCopyOEMInfW.get(kCaller);
        if (!copy) {
            error = ERROR_PROC_NOT_FOUND;
        } else if (!inf) {
            error = ERROR_INVALID_PARAMETER;
        } else if (!copy(inf.get(), nullptr, SPOST_PATH, 0, stored, kPathChars, nullptr, nullptr)) {
            error = GetLastError();
        } else {
            stored[kPathChars - 1] = L'\0';
            unique_malloc<char> name(utf16_to_utf8(stored));
            if (!name || strlen(name.get()) >= sizeof destination)
                error = ERROR_NO_UNICODE_TRANSLATION;
            else
                strcpy(destination, name.get());
        }
    }
    send_code(MSG_SET_TIMEOUT_DEFAULT);
    if (error == ERROR_SUCCESS) {
        usbdrv_log(USBDRV_LOG_INFO, kCaller, "copied inf to %s", destination);
        reenumerate_device(ids.device());
        return USBDRV_OK;
    }
    usbdrv_result result = map_install_error(error, inf_path);
    if (result == USBDRV_OK)
        flag_removed_devices(ids.has_hardware_id ? ids.hardware_id.c_str() : nullptr);
    return result;
}

// From the identifiers to the installation's result.
usbdrv_result install(const char* inf_path, setup_log_relay& relay) {
    identifiers ids;
    if (usbdrv_result unanswered = request_identifiers(ids))
        return unanswered;
    relay.start();
    set_restore_policy(true);
    send_code(MSG_SET_TIMEOUT_INFINITE);
    if (!tool_listens())
        return USBDRV_ERR_TIMEOUT;
    if (ids.has_hardware_id) {
        bool installed = false;
        usbdrv_result result = update_driver(ids, inf_path, installed);
        if (installed || result != USBDRV_OK)
            return result;
    }
    if (!tool_listens())
        return USBDRV_ERR_TIMEOUT;
    return copy_inf(ids, inf_path);
}

// Everything after the pipe is open; returns the result, which is also sent as the status.
usbdrv_result run(int argc, char** argv, setup_log_relay& relay) {
    // The tool hears from the helper first, and the system libraries are loaded after: the
    // configuration manager's here, COM's at the first restore-point policy call.
    arguments args(argc, argv);
    if (args.count() < 2 || !args[1]) {
        printf("usage: %s <inf_name>\n", args[0] ? args[0] : "installer");
        usbdrv_log(USBDRV_LOG_ERROR, kCaller, "missing inf_name parameter");
        return USBDRV_ERR_INVALID_PARAM;
    }
    usbdrv_log(USBDRV_LOG_INFO, kCaller, "got parameter %s", args[1]);
    if (!init_installer_dlls()) {
        usbdrv_log(USBDRV_LOG_ERROR, kCaller, "could not init DLLs");
        return USBDRV_ERR_RESOURCE;
    }
    char inf_path[kPathBytes] = {};
    usbdrv_result found = inf_path_of(args[1], inf_path);
    if (found != USBDRV_OK)
        return found;
    return install(inf_path, relay);
}

}  // namespace

int main(int argc, char** argv) {
    // Every log line of the run, the library's too, goes to the tool; nothing before the pipe is
    // open.
    usbdrv_set_log_sink(installer_pipe_log_sink, nullptr);
    if (installer_pipe_open() != USBDRV_OK) {
        printf("This application can not be run from the command line.\n");
        printf(
            "Please use your initial installer application if you want to install the "
            "driver.\n");
        return USBDRV_ERR_NOT_SUPPORTED;
    }
    // The installation's busy marker, held for the whole run: the tool may stop waiting, or end,
    // while this run still changes the machine, and no other installation or preparation may
    // start until it has ended. It goes with the process, however the process ends.
    uint32_t error = ERROR_SUCCESS;
    unique_mutex marker = busy_marker::hold(kInstallationMarker, &error);
    if (!marker) {
        usbdrv_log(USBDRV_LOG_ERROR, kCaller,
                   "could not hold the installation's busy marker (error %lu)",
                   static_cast<unsigned long>(error));
    }
    setup_log_relay relay;
    usbdrv_result result = run(argc, argv, relay);

    send_code(MSG_INSTALLER_COMPLETED);
    send_status(result);
    // Puts back only what this run's disable call changed (nothing when it ended before it).
    set_restore_policy(false);
    Sleep(kEndPauseMs);
    relay.stop();
    // The reader uses the pipe and its events, which go with main and the static destructors.
    // One that has not ended by now (a write the tool never takes) goes with the process, before
    // anything it uses is released.
    if (!relay.ended(kReaderEndMs))
        ExitProcess(static_cast<UINT>(result));
    installer_pipe_close();
    return result;
}
