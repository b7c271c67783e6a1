#include "base/host_read_loop.h"

#include <cstdint>
#include <cstdlib>

#include "base/exit_code.h"
#include "base/installer_protocol.h"
#include "base/log.h"
#include "usbdrv/kit.h"

namespace {

constexpr char kCaller[] = "install_driver_internal";

struct receive_buffer {
    unique_malloc<uint8_t> data;
    size_t size = 0;
};

// Doubles the buffer, up to kReceiveBufferMax, keeping what it holds.
bool grow(receive_buffer& buffer, const char* how) {
    size_t size = buffer.size * 2 < kReceiveBufferMax ? buffer.size * 2 : kReceiveBufferMax;
    usbdrv_log(USBDRV_LOG_DEBUG, kCaller,
               "message overflow (%s) - increasing buffer size to %zu bytes", how, size);
    void* larger = realloc(buffer.data.get(), size);
    if (!larger)
        return false;
    (void)buffer.data.release();  // realloc moved or kept it
    buffer.data.reset(static_cast<uint8_t*>(larger));
    buffer.size = size;
    return true;
}

read_loop_result stopped(usbdrv_result result) {
    return {result, false};
}

read_loop_result no_answer() {
    usbdrv_log(USBDRV_LOG_ERROR, kCaller, "installer failed to respond - aborting");
    return stopped(USBDRV_ERR_TIMEOUT);
}

read_loop_result cancelled() {
    usbdrv_log(USBDRV_LOG_ERROR, kCaller,
               "installation cancelled: the installer is no longer waited for and ends by itself");
    return stopped(USBDRV_ERR_TIMEOUT);
}

// A pipe that keeps failing: the helper can no longer be heard.
read_loop_result give_up(int failures) {
    usbdrv_log(USBDRV_LOG_ERROR, kCaller, "could not read from pipe %d times in a row - aborting",
               failures);
    return stopped(USBDRV_ERR_IO);
}

// The helper has ended. Its exit code is its result only when its status came first: a helper
// that was ended from outside (or crashed) before it said how its work went may have any exit
// code, 0 included, and did not install.
read_loop_result helper_ended(host_read_port& port) {
    const uint32_t code = port.helper_exit_code();
    usbdrv_result result = result_of_exit_code(code);
    if (!port.status_received()) {
        usbdrv_log(USBDRV_LOG_ERROR, kCaller,
                   "the installer ended with exit code %ld (0x%lX) without sending its status",
                   static_cast<long>(static_cast<int32_t>(code)), static_cast<unsigned long>(code));
        if (result == USBDRV_OK)
            result = USBDRV_ERR_OTHER;
    }
    return stopped(result);
}

// After kRefusedClientLimit refusals: the helper has not been heard, and nothing has been
// installed for it (it installs only what it was told by the host).
read_loop_result refused_too_often(int refusals) {
    usbdrv_log(USBDRV_LOG_ERROR, kCaller,
               "refused %d connections of other processes to the installer pipe - aborting",
               refusals);
    return stopped(USBDRV_ERR_ACCESS);
}

// Whether the client that a read has just found connected is the one the host serves. Nothing
// it sent has been looked at yet.
bool served_client(host_read_port& port) {
    const pipe_client client = port.connected_client();
    switch (client.kind) {
        case pipe_client::unverifiable:
            usbdrv_log(USBDRV_LOG_DEBUG, kCaller,
                       "this system cannot tell which process connected to the installer pipe - "
                       "it is served unchecked");
            return true;
        case pipe_client::failed:
            usbdrv_log(USBDRV_LOG_ERROR, kCaller,
                       "refused a connection to the installer pipe: could not tell which process "
                       "made it: %s",
                       port.error_text(client.error));
            return false;
        case pipe_client::identified:
            break;
    }
    const uint32_t served = port.served_process();
    if (client.process_id == served)
        return true;
    usbdrv_log(USBDRV_LOG_ERROR, kCaller,
               "refused a connection from process %lu, which is not the installer (process %lu)",
               static_cast<unsigned long>(client.process_id), static_cast<unsigned long>(served));
    return false;
}

// A read that found a client connected: one that is not there yet reports listening, and one
// that failed found nothing.
bool found_client(const pipe_read& read) {
    return read.kind != pipe_read::listening && read.kind != pipe_read::failed;
}

}  // namespace

