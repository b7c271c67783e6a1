// The installation host's read loop over the installer pipe: it reads one message at a time into
// a receive buffer that doubles for a longer message (up to the bound of installer_protocol.h),
// hands each to the handler, waits for the helper within the message time-out, and turns the
// helper's end into the installation's result.
//
// The pipe is local, but any process of any user may connect to it. So the loop serves only the
// process the host started: once a read finds a client connected, and before anything of it is
// read on, answered or logged, it asks the client's process ID. Any other client is refused with
// a log line and dropped, with what it wrote, and the pipe listens again for the helper, which
// waits for it (installer/pipe_client.h). A client that keeps coming back cannot hold the host:
// after kRefusedClientLimit refusals the installation ends with USBDRV_ERR_ACCESS, and the time
// before the helper connects counts from the first poll, refusals included, against the message
// time-out. Where the system cannot tell the client's process (before Vista), the first client is
// served as it comes.
// The loop decides; the system calls it needs (read, wait) come through a port, so that the same
// loop runs on the pipe and, natively, over a scripted port in the tests.
//
// The loop never ends the helper. When it stops listening (the handler's result, silence, a
// pipe that keeps failing, or the caller's cancellation) the helper goes on with its own run and
// ends by itself; what it changes on the machine is its own to put back.
#pragma once

#include <cstddef>
#include <cstdint>

#include "usbdrv/usbdrv.h"

// Consecutive failed reads or waits after which the host stops listening: a pipe that keeps
// failing would otherwise keep the thread spinning for ever.
constexpr int kReadFailureLimit = 10;
// The longest pause between reads while the helper has not connected yet (its connection ends
// the pause where the system can tell).
constexpr uint32_t kConnectPollMs = 100;
// Connections of other processes that the host refuses; the last of them ends the installation.
constexpr int kRefusedClientLimit = 5;

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

// How a wait went.
struct pipe_wait {
    enum kind_type {
        read_ready,    // the pending read is over (wait_for_read only)
        helper_ended,  // the helper's process has ended
        timed_out,
        cancelled,  // the caller no longer waits for the installation
        failed
    } kind = failed;
    uint32_t error = 0;
};

// Which process is connected to the pipe.
struct pipe_client {
    enum kind_type {
        identified,    // its ID is `process_id`
        unverifiable,  // the system cannot tell (before Vista)
        failed         // the question failed with `error`
    } kind = failed;
    uint32_t process_id = 0;
    uint32_t error = 0;
};

class host_read_port {
public:
    // Starts a read of at most `space` bytes into `into`.
    virtual pipe_read start_read(uint8_t* into, size_t space) = 0;
    // Waits at most timeout_ms (kNoTimeLimit: without limit) for the pending read, the helper's
    // end or the caller's cancellation, whichever comes first; a ready read wins over the others.
    virtual pipe_wait wait_for_read(uint32_t timeout_ms) = 0;
    // The outcome of the read that wait_for_read found ready.
    virtual pipe_read finish_read() = 0;
    // Cancels a pending read and waits until the system no longer writes into its space.
    virtual void cancel_read() = 0;
    // Waits at most timeout_ms for the helper's end or the caller's cancellation: helper_ended,
    // timed_out or cancelled.
    virtual pipe_wait wait_for_helper(uint32_t timeout_ms) = 0;
    // The pause before the next read while no client has connected: as wait_for_helper, and
    // read_ready as soon as a client connects, where the system can tell. The plain pause by
    // default.
    virtual pipe_wait wait_for_client(uint32_t timeout_ms) { return wait_for_helper(timeout_ms); }
    // Whether the caller has cancelled, asked without waiting: a client whose messages never
    // leave the pipe empty gives no read a wait in which the cancellation would show.
    virtual bool cancel_requested() = 0;
    // The exit code of the ended helper.
    virtual uint32_t helper_exit_code() = 0;
    // Whether the helper's exit code may stand for its result: it sent its status before it
    // ended (true for a program that has no status to send, the filter installer).
    virtual bool status_received() = 0;
    // A millisecond clock, for how long the helper has not connected.
    virtual uint32_t now_ms() = 0;
    // The message time-out in force (the handler may change it between two reads).
    virtual uint32_t message_timeout_ms() = 0;
    // The process connected to the pipe; asked only once a read has found a client.
    virtual pipe_client connected_client() = 0;
    // The one process the host serves: the helper it started (itself in filter mode, where it
    // opens the client end that it hands down).
    virtual uint32_t served_process() = 0;
    // Drops the connected client, and what it wrote, and listens again: 0, or the system's error
    // when the pipe cannot listen again. No read is pending.
    virtual uint32_t refuse_client() = 0;
    // The handler: 0 reads on, anything else ends the loop with that value.
    virtual int handle_message(const uint8_t* message, size_t length) = 0;
    // The system's text for an error code, for the log lines.
    virtual const char* error_text(uint32_t error) = 0;

protected:
    ~host_read_port() = default;
};

struct read_loop_result {
    usbdrv_result result;
    // The handler gave the result (the helper's status, or a message it could not take): the
    // helper is still finishing its run, and the host may wait a while for its end. False when
    // the helper has ended, no longer answers, or the caller cancelled.
    bool helper_finishing;
};

// Reads until the handler, the helper's end, silence, the caller's cancellation or clients that
// keep being refused give the result. A message over kMessageMax bytes is refused as malformed
// ("message of more than 65536 bytes refused as malformed (code 0x01)"), read to its end
// without being kept, and the loop reads on. Logged under "install_driver_internal".
read_loop_result run_read_loop(host_read_port& port);
