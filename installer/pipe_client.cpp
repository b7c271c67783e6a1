#include "pipe_client.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstring>

#include "base/installer_protocol.h"
#include "base/log.h"
#include "win/handles.h"
#include "win/overlapped_io.h"
#include "win/runtime_imports.h"

namespace {

constexpr char kReqId[] = "req_id";
// How long the helper waits for the pipe while another client holds it. The host refuses any
// client but this helper at its next read, a tenth of a second later, and listens again; it
// waits the message time-out for the helper to connect.
constexpr DWORD kPipeBusyWaitMs = kDefaultMessageTimeoutMs;
constexpr DWORD kPipeBusyPauseMs = 10;

unique_file_handle pipe;
// One answer buffer per identifier, zero-filled before each request.
char replies[3][kReplyBufferSize];

DWORD parent_process_id() {
    HANDLE taken = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (taken == INVALID_HANDLE_VALUE)
        return 0;
    unique_handle snapshot(taken);
    const DWORD self = GetCurrentProcessId();
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot.get(), &entry); more;
         more = Process32Next(snapshot.get(), &entry)) {
        if (entry.th32ProcessID == self)
            return entry.th32ParentProcessID;
    }
    return 0;
}

// Whether the pipe's server is the process that started this helper. Another program may have
// created the pipe's name first; its answers must not be trusted, nor must it read the helper's
// log. Before Vista the server cannot be asked: there the tool's pipe admits no second instance,
// and the tool does not start the helper unless its own pipe was created.
bool served_by_parent(HANDLE handle) {
    auto server_of = imports.GetNamedPipeServerProcessId.get_quietly();
    if (!server_of)
        return true;
    ULONG server = 0;
    if (!server_of(handle, &server)) {
        DWORD error = GetLastError();
        fprintf(stderr, "could not tell which process serves the installer pipe (error %lu)\n",
                error);
        return false;
    }
    DWORD parent = parent_process_id();
    if (parent == 0 || server != parent) {
        fprintf(stderr,
                "the installer pipe is served by process %lu, not by the program that started "
                "this installer (process %lu) - ending\n",
                server, parent);
        return false;
    }
    return true;
}

// The pipe's client end. Its one instance may be taken by another process that connected first:
// the host drops that one and listens again, so a busy pipe is waited for, within
// kPipeBusyWaitMs.
unique_file_handle open_client_end(usbdrv_result& failure) {
    const DWORD start = GetTickCount();
    for (;;) {
        unique_file_handle opened(CreateFileA(kInstallerPipeName, GENERIC_READ | GENERIC_WRITE, 0,
                                              nullptr, OPEN_EXISTING,
                                              FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL |
                                                  SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                                              nullptr));
        if (opened)
            return opened;
        const DWORD error = GetLastError();
        const DWORD spent = GetTickCount() - start;
        if (error != ERROR_PIPE_BUSY) {
            failure = USBDRV_ERR_NOT_FOUND;
            return {};
        }
        if (spent >= kPipeBusyWaitMs) {
            fprintf(stderr, "the installer pipe stayed busy for %lu ms - ending\n",
                    static_cast<unsigned long>(spent));
            failure = USBDRV_ERR_BUSY;
            return {};
        }
        // Returns once the pipe listens again (or at once when it is gone); the pause keeps a
        // system that returns at once from spinning.
        if (!WaitNamedPipeA(kInstallerPipeName, kPipeBusyWaitMs - spent))
            Sleep(kPipeBusyPauseMs);
    }
}

}  // namespace

usbdrv_result installer_pipe_open() {
    installer_pipe_close();
    usbdrv_result failure = USBDRV_OK;
    unique_file_handle opened = open_client_end(failure);
    if (!opened)
        return failure;
    if (!served_by_parent(opened.get()))
        return USBDRV_ERR_ACCESS;
    pipe = std::move(opened);
    return USBDRV_OK;
}

void installer_pipe_close() {
    pipe.reset();
}

bool installer_pipe_is_open() {
    return pipe.valid();
}

