// The installation host's read loop over the installer pipe: it reads one message at a time into
// a receive buffer that doubles for a longer message, hands each to the handler, waits for the
// helper within the message time-out, and turns the helper's end into the installation's result.
// The loop decides; the system calls it needs (read, wait, end the helper) come through a port,
// so that the same loop runs on the pipe and, natively, over a scripted port in the tests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ownership.h"
#include "usbdrv/usbdrv.h"

// Consecutive failed reads or waits after which the host stops listening: a pipe that keeps
// failing would otherwise keep the thread spinning for ever.
constexpr int kReadFailureLimit = 10;
// How long the host sleeps between reads while the helper has not connected yet.
constexpr uint32_t kConnectPollMs = 100;

// How a read went. `bytes` is what this read placed (for complete and more_data); `error` the
// system's code of a failure, for the log line.
struct pipe_read {
    enum kind_type {
        complete,     // the rest of a message arrived
        more_data,    // the space was filled and the message goes on
        broken_pipe,  // the helper closed its end
        listening,    // the helper has not connected yet
        pending,      // the read waits for data (only from start_read)
        failed
    } kind = failed;
    size_t bytes = 0;
    uint32_t error = 0;
};

// How a wait for a pending read went.
struct pipe_wait {
    enum kind_type { read_ready, helper_ended, timed_out, failed } kind = failed;
    uint32_t error = 0;
};

class host_read_port {
public:
    // Starts a read of at most `space` bytes into `into`.
    virtual pipe_read start_read(uint8_t* into, size_t space) = 0;
    // Waits at most timeout_ms (kNoTimeLimit: without limit) for the pending read or the
    // helper's end, whichever comes first; a ready read wins over an ended helper.
    virtual pipe_wait wait_for_read(uint32_t timeout_ms) = 0;
    // The outcome of the read that wait_for_read found ready.
    virtual pipe_read finish_read() = 0;
    // Cancels a pending read and waits until the system no longer writes into its space.
    virtual void cancel_read() = 0;
    // Sleeps for timeout_ms, or less when the helper ends; true when it has ended.
    virtual bool helper_ended_within(uint32_t timeout_ms) = 0;
    // The result of the ended helper's exit code (exit_code_to_result).
    virtual usbdrv_result helper_result() = 0;
    // Ends a helper that no longer answers.
    virtual void end_helper() = 0;
    // A millisecond clock, for how long the helper has not connected.
    virtual uint32_t now_ms() = 0;
    // The message time-out in force (the handler may change it between two reads).
    virtual uint32_t message_timeout_ms() = 0;
    // The handler: 0 reads on, anything else ends the loop with that value.
    virtual int handle_message(const uint8_t* message, size_t length) = 0;
    // The system's text for an error code, for the log lines.
    virtual const char* error_text(uint32_t error) = 0;

protected:
    ~host_read_port() = default;
};

// The receive buffer, kept by the caller so that it can be given back even when the thread that
// runs the loop is ended by force.
struct receive_buffer {
    unique_malloc<uint8_t> data;
    size_t size = 0;
};

// Reads until the handler or the helper's end gives the result. Logged under
// "install_driver_internal".
usbdrv_result run_read_loop(host_read_port& port, receive_buffer& buffer);
