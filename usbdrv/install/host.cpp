#include "host.h"

#include <windows.h>
#include <sddl.h>
#include <shellapi.h>

#include <cstring>
#include <optional>
#include <utility>

#include "busy_marker.h"
#include "enumeration.h"
#include "files.h"
#include "handles.h"
#include "host_read_loop.h"
#include "install_command.h"
#include "installer_protocol.h"
#include "log.h"
#include "owner_security.h"
#include "process_result.h"
#include "progress_window.h"
#include "runtime_imports.h"
#include "utf8_io.h"
#include "windows_error.h"
#include "windows_version.h"

namespace {

constexpr char kCaller[] = "install_driver_internal";
constexpr DWORD kPipeBufferSize = 4096;
// How long the host waits for a helper it ended to be gone, so that its end of the pipe is
// closed before the next installation creates the pipe anew.
constexpr DWORD kEndedHelperWaitMs = 5000;

// What one installation holds. Module-wide rather than on the installing thread's stack: in
// progress mode that thread may be ended by force, and abandon_installation then gives all of it
// back from another thread.
struct installation {
    std::optional<busy_marker> marker;
    unique_pipe pipe;
    unique_pipe client_end;  // filter mode: the filter installer's output
    unique_event read_event;
    OVERLAPPED read = {};
    bool read_pending = false;
    unique_process helper;
    unique_thread helper_thread;
    receive_buffer buffer;
};

// Shared with process_message; the message time-out outlives the installation.
installer_host_state host;
installation current;

// Ends the helper if it still runs and waits a while for it to be gone.
void end_helper_process() {
    if (!current.helper || WaitForSingleObject(current.helper.get(), 0) != WAIT_TIMEOUT)
        return;
    if (!TerminateProcess(current.helper.get(), 1)) {
        DWORD error = GetLastError();
        LOG_SYSTEM_ERROR(USBDRV_LOG_WARNING, kCaller, error, "could not end the installer: %s");
        return;
    }
    WaitForSingleObject(current.helper.get(), kEndedHelperWaitMs);
}

// A helper that sent a status of its own goes on with its end (the restore-point setting, a pause
// for the last setup-log lines) for a few seconds more, running from the package folder and
// changing a machine setting. A next installation or preparation right after a failure must not
// meet it there, so the busy marker goes only once it has ended; one that does not end in time is
// ended.
constexpr DWORD kHelperEndWaitMs = 5000;

void wait_for_helper_end() {
    if (!current.helper ||
        WaitForSingleObject(current.helper.get(), kHelperEndWaitMs) != WAIT_TIMEOUT) {
        return;
    }
    usbdrv_log(USBDRV_LOG_WARNING, kCaller, "installer did not end after its status - ending it");
    end_helper_process();
}

// Gives back everything the installation holds, the busy marker last. A read still pending is
// over before its buffer goes: cancelled here, or, when the thread that started it was ended by
// force (abandoned), cancelled by closing the pipe.
void give_back(bool abandoned) {
    if (abandoned)
        end_helper_process();
    host.device = nullptr;
    host.filter_installer = false;
    if (current.read_pending && current.pipe && !abandoned) {
        DWORD ignored = 0;
        CancelIo(current.pipe.get());
        GetOverlappedResult(current.pipe.get(), &current.read, &ignored, TRUE);
        current.read_pending = false;
    }
    // A helper that still holds its end (it goes on after a status of its own) must not keep the
    // pipe's name from the next installation.
    if (current.pipe)
        DisconnectNamedPipe(current.pipe.get());
    current.pipe.reset();
    if (current.read_pending && current.read_event)
        WaitForSingleObject(current.read_event.get(), kEndedHelperWaitMs);
    if (!abandoned)
        wait_for_helper_end();
    current.read_pending = false;
    current.client_end.reset();
    current.read_event.reset();
    current.read = OVERLAPPED{};
    current.buffer.data.reset();
    current.buffer.size = 0;
    current.helper_thread.reset();
    current.helper.reset();
    current.marker.reset();
}

// The read loop's system calls on the installation's pipe, its read event and the helper.
class pipe_port final : public host_read_port {
public:
    pipe_read start_read(uint8_t* into, size_t space) override {
        current.read = OVERLAPPED{};
        current.read.hEvent = current.read_event.get();
        if (ReadFile(current.pipe.get(), into, static_cast<DWORD>(space), nullptr, &current.read))
            return bytes_read(pipe_read::complete);
        DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            current.read_pending = true;
            return pipe_read{pipe_read::pending, 0, error};
        }
        return outcome_of(error);
    }