bool installer_pipe_connected() {
    if (!pipe)
        return false;
    DWORD available = 0;
    return PeekNamedPipe(pipe.get(), nullptr, 0, nullptr, &available, nullptr) != 0;
}

void send_message(const void* bytes, size_t length) {
    if (!pipe)
        return;
    // The handle is overlapped, and two threads write: each write has a record and an event of
    // its own. Its outcome is not needed; one the tool does not take in time is cancelled.
    overlapped_io written(pipe.get());
    if (written.write(bytes, static_cast<DWORD>(length)) == overlapped_io::state::pending)
        written.wait(kRequestTimeoutMs);
}

void installer_pipe_log_sink(int32_t, const char* line, void*) {
    if (!pipe)
        return;
    log_message message;
    size_t length = frame_log_text(message, log_line_message(line));
    send_message(&message, length);
}

void send_code(uint8_t code) {
    code_message message = {code};
    send_message(&message, sizeof message);
}

void send_status(usbdrv_result status) {
    status_message message = make_status_message(status);
    send_message(&message, sizeof message);
}

void send_syslog_line(const char* line) {
    if (!pipe)
        return;
    size_t length = line ? strlen(line) : 0;
    unique_malloc<uint8_t> message(static_cast<uint8_t*>(malloc(length + 2)));
    if (!message)
        return;
    size_t framed = frame_syslog_line(line, message.get(), length + 2);
    send_message(message.get(), framed);
}

const char* req_id(int id, request_outcome* outcome) {
    request_outcome ignored = request_outcome::failed;
    request_outcome& how = outcome ? *outcome : ignored;
    how = request_outcome::failed;
    const char* name = identifier_name(id);
    if (!name) {
        usbdrv_log(USBDRV_LOG_ERROR, kReqId, "req_id: unknown ID requested");
        return nullptr;
    }
    char* reply = replies[id - MSG_GET_DEVICE_ID];
    memset(reply, 0, kReplyBufferSize);

    DWORD received = 0;
    {
        overlapped_io read(pipe.get());
        // Started before the request is written, so that the answer cannot be missed. At most
        // 511 bytes: the text always ends in a zero byte.
        overlapped_io::state started =
            read.usable() ? read.read(reply, kIdentifierMax) : overlapped_io::state::failed;
        if (!read.usable()) {
            usbdrv_log(USBDRV_LOG_ERROR, kReqId, "failed to create overlapped");
        } else if (started == overlapped_io::state::complete ||
                   (started == overlapped_io::state::failed && read.error() == ERROR_MORE_DATA)) {
            usbdrv_log(USBDRV_LOG_ERROR, kReqId, "received unexpected data");
        } else if (started == overlapped_io::state::failed) {
            usbdrv_log(USBDRV_LOG_ERROR, kReqId, "failure to initiate read (%d)",
                       static_cast<int>(read.error()));
        } else {
            send_code(static_cast<uint8_t>(id));
            if (!read.wait(kRequestTimeoutMs)) {
                usbdrv_log(USBDRV_LOG_ERROR, kReqId, "message request: timed out");
                how = request_outcome::timed_out;
            } else if (read.take() == overlapped_io::state::complete && read.bytes() > 0) {
                how = request_outcome::answered;
                received = read.bytes();
            } else if (read.error() == ERROR_SUCCESS) {
                usbdrv_log(USBDRV_LOG_ERROR, kReqId, "read error: an empty answer");
            } else {
                usbdrv_log(USBDRV_LOG_ERROR, kReqId, "read error: %d",
                           static_cast<int>(read.error()));
            }
        }
    }  // an unanswered read is cancelled here: a late answer stays in the pipe
    if (how != request_outcome::answered) {
        memset(reply, 0, kReplyBufferSize);
        received = 0;
    }

    if (received == 0) {
        usbdrv_log(USBDRV_LOG_ERROR, kReqId, "failed to read %s", name);
        return nullptr;
    }
    usbdrv_log(USBDRV_LOG_INFO, kReqId, "got %s: '%s'", name, reply);
    return *reply ? reply : nullptr;
}
