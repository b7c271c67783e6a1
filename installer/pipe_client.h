// The installer helper's end of the installer pipe (installer_protocol.h): it opens the pipe that
// the tool created, sends its messages, each in one write, and asks the tool for the device's
// identifiers. Until the pipe is open, and after it is closed, nothing is sent. The helper's log
// lines, its own and those of the library code it links, travel as log messages through
// installer_pipe_log_sink.
//
// The main flow and the setup-log reader write from two threads without a lock: every message is
// one write on a message pipe, so messages never interleave. Only the main flow reads (answers).
#pragma once

#include <cstddef>
#include <cstdint>

#include "usbdrv/usbdrv.h"

// Opens the pipe as its only client, with identification rights only, and checks that it is
// served by the process that started this helper before anything is sent or read. While another
// process holds the pipe (it connected first; the tool drops it and listens again) the helper
// waits for it, up to the message time-out. USBDRV_OK; USBDRV_ERR_NOT_FOUND when there is no pipe
// (the helper was not started by the tool); USBDRV_ERR_BUSY when it stayed busy;
// USBDRV_ERR_ACCESS when another program serves it: the pipe is closed again at once. Both
// failures print their reason on standard error.
usbdrv_result installer_pipe_open();
// Closes the pipe; later messages are dropped.
void installer_pipe_close();
bool installer_pipe_is_open();
// Whether the tool still listens: false once it has closed its end (it stopped waiting for this
// installation, or it ended), and while the pipe is not open.
bool installer_pipe_connected();

// One message, in one write.
void send_message(const void* bytes, size_t length);
// The log sink of a program that talks to the tool (usbdrv_set_log_sink(installer_pipe_log_sink,
// nullptr)): each line that passes the threshold goes to the tool as a log message of the line's
// message alone, cut at 254 bytes. The tool logs it under labels of its own.
void installer_pipe_log_sink(int32_t level, const char* line, void* context);
// A message that is its code alone (the time-out hints, MSG_INSTALLER_COMPLETED).
void send_code(uint8_t code);
// The final status.
void send_status(usbdrv_result status);
// A line of the system's setup log, as it is given: the relay keeps its lines within
// kSyslogTextMax (setup_log_relay.h); the tests' stand-in sends longer ones on purpose.
void send_syslog_line(const char* line);

// How a request went: answered (with the identifier, or with none), or not answered at all.
enum class request_outcome {
    answered,
    timed_out,  // no answer within the request time-out
    failed      // the read could not start or failed, or data came that was not asked for
};

// Asks the tool for an identifier (MSG_GET_DEVICE_ID, MSG_GET_HARDWARE_ID, MSG_GET_USER_SID) and
// returns its text, valid until the next request for the same identifier, or null when there is
// none or the request failed (each failure is logged to the tool); `outcome`, when given, says
// which. Requests go one at a time. A request that was not answered leaves its answer, should it
// come later, unread in the pipe: a caller that asks again may get it as the next answer, so a
// helper gives up its requests after one that went unanswered.
const char* req_id(int id, request_outcome* outcome = nullptr);
