#include "install/host.h"

#include <windows.h>
#include <sddl.h>
#include <shellapi.h>

#include <atomic>
#include <cstring>
#include <utility>

#include "base/exit_code.h"
#include "base/host_read_loop.h"
#include "base/install_command.h"
#include "base/installer_protocol.h"
#include "base/log.h"
#include "install/progress_window.h"
#include "win/busy_marker.h"
#include "win/files.h"
#include "win/handles.h"
#include "win/overlapped_io.h"
#include "win/owner_security.h"
#include "win/process_result.h"
#include "win/runtime_imports.h"
#include "win/utf8_io.h"
#include "win/windows_error.h"
#include "win/windows_version.h"

namespace {

constexpr char kCaller[] = "install_driver_internal";
constexpr DWORD kPipeBufferSize = 4096;
// After its status the helper only puts the restore-point setting back, pauses a second for the
// last setup-log lines and ends. The host waits that long for it, so that a retry right after a
// failure finds the machine free; a helper that takes longer is left to end by itself, and keeps
// other installations out until it has.
constexpr DWORD kHelperEndWaitMs = 10000;

// The message time-out outlives an installation: the helper's hint of one carries over to the
// next one of the process.
std::atomic<uint32_t> message_timeout_ms{kDefaultMessageTimeoutMs};

// One installation: what it was asked and what it holds. It lives in install_driver_internal's
// frame and goes from step to step as an argument; what it holds is given back when it goes.
struct installation {
    const install_params& params;
    HANDLE cancel;  // set when the caller no longer waits; null: never
    installer_host_state host;
    unique_pipe pipe;
    unique_pipe client_end;  // filter mode: the filter installer's output
    unique_process helper;
    unique_thread helper_thread;
};

// The handles an installation's waits watch besides their own: the helper, then the caller's
// cancellation. `first` is the operation's own handle (the read's event), or null.
struct wait_set {
    HANDLE handles[3];
    DWORD count = 0;
    DWORD helper = WAIT_FAILED;
    DWORD cancel = WAIT_FAILED;

    wait_set(const installation& work, HANDLE first) {
        if (first)
            handles[count++] = first;
        if (work.helper) {
            helper = WAIT_OBJECT_0 + count;
            handles[count++] = work.helper.get();
        }
        if (work.cancel) {
            cancel = WAIT_OBJECT_0 + count;
            handles[count++] = work.cancel;
        }
    }
    // WaitForMultipleObjects over the set; a wait on nothing is a pause.
    DWORD wait(DWORD timeout_ms) const {
        if (count == 0) {
            Sleep(timeout_ms);
            return WAIT_TIMEOUT;
        }
        return WaitForMultipleObjects(count, handles, FALSE, timeout_ms);
    }
};

bool cancelled(const installation& work) {
    return work.cancel && WaitForSingleObject(work.cancel, 0) == WAIT_OBJECT_0;
}

// The handler's system calls: answers on the installation's pipe, the user SID of this process.
class reply_port final : public installer_host_port {
public:
    explicit reply_port(installation& work) : work_(work) {}

    void write_reply(const void* bytes, size_t length) override {
        // Its outcome is not needed: a helper that does not get its answer says so. A write the
        // helper does not take within its own request time-out is cancelled when `written` goes.
        overlapped_io written(work_.pipe.get());
        if (written.write(bytes, static_cast<DWORD>(length)) == overlapped_io::state::pending)
            written.wait(kRequestTimeoutMs);
    }

    bool user_sid(char* text, size_t capacity) override {
        unique_local<void> sid(get_sid());
        if (!sid)
            return false;
        char* converted = nullptr;
        if (!imports.ConvertSidToStringSidA(sid.get(), &converted))
            return false;
        unique_local<char> owned(converted);
        size_t length = strlen(owned.get());
        if (length >= capacity)
            length = capacity - 1;
        memcpy(text, owned.get(), length);
        text[length] = '\0';
        return true;
    }

private:
    installation& work_;
};

// The host's handler of one message from the helper (installer_protocol.h): 0 reads on,
// anything else ends the conversation with that result.
int process_message(installation& work, const uint8_t* buffer, size_t length) {
    reply_port port(work);
    return handle_installer_message(buffer, length, work.host, port);
}

// The read loop's system calls on the installation's pipe, its read and the helper. The read, and
// the pipe's listening for the next client after a refused one, are this port's: they are over
// before the port goes.
class pipe_port final : public host_read_port {
public:
    explicit pipe_port(installation& work)
        : work_(work), read_(work.pipe.get()), listen_(work.pipe.get()) {}