    pipe_wait wait_for_read(uint32_t timeout_ms) override {
        HANDLE handles[] = {current.read_event.get(), current.helper.get()};
        DWORD count = current.helper ? 2 : 1;
        DWORD waited = WaitForMultipleObjects(count, handles, FALSE, timeout_ms);
        if (waited == WAIT_OBJECT_0)
            return pipe_wait{pipe_wait::read_ready, 0};
        if (waited == WAIT_OBJECT_0 + 1)
            return pipe_wait{pipe_wait::helper_ended, 0};
        if (waited == WAIT_TIMEOUT)
            return pipe_wait{pipe_wait::timed_out, 0};
        DWORD error = GetLastError();
        return pipe_wait{pipe_wait::failed, error};
    }

    pipe_read finish_read() override {
        current.read_pending = false;
        DWORD bytes = 0;
        if (GetOverlappedResult(current.pipe.get(), &current.read, &bytes, FALSE))
            return pipe_read{pipe_read::complete, bytes, 0};
        DWORD error = GetLastError();
        if (error == ERROR_MORE_DATA)
            return pipe_read{pipe_read::more_data, bytes, error};
        return outcome_of(error);
    }

    void cancel_read() override {
        if (!current.read_pending)
            return;
        DWORD ignored = 0;
        CancelIo(current.pipe.get());
        GetOverlappedResult(current.pipe.get(), &current.read, &ignored, TRUE);
        current.read_pending = false;
    }

    bool helper_ended_within(uint32_t timeout_ms) override {
        if (!current.helper) {
            Sleep(timeout_ms);
            return false;
        }
        return WaitForSingleObject(current.helper.get(), timeout_ms) == WAIT_OBJECT_0;
    }

    usbdrv_result helper_result() override {
        return current.helper ? exit_code_to_result(current.helper.get()) : USBDRV_ERR_OTHER;
    }

    void end_helper() override { end_helper_process(); }
    uint32_t now_ms() override { return GetTickCount(); }
    uint32_t message_timeout_ms() override { return host.message_timeout_ms; }

    int handle_message(const uint8_t* message, size_t length) override {
        return process_message(message, length);
    }

    const char* error_text(uint32_t error) override { return windows_error_text(error); }

private:
    // A read that completed at once (or filled its space at once): its byte count.
    pipe_read bytes_read(pipe_read::kind_type kind) {
        DWORD bytes = 0;
        GetOverlappedResult(current.pipe.get(), &current.read, &bytes, FALSE);
        return pipe_read{kind, bytes, 0};
    }

    pipe_read outcome_of(DWORD error) {
        switch (error) {
            case ERROR_MORE_DATA:
                return bytes_read(pipe_read::more_data);
            case ERROR_BROKEN_PIPE:
                return pipe_read{pipe_read::broken_pipe, 0, error};
            case ERROR_PIPE_LISTENING:
                return pipe_read{pipe_read::listening, 0, error};
            default:
                return pipe_read{pipe_read::failed, 0, error};
        }
    }
};

