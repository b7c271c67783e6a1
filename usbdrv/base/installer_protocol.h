// The installer pipe between the tool (the host end) and the installer helper: the message codes,
// the wire records with their byte counts, the framing of the helper's messages, and the rules by
// which the host handles each message and answers the helper's requests. Both programs and the
// tests share this one definition. Portable (no <windows.h>): it is also built natively, where
// the sanitizers and the fuzzer run the host's handler over arbitrary bytes.
//
// A message is one write of the helper: its code byte, then the payload its code defines, at most
// kMessageMax bytes in all. The host answers only the three identifier requests, with the
// identifier's bytes (no code byte, no terminator) or one zero byte when there is none.
//
// The host serves only the process it started: the helper, or in filter mode itself (it opens the
// client end that the filter installer writes into). A client that is another process is refused
// before anything it sent is read or logged (host_read_loop.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/log.h"
#include "usbdrv/usbdrv.h"

enum installer_message_code : uint8_t {
    MSG_PRINT_MESSAGE = 0,         // text, then its zero byte; 2 to 256 bytes in all
    MSG_SYSLOG_MESSAGE = 1,        // one setup-log line, then its zero byte; kMessageMax at most
    MSG_GET_DEVICE_ID = 2,         // answered
    MSG_GET_HARDWARE_ID = 3,       // answered
    MSG_GET_USER_SID = 4,          // answered
    MSG_SET_TIMEOUT_INFINITE = 5,  // the host waits without limit for the next message
    MSG_SET_TIMEOUT_DEFAULT = 6,   // and with kDefaultMessageTimeoutMs again
    MSG_SET_STATUS = 7,            // the status byte follows
    MSG_INSTALLER_COMPLETED = 8
};

constexpr char kInstallerPipeName[] = "\\\\.\\pipe\\usbdrv-installer";

// How long the host waits for the next message, unless the helper asked for no limit; the value
// that stands for no limit (INFINITE); how long the helper waits for the answer to a request.
constexpr uint32_t kDefaultMessageTimeoutMs = 10000;
constexpr uint32_t kNoTimeLimit = 0xFFFFFFFF;
constexpr uint32_t kRequestTimeoutMs = 5000;

// A log message: the code byte, at most 254 bytes of text, its zero byte. Formatted in place and
// sent as far as the zero byte.
constexpr size_t kLogTextMax = 254;
struct log_message {
    uint8_t code;
    char text[kLogTextMax + 1];
};
static_assert(sizeof(log_message) == 256, "a log message is at most 256 bytes");

// The final status: the low 8 bits of the helper's result, read back as a signed byte.
struct status_message {
    uint8_t code;
    uint8_t status;
};
static_assert(sizeof(status_message) == 2, "a status travels in two bytes");

// Requests and hints are their code byte alone.
struct code_message {
    uint8_t code;
};
static_assert(sizeof(code_message) == 1, "a request is one byte");

// The helper reads each answer into 512 zeroed bytes and needs a zero after the text, so an
// identifier travels only when it is at most 511 bytes long.
constexpr size_t kReplyBufferSize = 512;
constexpr size_t kIdentifierMax = kReplyBufferSize - 1;

// The longest message, code byte included. Log messages take at most 256 bytes and requests,
// hints and the status one or two; only setup-log lines are longer. A setup-log line names one
// step, device, file or driver-store entry: a few hundred bytes, and a few KiB for the longest
// (a device's list of hardware and compatible IDs). 64 KiB is well above that, and it bounds what
// the host holds for one message whatever a client sends. A longer message is refused as
// malformed and read to its end without being kept; the helper's relay cuts a longer line to
// fit (setup_log_relay.h).
constexpr size_t kMessageMax = 64 * 1024;
// The longest setup-log line that travels: the message without its code and zero bytes.
constexpr size_t kSyslogTextMax = kMessageMax - 2;

// The host's receive buffer at the start of an installation; it doubles for a longer message,
// up to kReceiveBufferMax: a whole message of kMessageMax bytes and the byte that each read
// leaves free.
constexpr size_t kReceiveBufferStart = 512;
constexpr size_t kReceiveBufferMax = kMessageMax + 1;

// A log message of `text` (null: empty), cut at 254 bytes, into `message`. Returns the bytes to
// send: the code, the text and its zero byte.
size_t frame_log_text(log_message& message, const char* text);

// A setup-log line as a MSG_SYSLOG_MESSAGE: the code, the text and its zero byte, into `out` of
// `capacity` bytes. Returns the bytes to send, or 0 when it does not fit.
size_t frame_syslog_line(const char* line, uint8_t* out, size_t capacity);

status_message make_status_message(usbdrv_result status);
usbdrv_result status_of(uint8_t status_byte);

// "device_id", "hardware_id", "user_sid" for the three requests; null for any other code.
const char* identifier_name(int request);

// The host's state of one installation, which its handler reads and changes. The host carries the
// message time-out over from one installation to the next.
struct installer_host_state {
    const usbdrv_device_entry* device = nullptr;
    bool filter_installer = false;
    uint32_t message_timeout_ms = kDefaultMessageTimeoutMs;
    // The helper has sent its final status (whatever its value).
    bool status_received = false;
};

// What the handler asks of the system: writing an answer on the pipe, and the user SID of the
// host's process in its text form.
class installer_host_port {
public:
    virtual void write_reply(const void* bytes, size_t length) = 0;
    // True with `text` (a zero-terminated "S-1-..." of at most `capacity` - 1 bytes), false when
    // there is none to give.
    virtual bool user_sid(char* text, size_t capacity) = 0;

protected:
    ~installer_host_port() = default;
};

// The host's handler of one message of `length` bytes, which it reads no further than `length`
// and never changes. Returns 0 to read the next message, anything else to end the installation
// with that result: the helper's status other than 0, USBDRV_ERR_INVALID_PARAM for an empty
// message, USBDRV_ERR_NOT_FOUND for a message while nothing is installed, an undefined code or a
// status, log or setup-log message without its payload.
//
// Texts are taken up to their zero byte and never beyond the message: a text without its zero
// byte is logged as malformed, with what came, and the installation goes on. Every text is
// logged as one line, made loggable (base/loggable_text.h); the filter installer's output, which
// has no framing, is logged one line for each of its lines, empty ones left out. An identifier too
// long for the helper's answer buffer (512 bytes or more) is refused with a log line and answered
// as missing (one zero byte), which the helper can always read.
int handle_installer_message(const uint8_t* message, size_t length, installer_host_state& state,
                             installer_host_port& port);