    pipe_read start_read(uint8_t* into, size_t space) override {
        switch (read_.read(into, static_cast<DWORD>(space))) {
            case overlapped_io::state::pending:
                return pipe_read{pipe_read::pending, 0, ERROR_IO_PENDING};
            case overlapped_io::state::complete:
                return pipe_read{pipe_read::complete, read_.bytes(), 0};
            case overlapped_io::state::failed:
                break;
        }
        return failed_read();
    }

    pipe_wait wait_for_read(uint32_t timeout_ms) override {
        return outcome_of(wait_set(work_, read_.event()), timeout_ms, WAIT_OBJECT_0);
    }

    pipe_read finish_read() override {
        if (read_.take() == overlapped_io::state::complete)
            return pipe_read{pipe_read::complete, read_.bytes(), 0};
        return failed_read();
    }

    void cancel_read() override { read_.finish(); }

    pipe_wait wait_for_helper(uint32_t timeout_ms) override {
        return outcome_of(wait_set(work_, nullptr), timeout_ms, WAIT_FAILED);
    }

    // The pause ends when the helper connects: a helper is read as soon as it has started, not
    // up to a pause later. A pipe that cannot listen here is read again after the whole pause.
    pipe_wait wait_for_client(uint32_t timeout_ms) override {
        if (!listen_.pending()) {
            switch (listen_.connect()) {
                case overlapped_io::state::complete:
                    return pipe_wait{pipe_wait::read_ready, 0};
                case overlapped_io::state::failed:
                    return wait_for_helper(timeout_ms);
                case overlapped_io::state::pending:
                    break;
            }
        }
        pipe_wait waited = outcome_of(wait_set(work_, listen_.event()), timeout_ms, WAIT_OBJECT_0);
        if (waited.kind == pipe_wait::read_ready)
            listen_.take();
        return waited;
    }

    bool cancel_requested() override { return cancelled(work_); }

    uint32_t helper_exit_code() override {
        DWORD code = kStillActive;
        if (!work_.helper || !GetExitCodeProcess(work_.helper.get(), &code))
            return static_cast<uint32_t>(USBDRV_ERR_OTHER);
        return code;
    }

    bool status_received() override {
        return work_.host.filter_installer || work_.host.status_received;
    }

    uint32_t now_ms() override { return GetTickCount(); }
    uint32_t message_timeout_ms() override { return work_.host.message_timeout_ms; }

    // The client's process ID stays with the pipe until the next client connects, also once the
    // client has closed its end (measured under Wine): a helper that wrote its status and ended
    // before the first read is still known as itself.
    pipe_client connected_client() override {
        auto client_of = imports.GetNamedPipeClientProcessId.get_quietly();
        if (!client_of)
            return pipe_client{pipe_client::unverifiable, 0, 0};
        ULONG client = 0;
        if (!client_of(work_.pipe.get(), &client)) {
            DWORD error = GetLastError();
            return pipe_client{pipe_client::failed, 0, error};
        }
        return pipe_client{pipe_client::identified, static_cast<uint32_t>(client), 0};
    }

    uint32_t served_process() override {
        if (work_.host.filter_installer)
            return GetCurrentProcessId();  // it opened the client end itself
        return work_.helper ? GetProcessId(work_.helper.get()) : 0;
    }

    // A disconnected pipe refuses new clients (ERROR_PIPE_BUSY) until it listens again; the
    // connection that listening waits for stays pending until a client comes or the port goes.
    uint32_t refuse_client() override {
        if (!DisconnectNamedPipe(work_.pipe.get()))
            return GetLastError();
        if (listen_.connect() == overlapped_io::state::failed)
            return listen_.error();
        return 0;
    }

    int handle_message(const uint8_t* message, size_t length) override {
        return process_message(work_, message, length);
    }