// The handler's system calls: answers on the pipe, the user SID of this process.
class reply_port final : public installer_host_port {
public:
    void write_reply(const void* bytes, size_t length) override {
        // The pipe is overlapped: the write gets a record of its own, so that it cannot be taken
        // for the read's. Its outcome is not needed: a helper that does not get its answer says so.
        unique_event written(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!written)
            return;
        OVERLAPPED write = {};
        write.hEvent = written.get();
        DWORD count = 0;
        if (WriteFile(current.pipe.get(), bytes, static_cast<DWORD>(length), nullptr, &write) ||
            GetLastError() != ERROR_IO_PENDING) {
            return;
        }
        if (WaitForSingleObject(written.get(), kRequestTimeoutMs) != WAIT_OBJECT_0)
            CancelIo(current.pipe.get());
        GetOverlappedResult(current.pipe.get(), &write, &count, TRUE);
    }

    bool user_sid(char* text, size_t capacity) override {
        unique_local<void> sid(get_sid());
        if (!sid)
            return false;
        char* converted = nullptr;
        if (!ConvertSidToStringSidA(sid.get(), &converted))
            return false;
        unique_local<char> owned(converted);
        size_t length = strlen(owned.get());
        if (length >= capacity)
            length = capacity - 1;
        memcpy(text, owned.get(), length);
        text[length] = '\0';
        return true;
    }
};

// The package folder: the one given, or TEMP.
usbdrv_result choose_directory(const char* given, bounded_path& directory) {
    if (given && *given) {
        directory.append(given);
        return USBDRV_OK;
    }
    unique_malloc<char> temp(temp_folder());
    if (!temp) {
        usbdrv_log(USBDRV_LOG_ERROR, kCaller, "no path provided and unable to use TEMP");
        return USBDRV_ERR_INVALID_PARAM;
    }
    directory.append(temp.get());
    usbdrv_log(USBDRV_LOG_INFO, kCaller, "no path provided - installing from '%s'",
               directory.c_str());
    return USBDRV_OK;
}

// The device's identifiers travel to the helper whole or not at all: refused here, before
// anything is started, when the helper could not read them.
usbdrv_result check_identifiers(const usbdrv_device_entry& device) {
    const std::pair<const char*, const char*> identifiers[] = {{"device_id", device.device_id},
                                                               {"hardware_id", device.hardware_id}};
    for (const auto& [name, value] : identifiers) {
        size_t length = value ? strlen(value) : 0;
        if (length > kIdentifierMax) {
            usbdrv_log(USBDRV_LOG_ERROR, kCaller,
                       "%s of %zu bytes is longer than the installer can take (at most %zu)", name,
                       length, kIdentifierMax);
            return USBDRV_ERR_INVALID_PARAM;
        }
    }
    return USBDRV_OK;
}

usbdrv_result wait_for_pending_installations(const usbdrv_install_options* options) {
    if (!options) {
        usbdrv_log(USBDRV_LOG_DEBUG, kCaller, "CMP_WaitNoPendingInstallEvents not available");
        return USBDRV_OK;
    }
    auto wait = imports.CMP_WaitNoPendingInstallEvents.get(kCaller);  // init_dlls found it
    if (wait && wait(options->pending_wait_ms) == WAIT_TIMEOUT) {
        usbdrv_log(USBDRV_LOG_WARNING, kCaller,
                   "timeout expired while waiting for another pending installation - aborting");
        return USBDRV_ERR_PENDING_INSTALLATION;
    }
    return USBDRV_OK;
}

bool running_on_64bit_windows() {
    bool wow64 = false;
#if !defined(_WIN64)
    // Without the function the system is older than any 64-bit Windows.
    if (auto is_wow64 = imports.IsWow64Process.get_quietly()) {
        BOOL answer = FALSE;
        wow64 = is_wow64(GetCurrentProcess(), &answer) && answer;
    }
#endif
    return system_is_64bit(sizeof(void*) == 8, wow64);
}

usbdrv_result pipe_refused(DWORD error) {
    LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, kCaller, error, "could not create read pipe: %s");
    current.pipe.reset();
    return USBDRV_ERR_RESOURCE;
}