read_loop_result run_read_loop(host_read_port& port) {
    receive_buffer buffer;
    buffer.data.reset(static_cast<uint8_t*>(malloc(kReceiveBufferStart)));
    if (!buffer.data) {
        usbdrv_log(USBDRV_LOG_ERROR, kCaller, "unable to alloc buffer: aborting");
        return stopped(USBDRV_ERR_RESOURCE);
    }
    buffer.size = kReceiveBufferStart;

    size_t offset = 0;  // of the current message, received so far
    int failures = 0;   // reads and waits that failed in a row
    // Before the helper connects: since when the host has been waiting, and whether the helper
    // ended during the last pause (one more read then tells whether it connected first).
    bool listening = false;
    uint32_t listening_since = 0;
    bool ended_while_listening = false;
    // The client connected now is the one the host serves; how many others it has refused.
    bool client_served = false;
    int refusals = 0;
    // The rest of a message over the bound is being read into the buffer's start and dropped.
    bool dropping = false;

    for (;;) {
        if (port.cancel_requested())
            return cancelled();
        // The last byte stays free, as the filter installer's text once needed its terminator.
        pipe_read read = port.start_read(buffer.data.get() + offset, buffer.size - offset - 1);
        if (!client_served && found_client(read)) {
            if (!served_client(port)) {
                if (read.kind == pipe_read::pending)
                    port.cancel_read();
                offset = 0;
                dropping = false;
                if (++refusals >= kRefusedClientLimit)
                    return refused_too_often(refusals);
                if (uint32_t error = port.refuse_client()) {
                    usbdrv_log(USBDRV_LOG_ERROR, kCaller,
                               "the installer pipe cannot listen again: %s - aborting",
                               port.error_text(error));
                    return stopped(USBDRV_ERR_IO);
                }
                continue;
            }
            client_served = true;
        }
        const char* how = "sync";
        if (read.kind == pipe_read::pending) {
            pipe_wait wait = port.wait_for_read(port.message_timeout_ms());
            if (wait.kind != pipe_wait::read_ready)
                port.cancel_read();
            switch (wait.kind) {
                case pipe_wait::read_ready:
                    read = port.finish_read();
                    how = "async";
                    break;
                case pipe_wait::helper_ended:
                    return helper_ended(port);
                case pipe_wait::timed_out:
                    return no_answer();
                case pipe_wait::cancelled:
                    return cancelled();
                case pipe_wait::failed:
                    usbdrv_log(USBDRV_LOG_ERROR, kCaller, "could not read from pipe (wait): %s",
                               port.error_text(wait.error));
                    if (++failures >= kReadFailureLimit)
                        return give_up(failures);
                    continue;
            }
        }

        switch (read.kind) {
            case pipe_read::complete: {
                failures = 0;
                listening = false;
                size_t length = offset + read.bytes;
                offset = 0;
                if (dropping) {
                    dropping = false;
                    continue;
                }
                int result = port.handle_message(buffer.data.get(), length);
                if (result != 0)
                    return {result, true};
                continue;
            }
            case pipe_read::more_data:
                failures = 0;
                listening = false;
                if (dropping)
                    continue;  // offset stays 0
                offset += read.bytes;
                if (offset >= kMessageMax) {
                    // Not the helper's status nor anything else it may send: refused whole.
                    usbdrv_log(USBDRV_LOG_WARNING, kCaller,
                               "message of more than %zu bytes refused as malformed (code 0x%02X)",
                               kMessageMax, buffer.data.get()[0]);
                    dropping = true;
                    offset = 0;
                    continue;
                }
                if (!grow(buffer, how)) {
                    usbdrv_log(USBDRV_LOG_ERROR, kCaller, "unable to realloc buffer: aborting");
                    return stopped(USBDRV_ERR_RESOURCE);
                }
                continue;
            case pipe_read::broken_pipe: {
                pipe_wait end = port.wait_for_helper(port.message_timeout_ms());
                if (end.kind == pipe_wait::helper_ended)
                    return helper_ended(port);
                if (end.kind == pipe_wait::cancelled)
                    return cancelled();
                usbdrv_log(USBDRV_LOG_WARNING, kCaller,
                           "the installer closed the pipe but has not ended - it is left to end "
                           "by itself");
                return stopped(USBDRV_ERR_TIMEOUT);
            }
            case pipe_read::listening: {
                if (ended_while_listening)
                    return helper_ended(port);  // it ended without ever connecting
                uint32_t now = port.now_ms();
                if (!listening) {
                    listening = true;
                    listening_since = now;
                }
                uint32_t timeout = port.message_timeout_ms();
                if (timeout != kNoTimeLimit && now - listening_since >= timeout)
                    return no_answer();
                pipe_wait pause = port.wait_for_client(kConnectPollMs);
                if (pause.kind == pipe_wait::cancelled)
                    return cancelled();
                ended_while_listening = pause.kind == pipe_wait::helper_ended;
                continue;
            }
            case pipe_read::pending:  // finish_read has no pending read to report
            case pipe_read::failed:
                usbdrv_log(USBDRV_LOG_ERROR, kCaller, "could not read from pipe (%s): %s", how,
                           port.error_text(read.error));
                if (++failures >= kReadFailureLimit)
                    return give_up(failures);
                continue;
        }
    }
}