    const char* error_text(uint32_t error) override { return windows_error_text(error); }

private:
    static pipe_wait outcome_of(const wait_set& set, uint32_t timeout_ms, DWORD read_ready) {
        DWORD waited = set.wait(timeout_ms);
        if (waited == read_ready)
            return pipe_wait{pipe_wait::read_ready, 0};
        if (waited == set.helper)
            return pipe_wait{pipe_wait::helper_ended, 0};
        if (waited == set.cancel)
            return pipe_wait{pipe_wait::cancelled, 0};
        if (waited == WAIT_TIMEOUT)
            return pipe_wait{pipe_wait::timed_out, 0};
        DWORD error = GetLastError();
        return pipe_wait{pipe_wait::failed, error};
    }

    pipe_read failed_read() const {
        switch (read_.error()) {
            case ERROR_MORE_DATA:
                return pipe_read{pipe_read::more_data, read_.bytes(), ERROR_MORE_DATA};
            case ERROR_BROKEN_PIPE:
                return pipe_read{pipe_read::broken_pipe, 0, ERROR_BROKEN_PIPE};
            case ERROR_PIPE_LISTENING:
                return pipe_read{pipe_read::listening, 0, ERROR_PIPE_LISTENING};
            default:
                return pipe_read{pipe_read::failed, 0, read_.error()};
        }
    }

    installation& work_;
    overlapped_io read_;
    overlapped_io listen_;
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

usbdrv_result pipe_refused(installation& work, DWORD error) {
    LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, kCaller, error, "could not create read pipe: %s");
    work.pipe.reset();
    return USBDRV_ERR_RESOURCE;
}

// The pipe, with one instance that must be ours: a name that another program created first is
// refused rather than served (or, worse, handed to the helper). Wine ignores
// FILE_FLAG_FIRST_PIPE_INSTANCE and creates an instance beside the other program's, so the count
// of instances is checked as well.
usbdrv_result create_pipe(installation& work) {
    DWORD mode = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT;
    if (windows_version >= 0x60)
        mode |= PIPE_REJECT_REMOTE_CLIENTS;  // unknown before Vista, where no client is remote
    work.pipe.reset(
        CreateNamedPipeA(kInstallerPipeName,
                         PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                         mode, 1, kPipeBufferSize, kPipeBufferSize, 0, nullptr));
    if (!work.pipe)
        return pipe_refused(work, GetLastError());
    DWORD instances = 0;
    if (!GetNamedPipeHandleStateA(work.pipe.get(), nullptr, &instances, nullptr, nullptr, nullptr,
                                  0)) {
        return pipe_refused(work, GetLastError());
    }
    if (instances != 1) {
        usbdrv_log(USBDRV_LOG_ERROR, kCaller,
                   "another program serves the installer pipe too (%lu instances)", instances);
        return pipe_refused(work, ERROR_ACCESS_DENIED);
    }
    return USBDRV_OK;
}

// Filter mode: the filter installer writes its console output into the pipe through a client
// end of the tool's own, which it inherits. This process is then the pipe's client, and the only
// one served; another process that connected first holds the pipe's one instance, and this open
// fails before anything is started.
usbdrv_result open_client_end(installation& work) {
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    work.client_end.reset(CreateFileA(kInstallerPipeName, GENERIC_WRITE, FILE_SHARE_WRITE,
                                      &inherited, OPEN_EXISTING,
                                      FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!work.client_end) {
        DWORD error = GetLastError();
        LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, kCaller, error, "could not create stdout endpoint: %s");
        return USBDRV_ERR_RESOURCE;
    }
    return USBDRV_OK;
}

usbdrv_result start_elevated(installation& work, const install_command& command,
                             const char* directory) {
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
    work.helper.reset(info.hProcess);
    if (work.host.filter_installer) {
        usbdrv_log(USBDRV_LOG_INFO, kCaller,
                   "the output of an elevated install-filter cannot be relayed");
    }
    return USBDRV_OK;
}

usbdrv_result start_direct(installation& work, const install_command& command,
                           const char* directory) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    if (work.host.filter_installer) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = work.client_end.get();
        startup.hStdError = work.client_end.get();
    }
    PROCESS_INFORMATION started = {};
    if (!CreateProcessU(nullptr, command.command_line.c_str(), nullptr, nullptr, TRUE,
                        CREATE_NO_WINDOW, nullptr, directory, &startup, &started)) {
        DWORD error = GetLastError();
        LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, kCaller, error, "CreateProcess failed: %s");
        return USBDRV_ERR_NEEDS_ADMIN;
    }
    work.helper.reset(started.hProcess);
    work.helper_thread.reset(started.hThread);
    return USBDRV_OK;
}