// The pipe, with one instance that must be ours: a name that another program created first is
// refused rather than served (or, worse, handed to the helper). Wine ignores
// FILE_FLAG_FIRST_PIPE_INSTANCE and creates an instance beside the other program's, so the count
// of instances is checked as well.
usbdrv_result create_pipe() {
    DWORD mode = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT;
    if (windows_version >= 0x60)
        mode |= PIPE_REJECT_REMOTE_CLIENTS;  // unknown before Vista, where no client is remote
    current.pipe.reset(
        CreateNamedPipeA(kInstallerPipeName,
                         PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                         mode, 1, kPipeBufferSize, kPipeBufferSize, 0, nullptr));
    if (!current.pipe)
        return pipe_refused(GetLastError());
    DWORD instances = 0;
    if (!GetNamedPipeHandleStateA(current.pipe.get(), nullptr, &instances, nullptr, nullptr,
                                  nullptr, 0)) {
        return pipe_refused(GetLastError());
    }
    if (instances != 1) {
        usbdrv_log(USBDRV_LOG_ERROR, kCaller,
                   "another program serves the installer pipe too (%lu instances)", instances);
        return pipe_refused(ERROR_ACCESS_DENIED);
    }
    return USBDRV_OK;
}

// Filter mode: the filter installer writes its console output into the pipe through a client
// end of the tool's own, which it inherits.
usbdrv_result open_client_end() {
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    current.client_end.reset(CreateFileA(kInstallerPipeName, GENERIC_WRITE, FILE_SHARE_WRITE,
                                         &inherited, OPEN_EXISTING,
                                         FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!current.client_end) {
        DWORD error = GetLastError();
        LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, kCaller, error, "could not create stdout endpoint: %s");
        return USBDRV_ERR_RESOURCE;
    }
    return USBDRV_OK;
}

usbdrv_result start_elevated(const install_command& command, const char* directory, bool filter) {
    SHELLEXECUTEINFOA info = {};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpVerb = "runas";
    info.lpFile = command.elevated_file;
    info.lpParameters = command.arguments.c_str();
    info.lpDirectory = directory;
    info.nShow = SW_HIDE;
    if (!ShellExecuteExU(&info)) {
        DWORD error = GetLastError();
        switch (error) {
            case ERROR_FILE_NOT_FOUND:
                usbdrv_log(USBDRV_LOG_INFO, kCaller, "could not find installer executable");
                return USBDRV_ERR_NOT_FOUND;
            case ERROR_CANCELLED:
                usbdrv_log(USBDRV_LOG_INFO, kCaller, "operation cancelled by the user");
                return USBDRV_ERR_USER_CANCEL;
            default:
                LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, kCaller, error, "ShellExecuteEx failed: %s");
                return USBDRV_ERR_NEEDS_ADMIN;
        }
    }
    current.helper.reset(info.hProcess);
    if (filter) {
        usbdrv_log(USBDRV_LOG_INFO, kCaller,
                   "the output of an elevated install-filter cannot be relayed");
    }
    return USBDRV_OK;
}

usbdrv_result start_direct(const install_command& command, const char* directory, bool filter) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    if (filter) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = current.client_end.get();
        startup.hStdError = current.client_end.get();
    }
    PROCESS_INFORMATION started = {};
    if (!CreateProcessU(nullptr, command.command_line.c_str(), nullptr, nullptr, TRUE,
                        CREATE_NO_WINDOW, nullptr, directory, &startup, &started)) {
        DWORD error = GetLastError();
        LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, kCaller, error, "CreateProcess failed: %s");
        return USBDRV_ERR_NEEDS_ADMIN;
    }
    current.helper.reset(started.hProcess);
    current.helper_thread.reset(started.hThread);
    return USBDRV_OK;
}

