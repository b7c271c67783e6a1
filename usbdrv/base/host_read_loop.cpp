#include "host_read_loop.h"

#include <cstdint>
#include <cstdlib>

#include "installer_protocol.h"
#include "log.h"

namespace {

constexpr char kCaller[] = "install_driver_internal";

// Doubles the buffer, keeping what it holds.
bool grow(receive_buffer& buffer, const char* how) {
    if (buffer.size > SIZE_MAX / 2)
        return false;
    size_t size = buffer.size * 2;
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

usbdrv_result no_answer(host_read_port& port) {
    usbdrv_log(USBDRV_LOG_ERROR, kCaller, "installer failed to respond - aborting");
    port.end_helper();
    return USBDRV_ERR_TIMEOUT;
}

// A pipe that keeps failing: the helper can no longer be heard, so it is not left running
// unsupervised.
usbdrv_result give_up(host_read_port& port, int failures) {
    usbdrv_log(USBDRV_LOG_ERROR, kCaller, "could not read from pipe %d times in a row - aborting",
               failures);
    port.end_helper();
    return USBDRV_ERR_IO;
}

}  // namespace

usbdrv_result run_read_loop(host_read_port& port, receive_buffer& buffer) {
    buffer.data.reset(static_cast<uint8_t*>(malloc(kReceiveBufferStart)));
    if (!buffer.data) {
        buffer.size = 0;
        usbdrv_log(USBDRV_LOG_ERROR, kCaller, "unable to alloc buffer: aborting");
        return USBDRV_ERR_RESOURCE;
    }
    buffer.size = kReceiveBufferStart;

    size_t offset = 0;  // of the current message, received so far
    int failures = 0;   // reads and waits that failed in a row
    // Before the helper connects: since when the host has been waiting, and whether the helper
    // ended during the last pause (one more read then tells whether it connected first).
    bool listening = false;
    uint32_t listening_since = 0;
    bool ended_while_listening = false;

    for (;;) {
        // The last byte stays free, as the filter installer's text once needed its terminator.
        pipe_read read = port.start_read(buffer.data.get() + offset, buffer.size - offset - 1);
        const char* how = "sync";
        if (read.kind == pipe_read::pending) {
            pipe_wait wait = port.wait_for_read(port.message_timeout_ms());
            switch (wait.kind) {
                case pipe_wait::read_ready:
                    read = port.finish_read();
                    how = "async";
                    break;
                case pipe_wait::helper_ended:
                    port.cancel_read();
                    return port.helper_result();
                case pipe_wait::timed_out:
                    port.cancel_read();
                    return no_answer(port);
                case pipe_wait::failed:
                    usbdrv_log(USBDRV_LOG_ERROR, kCaller, "could not read from pipe (wait): %s",
                               port.error_text(wait.error));
                    port.cancel_read();
                    if (++failures >= kReadFailureLimit)
                        return give_up(port, failures);
                    continue;
            }
        }

        switch (read.kind) {
            case pipe_read::complete: {
                failures = 0;
                listening = false;
                size_t length = offset + read.bytes;
                offset = 0;
                int result = port.handle_message(buffer.data.get(), length);
                if (result != 0)
                    return result;
                continue;
            }
            case pipe_read::more_data:
                failures = 0;
                listening = false;
                offset += read.bytes;
                if (!grow(buffer, how)) {
                    usbdrv_log(USBDRV_LOG_ERROR, kCaller, "unable to realloc buffer: aborting");
                    return USBDRV_ERR_RESOURCE;
                }
                continue;
            case pipe_read::broken_pipe:
                if (!port.helper_ended_within(port.message_timeout_ms())) {
                    port.end_helper();
                    return USBDRV_ERR_TIMEOUT;
                }
                return port.helper_result();
            case pipe_read::listening: {
                if (ended_while_listening)
                    return port.helper_result();  // it ended without ever connecting
                uint32_t now = port.now_ms();
                if (!listening) {
                    listening = true;
                    listening_since = now;
                }
                uint32_t timeout = port.message_timeout_ms();
                if (timeout != kNoTimeLimit && now - listening_since >= timeout)
                    return no_answer(port);
                ended_while_listening = port.helper_ended_within(kConnectPollMs);
                continue;
            }
            case pipe_read::pending:  // finish_read has no pending read to report
            case pipe_read::failed:
                usbdrv_log(USBDRV_LOG_ERROR, kCaller, "could not read from pipe (%s): %s", how,
                           port.error_text(read.error));
                if (++failures >= kReadFailureLimit)
                    return give_up(port, failures);
                continue;
        }
    }
}