// Elevated through the shell from Vista on when this process is an administrator (the system
// may ask the user); otherwise started directly with this process's rights.
usbdrv_result start_program(installation& work, const install_command& command,
                            const char* directory) {
    auto is_user_an_admin = imports.IsUserAnAdmin.get_quietly();
    if (windows_version >= 0x60 && is_user_an_admin && is_user_an_admin())
        return start_elevated(work, command, directory);
    return start_direct(work, command, directory);
}

// After the conversation: the pipe goes first, so that a helper that goes on writes into
// nothing instead of waiting for a reader; then, when the helper is finishing its run after its
// status, the host waits a while for its end. The helper itself is never ended.
void stop_serving(installation& work, bool helper_finishing) {
    // A helper that still holds its end must not keep the pipe's name from the next
    // installation.
    DisconnectNamedPipe(work.pipe.get());
    work.pipe.reset();
    work.client_end.reset();
    if (!helper_finishing || !work.helper)
        return;
    const wait_set set(work, nullptr);
    if (set.wait(kHelperEndWaitMs) == WAIT_TIMEOUT) {
        usbdrv_log(USBDRV_LOG_WARNING, kCaller,
                   "the installer still runs %lu s after its status - it is left to end by "
                   "itself",
                   static_cast<unsigned long>(kHelperEndWaitMs / 1000));
    }
}

// Serves the started helper until the conversation gives the result.
usbdrv_result serve(installation& work) {
    read_loop_result outcome;
    {
        pipe_port port(work);
        outcome = run_read_loop(port);
    }  // the port's read is over before the pipe goes
    message_timeout_ms = work.host.message_timeout_ms;
    stop_serving(work, outcome.helper_finishing);
    return outcome.result;
}

// Steps after the busy marker is taken; every way out gives back what was taken.
usbdrv_result install(installation& work) {
    if (!init_dlls())
        return USBDRV_ERR_RESOURCE;
    const install_params& params = work.params;
    const usbdrv_install_options* options = params.options;
    work.host.device = params.device;
    work.host.filter_installer = options && options->use_filter_installer;
    work.host.message_timeout_ms = message_timeout_ms;

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
    if (usbdrv_result r =
            build_install_command(directory.c_str(), params.inf_name, *params.device,
                                  work.host.filter_installer, system_64bit, command)) {
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
    if (usbdrv_result r = create_pipe(work))
        return r;
    if (work.host.filter_installer) {
        if (usbdrv_result r = open_client_end(work))
            return r;
    }
    // A caller that gave up while this call waited for other installations starts nothing.
    if (cancelled(work)) {
        usbdrv_log(USBDRV_LOG_ERROR, kCaller,
                   "installation cancelled before the installer started");
        return USBDRV_ERR_TIMEOUT;
    }
    if (usbdrv_result r = start_program(work, command, directory.c_str()))
        return r;
    return serve(work);
}

usbdrv_result run_installation(void* argument, HANDLE cancel) {
    return install_driver_internal(static_cast<const install_params*>(argument), cancel);
}

}  // namespace

// The busy marker is the machine's: the helper holds it too, for its whole run, so that it stays
// taken when this call has returned (or this program has died) while the helper still works.
usbdrv_result install_driver_internal(const install_params* params, HANDLE cancel) {
    busy_marker marker(kInstallationMarker);
    if (usbdrv_result r = marker.state())
        return r;
    static const install_params kNone = {};
    installation work{params ? *params : kNone, cancel, {}, {}, {}, {}, {}};
    return install(work);
}

usbdrv_result usbdrv_install_driver(const usbdrv_device_entry* device, const char* path,
                                    const char* inf_name, const usbdrv_install_options* options) {
    install_params params = {device, path, inf_name, options};
    if (options && options->progress_owner) {
        usbdrv_log(USBDRV_LOG_DEBUG, "usbdrv_install_driver", "using progress bar mode");
        return run_with_progress_bar(options->progress_owner, run_installation, &params);
    }
    usbdrv_log(USBDRV_LOG_DEBUG, "usbdrv_install_driver", "using standard mode");
    return install_driver_internal(&params);
}