// Elevated through the shell from Vista on when this process is an administrator (the system
// may ask the user); otherwise started directly with this process's rights.
usbdrv_result start_program(const install_command& command, const char* directory, bool filter) {
    auto is_user_an_admin = imports.IsUserAnAdmin.get_quietly();
    if (windows_version >= 0x60 && is_user_an_admin && is_user_an_admin())
        return start_elevated(command, directory, filter);
    return start_direct(command, directory, filter);
}

// Steps after the busy marker is taken; every way out gives back what was taken.
usbdrv_result install(const install_params& params) {
    if (!init_dlls())
        return USBDRV_ERR_RESOURCE;
    const usbdrv_install_options* options = params.options;
    host.device = params.device;
    host.filter_installer = options && options->use_filter_installer;

    bounded_path directory;
    if (usbdrv_result r = choose_directory(params.directory, directory))
        return r;
    if (!params.device || !params.inf_name) {
        usbdrv_log(USBDRV_LOG_ERROR, kCaller, "one of the required parameter is NULL");
        return USBDRV_ERR_INVALID_PARAM;
    }
    if (usbdrv_result r = check_identifiers(*params.device))
        return r;
    if (usbdrv_result r = wait_for_pending_installations(options))
        return r;

    // What to start, and whether it is there, before anything is created (a directory cut to
    // fit its buffer makes the program's path too long, and is refused here too).
    const bool system_64bit = running_on_64bit_windows();
    install_command command;
    if (usbdrv_result r = build_install_command(directory.c_str(), params.inf_name, *params.device,
                                                host.filter_installer, system_64bit, command)) {
        return r;
    }
    if (GetFileAttributesU(command.program.c_str()) == INVALID_FILE_ATTRIBUTES) {
        const char* bits = word_size_text(system_64bit);
        usbdrv_log(USBDRV_LOG_ERROR, kCaller,
                   "this application does not contain the required %s bit installer", bits);
        usbdrv_log(USBDRV_LOG_ERROR, kCaller,
                   "please contact the application provider for a %s bit compatible version", bits);
        return USBDRV_ERR_NOT_FOUND;
    }

    if (windows_version == -1)
        detect_windows_version();
    if (usbdrv_result r = create_pipe())
        return r;
    current.read_event.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!current.read_event)
        return USBDRV_ERR_RESOURCE;
    if (host.filter_installer) {
        if (usbdrv_result r = open_client_end())
            return r;
    }
    if (usbdrv_result r = start_program(command, directory.c_str(), host.filter_installer))
        return r;

    pipe_port port;
    return run_read_loop(port, current.buffer);
}

usbdrv_result run_installation(void* argument) {
    return install_driver_internal(static_cast<const install_params*>(argument));
}

}  // namespace

int process_message(const uint8_t* buffer, size_t length) {
    reply_port port;
    return handle_installer_message(buffer, length, host, port);
}

usbdrv_result install_driver_internal(const install_params* params) {
    busy_marker marker(kCaller);
    if (usbdrv_result r = marker.state())
        return r;
    // The marker says no other installation runs: the module-wide record is this one's.
    current.marker.emplace(std::move(marker));
    scope_guard clean_up([] { give_back(false); });
    static const install_params kNone = {};
    return install(params ? *params : kNone);
}

void abandon_installation(void*) {
    give_back(true);
}

usbdrv_result usbdrv_install_driver(const usbdrv_device_entry* device, const char* path,
                                    const char* inf_name, const usbdrv_install_options* options) {
    install_params params = {device, path, inf_name, options};
    if (options && options->progress_owner) {
        usbdrv_log(USBDRV_LOG_DEBUG, "usbdrv_install_driver", "using progress bar mode");
        return run_with_progress_bar(options->progress_owner, run_installation, &params,
                                     abandon_installation);
    }
    usbdrv_log(USBDRV_LOG_DEBUG, "usbdrv_install_driver", "using standard mode");
    return install_driver_internal(&params);
}
